// The VMDK driver: the first byte picks what the rest is. 0: a descriptor text parsed alone. 1: a
// descriptor file opened over two small sparse extents and a raw parent that lie beside it.
// 2: a sparse extent file (header, directories, tables, grains) named by a fixed split
// descriptor, opened alone and as the parent of a small child.
#include <string>

#include "formats/vmdk/vmdk_descriptor.hpp"
#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace qx;

void put(std::vector<uint8_t>& b, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// A sparse extent of 256 sectors with one redundant directory and one grain of data.
std::vector<uint8_t> small_extent() {
  std::vector<uint8_t> f(128 * 512 + 64 * 512, 0);
  put(f, 0, 0x564D444B, 4);
  put(f, 4, 1, 4);
  put(f, 8, 3, 4);
  put(f, 12, 256, 8);
  put(f, 20, 64, 8);
  put(f, 44, 512, 4);
  put(f, 48, 1, 8);    // redundant directory, its table at 2
  put(f, 56, 6, 8);    // directory, its table at 7
  put(f, 64, 128, 8);  // overhead
  const uint8_t tail[] = {0, 0x0A, 0x20, 0x0D, 0x0A};
  std::copy(std::begin(tail), std::end(tail), f.begin() + 72);
  for (uint64_t dir : {1u, 6u}) {
    put(f, dir * 512, dir + 1, 4);
    put(f, (dir + 1) * 512, 128, 4);
  }
  for (size_t i = 128 * 512; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 7 + 1);
  return f;
}

void write_text(const std::string& name, const std::string& text) {
  (void)fuzz::write_scratch(name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void open_and_exercise(const std::string& path) {
  DiskImage image;
  if (open_image_as(image, path, true, FORMAT_VMDK) == OK) fuzz::exercise_image(image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      VmdkDescriptor d;
      (void)parse_vmdk_descriptor(TextView(reinterpret_cast<const char*>(rest.data()), rest.size()), d);
      break;
    }
    case 1: {
      static const bool ready = [] {
        const auto extent = small_extent();
        (void)fuzz::write_scratch("a.vmdk", extent);
        (void)fuzz::write_scratch("b.vmdk", extent);
        (void)fuzz::write_scratch("p.raw", std::vector<uint8_t>(512 * 512, 0x11));
        return true;
      }();
      (void)ready;
      open_and_exercise(fuzz::write_scratch("d.vmdk", rest));
      break;
    }
    default: {
      const std::string base = "version=1\nCID=1\nparentCID=ffffffff\ncreateType=\"twoGbMaxExtentSparse\"\n"
                               "RW 256 SPARSE \"x.vmdk\"\nddb.virtualHWVersion=4\nddb.adapterType=ide\n";
      write_text("xd.vmdk", base);
      write_text("xc.vmdk", "version=1\nCID=2\nparentCID=1\ncreateType=\"twoGbMaxExtentSparse\"\n"
                            "parentFileNameHint=\"xd.vmdk\"\nRW 256 SPARSE \"y.vmdk\"\n");
      static const bool child_ready = [] {
        (void)fuzz::write_scratch("y.vmdk", small_extent());
        return true;
      }();
      (void)child_ready;
      (void)fuzz::write_scratch("x.vmdk", rest);
      open_and_exercise(fuzz::scratch_dir() + "/xd.vmdk");
      open_and_exercise(fuzz::scratch_dir() + "/xc.vmdk");
      break;
    }
  }
  return 0;
}
