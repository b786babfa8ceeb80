#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <random>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "support/ext_builder.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/oracle_check.hpp"
#include "support/sample_tree.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

using namespace test;

bool tools_present() {
  return have_tool("mke2fs") && have_tool("e2fsck") && have_tool("blkls");
}

#define REQUIRE_TOOLS()                                      \
  if (!tools_present()) {                                    \
    GTEST_SKIP() << "mke2fs, e2fsck or blkls missing";       \
  }

uint32_t file_sectors(const std::string& path) {
  return static_cast<uint32_t>(std::filesystem::file_size(path) / 512);
}

// Probes the reader over [first, first + count) of a flat disk file.
ErrorCode probe_region(const std::string& path, uint32_t first, uint32_t count,
                       std::unique_ptr<ReaderState>& state) {
  DiskImage image;
  const uint32_t total = file_sectors(path);
  if (open_flat(image, path, true, 0, DiskGeometry{total, 255, 63, 512}) != OK) return ERR_OPEN;
  return fs_reader(KIND_EXT).probe(image, first, count, state);
}

ErrorCode probe_file(const std::string& path) {
  std::unique_ptr<ReaderState> state;
  const ErrorCode e = probe_region(path, 0, file_sectors(path), state);
  EXPECT_EQ(e == OK, state != nullptr);  // a failed probe leaves nothing behind
  return e;
}

// A small real volume: 1024-byte blocks, 6 groups of 1024 with a short last one, sample files.
std::string make_small_volume(const TempDir& dir, const std::string& type = "ext2",
                              const std::string& features = "", uint32_t blocks = 6000) {
  make_sample_tree(dir.file("tree"));
  MkExtOptions o;
  o.type = type;
  o.block_size = 1024;
  o.blocks_per_group = 1024;
  o.blocks = blocks;
  o.features = features;
  o.tree = dir.file("tree");
  const std::string path = dir.file("small.img");
  std::string log;
  EXPECT_TRUE(make_ext_volume(path, o, &log)) << log;
  return path;
}

// --- Real volumes against The Sleuth Kit ---------------------------------------------------

struct RealCase {
  const char* type;
  uint32_t block_size;
  const char* features;
};

void PrintTo(const RealCase& c, std::ostream* os) {
  *os << c.type << " " << c.block_size << " " << c.features;
}

std::string case_name(const ::testing::TestParamInfo<RealCase>& info) {
  return std::string(info.param.type) + "_" + std::to_string(info.param.block_size);
}

class RealVolume : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealVolume, AgreesWithTheSleuthKitBlockByBlock) {
  REQUIRE_TOOLS();
  const RealCase& c = GetParam();
  TempDir dir;
  make_sample_tree(dir.file("tree"));
  MkExtOptions o;
  o.type = c.type;
  o.block_size = c.block_size;
  o.features = c.features;
  o.tree = dir.file("tree");
  // Five groups, the last one short, and a few sectors of the volume behind the file system.
  o.blocks_per_group = c.block_size == 1024 ? 2048 : 1024;
  o.blocks = (c.block_size == 1024 ? 1 : 0) + 4 * o.blocks_per_group + 700;
  o.tail_bytes = 3 * 512;
  const std::string path = dir.file("vol.img");
  std::string log;
  ASSERT_TRUE(make_ext_volume(path, o, &log)) << log;
  ASSERT_TRUE(ext_volume_clean(path, &log)) << log;

  const ExtSummary s = read_ext_summary(path);
  ASSERT_TRUE(s.valid);
  ASSERT_EQ(s.groups.size(), 5u);
  ASSERT_EQ(s.blocks_in_group(4), 700u);

  const ReaderResult r = map_volume_file(path, KIND_EXT);
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  const OracleAllocation oracle = run_blkls(path, "ext");
  ASSERT_EQ(oracle.state.size(), s.block_count);
  const OracleComparison cmp = compare_with_oracle(r, oracle, s.sectors_per_block());
  EXPECT_EQ(cmp.mismatches, 0u) << cmp.first_mismatch;
  // The sample files fill part of the volume and the rest is free, not all one or the other.
  EXPECT_GT(cmp.free_units, s.block_count / 5);
  EXPECT_LT(cmp.free_units, s.block_count - 2 * 1024 * 1024 / s.block_size);

