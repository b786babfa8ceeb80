// Opening and reading VDI files: the header rules, geometry, the block map and the free-range
// queries.
#include <gtest/gtest.h>

#include <functional>

#include "formats/vdi/vdi.hpp"
#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/explicit_map.hpp"
#include "support/test_support.hpp"
#include "support/vdi_builder.hpp"

namespace qx {
namespace {

constexpr uint32_t kBlockSectors = 2048;  // the builder's 1 MiB blocks

std::vector<uint8_t> sector_of(uint32_t seed) {
  std::vector<uint8_t> s(512);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>((seed * 131 + i * 7) | 1);
  return s;
}

// Blocks 3 and 0 stored (in that order), block 1 reads as zeros, the rest are not stored; a fixed
// image stores them all.
test::VdiBuilder sample(test::VdiShape shape = {}) {
  test::VdiBuilder b(std::move(shape));
  b.write(3 * kBlockSectors + 7, sector_of(1));
  b.fill(5, 3, 0x42);
  if (b.shape().image_type != 2) b.mark_zero(1);
  return b;
}

ErrorCode open_file(DiskImage& image, const std::string& path) {
  return open_image_as(image, path, true, FORMAT_VDI);
}

std::vector<uint8_t> read_all(DiskImage& image) {
  std::vector<uint8_t> out(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, out), OK);
  return out;
}

TEST(VdiBuilderCheck, QemuReadsTheBuilderOutput) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::VdiShape fixed;
  fixed.image_type = 2;
  test::VdiShape innotek;
  innotek.pre_header = "<<< InnoTek VirtualBox Disk Image >>>\n";
  innotek.header_size = 384;
  for (const test::VdiShape& shape : {test::VdiShape{}, fixed, innotek}) {
    test::TempDir dir;
    const test::VdiBuilder b = sample(shape);
    b.write_to(dir.file("b.vdi"));
    const auto check = test::run_command("qemu-img check " + test::shell_quote(dir.file("b.vdi")) + " 2>&1");
    EXPECT_EQ(check.status, 0) << check.output;
    ASSERT_EQ(test::run_command("qemu-img convert -f vdi -O raw " + test::shell_quote(dir.file("b.vdi")) + " " +
                                test::shell_quote(dir.file("b.raw")))
                  .status,
              0);
    EXPECT_EQ(test::read_file(dir.file("b.raw")), b.disk());
  }
}

