// exFAT volumes built to exact geometry: boot-sector checks, sector and cluster shifts, the
// bitmap found through the root directory's first cluster, short and broken bitmaps.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/exfat_builder.hpp"
#include "support/file_patch.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kNameField = 3, kVolumeLengthField = 72, kFatOffsetField = 80,
                   kFatLengthField = 84, kClusterCountField = 92, kRootClusterField = 96,
                   kSectorShiftField = 108, kClusterShiftField = 109, kFatCountField = 110,
                   kSignatureField = 510;
constexpr uint64_t kEntryFirstCluster = 20, kEntryDataLength = 24;

::testing::AssertionResult cluster_is(const ReaderResult& r, const ExfatEditor& ed, uint32_t c,
                                      bool used) {
  for (uint64_t s = ed.cluster_first_sector(c); s < ed.cluster_end_sector(c); ++s)
    if (r.used(s) != used)
      return ::testing::AssertionFailure() << "cluster " << c << " sector " << s << " is "
                                           << (used ? "free" : "used");
  return ::testing::AssertionSuccess();
}

// Everything in front of the heap and behind it is used; inside, exactly the bitmap's clusters.
::testing::AssertionResult map_follows_bitmap(const ReaderResult& r, const ExfatEditor& ed) {
  if (r.probe != OK) return ::testing::AssertionFailure() << "probe " << r.probe;
  for (uint64_t s = 0; s < ed.heap_offset() / 512; ++s)
    if (!r.used(s)) return ::testing::AssertionFailure() << "front sector " << s << " is free";
  for (uint32_t c = 2; c < ed.cluster_count() + 2; ++c)
    if (auto ok = cluster_is(r, ed, c, ed.allocated(c)); !ok) return ok;
  for (uint64_t s = ed.heap_end_sector(); s < r.sectors; ++s)
    if (!r.used(s)) return ::testing::AssertionFailure() << "trailing sector " << s << " is free";
  return ::testing::AssertionSuccess();
}

std::string built(const TempDir& dir, const std::string& name, const ExfatSpec& spec) {
  const std::string path = dir.file(name);
  build_exfat_volume(path, spec);
  return path;
}

TEST(ExfatGeometry, BuiltVolumeFollowsItsBitmap) {
  TempDir dir;
  ExfatSpec spec;
  spec.trailing_sectors = 5;
  const std::string path = built(dir, "v.img", spec);
  ExfatEditor ed(path);
  ASSERT_TRUE(ed.add_file("ONE", 10000, false));
  ASSERT_TRUE(ed.add_file("TWO", 30000, true));
  ASSERT_TRUE(ed.add_file("THREE", 9000, false));
  ASSERT_TRUE(ed.delete_file("TWO"));
  const ReaderResult r = map_volume_file(path, KIND_EXFAT);
  ASSERT_EQ(r.mark, OK);
  EXPECT_TRUE(map_follows_bitmap(r, ed));
  EXPECT_TRUE(cluster_is(r, ed, ed.root_cluster(), true));
  EXPECT_TRUE(cluster_is(r, ed, ed.cluster_count() + 1, false));
}

TEST(ExfatGeometry, BootSectorChecks) {
  TempDir dir;
  const std::string path = built(dir, "v.img", ExfatSpec{});
  ASSERT_EQ(map_volume_file(path, KIND_EXFAT).probe, OK);
  struct Patch {
    uint64_t at;
    std::vector<uint8_t> bytes;
    const char* what;
  };
  const Patch rejected[] = {
      {kNameField, {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '}, "name"},
      {kNameField + 7, {0}, "name padding"},
      {kSignatureField, {0x55, 0xAB}, "signature"},
      {kSectorShiftField, {14}, "sector shift 14"},
      {kSectorShiftField, {8}, "sectors below 512 bytes"},
      {kClusterShiftField, {26}, "cluster shift 26"},
      {kClusterShiftField, {17}, "clusters above 32 MiB"},
      {kFatCountField, {2}, "two FATs"},
      {kFatCountField, {0}, "no FAT"},
      {kRootClusterField, {1, 0, 0, 0}, "root cluster 1"},
      {kRootClusterField, {0xEA, 0x03, 0, 0}, "root cluster behind the heap"},
      {kClusterCountField, {0, 0, 0, 0}, "no clusters"},
      {kClusterCountField, {0xE9, 0x03, 0, 0}, "heap past the volume"},
      {kFatLengthField, {0xFF, 0xFF, 0xFF, 0xFF}, "FAT past the volume"},
      {kFatLengthField, {0, 0, 0, 0}, "FAT of no sectors"},
      {kFatOffsetField, {0xFF, 0xFF, 0xFF, 0x7F}, "FAT offset past the volume"},
  };
  for (const Patch& p : rejected) {
    const std::vector<uint8_t> saved = read_range(path, p.at, p.bytes.size());
    patch_file(path, p.at, p.bytes);
    EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT) << p.what;
    patch_file(path, p.at, saved);
  }
  // A non-zero byte anywhere in the must-be-zero field (an NTFS or FAT boot sector with the
  // name patched in).
  for (uint64_t at = 11; at < 64; ++at) {
    patch_byte(path, at, 0x01);
    EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT) << "zero field byte " << at;
    patch_byte(path, at, 0x00);
  }
  // The volume length is not used.
  patch_file_le64(path, kVolumeLengthField, ~uint64_t{0});
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, OK);
}