  // The superblock's block is used; so are the sectors behind the file system.
  for (uint32_t sector = 0; sector < 4; ++sector) EXPECT_TRUE(r.used(sector)) << sector;
  for (uint64_t sector = uint64_t{s.block_count} * s.sectors_per_block(); sector < r.sectors;
       ++sector)
    EXPECT_TRUE(r.used(sector)) << sector;
}

constexpr const char* kClassicExt4 = "^64bit,^metadata_csum,^uninit_bg";

INSTANTIATE_TEST_SUITE_P(
    Ext, RealVolume,
    ::testing::Values(RealCase{"ext2", 1024, ""}, RealCase{"ext2", 2048, ""},
                      RealCase{"ext2", 4096, ""}, RealCase{"ext3", 1024, ""},
                      RealCase{"ext3", 2048, ""}, RealCase{"ext3", 4096, ""},
                      RealCase{"ext4", 1024, kClassicExt4}, RealCase{"ext4", 2048, kClassicExt4},
                      RealCase{"ext4", 4096, kClassicExt4}),
    case_name);

// 8193 blocks of 1024 bytes are one group of 8192 (blocks 1 to 8192): groups are counted from the
// first data block, not from block 0.
TEST(ExtReal, OneKilobyteVolumeOneBlockPastAGroupIsOneGroup) {
  REQUIRE_TOOLS();
  TempDir dir;
  make_sample_tree(dir.file("tree"));
  MkExtOptions o;
  o.block_size = 1024;
  o.blocks = 8193;
  o.blocks_per_group = 8192;
  o.tree = dir.file("tree");
  const std::string path = dir.file("vol.img");
  std::string log;
  ASSERT_TRUE(make_ext_volume(path, o, &log)) << log;
  ASSERT_TRUE(ext_volume_clean(path, &log)) << log;
  ASSERT_EQ(read_ext_summary(path).groups.size(), 1u);
  const ReaderResult r = map_volume_file(path, KIND_EXT);
  ASSERT_EQ(r.probe, OK);
  const OracleComparison cmp = compare_with_oracle(r, run_blkls(path, "ext"), 2);
  EXPECT_EQ(cmp.units, 8193u);
  EXPECT_EQ(cmp.mismatches, 0u) << cmp.first_mismatch;
}

TEST(ExtReal, AnyFlippedBitOfAnyGroupFailsTheFreeCount) {
  REQUIRE_TOOLS();
  TempDir dir;
  const std::string path = make_small_volume(dir, "ext3");
  ASSERT_TRUE(ext_volume_clean(path));
  ASSERT_EQ(probe_file(path), OK);
  const ExtSummary s = read_ext_summary(path);
  ASSERT_EQ(s.groups.size(), 6u);
  for (uint32_t g = 0; g < s.groups.size(); ++g) {
    // The first free and the first used bit of the group, each flipped on its own.
    for (bool want_used : {false, true}) {
      for (uint32_t j = 0; j < s.blocks_in_group(g); ++j) {
        const uint64_t at = s.bitmap_offset(g) + j / 8;
        const uint8_t byte = read_byte(path, at);
        if (((byte >> (j % 8)) & 1) != want_used) continue;
        write_byte(path, at, static_cast<uint8_t>(byte ^ (1u << (j % 8))));
        EXPECT_EQ(probe_file(path), ERR_LAYOUT) << "group " << g << " bit " << j;
        write_byte(path, at, byte);
        break;
      }
    }
  }
  EXPECT_EQ(probe_file(path), OK);
}

TEST(ExtReal, JournalAwaitingReplayOrUncleanStateIsKeptWhole) {
  REQUIRE_TOOLS();
  TempDir dir;
  const std::string path = make_small_volume(dir, "ext3");
  ASSERT_EQ(probe_file(path), OK);
  const uint32_t incompat = read_ext_summary(path).feature_incompat;
  patch_le32(path, ExtOffsets::kFeatureIncompat, incompat | 0x4);
  EXPECT_EQ(probe_file(path), ERR_LAYOUT);
  patch_le32(path, ExtOffsets::kFeatureIncompat, incompat);
  for (uint16_t state : {0, 2, 3}) {
    patch_le16(path, ExtOffsets::kState, state);
    EXPECT_EQ(probe_file(path), ERR_LAYOUT) << state;
  }
  patch_le16(path, ExtOffsets::kState, 1);
  EXPECT_EQ(probe_file(path), OK);
}