TEST(VdiOpen, RefusesWhatIsNotAnAcceptableVdi) {
  struct Case {
    const char* name;
    std::function<void(test::VdiShape&)> shape;
    std::function<void(std::vector<uint8_t>&)> bytes;
    ErrorCode expected = ERR_BAD_FORMAT;
  };
  const Case cases[] = {
      {"471-byte file", {}, [](auto& f) { f.resize(471); }},
      {"signature", [](auto& s) { s.signature ^= 1; }, {}},
      {"version 1.2", [](auto& s) { s.version = 0x00010002; }, {}},
      {"header size 392", [](auto& s) { s.header_size = 392; }, {}},
      {"differencing type 4", [](auto& s) { s.image_type = 4; }, {}},
      {"type 0", [](auto& s) { s.image_type = 0; }, {}},
      {"map inside the header", [](auto& s) { s.block_map_offset = 471; }, {}},
      {"data before the map's end", [](auto& s) { s.data_offset = 512 + 7 * 4; }, {}},
      {"one byte too long", [](auto& s) { s.trailing_bytes = 1; }, {}},
      {"one byte short", {}, [](auto& f) { f.pop_back(); }},
      {"one block more counted", [](auto& s) { s.blocks_allocated = 3; }, {}},
      {"block size 0", [](auto& s) { s.block_bytes = 0; s.block_count = 8; }, {}},
      {"block size of part sectors", [](auto& s) { s.block_bytes = 1000; s.disk_size = 8000; }, {}},
      {"map shorter than the disk", [](auto& s) { s.block_count = 7; }, {}},
      {"entry beyond the data area", {}, [](auto& f) { std::fill_n(f.begin() + 512 + 4 * 4, 4, 0); f[512 + 4 * 4] = 2; }},
      {"disk beyond 2^32 sectors",
       [](auto& s) { s.block_bytes = 1u << 31; s.disk_size = (uint64_t{1} << 41) + 512; }, {},
       ERR_UNSUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::VdiShape shape;
    if (c.shape) c.shape(shape);
    // Shapes of other block sizes stay without data.
    std::vector<uint8_t> bytes = shape.block_bytes == 1u << 20 ? sample(shape).bytes() : test::VdiBuilder(shape).bytes();
    if (c.bytes) c.bytes(bytes);
    test::write_file(dir.file("x.vdi"), bytes);
    DiskImage image;
    EXPECT_EQ(open_file(image, dir.file("x.vdi")), c.expected);
    EXPECT_FALSE(image.is_open());
  }
}

TEST(VdiOpen, ReadsEveryShapeItAccepts) {
  struct Case {
    const char* name;
    std::function<void(test::VdiShape&)> shape;
    uint32_t heads = 16, sectors_per_track = 63, total_sectors = 16384;
  };
  const Case cases[] = {
      {"header size 400, Oracle", [](auto&) {}},
      {"header size 384, Sun xVM", [](auto& s) { s.header_size = 384; s.pre_header = "<<< Sun xVM VirtualBox Disk Image >>>\n"; }},
      {"Sun", [](auto& s) { s.pre_header = "<<< Sun VirtualBox Disk Image >>>\n"; }},
      {"any text", [](auto& s) { s.pre_header = std::string(64, 'q'); }},
      {"fixed", [](auto& s) { s.image_type = 2; }},
      {"block extra data", [](auto& s) { s.block_extra = 1000; }},
      {"map offset not a multiple of 4", [](auto& s) { s.block_map_offset = 1001; }},
      {"data offset not a multiple of 512", [](auto& s) { s.data_offset = 4096 + 100; }},
      {"more entries than the disk needs", [](auto& s) { s.block_count = 12; }},
      {"small blocks", [](auto& s) { s.block_bytes = 4096; s.disk_size = 1u << 20; }, 16, 63, 2048},
      {"legacy geometry", [](auto& s) { s.legacy_heads = 255; s.legacy_sectors = 32; }, 255, 32},
      {"a part sector counts whole", [](auto& s) { s.disk_size += 100; s.block_extra = 512; }, 16, 63, 16385},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::VdiShape shape;
    c.shape(shape);
    test::VdiBuilder b(shape);
    b.write(7, sector_of(1));
    b.fill(b.block_sectors() * 3 + 1, 2, 0x42);
    b.write_to(dir.file("x.vdi"));
    DiskImage image;
    // Detection finds it by its extension too.
    ASSERT_EQ(open_image(image, dir.file("x.vdi"), true), OK);
    EXPECT_EQ(image.format, FORMAT_VDI);
    const DiskGeometry g = get_geometry(image);
    EXPECT_EQ(g.heads, c.heads);
    EXPECT_EQ(g.sectors_per_track, c.sectors_per_track);
    EXPECT_EQ(g.total_sectors, c.total_sectors);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    EXPECT_EQ(read_all(image), b.disk());
    std::vector<uint8_t> beyond(513);
    EXPECT_EQ(read_bytes(image, g.size_bytes() - 512, beyond), ERR_UNSUPPORTED);
    EXPECT_EQ(can_trim(image), shape.block_extra == 0);
    EXPECT_FALSE(needs_layer_local_trim(image));
  }
}

TEST(VdiFreeRanges, StoredDataAgainstTheMap) {
  test::TempDir dir;
  test::VdiBuilder b;
  b.write(10, sector_of(1));                  // block 0: one non-zero sector
  b.allocate(2);                              // block 2: stored zeros
  b.fill(4 * kBlockSectors + 100, 50, 0x77);  // block 4: data the map will call free
  b.mark_zero(5);
  b.write_to(dir.file("f.vdi"));
  DiskImage image;
  ASSERT_EQ(open_file(image, dir.file("f.vdi")), OK);
  test::ExplicitUsageMap used(16384);
  used.set_free(4 * kBlockSectors, kBlockSectors);
  used.set_free(0, 10);

  struct Case {
    uint32_t first, count;
    bool with_map, free, free_in_layer;
  };
  const Case cases[] = {
      {0, kBlockSectors, true, false, false},       // the used non-zero sector
      {0, 10, true, true, true},                    // its free neighbours
      {11, 100, true, true, false},                 // used zeros: free by content, stored in the layer
      {2 * kBlockSectors, kBlockSectors, true, true, false},
      {4 * kBlockSectors, kBlockSectors, true, true, true},   // non-zero but free
      {4 * kBlockSectors, kBlockSectors, false, false, false},
      {kBlockSectors, kBlockSectors, false, true, true},      // not stored
      // Blocks marked zero hide whatever would lie below, so the layer holds them.
      {5 * kBlockSectors, 3 * kBlockSectors, false, true, false},
      {6 * kBlockSectors, 2 * kBlockSectors, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << "+" << c.count << (c.with_map ? " map" : ""));
    const UsageMap* map = c.with_map ? &used.map() : nullptr;
    bool free = !c.free;
    EXPECT_EQ(is_range_free(image, map, c.first, c.count, free, nullptr), OK);
    EXPECT_EQ(free, c.free);
    free = !c.free_in_layer;
    EXPECT_EQ(is_range_free_in_layer(image, map, c.first, c.count, free), OK);
    EXPECT_EQ(free, c.free_in_layer);
  }
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, 16383, 2, free, nullptr), ERR_UNSUPPORTED);
  EXPECT_EQ(is_range_free_in_layer(image, nullptr, 16384, 1, free), ERR_UNSUPPORTED);
}

}  // namespace
}  // namespace qx
