// The XFS reader on volumes built byte by byte: tree shapes, free lists, the log, and damage.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "fs/reader.hpp"
#include "fs/xfs/xfs_reader.hpp"
#include "support/flip_campaign.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"
#include "support/xfs_builder.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {
namespace {

namespace off = xfs_offsets;

// Two groups of 1024 blocks of 512 bytes; headers in blocks 0-3, trees from 4, log at 64-95.
XfsSpec basic_spec() {
  XfsSpec spec;
  spec.groups.resize(2);
  spec.groups[0].free = {{10, 6}, {100, 1}, {102, 30}, {500, 524}};
  spec.groups[0].free_list = {20, 21, 22};
  spec.groups[1].free = {{8, 100}, {300, 2}, {1000, 24}};
  spec.groups[1].free_list = {6};
  return spec;
}

// Every free extent of the spec, in linear blocks.
std::vector<bool> spec_free_blocks(const XfsSpec& spec, uint64_t data_blocks) {
  std::vector<bool> free(data_blocks, false);
  for (uint32_t g = 0; g < spec.groups.size(); ++g)
    for (const XfsFreeExtent& e : spec.groups[g].free)
      for (uint32_t b = 0; b < e.count; ++b) free.at(uint64_t{g} * spec.ag_blocks + e.start + b) = true;
  return free;
}

class XfsReaderTest : public ::testing::Test {
 protected:
  ReaderResult map(const XfsImage& image) {
    const std::string path = dir.file("xfs" + std::to_string(++images_) + ".img");
    image.save(path);
    return map_volume_file(path, KIND_XFS);
  }
  ErrorCode probe(const XfsImage& image) { return map(image).probe; }

  // The map frees exactly the built volume's free extents; every other sector is used.
  void expect_exact(const XfsImage& image, const XfsSpec& spec) {
    const ReaderResult result = map(image);
    ASSERT_EQ(result.probe, OK) << error_name(result.probe);
    ASSERT_EQ(result.mark, OK);
    const uint32_t per_block = spec.block_size / 512;
    const uint64_t blocks = image.bytes.size() / spec.block_size;
    const std::vector<bool> free = spec_free_blocks(spec, blocks);
    size_t mismatches = 0;
    for (uint64_t s = 0; s < result.sectors; ++s) {
      const uint64_t b = s / per_block;
      const bool expect_used = b >= blocks || !free[b];
      if (result.used(s) != expect_used && ++mismatches < 5)
        ADD_FAILURE() << "sector " << s << " used=" << result.used(s);
    }
    EXPECT_EQ(mismatches, 0u);
  }