TEST(ExtReal, VolumeInsideADiskIsReadAtItsOffsetAndMarkWritesOnlyItsBits) {
  REQUIRE_TOOLS();
  TempDir dir;
  const std::string volume = make_small_volume(dir);
  const ReaderResult alone = map_volume_file(volume, KIND_EXT);
  ASSERT_EQ(alone.probe, OK);

  // The same volume at sector 2048 of a disk whose other sectors are dirty.
  const std::string disk = dir.file("disk.img");
  const std::vector<uint8_t> bytes = read_file(volume);
  make_dirty_file(disk, 2048 * 512 + bytes.size() + 4096, 0x33);
  {
    std::fstream f(disk, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(2048 * 512);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::unique_ptr<ReaderState> state;
  EXPECT_NE(probe_region(disk, 0, file_sectors(disk), state), OK);
  EXPECT_FALSE(state);
  ASSERT_EQ(probe_region(disk, 2048, alone.sectors, state), OK);

  // A window of the volume written at bit 5 of a bitmap: bits before and after stay untouched.
  const uint32_t first = 1001, count = 3333;
  std::vector<uint8_t> bitmap(bitmap_bytes(count + 5 + 11), 0xA5);
  const std::vector<uint8_t> before = bitmap;
  ASSERT_EQ(fs_reader(KIND_EXT).mark(*state, first, count, bitmap, 5), OK);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(test_bit(bitmap, i), test_bit(before, i));
  for (uint32_t i = 0; i < count; ++i)
    ASSERT_EQ(test_bit(bitmap, 5 + i), alone.used(first + i)) << i;
  for (uint32_t i = 5 + count; i < bitmap.size() * 8; ++i)
    EXPECT_EQ(test_bit(bitmap, i), test_bit(before, i));
  // A bitmap too small for the request is refused rather than overrun.
  std::vector<uint8_t> tiny(2);
  EXPECT_EQ(fs_reader(KIND_EXT).mark(*state, 0, 17, tiny, 0), ERR_UNSUPPORTED);
}

TEST(ExtReal, TruncatedVolumesAreNotRecognised) {
  REQUIRE_TOOLS();
  TempDir dir;
  const std::string path = make_small_volume(dir);
  const std::vector<uint8_t> bytes = read_file(path);
  const std::string cut = dir.file("cut.img");
  // Too short for the superblock, the superblock alone, half the volume, one sector short.
  for (size_t size : {size_t{1536}, size_t{2048}, size_t{3072}, bytes.size() / 2,
                      bytes.size() - 512}) {
    write_file(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(size)));
    EXPECT_NE(probe_file(cut), OK) << size;
  }
  write_file(cut, bytes);
  EXPECT_EQ(probe_file(cut), OK);
}

// The used-sector map of a disk that is one bare volume: the ext reader owns it, classic or as
// mke2fs makes it today, and the map answers as the reader does alone.
TEST(ExtReal, UsageMapOfABareVolume) {
  REQUIRE_TOOLS();
  for (bool classic : {true, false}) {
    TempDir dir;
    make_sample_tree(dir.file("tree"));
    MkExtOptions o;
    o.type = "ext4";
    o.blocks = 4096;
    o.blocks_per_group = 1024;
    o.features = classic ? kClassicExt4 : "";
    o.tree = dir.file("tree");
    const std::string path = dir.file("vol.img");
    std::string log;
    ASSERT_TRUE(make_ext_volume(path, o, &log)) << log;
    const uint32_t sectors = file_sectors(path);
    DiskImage image;
    ASSERT_EQ(open_flat(image, path, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
    ErrorCode error = ERR_UNSUPPORTED;
    uint32_t recognised = 0;
    std::unique_ptr<UsageMap> map = build_usage_map(image, error, recognised);
    ASSERT_EQ(error, OK);
    ASSERT_TRUE(map);
    ASSERT_EQ(map->volumes.size(), 1u);
    EXPECT_EQ(map->volumes[0].kind, KIND_EXT);
    std::vector<uint8_t> bitmap(bitmap_bytes(sectors));
    ASSERT_EQ(query_used(*map, 0, sectors, bitmap), OK);
    const ReaderResult alone = map_volume_file(path, KIND_EXT);
    ASSERT_EQ(alone.probe, OK);
    EXPECT_EQ(bitmap, alone.bitmap);
    destroy_usage_map(*map);
  }
}

// --- Hand-built volumes with exact layouts ---------------------------------------------------

TEST(ExtBuilt, FourGroupsTheLastWith1696Blocks) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  for (bool padding_used : {true, false}) {
    ExtLayout l;
    l.block_size = 4096;
    l.block_count = 100000;
    l.blocks_per_group = 32768;
    l.padding_used = padding_used;  // bits behind the last block are not the group's
    l.used = [](uint32_t b) { return b == 98303 || b == 99998 || (b >= 50000 && b < 50010); };
    build_ext_volume(path, l, (100000 + 1) * 4096ull);
    const ExtSummary s = read_ext_summary(path);
    ASSERT_EQ(s.groups.size(), 4u);
    ASSERT_EQ(s.blocks_in_group(3), 1696u);

    const ReaderResult r = map_volume_file(path, KIND_EXT);
    ASSERT_EQ(r.probe, OK);
    auto block_used = [&](uint32_t b) {
      bool all = true, none = true;
      for (uint32_t k = 0; k < 8; ++k) (r.used(b * 8ull + k) ? none : all) = false;
      EXPECT_TRUE(all || none) << "block " << b << " half used";
      return all;
    };
    EXPECT_TRUE(block_used(0));  // sectors 0-7: the superblock's block
    EXPECT_TRUE(block_used(ext_metadata_end(l) - 1));
    EXPECT_FALSE(block_used(ext_metadata_end(l)));
    EXPECT_TRUE(block_used(50000));
    EXPECT_TRUE(block_used(50009));
    EXPECT_FALSE(block_used(50010));
    EXPECT_FALSE(block_used(65535));
    EXPECT_TRUE(block_used(98303));
    EXPECT_FALSE(block_used(98304));
    EXPECT_TRUE(block_used(99998));
    EXPECT_FALSE(block_used(99999));
    EXPECT_TRUE(block_used(100000));  // behind the block count
  }
}

TEST(ExtBuilt, OneKilobyteBlocksKeepTheBootBlockAndJudgeSectorTwoByBitZero) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  for (bool block1_free : {false, true}) {
    ExtLayout l;
    l.block_size = 1024;
    l.block_count = 8193;  // blocks 1 to 8192: one full group
    l.blocks_per_group = 8192;
    l.used = [](uint32_t b) { return b == 8191; };
    if (block1_free) l.force_free = [](uint32_t b) { return b == 1; };
    build_ext_volume(path, l, 8193 * 1024ull);
    const ReaderResult r = map_volume_file(path, KIND_EXT);
    ASSERT_EQ(r.probe, OK);
    EXPECT_TRUE(r.used(0));
    EXPECT_TRUE(r.used(1));
    EXPECT_EQ(r.used(2), !block1_free);
    EXPECT_EQ(r.used(3), !block1_free);
    EXPECT_TRUE(r.used(4));  // the descriptor table
    EXPECT_TRUE(r.used(2 * 8191) && r.used(2 * 8191 + 1));
    EXPECT_FALSE(r.used(2 * 8192) || r.used(2 * 8192 + 1));  // last block of the group
    EXPECT_FALSE(r.used(2 * 4000));
  }
}

TEST(ExtBuilt, TwoKilobyteBlocksAndGroupSizesOffTheByteGrid) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  // 1000 is a multiple of 8, 1001 is not: group g's bits then start inside a byte.
  for (uint32_t bpg : {1000u, 1001u}) {
    ExtLayout l;
    l.block_size = 2048;
    l.block_count = 4321;
    l.blocks_per_group = bpg;
    l.used = [](uint32_t b) { return b % 7 == 0; };
    build_ext_volume(path, l, 4321 * 2048ull);
    const ReaderResult r = map_volume_file(path, KIND_EXT);
    ASSERT_EQ(r.probe, OK) << bpg;
    for (uint32_t b = ext_metadata_end(l); b < l.block_count; ++b) {
      ASSERT_EQ(r.used(4ull * b), b % 7 == 0) << bpg << " block " << b;
      ASSERT_EQ(r.used(4ull * b + 3), b % 7 == 0) << bpg << " block " << b;
    }
  }
}

