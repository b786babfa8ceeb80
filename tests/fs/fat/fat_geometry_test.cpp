// FAT volumes built to exact geometry: type boundaries, entry widths and reserved bits, boot-sector
// checks, table copies and the regions that are always used.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/fat_builder.hpp"
#include "support/file_patch.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kBootBpsField = 11, kBootSpcField = 13, kBootReservedField = 14,
                   kBootFatCountField = 16, kBootRootEntriesField = 17, kBootTotal16Field = 19,
                   kBootMediaField = 21;

FatSpec spec_for(uint64_t clusters, int bits = 0) {
  FatSpec s;
  s.cluster_count = clusters;
  s.fat_bits = bits;
  const int effective = bits ? bits : clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
  if (effective == 32) {
    s.reserved_sectors = 32;
    s.root_entries = 0;
  }
  return s;
}

uint32_t end_of_chain(int bits) { return bits == 12 ? 0xFFF : bits == 16 ? 0xFFFF : 0x0FFFFFFF; }
uint32_t bad_cluster(int bits) { return bits == 12 ? 0xFF7 : bits == 16 ? 0xFFF7 : 0x0FFFFFF7; }

// Every sector of cluster n is used (true) or free (false).
::testing::AssertionResult cluster_is(const ReaderResult& r, const FatVolume& v, uint64_t n,
                                      bool used) {
  for (uint64_t s = v.cluster_first_sector(n); s < v.cluster_end_sector(n); ++s)
    if (r.used(s) != used)
      return ::testing::AssertionFailure() << "cluster " << n << " sector " << s << " is "
                                           << (used ? "free" : "used");
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult front_is_used(const ReaderResult& r, const FatVolume& v) {
  for (uint64_t s = 0; s < v.data_first_sector(); ++s)
    if (!r.used(s)) return ::testing::AssertionFailure() << "metadata sector " << s << " is free";
  return ::testing::AssertionSuccess();
}

struct BoundaryCase {
  uint64_t clusters;
  int bits;
};

class FatTypeBoundary : public ::testing::TestWithParam<BoundaryCase> {};

// Each side of a boundary reads entries of its own width: a wrong width would move the used
// clusters (odd FAT12 entries share bytes with their even neighbours).
TEST_P(FatTypeBoundary, EntriesReadAtTheWidthTheClusterCountImplies) {
  const BoundaryCase c = GetParam();
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(c.clusters));
  ASSERT_EQ(v.fat_bits, c.bits);
  const uint64_t last = c.clusters + 1;
  v.set_entry(3, 4);
  v.set_entry(4, end_of_chain(c.bits));
  v.set_entry(9, bad_cluster(c.bits));
  v.set_entry(last, end_of_chain(c.bits));
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  EXPECT_TRUE(front_is_used(r, v));
  for (uint64_t n = 2; n <= last; ++n) {
    const bool expected = n == 3 || n == 4 || n == 9 || n == last;
    ASSERT_TRUE(cluster_is(r, v, n, expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Fat, FatTypeBoundary,
                         ::testing::Values(BoundaryCase{4084, 12}, BoundaryCase{4085, 16},
                                           BoundaryCase{65524, 16}, BoundaryCase{65525, 32}),
                         [](const ::testing::TestParamInfo<BoundaryCase>& info) {
                           return std::to_string(info.param.clusters) + "_clusters";
                         });

// The boot-sector layout must agree with the family the cluster count names.
TEST(FatGeometry, LayoutOfTheOtherFamilyIsRejected) {
  TempDir dir;
  EXPECT_EQ(map_volume_file(build_fat_volume(dir.file("a.img"), spec_for(65525, 16)).path, KIND_FAT).probe,
            ERR_LAYOUT);
  EXPECT_EQ(map_volume_file(build_fat_volume(dir.file("b.img"), spec_for(65524, 32)).path, KIND_FAT).probe,
            ERR_LAYOUT);
  EXPECT_EQ(map_volume_file(build_fat_volume(dir.file("c.img"), spec_for(3000, 32)).path, KIND_FAT).probe,
            ERR_LAYOUT);
}

TEST(FatGeometry, Fat32TopFourBitsAreIgnored) {
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(70000));
  ASSERT_EQ(v.fat_bits, 32);
  v.set_entry(2, 0xF0000000);
  v.set_entry(3, 0x10000000);
  v.set_entry(4, 0xF0000001);
  v.set_entry(5, 0x0FFFFFF7);
  v.set_entry(6, 0xFFFFFFFF);
  v.set_entry(7, 0x80000000);
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  EXPECT_TRUE(cluster_is(r, v, 2, false));
  EXPECT_TRUE(cluster_is(r, v, 3, false));
  EXPECT_TRUE(cluster_is(r, v, 4, true));
  EXPECT_TRUE(cluster_is(r, v, 5, true));
  EXPECT_TRUE(cluster_is(r, v, 6, true));
  EXPECT_TRUE(cluster_is(r, v, 7, false));
  EXPECT_TRUE(cluster_is(r, v, 8, false));
}

// A table larger than one read: entries on both sides of the chunk seam, and a copy that differs
// only behind it.
TEST(FatGeometry, TableReadInSeveralChunks) {
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(400000));
  ASSERT_GT(v.fat_bytes, 1536u * 1024);
  const uint64_t seam = 1536 * 1024 / 4;
  for (uint64_t n : {seam - 1, seam, seam + 1, uint64_t{400001}}) v.set_entry(n, 0x0FFFFFFF);
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  for (uint64_t n : {seam - 2, seam + 2, uint64_t{400000}}) EXPECT_TRUE(cluster_is(r, v, n, false));
  for (uint64_t n : {seam - 1, seam, seam + 1, uint64_t{400001}}) EXPECT_TRUE(cluster_is(r, v, n, true));

  v.set_entry(seam + 5, 1, 1);
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT);
}

