// Swap areas made by mkswap: alone, in partitions of any type, in an LVM logical volume, and
// damaged or hibernated ones that must be kept whole.
#include <gtest/gtest.h>

#include <filesystem>

#include "image/byte_order.hpp"
#include "support/disk_builder.hpp"
#include "support/ext_builder.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/lvm_builder.hpp"
#include "support/map_disk.hpp"
#include "support/swap_tools.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

class SwapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_swap_tools()) GTEST_SKIP() << "mkswap or swaplabel missing";
  }
  // The header's own last page, read without the reader.
  uint32_t last_page(const std::string& path) {
    const std::vector<uint8_t> b = read_file(path);
    return le32(b.data() + 1028);
  }
  TempDir dir;
};

TEST_F(SwapTest, HeaderPageAndTailStayUsedEveryPageBetweenIsFree) {
  for (uint32_t page : {4096u, 8192u, 16384u, 65536u}) {
    SCOPED_TRACE(page);
    const std::string path = dir.file("swap.img");
    // The area ends 3 pages and a sector short of its volume.
    const uint64_t area = 8 * kMiB;
    ASSERT_TRUE(make_swap_area(path, area + 3 * page + 512, page, area));
    const uint32_t last = last_page(path);
    ASSERT_EQ(uint64_t{last + 1} * page, area);
    const ReaderResult r = map_volume_file(path, KIND_SWAP);
    ASSERT_EQ(r.probe, OK);
    ASSERT_EQ(r.mark, OK);
    const uint32_t per_page = page / 512;
    for (uint32_t s = 0; s < r.sectors; ++s) {
      const bool expect_used = s < per_page || s >= (uint64_t{last} + 1) * per_page;
      ASSERT_EQ(r.used(s), expect_used) << "sector " << s;
    }
    EXPECT_TRUE(swap_area_readable(path));
  }
}

TEST_F(SwapTest, FoundWhateverThePartitionTypeSays) {
  const std::string path = dir.file("swap.img");
  ASSERT_TRUE(make_swap_area(path, 4 * kMiB, 4096));
  const ReaderResult alone = map_volume_file(path, KIND_SWAP);
  ASSERT_EQ(alone.probe, OK);
  for (uint8_t type : {0x82, 0x83, 0x07, 0x0C, 0xFB})
    expect_partition_answers_alone(dir.file("disk.img"), path, type, KIND_SWAP, alone);
}

TEST_F(SwapTest, FoundInsideAnLvmLogicalVolume) {
  const std::string area = dir.file("swap.img");
  ASSERT_TRUE(make_swap_area(area, 8 * kMiB, 65536));
  const ReaderResult alone = map_volume_file(area, KIND_SWAP);
  ASSERT_EQ(alone.probe, OK);
  const std::string disk = dir.file("disk.img");
  LvmPvSpec pv;
  pv.extent_size = 8192;  // 4 MiB
  pv.pe_start = 2048;
  pv.pe_count = 4;
  pv.dev_size = 2048 + 4 * 8192;
  pv.lvs = {linear_lv("root", 0, 1), linear_lv("swap", 1, 2)};
  make_dirty_file(disk, (2048 + pv.dev_size + 2048) * 512, 0x19);
  write_boot_sector(disk, 0, {MbrSlot{0x8E, 2048, static_cast<uint32_t>(pv.dev_size)}});
  write_lvm_pv(disk, 2048 * 512, pv);
  const uint32_t lv_start = 2048 + 2048 + 8192;
  write_at(disk, uint64_t{lv_start} * 512, read_file(area));
  const DiskMap m = map_disk_file(disk);
  ASSERT_EQ(m.error, OK);
  bool found = false;
  for (const DiskMapRegion& region : m.regions) {
    if (region.start != lv_start) continue;
    found = true;
    EXPECT_EQ(region.kind, KIND_SWAP);
    ASSERT_EQ(region.length, alone.sectors);
    for (uint32_t s = 0; s < region.length; ++s)
      ASSERT_EQ(m.sector_used(lv_start + s), alone.used(s)) << s;
  }
  EXPECT_TRUE(found);
}