ExtLayout valid_layout() {
  ExtLayout l;
  l.block_size = 1024;
  l.block_count = 4000;
  l.blocks_per_group = 1024;
  l.used = [](uint32_t b) { return b % 3 == 0; };
  return l;
}

TEST(ExtBuilt, FeaturesThatChangeTheLayoutAreRefused) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  struct Case {
    uint32_t incompat, ro_compat;
    bool recognised;
  };
  const Case cases[] = {
      {0x0002, 0x0001, true},
      // Every feature that keeps one bitmap bit per block and these 32-byte descriptors, meta
      // groups included (here all descriptors stay in the first); checksums have their own tests.
      {0x3F752, 0xF96F, true},
      {0x0002 | 0x0001, 0x0001, false},    // compression
      {0x0002 | 0x0004, 0x0001, false},    // journal awaiting replay
      {0x0002 | 0x0008, 0x0001, false},    // external journal device
      {0x0002 | 0x0080, 0x0001, false},    // 64-bit without a descriptor size
      {0x0002 | 0x80000, 0x0001, false},   // unknown
      {0x0002, 0x0001 | 0x0200, false},    // bitmap bits are clusters
      {0x0002, 0x0001 | 0x0080, false},    // snapshots
      {0x0002, 0x0001 | 0x10000, false},   // orphans whose blocks wait to be freed
      {0x0002, 0x0001 | 0x100000, false},  // unknown
  };
  for (const Case& c : cases) {
    ExtLayout l = valid_layout();
    l.feature_incompat = c.incompat;
    l.feature_ro_compat = c.ro_compat;
    build_ext_volume(path, l, 4000 * 1024ull);
    EXPECT_EQ(probe_file(path) == OK, c.recognised) << std::hex << c.incompat << " " << c.ro_compat;
  }
}

