// FAT volumes made by mkfs.vfat and filled with mtools over dirty free space, checked sector by
// sector against the Sleuth Kit.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "support/fat_volumes.hpp"
#include "support/file_patch.hpp"
#include "support/fs_support.hpp"
#include "support/map_disk.hpp"
#include "support/oracle_check.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

struct RealFatCase {
  const char* name;
  uint32_t mib;
  const char* mkfs_options;
};

class RealFatVolume : public ::testing::TestWithParam<RealFatCase> {};

TEST_P(RealFatVolume, MapMatchesTheSleuthKit) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  const RealFatCase& c = GetParam();
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_fat_volume(image, c.mib, c.mkfs_options)) << c.mkfs_options;
  ASSERT_TRUE(fill_fat_volume(dir, image, 0x30 + c.mib));

  const ReaderResult r = map_volume_file(image, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  const OracleAllocation oracle = run_blkls(image);
  ASSERT_EQ(oracle.unit, "Sector");
  const FatBootGeometry g = fat_boot_geometry(image);
  // Reserved area, tables and the FAT12/16 root directory lie in front of the data area and
  // the sectors behind the last whole cluster behind it: both always used.
  const uint32_t spu = g.bytes_per_sector / 512;
  auto outside_data = [&](uint64_t s) { return s < g.data_first_sector || s >= g.data_end_sector; };
  const OracleComparison check = compare_with_oracle(r, oracle, spu, 0, outside_data);
  EXPECT_EQ(check.mismatches, 0u) << check.first_mismatch;
  EXPECT_EQ(check.units * spu, r.sectors);
  for (uint64_t s = 0; s < r.sectors; ++s)
    if (outside_data(s)) {
      ASSERT_TRUE(r.used(s)) << "sector " << s;
    }
  // Deleted files and untouched dirty space make real free space.
  EXPECT_GT(check.free_units, 0u);
  EXPECT_TRUE(r.used(0));
}

INSTANTIATE_TEST_SUITE_P(
    Fat, RealFatVolume,
    ::testing::Values(RealFatCase{"fat12_512b_clusters", 2, "-F 12 -s 1"},
                      RealFatCase{"fat12_2k_clusters", 6, "-F 12 -s 4"},
                      RealFatCase{"fat12_2k_sectors", 6, "-F 12 -S 2048 -s 1"},
                      RealFatCase{"fat12_one_table", 3, "-F 12 -s 2 -f 1"},
                      RealFatCase{"fat12_8k_clusters", 24, "-F 12 -s 16"},
                      RealFatCase{"fat16_1k_clusters", 16, "-F 16 -s 2"},
                      RealFatCase{"fat16_4k_sectors", 32, "-F 16 -S 4096 -s 1"},
                      RealFatCase{"fat16_three_tables", 12, "-F 16 -s 1 -f 3"},
                      RealFatCase{"fat16_8k_clusters", 48, "-F 16 -s 16"},
                      RealFatCase{"fat32_512b_clusters", 36, "-F 32 -s 1"},
                      RealFatCase{"fat32_one_table", 34, "-F 32 -s 1 -f 1"}),
    [](const ::testing::TestParamInfo<RealFatCase>& info) { return std::string(info.param.name); });

// mkfs.vfat makes FAT32 layouts with fewer clusters than FAT32 needs (mtools then takes the
// volume for FAT16). Counted by clusters, the table would be read as 16-bit entries, half of them
// the upper halves of 32-bit ones.
TEST(FatReader, Fat32LayoutWithFat16ClusterCountIsRejected) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  TempDir dir;
  const std::string image = dir.file("small32.img");
  ASSERT_TRUE(make_fat_volume(image, 32, "-F 32 -s 1"));
  const FatBootGeometry g = fat_boot_geometry(image);
  ASSERT_LT(g.cluster_count, 65525u);
  EXPECT_EQ(map_volume_file(image, KIND_FAT).probe, ERR_LAYOUT);
}

// The volume at a partition offset reads the same as alone.
TEST(FatReader, VolumeInsideALargerDisk) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_fat_volume(image, 12, "-F 16 -s 2"));
  ASSERT_TRUE(fill_fat_volume(dir, image, 3));
  const ReaderResult alone = map_volume_file(image, KIND_FAT);
  ASSERT_EQ(alone.probe, OK);

  const std::string disk = dir.file("disk.img");
  const uint32_t offset = 2048;
  const uint32_t total = offset + alone.sectors + 100;
  make_dirty_file(disk, uint64_t{total} * 512);
  patch_file(disk, uint64_t{offset} * 512, read_range(image, 0, size_t{alone.sectors} * 512));

  DiskImage di;
  ASSERT_EQ(open_flat(di, disk, true, 0, DiskGeometry{total, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  ASSERT_EQ(fs_reader(KIND_FAT).probe(di, offset, alone.sectors, state), OK);
  close_image(di);
  // No disk access is left: the image is closed and gone before the queries.
  std::filesystem::remove(disk);
  std::vector<uint8_t> bitmap(bitmap_bytes(alone.sectors + 5), 0xA5);
  ASSERT_EQ(fs_reader(KIND_FAT).mark(*state, 0, alone.sectors, bitmap, 5), OK);
  for (uint32_t s = 0; s < alone.sectors; ++s)
    ASSERT_EQ(test_bit(bitmap, s + 5), alone.used(s)) << "sector " << s;
  // Bits in front of the bit index are not touched.
  EXPECT_EQ(bitmap[0] & 0x1F, 0xA5 & 0x1F);
}

TEST(FatReader, UsageMapFindsTheVolumeInItsPartition) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_fat_volume(image, 8, "-F 16 -s 1"));
  ASSERT_TRUE(fill_fat_volume(dir, image, 5));
  const ReaderResult alone = map_volume_file(image, KIND_FAT);
  ASSERT_EQ(alone.probe, OK);

  expect_partition_answers_alone(dir.file("disk.img"), image, 0x06, KIND_FAT, alone);
}

}  // namespace
}  // namespace qx::test
