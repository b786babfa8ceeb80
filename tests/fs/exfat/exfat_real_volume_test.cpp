// exFAT volumes made by mkfs.exfat over dirty space, filled by the test editor (checked by
// fsck.exfat), compared sector by sector with the Sleuth Kit.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/exfat_builder.hpp"
#include "support/exfat_volumes.hpp"
#include "support/fs_support.hpp"
#include "support/map_disk.hpp"
#include "support/oracle_check.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

struct RealExfatCase {
  const char* name;
  uint32_t mib;
  const char* mkfs_options;
};

class RealExfatVolume : public ::testing::TestWithParam<RealExfatCase> {};

TEST_P(RealExfatVolume, MapMatchesTheSleuthKit) {
  if (!have_exfat_tools()) GTEST_SKIP() << "mkfs.exfat or blkls missing";
  const RealExfatCase& c = GetParam();
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_exfat_volume(image, c.mib, c.mkfs_options)) << c.mkfs_options;
  ExfatEditor ed(image);
  const ExfatContents contents = fill_exfat_volume(ed, 0x40 + c.mib);
  ASSERT_FALSE(contents.kept.empty());
  ASSERT_FALSE(contents.deleted_clusters.empty());
  ASSERT_TRUE(exfat_volume_is_clean(image));

  const ReaderResult r = map_volume_file(image, KIND_EXFAT);
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  const OracleAllocation oracle = run_blkls(image);
  ASSERT_EQ(oracle.unit, "Sector");
  // The boot regions, the FAT and any alignment gap lie in front of the heap: always used.
  const uint32_t spu = ed.bytes_per_sector() / 512;
  auto outside_heap = [&](uint64_t s) { return s < ed.heap_offset() / 512 || s >= ed.heap_end_sector(); };
  const OracleComparison check = compare_with_oracle(r, oracle, spu, 0, outside_heap);
  EXPECT_EQ(check.mismatches, 0u) << check.first_mismatch;
  EXPECT_EQ(check.units * spu, r.sectors);
  for (uint64_t s = 0; s < r.sectors; ++s)
    if (outside_heap(s)) {
      ASSERT_TRUE(r.used(s)) << "sector " << s;
    }
  EXPECT_GT(check.free_units, 0u);

  // Contiguous files carry no FAT chain: only the bitmap says they are there.
  for (const auto& [name, clusters] : contents.kept)
    for (uint32_t cl : clusters)
      for (uint64_t s = ed.cluster_first_sector(cl); s < ed.cluster_end_sector(cl); ++s)
        ASSERT_TRUE(r.used(s)) << name << " cluster " << cl;
  for (uint32_t cl : contents.deleted_clusters) {
    if (ed.allocated(cl)) continue;  // taken again by a later file
    for (uint64_t s = ed.cluster_first_sector(cl); s < ed.cluster_end_sector(cl); ++s)
      ASSERT_FALSE(r.used(s)) << "deleted cluster " << cl;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Exfat, RealExfatVolume,
    ::testing::Values(RealExfatCase{"default_4k_clusters", 16, ""},
                      RealExfatCase{"512b_clusters", 24, "-c 512"},
                      RealExfatCase{"32k_clusters", 48, "-c 32K"},
                      RealExfatCase{"packed_bitmap", 24, "--pack-bitmap"},
                      RealExfatCase{"small_alignment", 12, "-b 4K -c 1K"}),
    [](const ::testing::TestParamInfo<RealExfatCase>& info) { return std::string(info.param.name); });

// Type 0x07 names NTFS first; the exFAT volume is found when every kind is tried.
TEST(ExfatReader, UsageMapFindsTheVolumeInItsPartition) {
  if (!have_exfat_tools()) GTEST_SKIP() << "mkfs.exfat or blkls missing";
  TempDir dir;
  const std::string image = dir.file("vol.img");
  ASSERT_TRUE(make_exfat_volume(image, 8, ""));
  ExfatEditor ed(image);
  fill_exfat_volume(ed, 3);
  const ReaderResult alone = map_volume_file(image, KIND_EXFAT);
  ASSERT_EQ(alone.probe, OK);

  expect_partition_answers_alone(dir.file("disk.img"), image, 0x07, KIND_EXFAT, alone);
}

}  // namespace
}  // namespace qx::test
