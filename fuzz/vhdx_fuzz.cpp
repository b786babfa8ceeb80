// The VHDX driver alone, open to trim. A VHDX file is mostly zeros spread over several MiB, so
// the input describes its files as patches over zeros: records of an offset (two bytes,
// little-endian, in 512-byte units), a length (two bytes) and that many bytes. The records build
// "image.vhdx" until one of offset 0xFFFF and length 0, after which they build its parent
// "parent.vhdx". The trim writes its copy into the scratch folder and the copy is thrown away.
#include <array>
#include <string>

#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"
#include "image/file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  const std::array<std::string, 2> paths = {fuzz::scratch_dir() + "/image.vhdx",
                                            fuzz::scratch_dir() + "/parent.vhdx"};
  std::array<File, 2> files = {File::create(paths[0]), File::create(paths[1])};
  size_t which = 0;
  for (size_t pos = 0; pos + 4 <= size;) {
    const uint32_t offset = data[pos] | uint32_t{data[pos + 1]} << 8;
    const size_t length = std::min<size_t>(data[pos + 2] | size_t{data[pos + 3]} << 8, size - pos - 4);
    pos += 4;
    if (offset == 0xFFFF && length == 0) {
      which = 1;
      continue;
    }
    (void)files[which].write_at(uint64_t{offset} * 512, std::span(data + pos, length));
    pos += length;
  }
  for (File& f : files) (void)f.close();
  DiskImage image;
  if (open_image_as(image, paths[0], true, FORMAT_VHDX) != OK) return 0;
  fuzz::exercise_image(image);
  fuzz::trim_and_discard(image, paths[0]);
  return 0;
}