  TempDir dir;
  int images_ = 0;
};

TEST_F(XfsReaderTest, FreesExactlyTheTreeExtentsOfEveryGroup) {
  const XfsSpec spec = basic_spec();
  expect_exact(build_xfs_image(spec), spec);
}

TEST_F(XfsReaderTest, MarkAnswersAnyWindowAtAnyBitOffset) {
  const XfsSpec spec = basic_spec();
  const XfsImage image = build_xfs_image(spec);
  const std::string path = dir.file("v.img");
  image.save(path);
  DiskImage disk;
  const uint32_t sectors = static_cast<uint32_t>(image.bytes.size() / 512);
  ASSERT_EQ(open_flat(disk, path, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  std::unique_ptr<ReaderState> state;
  ASSERT_EQ(kXfsReader.probe(disk, 0, sectors, state), OK);
  ASSERT_NE(xfs_allocation(*state), nullptr);
  const std::vector<bool> free = spec_free_blocks(spec, sectors);
  for (uint32_t first : {0u, 9u, 15u, 16u, 499u, 1023u, 1024u, 2040u}) {
    std::vector<uint8_t> bits(8, 0xA5);
    ASSERT_EQ(kXfsReader.mark(*state, first, 20, bits, 13), OK);
    for (uint32_t i = 0; i < 20; ++i) {
      const uint64_t s = first + i;
      const bool used = s >= sectors || !free[s];
      EXPECT_EQ((bits[(13 + i) / 8] >> ((13 + i) % 8)) & 1, used ? 1 : 0) << s;
    }
    EXPECT_EQ(bits[0] & 0x1F, 0xA5 & 0x1F);  // bits before the index are left alone
  }
  std::vector<uint8_t> small(2);
  EXPECT_NE(kXfsReader.mark(*state, 0, 17, small, 0), OK);
}

// A volume inside a disk: reads stay within it, answers are relative to its first sector, and a
// file system that claims more than its volume holds is not trusted.
TEST_F(XfsReaderTest, VolumeAtAnOffsetInsideALargerDisk) {
  const XfsSpec spec = basic_spec();
  const XfsImage image = build_xfs_image(spec);
  std::vector<uint8_t> disk_bytes(100 * 512 + image.bytes.size() + 50 * 512, 0x77);
  std::copy(image.bytes.begin(), image.bytes.end(), disk_bytes.begin() + 100 * 512);
  const std::string path = dir.file("disk.img");
  write_file(path, disk_bytes);
  DiskImage disk;
  const uint32_t sectors = static_cast<uint32_t>(disk_bytes.size() / 512);
  ASSERT_EQ(open_flat(disk, path, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  const uint32_t volume = static_cast<uint32_t>(image.bytes.size() / 512);
  std::unique_ptr<ReaderState> state;
  EXPECT_NE(kXfsReader.probe(disk, 100, volume - 1, state), OK);
  EXPECT_EQ(state, nullptr);
  ASSERT_EQ(kXfsReader.probe(disk, 100, volume + 50, state), OK);
  std::vector<uint8_t> bits(bitmap_bytes(volume + 50));
  ASSERT_EQ(kXfsReader.mark(*state, 0, volume + 50, bits, 0), OK);
  const std::vector<bool> free = spec_free_blocks(spec, volume);
  for (uint32_t s = 0; s < volume + 50; ++s)
    ASSERT_EQ(test_bit(bits, s), s >= volume || !free[s]) << s;
}

// A disk without a partition table is one volume of type 0, on which every kind is probed in turn
// until the XFS reader recognises it; its free blocks reach the map's answers.
TEST_F(XfsReaderTest, FoundByTheUsedSectorMapOnAWholeDisk) {
  const XfsSpec spec = basic_spec();
  const XfsImage image = build_xfs_image(spec);
  const uint32_t volume = static_cast<uint32_t>(image.bytes.size() / 512);
  std::vector<uint8_t> disk_bytes = image.bytes;
  disk_bytes.resize(disk_bytes.size() + 64 * 512, 0x33);
  const std::string path = dir.file("disk.img");
  write_file(path, disk_bytes);
  DiskImage disk;
  const uint32_t sectors = static_cast<uint32_t>(disk_bytes.size() / 512);
  ASSERT_EQ(open_flat(disk, path, true, 0, DiskGeometry{sectors, 255, 63, 512}), OK);
  ErrorCode error = OK;
  uint32_t recognised = 0;
  const std::unique_ptr<UsageMap> map = build_usage_map(disk, error, recognised);
  ASSERT_EQ(error, OK);
  ASSERT_TRUE(map);
  ASSERT_EQ(map->volumes.size(), 1u);
  EXPECT_EQ(map->volumes[0].kind, KIND_XFS);
  EXPECT_EQ(recognised, 1u);
  std::vector<uint8_t> bits(bitmap_bytes(sectors));
  ASSERT_EQ(query_used(*map, 0, sectors, bits), OK);
  const std::vector<bool> free = spec_free_blocks(spec, volume);
  for (uint32_t s = 0; s < sectors; ++s) ASSERT_EQ(test_bit(bits, s), s >= volume || !free[s]) << s;
  destroy_usage_map(*map);
}

TEST_F(XfsReaderTest, DeepTreesAreWalkedInPointerOrderWhateverTheBlockOrder) {
  XfsSpec spec;
  spec.ag_blocks = 2048;
  spec.groups.resize(2);
  for (uint32_t b = 400; b < 1000; b += 2) spec.groups[0].free.push_back({b, 1});
  spec.groups[0].free.push_back({1100, 900});
  spec.groups[1].free = {{200, 20}};
  spec.log_group = 1;
  spec.leaf_records = 4;
  spec.node_records = 3;
  for (bool descending : {false, true}) {
    spec.tree_blocks_descending = descending;
    const XfsImage image = build_xfs_image(spec);
    ASSERT_EQ(image.groups[0].by_block.levels, 5u);
    expect_exact(image, spec);
  }
}

TEST_F(XfsReaderTest, EmptyTreeLeavesTheGroupUsed) {
  XfsSpec spec = basic_spec();
  spec.groups[1].free.clear();
  spec.groups[1].free_list.clear();
  expect_exact(build_xfs_image(spec), spec);
}

TEST_F(XfsReaderTest, LargerBlocksAndSectors) {
  XfsSpec spec;
  spec.block_size = 4096;
  spec.sector_size = 4096;
  spec.ag_blocks = 256;
  spec.groups.resize(3);
  spec.groups[0].free = {{40, 10}, {200, 56}};
  spec.groups[1].free = {{6, 250}};
  spec.groups[2].free = {{100, 1}};
  spec.groups[2].free_list = {7, 8};
  spec.log_block = 16;
  spec.log_blocks = 16;
  spec.log_head = 30;
  expect_exact(build_xfs_image(spec), spec);
}

TEST_F(XfsReaderTest, ShortLastGroupAndSectorsBehindTheFileSystem) {
  XfsSpec spec = basic_spec();
  spec.data_blocks = 1024 + 700;
  spec.groups[1].free = {{8, 100}, {600, 100}};
  XfsImage image = build_xfs_image(spec);
  image.bytes.resize(image.bytes.size() + 3 * 512, 0);
  expect_exact(image, spec);
  const ReaderResult result = map(image);
  for (uint32_t s = 1724; s < 1727; ++s) EXPECT_TRUE(result.used(s));
}

TEST_F(XfsReaderTest, FreeListBlocksStayUsedAndMustNotBeFree) {
  XfsSpec spec = basic_spec();
  // A list that wraps around the end of its slots.
  XfsImage image = build_xfs_image(spec);
  const uint64_t agfl = image.free_list_offset(0);
  for (uint32_t i = 0; i < 128; ++i) image.put32(agfl + 4 * i, 0xFFFFFFFF);
  image.put32(agfl + 4 * 126, 20);
  image.put32(agfl + 4 * 127, 21);
  image.put32(agfl + 4 * 0, 22);
  image.put32(image.agf_offset(0) + off::kAgfFreeListFirst, 126);
  image.put32(image.agf_offset(0) + off::kAgfFreeListLast, 0);
  expect_exact(image, spec);

  // A listed block that the tree also calls free is damage.
  XfsImage listed_free = build_xfs_image(spec);
  listed_free.put32(listed_free.free_list_offset(0) + 4, 12);
  EXPECT_NE(probe(listed_free), OK);
  // So is a listed block outside the group.
  XfsImage outside = build_xfs_image(spec);
  outside.put32(outside.free_list_offset(1), 5000);
  EXPECT_NE(probe(outside), OK);
  // Counters that disagree leave the list out of account (its blocks stay used).
  XfsImage disagree = build_xfs_image(spec);
  disagree.put32(disagree.agf_offset(0) + off::kAgfFreeListCount, 2);
  expect_exact(disagree, spec);
}

// Builds the basic image, lets `damage` change it, and expects a refused probe.
struct Damage {
  const char* what;
  std::function<void(XfsImage&)> apply;
};

TEST_F(XfsReaderTest, DamagedOrAbsurdHeadersAreRefused) {
  const auto sb = [](uint64_t field) { return field; };
  const auto agf = [](const XfsImage& i, uint32_t g, uint64_t field) { return i.agf_offset(g) + field; };
  const std::vector<Damage> cases = {
      {"superblock magic", [&](XfsImage& i) { i.put32(sb(0), 0x58465343); }},
      {"checksummed version", [&](XfsImage& i) { i.put16(sb(off::kSbVersion), 0xB4A5); }},
      {"old version", [&](XfsImage& i) { i.put16(sb(off::kSbVersion), 0xB4A3); }},
      {"shared volume", [&](XfsImage& i) { i.put16(sb(off::kSbVersion), 0xB6A4); }},
      {"unknown feature", [&](XfsImage& i) { i.put32(sb(off::kSbFeatures2), 0x38A); }},
      {"mkfs in progress", [&](XfsImage& i) { i.bytes[off::kSbInProgress] = 1; }},
      {"block size 0", [&](XfsImage& i) { i.put32(sb(off::kSbBlockSize), 0); }},
      {"block size 513", [&](XfsImage& i) { i.put32(sb(off::kSbBlockSize), 513); }},
      {"block size 1 MiB", [&](XfsImage& i) { i.put32(sb(off::kSbBlockSize), 1 << 20); }},
      {"block size against its log", [&](XfsImage& i) { i.put32(sb(off::kSbBlockSize), 1024); }},
      {"sector size 0", [&](XfsImage& i) { i.put16(sb(off::kSbSectorSize), 0); }},
      {"sector above block", [&](XfsImage& i) { i.put16(sb(off::kSbSectorSize), 1024); }},
      {"group count 0", [&](XfsImage& i) { i.put32(sb(off::kSbAgCount), 0); }},
      {"group count huge", [&](XfsImage& i) { i.put32(sb(off::kSbAgCount), 0xFFFFFFFF); }},
      {"group count 3", [&](XfsImage& i) { i.put32(sb(off::kSbAgCount), 3); }},
      {"group blocks 0", [&](XfsImage& i) { i.put32(sb(off::kSbAgBlocks), 0); }},
      {"group blocks huge", [&](XfsImage& i) { i.put32(sb(off::kSbAgBlocks), 0xFFFFFFFF); }},
      {"group blocks against count", [&](XfsImage& i) { i.put32(sb(off::kSbAgBlocks), 1000); }},
      {"group block log", [&](XfsImage& i) { i.bytes[off::kSbAgBlockLog] = 11; }},
      {"data blocks 0", [&](XfsImage& i) { i.put64(sb(off::kSbDataBlocks), 0); }},
      {"data blocks beyond volume", [&](XfsImage& i) { i.put64(sb(off::kSbDataBlocks), 2049); }},
      {"data blocks 2^40", [&](XfsImage& i) { i.put64(sb(off::kSbDataBlocks), uint64_t{1} << 40); }},
      {"external log", [&](XfsImage& i) { i.put64(sb(off::kSbLogStart), 0); }},
      {"log in no group", [&](XfsImage& i) { i.put64(sb(off::kSbLogStart), uint64_t{7} << 10 | 64); }},
      {"log past its group", [&](XfsImage& i) { i.put32(sb(off::kSbLogBlocks), 961); }},
      {"log on the headers", [&](XfsImage& i) { i.put64(sb(off::kSbLogStart), 2); }},
      {"log 0 blocks", [&](XfsImage& i) { i.put32(sb(off::kSbLogBlocks), 0); }},
      {"group superblock magic", [&](XfsImage& i) { i.put32(i.block_offset(1, 0), 0); }},
      {"header magic", [&](XfsImage& i) { i.put32(agf(i, 1, 0), 0x58414747); }},
      {"header version", [&](XfsImage& i) { i.put32(agf(i, 0, 4), 2); }},
      {"header sequence", [&](XfsImage& i) { i.put32(agf(i, 1, 8), 0); }},
      {"header length", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfLength), 1023); }},
      {"root 0", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockRoot), 0); }},
      {"root null", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockRoot), 0xFFFFFFFF); }},
      {"root beyond group", [&](XfsImage& i) { i.put32(agf(i, 1, off::kAgfByBlockRoot), 1024); }},
      {"root on a data block", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockRoot), 200); }},
      {"root swapped", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockRoot), 5); }},
      {"size root wrong", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfBySizeRoot), 4); }},
      {"levels 0", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockLevels), 0); }},
      {"levels 2", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockLevels), 2); }},
      {"levels 4 billion", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfByBlockLevels), 0xFFFFFFFF); }},
      {"size levels 30", [&](XfsImage& i) { i.put32(agf(i, 1, off::kAgfBySizeLevels), 30); }},
      {"free count low", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfFreeBlocks), 560); }},
      {"free count high", [&](XfsImage& i) { i.put32(agf(i, 1, off::kAgfFreeBlocks), 127); }},
      {"list first past slots", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfFreeListFirst), 128); }},
      {"list last past slots", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfFreeListLast), 999); }},
      {"list count past slots", [&](XfsImage& i) { i.put32(agf(i, 0, off::kAgfFreeListCount), 129); }},
  };
  for (const Damage& d : cases) {
    XfsImage image = build_xfs_image(basic_spec());
    d.apply(image);
    EXPECT_NE(probe(image), OK) << d.what;
  }
}