// Hibernated areas, headers that do not check out and signatures that could belong to another
// page size: the area is not recognised and its partition kept whole.
TEST_F(SwapTest, HibernatedOrDoubtfulAreasAreKeptWhole) {
  struct Patch {
    uint32_t page;
    uint64_t at;
    std::vector<uint8_t> bytes;
    const char* what;
  };
  const auto text = [](const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); };
  const auto word = [](uint32_t v) {
    std::vector<uint8_t> b(4);
    store_le<uint32_t>(b.data(), v);
    return b;
  };
  const Patch patches[] = {
      {4096, 4086, text("S1SUSPEND\0", 10), "hibernation image"},
      {4096, 4086, text("S2SUSPEND\0", 10), "hibernation image, compressed"},
      {4096, 4086, text("SWAP-SPACE", 10), "version 0 area"},
      {65536, 4086, text("S1SUSPEND\0", 10), "hibernated with 4 KiB pages over a 64 KiB area"},
      {4096, 1024, word(2), "unknown version"},
      {4096, 1024, word(0x01000000), "big-endian header"},
      {4096, 1028, word(0), "no page behind the header"},
      {4096, 1028, word(1024), "last page beyond the volume"},
      {4096, 1032, word(700), "more bad pages than the header holds"},
      {4096, 1032, word(1), "bad page 0"},
  };
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.what);
    const std::string path = dir.file("swap.img");
    ASSERT_TRUE(make_swap_area(path, 4 * kMiB, p.page));
    ASSERT_EQ(map_volume_file(path, KIND_SWAP).probe, OK);
    write_at(path, p.at, p.bytes);
    EXPECT_NE(map_volume_file(path, KIND_SWAP).probe, OK);
    expect_kept_whole(dir.file("disk.img"), path, 0x82);
  }
}

TEST_F(SwapTest, BadPagesStayUsed) {
  const std::string path = dir.file("swap.img");
  ASSERT_TRUE(make_swap_area(path, 4 * kMiB, 4096));
  std::vector<uint8_t> list(12);
  store_le<uint32_t>(list.data(), 2);
  store_le<uint32_t>(list.data() + 4, 7);
  store_le<uint32_t>(list.data() + 8, 1023);
  write_at(path, 1536, list);
  std::vector<uint8_t> count(4);
  store_le<uint32_t>(count.data(), 3);
  write_at(path, 1032, count);
  const ReaderResult r = map_volume_file(path, KIND_SWAP);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t page = 0; page < 1024; ++page)
    EXPECT_EQ(r.used(page * 8ull), page == 0 || page == 2 || page == 7 || page == 1023) << page;
  store_le<uint32_t>(list.data() + 8, 1024);  // beyond the last page
  write_at(path, 1536, list);
  EXPECT_NE(map_volume_file(path, KIND_SWAP).probe, OK);
}

TEST_F(SwapTest, ByteFlipsOfTheHeaderNeverFreeAUsedSector) {
  const std::string path = dir.file("swap.img");
  ASSERT_TRUE(make_swap_area(path, 2 * kMiB, 16384));
  const FlipStats stats = run_flip_campaign(
      path, KIND_SWAP, {{1024, 1036 + 512}, {4086, 10}, {8182, 10}, {16374, 10}}, 300, 8);
  EXPECT_EQ(stats.failure, "");
  EXPECT_GT(stats.flips, 250);
}

// A file system made over a swap area whose signature survived is read as that file system.
TEST_F(SwapTest, AFileSystemOverAStaleSignatureWins) {
  if (!have_tool("mke2fs")) GTEST_SKIP() << "mke2fs missing";
  const std::string path = dir.file("vol.img");
  MkExtOptions o;
  o.type = "ext2";
  o.block_size = 1024;
  o.blocks = 8192;
  ASSERT_TRUE(make_ext_volume(path, o));
  std::vector<uint8_t> signature = {'S', 'W', 'A', 'P', 'S', 'P', 'A', 'C', 'E', '2'};
  write_at(path, 4086, signature);
  const ReaderResult alone = map_volume_file(path, KIND_EXT);
  ASSERT_EQ(alone.probe, OK);
  expect_partition_answers_alone(dir.file("disk.img"), path, 0x82, KIND_EXT, alone);
}

}  // namespace
}  // namespace qx::test