TEST(FatGeometry, DifferingCopiesAreRejected) {
  TempDir dir;
  FatSpec s = spec_for(2000);
  s.fat_count = 3;
  const FatVolume v = build_fat_volume(dir.file("v.img"), s);
  v.set_entry(10, 11);
  v.set_entry(11, end_of_chain(12));
  ASSERT_EQ(map_volume_file(v.path, KIND_FAT).probe, OK);

  // One differing byte in the last copy.
  v.set_entry(11, 0xFFE, 2);
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT);
  v.set_entry(11, end_of_chain(12), 2);
  ASSERT_EQ(map_volume_file(v.path, KIND_FAT).probe, OK);

  // A difference in the table's slack behind the last cluster's entry counts too.
  const uint64_t slack = v.fat_offset + v.fat_bytes + v.fat_bytes - 1;
  patch_byte(v.path, slack, 0x01);
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT);
}

TEST(FatGeometry, SingleTableIsTrusted) {
  TempDir dir;
  FatSpec s = spec_for(2000);
  s.fat_count = 1;
  const FatVolume v = build_fat_volume(dir.file("v.img"), s);
  v.set_entry(100, end_of_chain(12));
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  EXPECT_TRUE(cluster_is(r, v, 100, true));
  EXPECT_TRUE(cluster_is(r, v, 101, false));
}

TEST(FatGeometry, MediaBytes) {
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(1000));
  for (int m = 0; m < 256; ++m) {
    patch_byte(v.path, kBootMediaField, static_cast<uint8_t>(m));
    const bool accepted = m == 0xF0 || m >= 0xF8;
    EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, accepted ? OK : ERR_LAYOUT) << "media " << m;
  }
}

TEST(FatGeometry, BootSectorFieldChecks) {
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(1000));
  struct Patch {
    uint64_t at;
    std::vector<uint8_t> bytes;
  };
  const Patch rejected[] = {
      {kBootBpsField, {0x00, 0x01}},        // 256
      {kBootBpsField, {0x01, 0x02}},        // 513
      {kBootBpsField, {0x00, 0x20}},        // 8192
      {kBootBpsField, {0x00, 0x00}},
      {kBootSpcField, {0}},
      {kBootSpcField, {3}},
      {kBootSpcField, {255}},
      {kBootSpcField, {128}},               // 64 KiB clusters
      {kBootReservedField, {0, 0}},
      {kBootFatCountField, {0}},
      {kBootRootEntriesField, {17, 0}},     // 544 bytes: not whole sectors
      {kBootTotal16Field, {20, 0}},         // fewer sectors than the metadata
  };
  for (const Patch& p : rejected) {
    const std::vector<uint8_t> saved = read_range(v.path, p.at, p.bytes.size());
    patch_file(v.path, p.at, p.bytes);
    EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT) << "field at " << p.at;
    patch_file(v.path, p.at, saved);
  }
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, OK);
}