TEST_F(XfsReaderTest, DamagedTreeBlocksAreRefused) {
  // Group 0's by-block tree is the leaf at block 4, its by-size tree the leaf at block 5.
  const auto leaf = [](const XfsImage& i) { return i.block_offset(0, 4); };
  const std::vector<Damage> cases = {
      {"checksummed tree magic", [&](XfsImage& i) { i.put32(leaf(i), 0x41423342); }},
      {"size tree magic in block tree", [&](XfsImage& i) { i.put32(leaf(i), 0x41425443); }},
      {"level 1 without children", [&](XfsImage& i) { i.put16(leaf(i) + off::kTreeLevel, 1); }},
      {"record count huge", [&](XfsImage& i) { i.put16(leaf(i) + off::kTreeRecordCount, 0xFFFF); }},
      {"record count past block", [&](XfsImage& i) { i.put16(leaf(i) + off::kTreeRecordCount, 63); }},
      {"left sibling", [&](XfsImage& i) { i.put32(leaf(i) + off::kTreeLeft, 4); }},
      {"right sibling", [&](XfsImage& i) { i.put32(leaf(i) + off::kTreeRight, 4); }},
      {"record of 0 blocks", [&](XfsImage& i) { i.put32(i.record_offset(leaf(i), 1) + 4, 0); }},
      {"record on the headers", [&](XfsImage& i) { i.put32(i.record_offset(leaf(i), 0), 2); }},
      {"record past group", [&](XfsImage& i) { i.put32(i.record_offset(leaf(i), 3) + 4, 525); }},
      {"record wrapping", [&](XfsImage& i) { i.put32(i.record_offset(leaf(i), 3) + 4, 0xFFFFFF00); }},
      {"records out of order", [&](XfsImage& i) { i.put32(i.record_offset(leaf(i), 1), 9); }},
      {"records overlapping", [&](XfsImage& i) { i.put32(i.record_offset(leaf(i), 0) + 4, 91); }},
      {"size tree disagrees",
       [&](XfsImage& i) { i.put32(i.record_offset(i.block_offset(0, 5), 0) + 4, 2); }},
      {"size tree misses a record",
       [&](XfsImage& i) { i.put16(i.block_offset(0, 5) + off::kTreeRecordCount, 3); }},
  };
  for (const Damage& d : cases) {
    XfsImage image = build_xfs_image(basic_spec());
    d.apply(image);
    EXPECT_NE(probe(image), OK) << d.what;
  }
}

