// The XFS reader on volumes made by mkfs.xfs and xfs_repair, checked against xfs_db.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "image/byte_order.hpp"
#include "support/disk_builder.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"
#include "support/xfs_tools.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
const char* const kV4Small = "-m crc=0 -b size=512";

class XfsVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_xfs_tools()) GTEST_SKIP() << "xfsprogs not installed";
  }
  TempDir dir;
};

// Every block xfs_db calls free (less the free lists) is free in the map, every other sector used.
void expect_map_matches_oracle(const std::string& path, size_t min_free_blocks) {
  const XfsOracle oracle = read_xfs_oracle(path);
  ASSERT_TRUE(oracle.ok);
  const ReaderResult map = map_volume_file(path, KIND_XFS);
  ASSERT_EQ(map.probe, OK) << error_name(map.probe);
  ASSERT_EQ(map.mark, OK);
  const std::vector<bool> free = oracle.free_blocks();
  const uint32_t per_block = oracle.block_size / 512;
  size_t free_count = 0, mismatches = 0;
  for (uint64_t s = 0; s < map.sectors; ++s) {
    const uint64_t block = s / per_block;
    const bool expect_used = block >= oracle.data_blocks || !free[block];
    if (map.used(s) != expect_used && ++mismatches <= 5)
      ADD_FAILURE() << "sector " << s << " (block " << block << ") used=" << map.used(s);
    if (!expect_used && s % per_block == 0) ++free_count;
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_GE(free_count, min_free_blocks);
}

TEST_F(XfsVolumeTest, FreshVolumeWithFilesMatchesXfsDb) {
  const std::string data = dir.file("data.bin");
  make_dirty_file(data, 300 * 1024);
  const std::string proto = dir.file("proto");
  write_xfs_proto(proto, {"a", "b", "c"}, 5, data);
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 64 * kMiB, std::string(kV4Small) + " -d agcount=4", proto), 0);
  const XfsOracle oracle = read_xfs_oracle(image);
  ASSERT_EQ(oracle.ag_count, 4u);
  expect_map_matches_oracle(image, 100000);
}

TEST_F(XfsVolumeTest, FragmentedTwoLevelTreesInEveryGroupMatchXfsDb) {
  const std::string data = dir.file("small.bin");
  make_dirty_file(data, 600);
  const std::string proto = dir.file("proto");
  write_xfs_proto(proto, {"a", "b"}, 200, data);
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 32 * kMiB, std::string(kV4Small) + " -d agcount=2", proto), 0);
  ASSERT_TRUE(punch_every_other_file(image, {"a", "b"}));
  const XfsOracle oracle = read_xfs_oracle(image);
  ASSERT_TRUE(oracle.ok);
  ASSERT_EQ(oracle.by_block_levels, (std::vector<uint32_t>{2, 2}));
  size_t listed = 0;
  for (const auto& list : oracle.free_list) listed += list.size();
  EXPECT_GT(listed, 0u);  // blocks on the free lists are in xfs_db's free space, not in ours
  EXPECT_GT(oracle.free_extents.size(), 150u);
  expect_map_matches_oracle(image, 60000);
}

TEST_F(XfsVolumeTest, FourKilobyteBlocksAndSectorsMatchXfsDb) {
  const std::string data = dir.file("data.bin");
  make_dirty_file(data, 70 * 1024);
  const std::string proto = dir.file("proto");
  write_xfs_proto(proto, {"a", "b"}, 20, data);
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 64 * kMiB, "-m crc=0 -s size=4096 -d agcount=3", proto), 0);
  const XfsOracle oracle = read_xfs_oracle(image);
  ASSERT_EQ(oracle.block_size, 4096u);
  expect_map_matches_oracle(image, 8000);
}

TEST_F(XfsVolumeTest, SectorsBehindTheFileSystemAreUsed) {
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 32 * kMiB, std::string(kV4Small) + " -d size=30m"), 0);
  make_sparse_file(image, 32 * kMiB + 512);  // a partition a little larger than its file system
  const XfsOracle oracle = read_xfs_oracle(image);
  ASSERT_EQ(oracle.data_blocks, 30 * kMiB / 512);
  expect_map_matches_oracle(image, 50000);
  const ReaderResult map = map_volume_file(image, KIND_XFS);
  for (uint64_t s = 30 * kMiB / 512; s < map.sectors; ++s) ASSERT_TRUE(map.used(s)) << s;
}

