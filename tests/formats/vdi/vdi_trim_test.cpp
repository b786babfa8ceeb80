// The VDI writer on files built to exact shapes: which blocks survive, where they land, what the
// head holds, and what a cancelled, refused or hostile trim leaves behind.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <filesystem>
#include <functional>

#include "formats/format_ids.hpp"
#include "image/replacement.hpp"
#include "formats/vdi/vdi.hpp"
#include "image/disk_image.hpp"
#include "support/explicit_map.hpp"
#include "support/file_patch.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vdi_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
constexpr uint32_t kBlockSectors = 2048;
constexpr uint32_t kBlock = 1u << 20;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;

std::vector<uint8_t> disk_of(const std::string& path) {
  DiskImage image;
  EXPECT_EQ(open_image_as(image, path, true, FORMAT_VDI), OK);
  std::vector<uint8_t> out(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, out), OK);
  return out;
}

TEST(VdiTrim, PacksKeptBlocksInBlockOrderUnderTheSourceHeader) {
  test::TempDir dir;
  const std::string path = dir.file("d.vdi");
  test::VdiBuilder b;
  b.fill(5 * kBlockSectors + 2040, 1, 0x11);  // block 5, stored first
  b.fill(5 * kBlockSectors, 100, 0x22);       //   and data the map calls free
  b.allocate(2);                              // block 2: stored zeros, all used
  b.fill(4 * kBlockSectors, 300, 0x33);       // block 4: data in free sectors only
  b.fill(1 * kBlockSectors + 9, 1, 0x44);     // block 1: one used sector
  b.mark_zero(6);
  b.write_to(path);
  const auto source = test::read_file(path);
  test::ExplicitUsageMap used(16384);
  used.set_free(4 * kBlockSectors, kBlockSectors);
  used.set_free(5 * kBlockSectors, 100);

  const test::Trimmed t = test::trim(path, nullptr, &used.map());
  ASSERT_EQ(t.rc, OK);
  const auto out = test::read_file(path);
  const auto view = test::parse_vdi(out);
  EXPECT_EQ(view.map, (std::vector<uint32_t>{kUnallocated, 0, kUnallocated, kUnallocated, kUnallocated, 1,
                                             kUnallocated, kUnallocated}));
  EXPECT_EQ(view.blocks_allocated, 2u);
  ASSERT_EQ(out.size(), b.data_offset() + 2u * kBlock);
  // Header bytes as they were, but for the allocated count; zeros up to the map and after it.
  for (size_t i = 0; i < 472; ++i) {
    if (i >= 388 && i < 392) continue;
    ASSERT_EQ(out[i], source[i]) << i;
  }
  EXPECT_TRUE(std::all_of(out.begin() + 472, out.begin() + 512, [](uint8_t v) { return v == 0; }));
  EXPECT_TRUE(std::all_of(out.begin() + 512 + 32, out.begin() + b.data_offset(), [](uint8_t v) { return v == 0; }));
  // Kept blocks whole, the free data in them too.
  const auto disk = b.disk();
  EXPECT_TRUE(std::equal(out.begin() + b.data_offset(), out.begin() + b.data_offset() + kBlock, disk.begin() + kBlock));
  EXPECT_TRUE(std::equal(out.begin() + b.data_offset() + kBlock, out.end(), disk.begin() + 5 * kBlock));
  if (test::have_tool("qemu-img")) {
    const auto r = test::run_command("qemu-img check " + test::shell_quote(path) + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
  }
}

TEST(VdiTrim, LastBlockOfAPartSectorDiskIsWrittenWholeWithAZeroTail) {
  test::TempDir dir;
  const std::string path = dir.file("p.vdi");
  test::VdiShape shape;
  shape.disk_size = 3 * kBlock + 1000;  // 6146 sectors, the last one in part
  test::VdiBuilder b(shape);
  b.fill(0, kBlockSectors, 0x55);           // a full block copied first
  b.fill(3 * kBlockSectors, 2, 0x66);
  b.fill(3 * kBlockSectors + 2, 40, 0x77);  // beyond the disk's end, in the stored block
  b.write_to(path);
  ASSERT_EQ(test::trim(path).rc, OK);
  const auto out = test::read_file(path);
  const auto view = test::parse_vdi(out);
  EXPECT_EQ(view.map[3], 1u);
  ASSERT_EQ(out.size(), b.data_offset() + 2 * kBlock);
  const auto data = std::span(out).subspan(b.data_offset() + kBlock);
  EXPECT_TRUE(std::all_of(data.begin(), data.begin() + 1024, [](uint8_t v) { return v == 0x66; }));
  EXPECT_TRUE(std::all_of(data.begin() + 1024, data.end(), [](uint8_t v) { return v == 0; }));
}

// Offsets the writer keeps exactly as the source has them, whatever their alignment.
TEST(VdiTrim, OddOffsetsStayWhereTheHeaderSaysAndReadBack) {
  struct Case {
    const char* name;
    std::function<void(test::VdiShape&)> shape;
  };
  const Case cases[] = {
      {"map at an offset of 4n + 1", [](auto& s) { s.block_map_offset = 1001; }},
      {"data at an offset of 512n + 100", [](auto& s) { s.data_offset = 4096 + 100; }},
      {"header size 384, InnoTek text",
       [](auto& s) { s.header_size = 384; s.pre_header = "<<< InnoTek VirtualBox Disk Image >>>\n"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("o.vdi");
    test::VdiShape shape;
    c.shape(shape);
    test::VdiBuilder b(shape);
    b.fill(6 * kBlockSectors + 3, 5, 0x12);
    b.fill(2 * kBlockSectors, 1, 0x34);
    b.write_to(path);
    const auto source = test::read_file(path);
    ASSERT_EQ(test::trim(path).rc, OK);
    const auto out = test::read_file(path);
    const auto view = test::parse_vdi(out);
    EXPECT_EQ(view.block_map_offset, shape.block_map_offset);
    EXPECT_EQ(view.data_offset, b.data_offset());
    EXPECT_EQ(view.header_size, shape.header_size);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 64, source.begin()));
    EXPECT_EQ(view.map[2], 0u);
    EXPECT_EQ(view.map[6], 1u);
    EXPECT_EQ(disk_of(path), b.disk());
  }
}

TEST(VdiTrim, CancelledAtTheStartOrMidwayLeavesNothing) {
  for (size_t cancel_at : {size_t{0}, size_t{4}}) {
    SCOPED_TRACE(cancel_at);
    test::TempDir dir;
    const std::string path = dir.file("c.vdi");
    test::VdiBuilder b;
    for (uint32_t block = 0; block < 8; ++block) b.fill(block * kBlockSectors, 1, 0x99);
    b.write_to(path);
    const auto source = test::read_file(path);
    test::ProgressLog log;
    log.cancel_at = cancel_at;
    EXPECT_EQ(test::trim(path, &log).rc, CANCELLED);
    ASSERT_EQ(log.calls.size(), cancel_at + 1);
    EXPECT_EQ(log.calls[0], std::make_pair(0u, 16384u));
    EXPECT_EQ(test::read_file(path), source);
    EXPECT_FALSE(fs::exists(path + "_TEMP"));
  }
}

// A data offset near 4 GiB in a sparse file: the trim must neither allocate nor write gigabytes.
TEST(VdiTrim, HostileDataOffsetCostsNeitherMemoryNorWrites) {
#ifdef _WIN32
  GTEST_SKIP() << "measures memory and disk blocks with getrusage() and st_blocks, which Windows lacks";
#else
  test::TempDir dir;
  const std::string path = dir.file("h.vdi");
  test::VdiBuilder().write_to(path);
  test::patch_file_le32(path, 344, 0xFFFFF000u);
  fs::resize_file(path, 0xFFFFF000u);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  ASSERT_EQ(test::trim(path).rc, OK);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
  EXPECT_EQ(fs::file_size(path), 0xFFFFF000u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, uint64_t{16} << 20);
  EXPECT_EQ(test::read_range(path, 64, 4), (std::vector<uint8_t>{0x7F, 0x10, 0xDA, 0xBE}));
#endif
}

}  // namespace
}  // namespace qx