// Trees that agree with each other and with the header may still free what is not free.
TEST_F(XfsReaderTest, FreeExtentOverMetadataIsRefused) {
  XfsSpec spec = basic_spec();
  spec.groups[0].free = {{10, 6}, {60, 10}};  // the log
  EXPECT_NE(probe(build_xfs_image(spec)), OK);
  spec = basic_spec();
  spec.groups[1].free = {{5, 100}};  // the by-size tree's block
  EXPECT_NE(probe(build_xfs_image(spec)), OK);
  spec = basic_spec();
  spec.groups[1].free = {{6, 2}};  // the block on the free list
  EXPECT_NE(probe(build_xfs_image(spec)), OK);
  spec = basic_spec();
  spec.tree_area = 40;  // the trees themselves, now inside group 0's first extent
  spec.groups[0].free = {{38, 6}};
  spec.groups[0].free_list.clear();
  spec.groups[1].free = {{300, 2}, {1000, 24}};
  EXPECT_NE(probe(build_xfs_image(spec)), OK);
  spec.groups[0].free = {{30, 10}, {42, 2}};
  expect_exact(build_xfs_image(spec), spec);
}

// A three-level by-block tree in group 0: root, interior nodes, leaves of four records.
XfsSpec deep_spec() {
  XfsSpec spec;
  spec.ag_blocks = 2048;
  spec.groups.resize(1);
  for (uint32_t b = 400; b < 700; b += 3) spec.groups[0].free.push_back({b, 2});
  spec.log_block = 1500;
  spec.leaf_records = 4;
  spec.node_records = 5;
  return spec;
}