// xfs_db rewrites the log as a later pass would leave it: the unmount record in the newest cycle,
// the rest of the ring filled with records of the cycle before, padded to a log stripe unit.
TEST_F(XfsVolumeTest, ReformattedLogsInLaterCyclesAreTrusted) {
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 32 * kMiB, std::string(kV4Small) + " -d agcount=2"), 0);
  for (const char* format : {"logformat -c 7", "logformat -c 3 -s 4096", "logformat -c 2 -s 32768"}) {
    const CommandResult r = run_command("xfs_db -x -c " + shell_quote(format) + " " +
                                        shell_quote(image) + " 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
    SCOPED_TRACE(format);
    expect_map_matches_oracle(image, 50000);
  }
}

// Version 5 volumes as mkfs.xfs makes them today, with the optional trees and sparse inode
// chunks, in several groups, filled with small files of which every other one is then deleted.
struct V5Case {
  const char* name;
  const char* options;
  int files;
  size_t min_free_blocks;
};

class XfsV5Volume : public XfsVolumeTest, public ::testing::WithParamInterface<V5Case> {};

TEST_P(XfsV5Volume, MatchesXfsDbAfterDeletes) {
  const V5Case& c = GetParam();
  const std::string data = dir.file("small.bin");
  make_dirty_file(data, 9000);
  const std::string proto = dir.file("proto");
  write_xfs_proto(proto, {"a", "b"}, c.files, data);
  const std::string image = dir.file("xfs.img");
  make_dirty_file(image, 96 * kMiB, 0x2B);
  ASSERT_EQ(run_command("TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -q -f -K " +
                        std::string(c.options) + " -p " + shell_quote(proto) + " " +
                        shell_quote(image) + " >/dev/null 2>&1").status, 0);
  ASSERT_TRUE(punch_every_other_file(image, {"a", "b"}));
  const CommandResult version =
      run_command("xfs_db -r -c version " + shell_quote(image) + " 2>/dev/null");
  ASSERT_NE(version.output.find("CRC"), std::string::npos) << version.output;
  expect_map_matches_oracle(image, c.min_free_blocks);
  EXPECT_EQ(run_command("xfs_repair -n -f " + shell_quote(image) + " >/dev/null 2>&1").status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Today, XfsV5Volume,
    ::testing::Values(V5Case{"defaults", "", 300, 12000},
                      V5Case{"reflink_rmapbt", "-m reflink=1,rmapbt=1 -d agcount=3", 300, 12000},
                      V5Case{"sparse_inodes", "-i sparse=1 -d agcount=6", 300, 12000},
                      V5Case{"two_level_trees", "-b size=1024 -d agcount=2", 1500, 40000}),
    [](const ::testing::TestParamInfo<V5Case>& info) { return std::string(info.param.name); });

// One changed byte in a checksummed structure, or a volume that says it needs repair, is kept
// whole.
TEST_F(XfsVolumeTest, V5DamageIsRefused) {
  const std::string data = dir.file("small.bin");
  make_dirty_file(data, 9000);
  const std::string proto = dir.file("proto");
  write_xfs_proto(proto, {"a", "b"}, 1500, data);
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 64 * kMiB, "-b size=1024 -d agcount=2", proto), 0);
  ASSERT_TRUE(punch_every_other_file(image, {"a", "b"}));
  ASSERT_EQ(map_volume_file(image, KIND_XFS).probe, OK);
  const auto field = [&](const std::string& command, const std::string& name) {
    const CommandResult r = run_command("xfs_db -r -c " + shell_quote(command) + " -c " +
                                        shell_quote("p " + name) + " " + shell_quote(image));
    return std::stoull(r.output.substr(r.output.find(" = ") + 3));
  };
  const uint64_t block = 1024;
  const uint64_t ag_blocks = field("sb 0", "agblocks");
  const uint64_t by_block_root = (ag_blocks + field("agf 1", "bnoroot")) * block;
  const uint64_t by_size_root = field("agf 0", "cntroot") * block;
  ASSERT_EQ(field("agf 1", "bnolevel"), 2u);
  struct Flip {
    uint64_t at;
    const char* what;
  };
  const Flip flips[] = {
      {140, "superblock counters"},
      {ag_blocks * block + 512 + 100, "spare bytes of the second group's free-space header"},
      {512 + 44, "free-list count of the first group's header"},
      {3 * 512 + 40, "a free-list slot of the first group"},
      {by_block_root + 200, "a key of the second group's by-block root"},
      {by_size_root + 60, "a record of the first group's by-size tree"},
  };
  for (const Flip& f : flips) {
    std::vector<uint8_t> byte(1);
    {
      std::ifstream in(image, std::ios::binary);
      in.seekg(static_cast<std::streamoff>(f.at));
      in.read(reinterpret_cast<char*>(byte.data()), 1);
    }
    const std::vector<uint8_t> changed = {static_cast<uint8_t>(byte[0] ^ 0x10)};
    write_at(image, f.at, changed);
    EXPECT_NE(map_volume_file(image, KIND_XFS).probe, OK) << f.what;
    write_at(image, f.at, byte);
  }
  ASSERT_EQ(map_volume_file(image, KIND_XFS).probe, OK);
  const uint64_t incompat = field("sb 0", "features_incompat");
  ASSERT_EQ(run_command("xfs_db -x -c 'sb 0' -c 'write features_incompat " +
                        std::to_string(incompat | 0x10) + "' " + shell_quote(image) +
                        " >/dev/null 2>&1").status, 0);
  EXPECT_NE(map_volume_file(image, KIND_XFS).probe, OK) << "needs repair";
}