struct ShiftCase {
  uint32_t sector_shift;
  uint32_t cluster_shift;
  uint32_t cluster_count;
  bool accepted;
};

class ExfatShifts : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(ExfatShifts, SectorAndClusterSizes) {
  const ShiftCase c = GetParam();
  TempDir dir;
  ExfatSpec spec;
  spec.sector_shift = c.sector_shift;
  spec.cluster_shift = c.cluster_shift;
  spec.cluster_count = c.cluster_count;
  spec.trailing_sectors = 1;
  const std::string path = built(dir, "v.img", spec);
  if (!c.accepted) {
    EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT);
    return;
  }
  ExfatEditor ed(path);
  if (ed.bytes_per_cluster() <= (1u << 20)) {
    ASSERT_TRUE(ed.add_file("A", ed.bytes_per_cluster() + 1, true));
    ASSERT_TRUE(ed.add_file("B", 1, false));
    ASSERT_TRUE(ed.delete_file("A"));
    ASSERT_TRUE(ed.add_file("C", 1, false));
  }
  const ReaderResult r = map_volume_file(path, KIND_EXFAT);
  EXPECT_TRUE(map_follows_bitmap(r, ed));
}

INSTANTIATE_TEST_SUITE_P(
    Exfat, ExfatShifts,
    ::testing::Values(ShiftCase{9, 0, 3000, true}, ShiftCase{12, 0, 600, true},
                      ShiftCase{12, 3, 200, true}, ShiftCase{13, 0, 300, true},
                      ShiftCase{13, 2, 100, true}, ShiftCase{9, 16, 8, true},
                      ShiftCase{13, 12, 8, true}, ShiftCase{9, 17, 8, false},
                      ShiftCase{13, 13, 8, false}),
    [](const ::testing::TestParamInfo<ShiftCase>& info) {
      return "sector" + std::to_string(info.param.sector_shift) + "_cluster" +
             std::to_string(info.param.cluster_shift);
    });

// Only the root directory's first cluster is searched, and its first bitmap entry wins.
TEST(ExfatGeometry, BitmapEntryFoundInTheRootsFirstCluster) {
  TempDir dir;
  const std::string path = built(dir, "v.img", ExfatSpec{});
  ExfatEditor ed(path);
  ASSERT_TRUE(ed.add_file("DATA", 20000, false));
  const ReaderResult original = map_volume_file(path, KIND_EXFAT);
  ASSERT_TRUE(map_follows_bitmap(original, ed));
  const uint64_t root = ed.cluster_byte(ed.root_cluster());
  const std::vector<uint8_t> entry = read_range(path, ed.bitmap_entry_byte(), 32);

  // Behind deleted entries further down the cluster.
  for (uint64_t slot = 6; slot < 20; ++slot) patch_byte(path, root + slot * 32, 0x05);
  patch_file(path, root + 20 * 32, entry);
  patch_byte(path, ed.bitmap_entry_byte(), 0x01);
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).bitmap, original.bitmap);

  // An end-of-directory entry in front of it.
  patch_byte(path, root + 10 * 32, 0x00);
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT);

  // Nowhere in the first cluster, which holds no end entry either.
  for (uint64_t at = 0; at < ed.bytes_per_cluster(); at += 32)
    if (read_range(path, root + at, 1)[0] == 0x00) patch_byte(path, root + at, 0x05);
  patch_byte(path, root + 20 * 32, 0x01);
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT);
}

