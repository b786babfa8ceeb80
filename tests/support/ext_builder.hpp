// ext2/3/4 volumes for reader tests: real ones formatted by mke2fs from a folder, hand-built ones
// with an exact group layout, and a small parser that locates descriptors and bitmaps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qx::test {

struct MkExtOptions {
  std::string type = "ext2";      // mke2fs -t
  uint32_t block_size = 4096;     // -b
  uint32_t blocks_per_group = 0;  // -g when not 0
  uint64_t blocks = 0;            // size of the file system in blocks
  uint64_t tail_bytes = 0;        // bytes of the volume file behind the file system
  std::string features;           // -O when not empty
  std::string tree;               // -d when not empty
  std::string extended;           // added to -E nodiscard when not empty
  uint64_t dirty_bytes = UINT64_MAX;  // how much of the file is dirtied; the rest stays sparse
};

// Fills a file of blocks × block size + tail bytes (or its first dirty bytes) with a non-zero
// pattern, then formats it (free space stays dirty). False when mke2fs fails; its output goes to `log` when given.
bool make_ext_volume(const std::string& path, const MkExtOptions& options,
                     std::string* log = nullptr);

// Runs debugfs -w over the volume with one request per line ("rm /a", "write host /b").
bool debugfs_write(const std::string& path, const std::string& requests,
                   std::string* log = nullptr);

// What e2fsprogs itself calls free: the "Free blocks" ranges dumpe2fs prints for every group,
// one entry per block ('f' free, 'a' anything else). Unlike The Sleuth Kit it gives groups whose
// bitmap was never written the bitmap the kernel would build. Empty when dumpe2fs fails.
std::vector<char> dumpe2fs_block_states(const std::string& path);

// True when `e2fsck -fn` finds nothing to fix.
bool ext_volume_clean(const std::string& path, std::string* log = nullptr);

struct ExtGroupSummary {
  uint32_t block_bitmap = 0;
  uint16_t free_blocks = 0;
  uint16_t flags = 0;
};

// The superblock fields and the descriptors of a volume file (without meta groups), read without
// judging them.
struct ExtSummary {
  bool valid = false;  // the file is long enough and holds the magic
  uint32_t block_size = 0;
  uint32_t block_count = 0;
  uint32_t first_data_block = 0;
  uint32_t blocks_per_group = 0;
  uint32_t feature_incompat = 0;
  uint32_t feature_ro_compat = 0;
  uint32_t descriptor_size = 32;
  std::vector<ExtGroupSummary> groups;

  uint32_t sectors_per_block() const { return block_size / 512; }
  uint32_t blocks_in_group(uint32_t g) const;
  uint64_t descriptor_offset(uint32_t g) const {
    return (uint64_t{first_data_block} + 1) * block_size + uint64_t{g} * descriptor_size;
  }
  uint64_t bitmap_offset(uint32_t g) const { return uint64_t{groups[g].block_bitmap} * block_size; }
};
ExtSummary read_ext_summary(const std::string& path);

// Byte offsets inside the volume of superblock fields and descriptor fields.
struct ExtOffsets {
  static constexpr uint64_t kSuperblock = 1024;
  static constexpr uint64_t kBlocksCount = kSuperblock + 0x04;
  static constexpr uint64_t kFirstDataBlock = kSuperblock + 0x14;
  static constexpr uint64_t kLogBlockSize = kSuperblock + 0x18;
  static constexpr uint64_t kBlocksPerGroup = kSuperblock + 0x20;
  static constexpr uint64_t kMagic = kSuperblock + 0x38;
  static constexpr uint64_t kState = kSuperblock + 0x3A;
  static constexpr uint64_t kFeatureIncompat = kSuperblock + 0x60;
  static constexpr uint64_t kFeatureRoCompat = kSuperblock + 0x64;
  static constexpr uint64_t kInodeSize = kSuperblock + 0x58;
  static constexpr uint64_t kReservedGdtBlocks = kSuperblock + 0xCE;
  static constexpr uint64_t kDescSize = kSuperblock + 0xFE;
  static constexpr uint64_t kFirstMetaBg = kSuperblock + 0x104;
  static constexpr uint64_t kBlocksCountHi = kSuperblock + 0x150;
  static constexpr uint64_t kChecksum = kSuperblock + 0x3FC;
  static constexpr uint64_t kDescBlockBitmap = 0;
  static constexpr uint64_t kDescFreeBlocks = 12;
  static constexpr uint64_t kDescFlags = 18;
};

// A hand-built volume: superblock, the descriptor table right behind it and then one bitmap block
// per group, all inside group 0 (no inodes, no data). Blocks from 0 (1024-byte blocks: from 1) up
// to ext_metadata_end are marked used, further blocks as `used` says; free counts match.
struct ExtLayout {
  uint32_t block_size = 4096;
  uint32_t block_count = 0;
  uint32_t blocks_per_group = 0;  // 0: 8 × block size
  uint32_t feature_incompat = 0x0002;
  uint32_t feature_ro_compat = 0x0001;
  uint16_t state = 1;
  uint16_t group_flags = 0;
  bool padding_used = true;  // the last group's bits behind its blocks
  std::function<bool(uint32_t block)> used;
  // Overrides the metadata rule for the blocks it answers true for: they are marked free.
  std::function<bool(uint32_t block)> force_free;

  uint32_t first_data_block() const { return block_size == 1024 ? 1 : 0; }
  uint32_t group_size() const { return blocks_per_group ? blocks_per_group : 8 * block_size; }
  uint32_t group_count() const;
};
uint32_t ext_metadata_end(const ExtLayout& layout);
void build_ext_volume(const std::string& path, const ExtLayout& layout, uint64_t volume_bytes);

// Recomputes the metadata checksum of the superblock after a test changed it.
void reseal_ext_superblock(const std::string& path);

// Small in-place edits of a volume file.
void patch_le16(const std::string& path, uint64_t offset, uint16_t value);
void patch_le32(const std::string& path, uint64_t offset, uint32_t value);
uint8_t read_byte(const std::string& path, uint64_t offset);
void write_byte(const std::string& path, uint64_t offset, uint8_t value);

}  // namespace qx::test