TEST_F(XfsReaderTest, TreesThatPointIntoThemselvesEnd) {
  const XfsImage base = build_xfs_image(deep_spec());
  const XfsTree& tree = base.groups[0].by_block;
  ASSERT_EQ(tree.levels, 3u);
  const uint32_t root = tree.root;
  const uint32_t mid0 = tree.blocks[1][0], mid1 = tree.blocks[1][1];
  const uint32_t leaf0 = tree.blocks[0][0], leaf1 = tree.blocks[0][1];
  const auto block = [&](uint32_t b) { return base.block_offset(0, b); };
  const std::vector<Damage> cases = {
      {"root names itself", [&](XfsImage& i) { i.put32(i.pointer_offset(block(root), 1), root); }},
      {"node names the root", [&](XfsImage& i) { i.put32(i.pointer_offset(block(mid1), 0), root); }},
      {"node names itself", [&](XfsImage& i) { i.put32(i.pointer_offset(block(mid0), 2), mid0); }},
      {"leaf twice", [&](XfsImage& i) { i.put32(i.pointer_offset(block(mid0), 1), leaf0); }},
      {"node twice", [&](XfsImage& i) { i.put32(i.pointer_offset(block(root), 1), mid0); }},
      {"leaf chain loops", [&](XfsImage& i) { i.put32(block(leaf1) + off::kTreeRight, leaf0); }},
      {"every pointer on the root", [&](XfsImage& i) {
         for (uint32_t k = 0; k < 5; ++k) i.put32(i.pointer_offset(block(mid0), k), root);
       }},
      {"root level absurd", [&](XfsImage& i) { i.put16(block(root) + off::kTreeLevel, 0xFFFF); }},
      {"node level skips", [&](XfsImage& i) { i.put16(block(mid0) + off::kTreeLevel, 0); }},
      {"child key below parent key",
       [&](XfsImage& i) { i.put32(i.record_offset(block(root), 1), i.get32(i.record_offset(block(root), 1)) + 3); }},
      {"keys out of order", [&](XfsImage& i) { i.put32(i.record_offset(block(mid0), 2), 1); }},
  };
  for (const Damage& d : cases) {
    XfsImage image = base;
    d.apply(image);
    EXPECT_NE(probe(image), OK) << d.what;
  }
}