TEST(ExfatGeometry, BitmapEntryInTheRootsSecondClusterIsNotFound) {
  TempDir dir;
  ExfatSpec spec;
  spec.cluster_shift = 0;  // 16 entries per cluster
  const std::string path = built(dir, "v.img", spec);
  ExfatEditor ed(path);
  for (const char* name : {"F1", "F2", "F3", "F4", "A_NAME_OF_TWENTY_CHARS"})
    ASSERT_TRUE(ed.add_file(name, 600, true));
  ASSERT_TRUE(map_follows_bitmap(map_volume_file(path, KIND_EXFAT), ed));
  const std::vector<uint8_t> entry = read_range(path, ed.bitmap_entry_byte(), 32);
  const uint32_t second = ed.fat_entry(ed.root_cluster());
  ASSERT_GE(second, 2u);
  ASSERT_EQ(read_range(path, ed.cluster_byte(second) + 3 * 32, 1)[0], 0x00);
  patch_file(path, ed.cluster_byte(second) + 3 * 32, entry);
  patch_byte(path, ed.bitmap_entry_byte(), 0x01);
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT);
}

TEST(ExfatGeometry, FirstOfTwoBitmapEntriesIsUsed) {
  TempDir dir;
  const std::string path = built(dir, "v.img", ExfatSpec{});
  ExfatEditor ed(path);
  ASSERT_TRUE(ed.add_file("KEEP", 40000, false));
  ASSERT_TRUE(ed.add_file("ALTERNATE", 100, false));
  const std::vector<uint32_t> keep = ed.file_clusters("KEEP");
  const uint32_t alt = ed.file_clusters("ALTERNATE").at(0);
  // A second bitmap in ALTERNATE's cluster: the real one without KEEP.
  std::vector<uint8_t> other = read_range(path, ed.cluster_byte(ed.bitmap_cluster()), ed.bitmap_length());
  for (uint32_t c : keep) other[(c - 2) / 8] &= static_cast<uint8_t>(~(1u << ((c - 2) % 8)));
  patch_file(path, ed.cluster_byte(alt), other);
  std::vector<uint8_t> entry = read_range(path, ed.bitmap_entry_byte(), 32);
  entry[kEntryFirstCluster] = static_cast<uint8_t>(alt);
  entry[kEntryFirstCluster + 1] = static_cast<uint8_t>(alt >> 8);
  const uint64_t root = ed.cluster_byte(ed.root_cluster());
  const uint64_t free_slot = root + 9 * 32;
  ASSERT_EQ(read_range(path, free_slot, 1)[0], 0x00);

  patch_file(path, free_slot, entry);
  ReaderResult r = map_volume_file(path, KIND_EXFAT);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t c : keep) EXPECT_TRUE(cluster_is(r, ed, c, true));

  // Swapped: the other bitmap comes first and rules.
  const std::vector<uint8_t> real = read_range(path, ed.bitmap_entry_byte(), 32);
  patch_file(path, ed.bitmap_entry_byte(), entry);
  patch_file(path, free_slot, real);
  r = map_volume_file(path, KIND_EXFAT);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t c : keep) EXPECT_TRUE(cluster_is(r, ed, c, false));
}

TEST(ExfatGeometry, BitmapShorterThanTheClusterCount) {
  TempDir dir;
  const std::string path = built(dir, "v.img", ExfatSpec{});
  ExfatEditor ed(path);
  const uint64_t length_field = ed.bitmap_entry_byte() + kEntryDataLength;
  patch_file_le64(path, length_field, 2);  // clusters 2 to 17
  const ReaderResult r = map_volume_file(path, KIND_EXFAT);
  ASSERT_EQ(r.probe, OK);
  for (uint32_t c = 2; c < 18; ++c) EXPECT_TRUE(cluster_is(r, ed, c, ed.allocated(c)));
  EXPECT_FALSE(ed.allocated(17));
  for (uint32_t c = 18; c < ed.cluster_count() + 2; ++c) ASSERT_TRUE(cluster_is(r, ed, c, true));

  // No stored bitmap at all: the whole heap is used.
  patch_file_le64(path, length_field, 0);
  const ReaderResult none = map_volume_file(path, KIND_EXFAT);
  ASSERT_EQ(none.probe, OK);
  for (uint32_t s = 0; s < none.sectors; ++s) ASSERT_TRUE(none.used(s));

  // A length beyond anything the volume holds reads only what the clusters need.
  patch_file_le64(path, length_field, ~uint64_t{0});
  EXPECT_TRUE(map_follows_bitmap(map_volume_file(path, KIND_EXFAT), ed));
}

