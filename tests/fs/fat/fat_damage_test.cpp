// Damaged FAT volumes: cut images and deterministic byte flips over the first megabyte. Nothing may
// crash or hang; what is not understood fails the probe, and the map then keeps everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "image/disk_image.hpp"
#include "support/fat_volumes.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/map_disk.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kBootFieldsEnd = 90;

TEST(FatDamage, CutVolumeIsKeptWhole) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_fat_volume(image, 16, "-F 16 -s 2"));
  ASSERT_TRUE(fill_fat_volume(dir, image, 9));
  std::filesystem::resize_file(image, 8 << 20);
  EXPECT_EQ(map_volume_file(image, KIND_FAT).probe, ERR_LAYOUT);
  expect_kept_whole(dir.file("disk.img"), image, 0x0C);
}

TEST(FatDamage, DifferingTablesKeepTheVolumeWhole) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_fat_volume(image, 36, "-F 32 -s 1"));
  ASSERT_TRUE(fill_fat_volume(dir, image, 11));
  const FatBootGeometry g = fat_boot_geometry(image);
  // Clear one allocated entry of the second copy only, near its end.
  uint64_t at = g.fat_offset + 2 * g.fat_bytes - 4;
  while (read_range(image, at, 4) == std::vector<uint8_t>(4, 0)) at -= 4;
  patch_file_le32(image, at, 0);
  expect_kept_whole(dir.file("disk.img"), image, 0x0C);
}

struct FlipCase {
  const char* name;
  uint32_t mib;
  const char* mkfs_options;
};

class FatByteFlips : public ::testing::TestWithParam<FlipCase> {};

TEST_P(FatByteFlips, NeverCrashAndFailWhatTheyCannotVouchFor) {
  if (!have_fat_tools()) GTEST_SKIP() << "mkfs.vfat, mtools or blkls missing";
  const FlipCase& c = GetParam();
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_fat_volume(image, c.mib, c.mkfs_options));
  ASSERT_TRUE(fill_fat_volume(dir, image, 21));
  const ReaderResult baseline = map_volume_file(image, KIND_FAT);
  ASSERT_EQ(baseline.probe, OK);
  const FatBootGeometry g = fat_boot_geometry(image);
  ASSERT_GE(g.fat_count, 2u);
  const uint64_t tables_end = g.fat_offset + g.fat_count * g.fat_bytes;
  const uint64_t span = std::min<uint64_t>(1 << 20, std::filesystem::file_size(image));
  const uint64_t metadata_span = std::min<uint64_t>(span, g.data_first_sector * 512 + 4096);

  FlipRandom random(0x9E3779B9u ^ c.mib);
  const auto next = [&random] { return random.next(); };
  int rejected = 0;
  for (int i = 0; i < 300; ++i) {
    // Every fourth round scrambles several boot-sector bytes at once.
    const bool burst = i % 4 == 3;
    uint64_t first = 0;
    DamagedBytes damage(image);
    for (int k = 0; k < (burst ? 6 : 1); ++k) {
      const uint64_t at = burst ? next() % kBootFieldsEnd
                          : i % 2 ? next() % span
                                  : next() % metadata_span;
      if (k == 0) first = at;
      damage.flip(at, static_cast<uint8_t>(1 + next() % 255));
    }
    const ReaderResult r = map_volume_file(image, KIND_FAT);
    damage.restore();
    if (r.probe != OK) {
      ++rejected;
      continue;
    }
    ASSERT_EQ(r.mark, OK);
    if (burst) continue;
    const uint64_t at = first;
    if (at >= g.fat_offset && at < tables_end) {
      ADD_FAILURE() << "a flip in the tables at " << at << " was not noticed";
    } else if (at >= kBootFieldsEnd) {
      // Outside the boot fields and the tables nothing bears on allocation.
      ASSERT_EQ(r.bitmap, baseline.bitmap) << "flip at " << at;
    }
  }
  EXPECT_GT(rejected, 0);
  EXPECT_EQ(map_volume_file(image, KIND_FAT).bitmap, baseline.bitmap);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatByteFlips,
                         ::testing::Values(FlipCase{"fat12", 2, "-F 12 -s 1"},
                                           FlipCase{"fat16", 8, "-F 16 -s 1"},
                                           FlipCase{"fat32", 36, "-F 32 -s 1"}),
                         [](const ::testing::TestParamInfo<FlipCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qx::test
