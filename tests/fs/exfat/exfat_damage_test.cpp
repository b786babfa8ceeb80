// Damaged exFAT volumes: cut images and deterministic byte flips over the boot region, the FAT,
// the root directory and the bitmap. Nothing may crash or hang; what is not understood fails the
// probe, and the map then keeps everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "support/exfat_builder.hpp"
#include "support/exfat_volumes.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/map_disk.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kBootFieldsEnd = 120;

TEST(ExfatDamage, CutVolumeIsKeptWhole) {
  if (!have_exfat_tools()) GTEST_SKIP() << "mkfs.exfat or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_exfat_volume(image, 16, ""));
  ExfatEditor ed(image);
  fill_exfat_volume(ed, 5);
  std::filesystem::resize_file(image, 12 << 20);
  EXPECT_EQ(map_volume_file(image, KIND_EXFAT).probe, ERR_LAYOUT);
  expect_kept_whole(dir.file("disk.img"), image, 0x07);
}

TEST(ExfatDamage, VolumeInsideALargerDisk) {
  if (!have_exfat_tools()) GTEST_SKIP() << "mkfs.exfat or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_exfat_volume(image, 8, "-c 1K"));
  ExfatEditor ed(image);
  fill_exfat_volume(ed, 6);
  const ReaderResult alone = map_volume_file(image, KIND_EXFAT);
  ASSERT_EQ(alone.probe, OK);

  const std::string disk = dir.file("disk.img");
  const uint32_t offset = 63;
  const uint32_t total = offset + alone.sectors + 9;
  make_dirty_file(disk, uint64_t{total} * 512);
  patch_file(disk, uint64_t{offset} * 512, read_range(image, 0, size_t{alone.sectors} * 512));
  DiskImage di;
  ASSERT_EQ(open_flat(di, disk, true, 0, DiskGeometry{total, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  ASSERT_EQ(fs_reader(KIND_EXFAT).probe(di, offset, alone.sectors, state), OK);
  // One sector short of the heap's end is a cut volume.
  std::unique_ptr<ReaderState> shorter;
  EXPECT_EQ(fs_reader(KIND_EXFAT).probe(di, offset, static_cast<uint32_t>(ed.heap_end_sector() - 1),
                                        shorter),
            ERR_LAYOUT);
  EXPECT_FALSE(shorter);
  close_image(di);
  std::filesystem::remove(disk);
  std::vector<uint8_t> bitmap(bitmap_bytes(alone.sectors + 3), 0);
  ASSERT_EQ(fs_reader(KIND_EXFAT).mark(*state, 0, alone.sectors, bitmap, 3), OK);
  for (uint32_t s = 0; s < alone.sectors; ++s)
    ASSERT_EQ(test_bit(bitmap, s + 3), alone.used(s)) << "sector " << s;
}

struct FlipCase {
  const char* name;
  uint32_t mib;
  const char* mkfs_options;
};

class ExfatByteFlips : public ::testing::TestWithParam<FlipCase> {};

TEST_P(ExfatByteFlips, NeverCrashAndFailWhatTheyCannotVouchFor) {
  if (!have_exfat_tools()) GTEST_SKIP() << "mkfs.exfat or blkls missing";
  const FlipCase& c = GetParam();
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_exfat_volume(image, c.mib, c.mkfs_options));
  ExfatEditor ed(image);
  fill_exfat_volume(ed, 17);
  const ReaderResult baseline = map_volume_file(image, KIND_EXFAT);
  ASSERT_EQ(baseline.probe, OK);

  const uint64_t cb = ed.bytes_per_cluster();
  const uint64_t fat_end = ed.fat_offset() + (uint64_t{ed.cluster_count()} + 2) * 4;
  const uint64_t root_first = ed.cluster_byte(ed.root_cluster());
  const uint64_t bitmap_first = ed.cluster_byte(ed.bitmap_cluster());
  const uint64_t bitmap_end = bitmap_first + ed.bitmap_length();  // contiguous as mkfs lays it
  const uint64_t meta_end = std::max({root_first + cb, bitmap_end}) + 2 * cb;
  struct Region {
    uint64_t first, end;
  };
  const Region regions[] = {{0, std::min<uint64_t>(1 << 20, meta_end)},
                            {ed.fat_offset(), fat_end},
                            {ed.heap_offset(), meta_end}};

  FlipRandom random(0x2545F491u ^ c.mib);
  const auto next = [&random] { return random.next(); };
  int rejected = 0;
  for (int i = 0; i < 300; ++i) {
    const bool burst = i % 5 == 4;
    uint64_t first = 0;
    DamagedBytes damage(image);
    for (int k = 0; k < (burst ? 6 : 1); ++k) {
      const Region& r = regions[next() % 3];
      const uint64_t at = burst ? next() % kBootFieldsEnd : r.first + next() % (r.end - r.first);
      if (k == 0) first = at;
      damage.flip(at, static_cast<uint8_t>(1 + next() % 255));
    }
    const ReaderResult r = map_volume_file(image, KIND_EXFAT);
    damage.restore();
    if (r.probe != OK) {
      ++rejected;
      continue;
    }
    ASSERT_EQ(r.mark, OK);
    if (burst) continue;
    const uint64_t at = first;
    const bool boot_field = at < kBootFieldsEnd || (at >= 510 && at < 512);
    const bool in_fat = at >= ed.fat_offset() && at < fat_end;
    const bool in_root = at >= root_first && at < root_first + cb;
    const bool in_bitmap = at >= bitmap_first && at < bitmap_end;
    if (boot_field || in_fat || in_root) continue;
    if (in_bitmap) {
      // Only the eight clusters of the flipped byte may change.
      const uint64_t first_cluster = (at - bitmap_first) * 8 + 2;
      const uint64_t lo = ed.cluster_first_sector(static_cast<uint32_t>(first_cluster));
      const uint64_t hi = ed.cluster_end_sector(static_cast<uint32_t>(first_cluster + 7));
      for (uint64_t s = 0; s < r.sectors; ++s) {
        if (s >= lo && s < hi) continue;
        ASSERT_EQ(r.used(s), baseline.used(s)) << "flip at " << at;
      }
      continue;
    }
    ASSERT_EQ(r.bitmap, baseline.bitmap) << "flip at " << at;
  }
  EXPECT_GT(rejected, 0);
  EXPECT_EQ(map_volume_file(image, KIND_EXFAT).bitmap, baseline.bitmap);
}

INSTANTIATE_TEST_SUITE_P(Exfat, ExfatByteFlips,
                         ::testing::Values(FlipCase{"default", 16, ""},
                                           FlipCase{"small_clusters", 24, "-c 512"},
                                           FlipCase{"first_megabyte", 12, "-b 4K -c 1K"}),
                         [](const ::testing::TestParamInfo<FlipCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qx::test
