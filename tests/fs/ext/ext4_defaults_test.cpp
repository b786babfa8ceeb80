// ext4 as mke2fs makes it today (64-bit descriptors, metadata checksums, flexible groups, groups
// whose bitmaps were never written), checked against The Sleuth Kit, and the damage that must
// keep such a volume whole.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/ext_builder.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/oracle_check.hpp"
#include "support/sample_tree.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint16_t kBlockUninit = 0x0002;

enum class Fill { kLittle, kDeleted, kFull };

struct TodayCase {
  const char* name;
  uint32_t block_size;
  uint64_t bytes;
  const char* features;
  const char* extended;
  Fill fill;
};

void PrintTo(const TodayCase& c, std::ostream* os) { *os << c.name; }

bool tools_present() {
  return have_tool("mke2fs") && have_tool("debugfs") && have_tool("e2fsck") && have_tool("blkls");
}

// A volume of the case's shape, dirty before formatting, with the sample files, and for the
// deleted fill two large files of which one is removed again.
std::string make_today_volume(const TempDir& dir, const TodayCase& c) {
  const std::string tree = dir.file("tree");
  make_sample_tree(tree);
  if (c.fill == Fill::kFull) make_dirty_file(tree + "/filler", c.bytes * 3 / 5, 0x21);
  MkExtOptions o;
  o.type = "ext4";
  o.block_size = c.block_size;
  o.blocks = c.bytes / c.block_size;
  o.features = c.features;
  o.extended = c.extended;
  o.tree = tree;
  o.dirty_bytes = 96 * kMiB;  // every group's bitmap and table lie in the first groups
  const std::string path = dir.file("vol.img");
  std::string log;
  EXPECT_TRUE(make_ext_volume(path, o, &log)) << log;
  if (c.fill == Fill::kDeleted) {
    make_dirty_file(dir.file("big"), 5 * kMiB, 0x42);
    const std::string host = dir.file("big");
    EXPECT_TRUE(debugfs_write(path, "write " + host + " big1\nwrite " + host + " big2\nrm big1\n"
                                    "rm file_12288\n", &log)) << log;
  }
  EXPECT_TRUE(ext_volume_clean(path, &log)) << log;
  return path;
}

class TodayVolume : public ::testing::TestWithParam<TodayCase> {};