TEST(FatGeometry, LargestClustersAndSectors) {
  TempDir dir;
  FatSpec s = spec_for(3000);
  s.bytes_per_sector = 1024;
  s.sectors_per_cluster = 32;
  FatVolume v = build_fat_volume(dir.file("a.img"), s);
  v.set_entry(2, end_of_chain(12));
  ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  EXPECT_TRUE(cluster_is(r, v, 2, true));
  EXPECT_TRUE(cluster_is(r, v, 3, false));

  s.bytes_per_sector = 4096;
  s.sectors_per_cluster = 8;
  s.root_entries = 128;
  v = build_fat_volume(dir.file("b.img"), s);
  v.set_entry(3001, end_of_chain(12));
  r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  EXPECT_TRUE(front_is_used(r, v));
  EXPECT_TRUE(cluster_is(r, v, 3000, false));
  EXPECT_TRUE(cluster_is(r, v, 3001, true));
}

TEST(FatGeometry, SectorsBehindTheLastClusterAndTheFileSystemAreUsed) {
  TempDir dir;
  FatSpec s = spec_for(5000);
  s.sectors_per_cluster = 4;
  s.trailing_sectors = 3;
  s.extra_volume_bytes = 7 * 512;
  const FatVolume v = build_fat_volume(dir.file("v.img"), s);
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.sectors, v.data_end_sector() + 3 + 7);
  EXPECT_TRUE(front_is_used(r, v));
  EXPECT_TRUE(r.used(0));
  EXPECT_TRUE(cluster_is(r, v, 5001, false));
  for (uint64_t sct = v.data_end_sector(); sct < r.sectors; ++sct) EXPECT_TRUE(r.used(sct)) << sct;
}

// Clusters the table has no entry for cannot be vouched for.
TEST(FatGeometry, ClustersBeyondAShortTableAreUsed) {
  TempDir dir;
  FatSpec s = spec_for(5000);
  s.sectors_per_fat = 1;  // 256 entries: clusters 2 to 255
  const FatVolume v = build_fat_volume(dir.file("v.img"), s);
  v.set_entry(100, 0xFFFF);
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  EXPECT_TRUE(cluster_is(r, v, 99, false));
  EXPECT_TRUE(cluster_is(r, v, 100, true));
  EXPECT_TRUE(cluster_is(r, v, 255, false));
  for (uint64_t n = 256; n <= 5001; ++n) ASSERT_TRUE(cluster_is(r, v, n, true));
}

// A FAT12 table whose size ends inside an entry pair: the last, cut entry is not loaded.
TEST(FatGeometry, Fat12TableEndingInsideAnEntry) {
  TempDir dir;
  FatSpec s = spec_for(400, 12);
  s.sectors_per_fat = 1;  // 512 bytes: entries 0 to 340 whole, 341 cut in half
  const FatVolume v = build_fat_volume(dir.file("v.img"), s);
  const ReaderResult r = map_volume_file(v.path, KIND_FAT);
  ASSERT_EQ(r.probe, OK);
  EXPECT_TRUE(cluster_is(r, v, 340, false));
  EXPECT_TRUE(cluster_is(r, v, 341, true));
}

TEST(FatGeometry, CutVolumeIsRejected) {
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(3000));
  ASSERT_EQ(map_volume_file(v.path, KIND_FAT).probe, OK);
  std::filesystem::resize_file(v.path, std::filesystem::file_size(v.path) - 512);
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT);
}

// Sectors-per-FAT fields that claim gigabytes must not drive an allocation.
TEST(FatGeometry, HugeTableFieldsAreRejectedBeforeAnyAllocation) {
  TempDir dir;
  const FatVolume v = build_fat_volume(dir.file("v.img"), spec_for(70000));
  patch_file_le32(v.path, 36, 0xFFFFFFFF);
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT);
  patch_file_le32(v.path, 36, 0x00FFFFFF);
  patch_file_le32(v.path, 32, 0xFFFFFFFF);
  EXPECT_EQ(map_volume_file(v.path, KIND_FAT).probe, ERR_LAYOUT);
}

}  // namespace
}  // namespace qx::test