TEST_F(XfsReaderTest, OnlyACleanlyUnmountedLogIsTrusted) {
  struct LogCase {
    const char* what;
    uint32_t cycle;
    uint64_t head;
    bool unmounted;
    bool trusted;
  };
  // The log holds 32 blocks of 512 bytes.
  const LogCase cases[] = {
      {"fresh", 1, 2, true, true},
      {"later in the first pass", 1, 20, true, true},
      {"ring filled by the newest pass", 3, 32, true, true},
      {"record wrapping around the end", 2, 1, true, true},
      {"never written", 0, 2, true, true},
      {"transaction pending", 1, 2, false, false},
      {"transaction pending after wrap", 7, 9, false, false},
  };
  for (const LogCase& c : cases) {
    XfsSpec spec = basic_spec();
    spec.log_cycle = c.cycle;
    spec.log_head = c.head;
    spec.log_unmounted = c.unmounted;
    EXPECT_EQ(probe(build_xfs_image(spec)) == OK, c.trusted) << c.what;
  }
}

TEST_F(XfsReaderTest, LogAnomaliesAreNotTrusted) {
  XfsSpec spec = basic_spec();
  spec.log_cycle = 5;
  spec.log_head = 12;
  const XfsImage base = build_xfs_image(spec);
  ASSERT_EQ(probe(base), OK);
  const uint64_t log = base.log_offset;
  const auto bb = [&](uint64_t b) { return log + 512 * b; };
  const std::vector<Damage> cases = {
      {"write after the unmount record", [&](XfsImage& i) { i.put32(bb(12), 5); }},
      {"hole before the head", [&](XfsImage& i) { i.put32(bb(5), 4); }},
      {"older pass two cycles back", [&](XfsImage& i) { i.put32(bb(31), 3); }},
      {"stale block in the older pass", [&](XfsImage& i) { i.put32(bb(20), 2); }},
      {"no record header", [&](XfsImage& i) {
         i.put32(bb(10), 5);
       }},
      {"two operations", [&](XfsImage& i) { i.put32(bb(10) + 40, 2); }},
      {"record longer than the head", [&](XfsImage& i) { i.put32(bb(10) + 12, 1024); }},
      {"empty record", [&](XfsImage& i) { i.put32(bb(10) + 12, 0); }},
      {"huge record", [&](XfsImage& i) { i.put32(bb(10) + 12, 0xFFFFFE00); }},
      {"unknown record version", [&](XfsImage& i) { i.put32(bb(10) + 8, 3); }},
      {"multi-block header claimed", [&](XfsImage& i) { i.put32(bb(10) + 320, 65536); }},
      {"huge header claimed", [&](XfsImage& i) { i.put32(bb(10) + 320, 0xFFFFFFFF); }},
      {"not the log's client", [&](XfsImage& i) { i.bytes[bb(11) + 8] = 0x69; }},
      {"cycles run backwards", [&](XfsImage& i) {
         for (uint64_t b = 12; b < 32; ++b) i.put32(bb(b), 6);
       }},
  };
  for (const Damage& d : cases) {
    XfsImage image = base;
    d.apply(image);
    EXPECT_NE(probe(image), OK) << d.what;
  }
}