TEST_P(TodayVolume, AgreesWithTheSleuthKit) {
  if (!tools_present()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  const TodayCase& c = GetParam();
  TempDir dir;
  const std::string path = make_today_volume(dir, c);
  const ExtSummary s = read_ext_summary(path);
  ASSERT_TRUE(s.valid);
  if (c.fill == Fill::kLittle) {
    size_t uninit = 0;
    for (const ExtGroupSummary& g : s.groups) uninit += (g.flags & kBlockUninit) != 0;
    EXPECT_GT(uninit, 0u) << "most groups should keep their bitmaps unwritten";
  }
  const ReaderResult r = map_volume_file(path, KIND_EXT);
  ASSERT_EQ(r.probe, OK) << error_name(r.probe);
  ASSERT_EQ(r.mark, OK);
  OracleAllocation oracle = run_blkls(path, "ext");
  ASSERT_EQ(oracle.state.size(), s.block_count);
  // The Sleuth Kit reads whatever lies in the bitmap block of a group whose bitmap was never
  // written; for those groups e2fsprogs' own view is the oracle.
  const std::vector<char> e2fs = dumpe2fs_block_states(path);
  ASSERT_EQ(e2fs.size(), s.block_count);
  for (uint32_t g = 0; g < s.groups.size(); ++g) {
    if (!(s.groups[g].flags & kBlockUninit)) continue;
    const uint64_t first = s.first_data_block + uint64_t{g} * s.blocks_per_group;
    for (uint64_t b = first; b < first + s.blocks_in_group(g); ++b) oracle.state[b] = e2fs[b];
  }
  const OracleComparison cmp = compare_with_oracle(r, oracle, s.sectors_per_block());
  EXPECT_EQ(cmp.allocated_marked_free, 0u) << cmp.first_mismatch;
  EXPECT_LE(cmp.free_marked_used * 100, cmp.free_units * s.sectors_per_block()) << cmp.first_mismatch;
  if (c.fill != Fill::kFull) {
    EXPECT_GT(cmp.free_units, s.block_count / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ext4, TodayVolume,
    ::testing::Values(
        TodayCase{"defaults_64m_1k", 1024, 64 * kMiB, "", "", Fill::kLittle},
        TodayCase{"defaults_2g_4k", 4096, 2048 * kMiB, "", "", Fill::kLittle},
        TodayCase{"defaults_deleted_4k", 4096, 256 * kMiB, "", "", Fill::kDeleted},
        TodayCase{"full_1k", 1024, 16 * kMiB, "", "", Fill::kFull},
        TodayCase{"meta_bg_4k", 4096, 1024 * kMiB, "meta_bg,^resize_inode", "", Fill::kLittle},
        TodayCase{"meta_bg_1k", 1024, 256 * kMiB, "meta_bg,^resize_inode", "", Fill::kDeleted},
        TodayCase{"no_journal_1k", 1024, 64 * kMiB, "^has_journal", "", Fill::kDeleted},
        TodayCase{"orphan_file_4k", 4096, 512 * kMiB, "orphan_file", "", Fill::kLittle},
        TodayCase{"older_default_4k", 4096, 512 * kMiB, "uninit_bg,^metadata_csum", "",
                  Fill::kLittle},
        TodayCase{"older_default_1k", 1024, 64 * kMiB, "uninit_bg,^metadata_csum,^64bit", "",
                  Fill::kDeleted},
        TodayCase{"lazy_itable_4k", 4096, 512 * kMiB, "", "lazy_itable_init=1", Fill::kLittle},
        TodayCase{"csum_seed_sparse2_4k", 4096, 512 * kMiB, "metadata_csum_seed,sparse_super2",
                  "", Fill::kLittle}),
    [](const ::testing::TestParamInfo<TodayCase>& info) { return std::string(info.param.name); });

// One flipped byte in a checksummed structure, or a state that says blocks still wait to be
// settled, keeps the volume whole.
TEST(Ext4Today, DamageAndUnsettledStatesAreRefused) {
  if (!tools_present()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  TempDir dir;
  const std::string path =
      make_today_volume(dir, {"damage", 1024, 32 * kMiB, "", "", Fill::kDeleted});
  ASSERT_EQ(map_volume_file(path, KIND_EXT).probe, OK);
  const ExtSummary s = read_ext_summary(path);
  ASSERT_GE(s.groups.size(), 3u);
  uint32_t written = 0;
  while (s.groups[written].flags & kBlockUninit) ++written;
  struct Flip {
    uint64_t at;
    uint8_t mask;
    const char* what;
  };
  const Flip flips[] = {
      {ExtOffsets::kSuperblock + 0x78, 0x01, "volume name (superblock checksum)"},
      {ExtOffsets::kChecksum, 0x80, "superblock checksum"},
      {s.descriptor_offset(2) + 0x10, 0x04, "used directories of group 2 (descriptor checksum)"},
      {s.descriptor_offset(1) + 0x3C, 0x01, "reserved bytes of group 1 (descriptor checksum)"},
      {s.bitmap_offset(written) + 40, 0x0F, "written block bitmap, four bits"},
      {ExtOffsets::kFeatureRoCompat + 2, 0x01, "orphan_present"},
      {ExtOffsets::kFeatureIncompat, 0x04, "needs_recovery"},
      {ExtOffsets::kState, 0x01, "not cleanly unmounted"},
      {ExtOffsets::kFeatureRoCompat + 1, 0x02, "bigalloc"},
  };
  for (const Flip& f : flips) {
    const uint8_t was = read_byte(path, f.at);
    write_byte(path, f.at, static_cast<uint8_t>(was ^ f.mask));
    EXPECT_NE(map_volume_file(path, KIND_EXT).probe, OK) << f.what;
    write_byte(path, f.at, was);
  }
  EXPECT_EQ(map_volume_file(path, KIND_EXT).probe, OK);

  // Superblock fields changed with the checksum made to match again.
  struct Field {
    uint64_t at;
    int width;
    uint32_t value;
    const char* what;
  };
  const uint32_t ro_compat = read_ext_summary(path).feature_ro_compat;
  const Field fields[] = {
      {ExtOffsets::kFeatureRoCompat, 4, ro_compat | 0x10000, "orphan_present"},
      {ExtOffsets::kBlocksCountHi, 4, 0x20000000, "block count wrapping the sector count"},
      {ExtOffsets::kBlocksCountHi, 4, 1, "block count beyond the volume"},
      {ExtOffsets::kDescSize, 2, 32, "64-bit with 32-byte descriptors"},
      {ExtOffsets::kDescSize, 2, 96, "descriptor size not a power of two"},
      {ExtOffsets::kDescSize, 2, 2048, "descriptors larger than a block"},
      {ExtOffsets::kInodeSize, 2, 4096, "inodes larger than a block"},
      {ExtOffsets::kReservedGdtBlocks, 2, 9000, "reserved descriptor blocks beyond group 0"},
      {ExtOffsets::kBlocksPerGroup, 4, 8, "groups of 8 blocks"},
  };
  for (const Field& f : fields) {
    std::vector<uint8_t> before(4);
    for (int i = 0; i < f.width; ++i) before[i] = read_byte(path, f.at + i);
    if (f.width == 2) patch_le16(path, f.at, static_cast<uint16_t>(f.value));
    else patch_le32(path, f.at, f.value);
    reseal_ext_superblock(path);
    EXPECT_NE(map_volume_file(path, KIND_EXT).probe, OK) << f.what;
    for (int i = 0; i < f.width; ++i) write_byte(path, f.at + i, before[i]);
  }
  reseal_ext_superblock(path);
  EXPECT_EQ(map_volume_file(path, KIND_EXT).probe, OK);
}

// Random byte changes over the superblock, the wide descriptors and the written bitmaps: never a
// crash, and never a used sector of the undamaged volume called free.
TEST(Ext4Today, ByteFlipsNeverFreeAUsedSector) {
  if (!tools_present()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  TempDir dir;
  const std::string path =
      make_today_volume(dir, {"flips", 1024, 24 * kMiB, "", "", Fill::kDeleted});
  const ExtSummary s = read_ext_summary(path);
  std::vector<ByteRegion> regions = {{ExtOffsets::kSuperblock, 1024},
                                     {s.descriptor_offset(0), s.groups.size() * s.descriptor_size}};
  for (uint32_t g = 0; g < s.groups.size(); ++g)
    if (!(s.groups[g].flags & kBlockUninit)) regions.push_back({s.bitmap_offset(g), 1024});
  const FlipStats stats = run_flip_campaign(path, KIND_EXT, regions, 400, 15);
  EXPECT_EQ(stats.failure, "");
  EXPECT_GT(stats.flips, 350);
}

}  // namespace
}  // namespace qx::test
