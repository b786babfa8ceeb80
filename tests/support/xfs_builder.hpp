// Builds small XFS volumes without metadata checksums byte by byte: superblocks, free-space
// headers, free lists, both free-space trees of every group in any depth, and a log whose newest
// record is placed where a test wants it. Only what allocation readers look at is filled in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

struct XfsFreeExtent {
  uint32_t start;
  uint32_t count;
};

struct XfsGroupSpec {
  std::vector<XfsFreeExtent> free;  // ascending and disjoint, in group blocks
  std::vector<uint32_t> free_list;  // blocks held on the group's free list
};

struct XfsSpec {
  uint32_t block_size = 512;
  uint32_t sector_size = 512;
  uint32_t ag_blocks = 1024;
  uint64_t data_blocks = 0;          // 0: every group full
  std::vector<XfsGroupSpec> groups;  // one per allocation group
  uint32_t leaf_records = 0;         // records per leaf block; 0: as many as fit
  uint32_t node_records = 0;         // children per interior block; 0: as many as fit
  // Tree blocks are laid out from tree_area on (0: right behind the group headers), by-block tree
  // first; descending puts every level's blocks against their sibling order.
  uint32_t tree_area = 0;
  bool tree_blocks_descending = false;
  uint32_t log_group = 0;
  uint32_t log_block = 64;
  uint32_t log_blocks = 32;
  // The newest log record ends at 512-byte log block log_head (1 .. log length) in a pass of
  // cycle log_cycle: blocks before the head carry that cycle, the rest the one before. Cycle 0
  // leaves the log zeroed. log_unmounted false makes the newest record a transaction.
  uint32_t log_cycle = 1;
  uint64_t log_head = 2;
  bool log_unmounted = true;
  uint16_t version = 0xB4A4;  // version 4 with the feature bits mkfs.xfs sets
  uint32_t features2 = 0x28A;
};

struct XfsTree {
  uint32_t root = 0;
  uint32_t levels = 0;
  std::vector<std::vector<uint32_t>> blocks;  // per level (0 = leaves), in sibling order
};

struct XfsGroupLayout {
  XfsTree by_block;
  XfsTree by_size;
};

struct XfsImage {
  std::vector<uint8_t> bytes;
  std::vector<XfsGroupLayout> groups;
  uint32_t block_size = 0;
  uint32_t sector_size = 0;
  uint32_t ag_blocks = 0;
  uint64_t log_offset = 0;  // byte of the log's first block

  uint64_t block_offset(uint32_t group, uint32_t block) const {
    return (uint64_t{group} * ag_blocks + block) * block_size;
  }
  uint64_t agf_offset(uint32_t group) const { return block_offset(group, 0) + sector_size; }
  uint64_t free_list_offset(uint32_t group) const { return block_offset(group, 0) + 3 * sector_size; }
  // Offset of record or key i, and of child pointer i, inside a tree block at `block_byte`.
  uint64_t record_offset(uint64_t block_byte, uint32_t i) const { return block_byte + 16 + 8 * i; }
  uint64_t pointer_offset(uint64_t block_byte, uint32_t i) const {
    return block_byte + 16 + 8 * ((block_size - 16) / 12) + 4 * i;
  }

  uint32_t get32(uint64_t offset) const;
  void put16(uint64_t offset, uint16_t value);
  void put32(uint64_t offset, uint32_t value);
  void put64(uint64_t offset, uint64_t value);
  void save(const std::string& path) const;
};

// Field offsets of the structures, for tests that damage them.
namespace xfs_offsets {
inline constexpr uint64_t kSbBlockSize = 4, kSbDataBlocks = 8, kSbLogStart = 48, kSbAgBlocks = 84,
                          kSbAgCount = 88, kSbLogBlocks = 96, kSbVersion = 100, kSbSectorSize = 102,
                          kSbAgBlockLog = 124, kSbInProgress = 126, kSbFeatures2 = 200;
inline constexpr uint64_t kAgfLength = 12, kAgfByBlockRoot = 16, kAgfBySizeRoot = 20,
                          kAgfByBlockLevels = 28, kAgfBySizeLevels = 32, kAgfFreeListFirst = 40,
                          kAgfFreeListLast = 44, kAgfFreeListCount = 48, kAgfFreeBlocks = 52;
inline constexpr uint64_t kTreeLevel = 4, kTreeRecordCount = 6, kTreeLeft = 8, kTreeRight = 12;
}  // namespace xfs_offsets

XfsImage build_xfs_image(const XfsSpec& spec);

}  // namespace qx::test