// The bytes the reader interprets: superblock fields, group headers, free-list slots, tree
// headers, records, keys and pointers, and the log's stamps and newest record.
std::vector<ByteRegion> interpreted_regions(const XfsImage& image, uint32_t groups, uint64_t log_head,
                                            uint32_t log_length) {
  std::vector<ByteRegion> regions = {{0, 16}, {48, 8}, {84, 20}, {120, 8}, {200, 4}};
  for (uint32_t g = 0; g < groups; ++g) {
    regions.push_back({image.block_offset(g, 0), 4});
    regions.push_back({image.agf_offset(g), 64});
    regions.push_back({image.free_list_offset(g), 16});
    for (const XfsTree* tree : {&image.groups[g].by_block, &image.groups[g].by_size}) {
      for (uint32_t level = 0; level < tree->levels; ++level) {
        const auto& row = tree->blocks[level];
        for (size_t i = 0; i < std::min<size_t>(row.size(), 3); ++i) {
          const uint64_t at = image.block_offset(g, row[i]);
          regions.push_back({at, 16 + 8 * 6});
          if (level) regions.push_back({image.pointer_offset(at, 0), 4 * 6});
        }
      }
    }
  }
  for (uint32_t b = 0; b < log_length; ++b) regions.push_back({image.log_offset + 512 * b, 4});
  const uint64_t header = image.log_offset + 512 * ((log_head + log_length - 2) % log_length);
  const uint64_t data = image.log_offset + 512 * ((log_head + log_length - 1) % log_length);
  regions.push_back({header + 4, 44});
  regions.push_back({header + 320, 4});
  regions.push_back({data + 4, 8});
  return regions;
}

TEST_F(XfsReaderTest, ByteFlipsOfACraftedVolume) {
  XfsSpec spec = deep_spec();
  spec.groups.resize(2);
  spec.groups[1].free = {{8, 50}, {100, 900}};
  spec.groups[1].free_list = {60, 61};
  spec.log_cycle = 3;
  spec.log_head = 7;
  const XfsImage image = build_xfs_image(spec);
  const std::string path = dir.file("flip.img");
  image.save(path);
  const FlipStats stats =
      run_flip_campaign(path, KIND_XFS, interpreted_regions(image, 2, 7, 32), 800, 20240611);
  EXPECT_EQ(stats.failure, "");
  EXPECT_GT(stats.flips, 700);
  EXPECT_LT(stats.accepted, stats.flips / 2);
  std::printf("%d of %d damaged volumes accepted\n", stats.accepted, stats.flips);
}

}  // namespace
}  // namespace qx::test