TEST_F(XfsVolumeTest, TruncatedVolumeIsRefused) {
  const std::string image = dir.file("xfs.img");
  ASSERT_EQ(make_xfs_volume(image, 32 * kMiB, std::string(kV4Small) + " -d agcount=2"), 0);
  ASSERT_EQ(map_volume_file(image, KIND_XFS).probe, OK);
  for (uint64_t size : {31 * kMiB, 16 * kMiB, 1 * kMiB, uint64_t{4096}}) {
    std::filesystem::resize_file(image, size);
    EXPECT_NE(map_volume_file(image, KIND_XFS).probe, OK) << size;
  }
}

// Superblock fields, group headers, free lists, the top of both trees of every group and the
// start of the log, found by reading the volume itself.
std::vector<ByteRegion> metadata_regions(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const auto at = [&](uint64_t offset, size_t n) {
    std::vector<uint8_t> bytes(n);
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(n));
    return bytes;
  };
  const std::vector<uint8_t> sb = at(0, 204);
  const uint32_t block_size = be32(&sb[4]);
  const uint32_t ag_blocks = be32(&sb[84]), ag_count = be32(&sb[88]);
  const uint32_t sector_size = be16(&sb[102]);
  const uint8_t ag_block_log = sb[124];
  std::vector<ByteRegion> regions = {{0, 16}, {48, 8}, {84, 20}, {120, 8}, {200, 4}};
  const auto block_at = [&](uint32_t g, uint64_t b) { return (uint64_t{g} * ag_blocks + b) * block_size; };
  const uint32_t tree_header = (be16(&sb[100]) & 0xF) == 5 ? 56 : 16;
  const uint32_t node_pointers = tree_header + 8 * ((block_size - tree_header) / 12);
  for (uint32_t g = 0; g < ag_count; ++g) {
    const uint64_t agf = block_at(g, 0) + sector_size;
    regions.push_back({block_at(g, 0), 4});
    regions.push_back({agf, tree_header == 56 ? 224u : 64u});
    regions.push_back({block_at(g, 0) + 3 * sector_size, 32});
    const std::vector<uint8_t> header = at(agf, 64);
    for (size_t root_field : {16, 20}) {
      const uint64_t root = block_at(g, be32(&header[root_field]));
      regions.push_back({root, tree_header + 8 * 8});
      const std::vector<uint8_t> node = at(root, block_size);
      if (be16(&node[4]) == 0) continue;
      regions.push_back({root + node_pointers, 4 * 4});
      for (uint32_t i = 0; i < 2; ++i)
        regions.push_back({block_at(g, be32(&node[node_pointers + 4 * i])), tree_header + 8 * 8});
    }
  }
  const uint64_t log_start = be64(&sb[48]);
  const uint64_t log = block_at(static_cast<uint32_t>(log_start >> ag_block_log),
                                log_start & ((uint64_t{1} << ag_block_log) - 1));
  regions.push_back({log, 48});
  regions.push_back({log + 320, 4});
  regions.push_back({log + 512, 12});
  regions.push_back({log + 1024, 4});
  return regions;
}

TEST_F(XfsVolumeTest, ByteFlipsOfARealVolume) {
  for (const char* version : {"-m crc=0", "-m crc=1"}) {
    SCOPED_TRACE(version);
    const std::string data = dir.file("small.bin");
    make_dirty_file(data, 600);
    const std::string proto = dir.file("proto");
    write_xfs_proto(proto, {"a", "b"}, 200, data);
    const std::string image = dir.file("xfs.img");
    ASSERT_EQ(make_xfs_volume(image, 32 * kMiB, std::string(version) + " -b size=1024 -d agcount=2",
                              proto), 0);
    ASSERT_TRUE(punch_every_other_file(image, {"a", "b"}));
    const FlipStats stats = run_flip_campaign(image, KIND_XFS, metadata_regions(image), 400, 7);
    EXPECT_EQ(stats.failure, "");
    EXPECT_GT(stats.flips, 350);
    std::printf("%d of %d damaged volumes accepted\n", stats.accepted, stats.flips);
  }
}

}  // namespace
}  // namespace qx::test