// A bitmap over several clusters, chained in the FAT.
class ExfatBrokenBitmapChain : public ::testing::Test {
 protected:
  void SetUp() override {
    ExfatSpec spec;
    spec.cluster_shift = 0;
    spec.cluster_count = 20000;  // 2500 bytes: five clusters
    path_ = built(dir_, "v.img", spec);
    ed_ = std::make_unique<ExfatEditor>(path_);
    ASSERT_EQ(ed_->bitmap_cluster(), 2u);
    ASSERT_EQ(ed_->fat_entry(2), 3u);
    ASSERT_TRUE(map_follows_bitmap(map_volume_file(path_, KIND_EXFAT), *ed_));
  }
  ErrorCode probe_with_link(uint32_t cluster, uint32_t value) {
    const uint32_t saved = ed_->fat_entry(cluster);
    ed_->set_fat_entry(cluster, value);
    const ErrorCode rc = map_volume_file(path_, KIND_EXFAT).probe;
    ed_->set_fat_entry(cluster, saved);
    return rc;
  }
  TempDir dir_;
  std::string path_;
  std::unique_ptr<ExfatEditor> ed_;
};

TEST_F(ExfatBrokenBitmapChain, EveryBadLinkFailsTheProbe) {
  EXPECT_EQ(probe_with_link(3, 0), ERR_LAYOUT);                // free
  EXPECT_EQ(probe_with_link(3, 0xFFFFFFFF), ERR_LAYOUT);       // ends early
  EXPECT_EQ(probe_with_link(3, 0xFFFFFFF7), ERR_LAYOUT);       // bad cluster
  EXPECT_EQ(probe_with_link(3, 1), ERR_LAYOUT);                // below the heap
  EXPECT_EQ(probe_with_link(3, 20002), ERR_LAYOUT);            // behind the heap
  EXPECT_EQ(probe_with_link(3, 3), ERR_LAYOUT);                // loops on itself
  EXPECT_EQ(probe_with_link(4, 2), ERR_LAYOUT);                // loops back
  // The last bitmap cluster's own link is never needed.
  EXPECT_EQ(probe_with_link(6, 0), OK);
}

TEST_F(ExfatBrokenBitmapChain, BitmapThatFreesItselfOrTheRootIsRejected) {
  // A chain detour through a cluster the bitmap calls free.
  const uint32_t stray = 5000;
  ASSERT_FALSE(ed_->allocated(stray));
  ed_->set_fat_entry(stray, 4);
  EXPECT_EQ(probe_with_link(3, stray), ERR_LAYOUT);
  ed_->set_fat_entry(stray, 0);

  const uint8_t first = read_range(path_, ed_->cluster_byte(2), 1)[0];
  patch_byte(path_, ed_->cluster_byte(2), static_cast<uint8_t>(first & ~0x01));
  EXPECT_EQ(map_volume_file(path_, KIND_EXFAT).probe, ERR_LAYOUT);
  patch_byte(path_, ed_->cluster_byte(2), first);

  const uint32_t root_bit = ed_->root_cluster() - 2;
  const uint64_t at = ed_->cluster_byte(2) + root_bit / 8;
  const uint8_t byte = read_range(path_, at, 1)[0];
  patch_byte(path_, at, static_cast<uint8_t>(byte & ~(1u << (root_bit % 8))));
  EXPECT_EQ(map_volume_file(path_, KIND_EXFAT).probe, ERR_LAYOUT);
  patch_byte(path_, at, byte);
  EXPECT_EQ(map_volume_file(path_, KIND_EXFAT).probe, OK);
}

TEST(ExfatGeometry, RootClusterChecks) {
  TempDir dir;
  const std::string path = built(dir, "v.img", ExfatSpec{});
  ExfatEditor ed(path);
  // A root directory pointing at a cluster full of zeros: end of directory straight away.
  patch_file_le32(path, kRootClusterField, 500);
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT);
}

TEST(ExfatGeometry, CutVolumeIsRejected) {
  TempDir dir;
  const std::string path = built(dir, "v.img", ExfatSpec{});
  ASSERT_EQ(map_volume_file(path, KIND_EXFAT).probe, OK);
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 512);
  EXPECT_EQ(map_volume_file(path, KIND_EXFAT).probe, ERR_LAYOUT);
}

}  // namespace
}  // namespace qx::test