TEST(ExtBuilt, UninitialisedFlagCountsOnlyWithDescriptorChecksums) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  ExtLayout l = valid_layout();
  l.group_flags = 0x0002;
  build_ext_volume(path, l, 4000 * 1024ull);
  // Without checksums the flag means nothing: the bitmap is read and must agree.
  EXPECT_EQ(probe_file(path), OK);
  const ReaderResult r = map_volume_file(path, KIND_EXT);
  EXPECT_TRUE(r.used(2 * 3000));
  EXPECT_FALSE(r.used(2 * 3001));
}

TEST(ExtBuilt, AbsurdFieldsAreRefusedCleanly) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  const ExtLayout l = valid_layout();
  const uint64_t desc = 2 * 1024;  // the table follows the superblock's block
  struct Patch {
    uint64_t offset;
    uint32_t value;
    int width;
    const char* what;
  };
  const Patch patches[] = {
      {ExtOffsets::kMagic, 0xEF54, 2, "magic"},
      {ExtOffsets::kLogBlockSize, 3, 4, "8192-byte blocks"},
      {ExtOffsets::kLogBlockSize, 0xFFFFFFFF, 4, "huge block size"},
      {ExtOffsets::kLogBlockSize, 2, 4, "4096-byte blocks with first data block 1"},
      {ExtOffsets::kFirstDataBlock, 0, 4, "first data block 0 with 1024-byte blocks"},
      {ExtOffsets::kFirstDataBlock, 7, 4, "first data block 7"},
      {ExtOffsets::kBlocksPerGroup, 0, 4, "no blocks per group"},
      {ExtOffsets::kBlocksPerGroup, 8 * 1024 + 8, 4, "a bitmap longer than a block"},
      {ExtOffsets::kBlocksPerGroup, 8, 4, "descriptor table outgrows group 0"},
      {ExtOffsets::kBlocksPerGroup, 0xFFFFFFFF, 4, "huge group"},
      {ExtOffsets::kBlocksCount, 0, 4, "no blocks"},
      {ExtOffsets::kBlocksCount, 1, 4, "only the boot block"},
      {ExtOffsets::kBlocksCount, 4001, 4, "one block beyond the volume"},
      {ExtOffsets::kBlocksCount, 0xFFFFFFFF, 4, "huge block count"},
      {desc + ExtOffsets::kDescBlockBitmap, 0, 4, "bitmap in block 0"},
      {desc + ExtOffsets::kDescBlockBitmap, 1, 4, "bitmap in the superblock"},
      {desc + 32 + ExtOffsets::kDescBlockBitmap, 4000, 4, "bitmap behind the volume"},
      {desc + 32 + ExtOffsets::kDescBlockBitmap, 0xFFFFFFFF, 4, "bitmap far away"},
      {desc + 96 + ExtOffsets::kDescFreeBlocks, 0xFFFF, 2, "free count too large"},
  };
  for (const Patch& p : patches) {
    build_ext_volume(path, l, 4000 * 1024ull);
    ASSERT_EQ(probe_file(path), OK);
    if (p.width == 2) patch_le16(path, p.offset, static_cast<uint16_t>(p.value));
    else patch_le32(path, p.offset, p.value);
    EXPECT_EQ(probe_file(path), ERR_LAYOUT) << p.what;
  }
}

TEST(ExtBuilt, LastGroupFreeCountOffByOneFails) {
  TempDir dir;
  const std::string path = dir.file("vol.img");
  const ExtLayout l = valid_layout();
  build_ext_volume(path, l, 4000 * 1024ull);
  const ExtSummary s = read_ext_summary(path);
  const uint32_t last = static_cast<uint32_t>(s.groups.size() - 1);
  const uint16_t free = s.groups[last].free_blocks;
  for (int delta : {-1, 1}) {
    patch_le16(path, s.descriptor_offset(last) + ExtOffsets::kDescFreeBlocks,
               static_cast<uint16_t>(free + delta));
    EXPECT_EQ(probe_file(path), ERR_LAYOUT) << delta;
  }
}

// --- Damage campaign -------------------------------------------------------------------------

// Flips bytes of the superblock, the descriptor table and the bitmaps of a real volume: every
// outcome is a clean verdict, and a lone flip of an odd number of bits inside a group's bits is
// always caught by the free count.
void run_flip_campaign(const std::string& path, uint32_t iterations, uint32_t seed) {
  const ExtSummary s = read_ext_summary(path);
  ASSERT_TRUE(s.valid);
  ASSERT_EQ(probe_file(path), OK);
  std::mt19937 rng(seed);
  auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
  uint32_t recognised = 0;
  for (uint32_t it = 0; it < iterations; ++it) {
    const uint32_t flips = 1 + static_cast<uint32_t>(pick(3));
    DamagedBytes damage(path);
    bool odd_in_group_bits = false;
    for (uint32_t f = 0; f < flips; ++f) {
      uint64_t at;
      const uint64_t area = pick(4);
      bool in_group_bits = false;
      if (area == 0) {
        at = ExtOffsets::kSuperblock + pick(0x68);  // the fields that matter
      } else if (area == 1) {
        at = ExtOffsets::kSuperblock + pick(1024);
      } else if (area == 2) {
        at = s.descriptor_offset(0) + pick(s.groups.size() * 32);
      } else {
        const uint32_t g = static_cast<uint32_t>(pick(s.groups.size()));
        const uint64_t byte = pick(s.block_size);
        at = s.bitmap_offset(g) + byte;
        in_group_bits = byte < s.blocks_in_group(g) / 8;
      }
      const uint8_t mask = static_cast<uint8_t>(1 + pick(255));
      damage.flip(at, mask);
      if (flips == 1) odd_in_group_bits = in_group_bits && std::popcount(mask) % 2 == 1;
    }
    const ReaderResult r = map_volume_file(path, KIND_EXT);
    EXPECT_TRUE(r.probe == OK || r.probe == ERR_LAYOUT) << "iteration " << it << ": " << r.probe;
    if (r.probe == OK) {
      ++recognised;
      EXPECT_EQ(r.mark, OK) << "iteration " << it;
    }
    if (odd_in_group_bits) {
      EXPECT_EQ(r.probe, ERR_LAYOUT) << "iteration " << it;
    }
    damage.restore();
  }
  EXPECT_EQ(probe_file(path), OK);
  EXPECT_LT(recognised, iterations);
}

TEST(ExtDamage, ByteFlipsOverOneKilobyteExt2) {
  REQUIRE_TOOLS();
  TempDir dir;
  run_flip_campaign(make_small_volume(dir), 300, 20240611);
}

TEST(ExtDamage, ByteFlipsOverFlexibleGroupExt4) {
  REQUIRE_TOOLS();
  TempDir dir;
  make_sample_tree(dir.file("tree"));
  MkExtOptions o;
  o.type = "ext4";
  o.block_size = 4096;
  o.blocks_per_group = 512;
  o.blocks = 2600;
  o.features = kClassicExt4;
  o.tree = dir.file("tree");
  const std::string path = dir.file("vol.img");
  std::string log;
  ASSERT_TRUE(make_ext_volume(path, o, &log)) << log;
  run_flip_campaign(path, 200, 77);
}

}  // namespace
}  // namespace qx
