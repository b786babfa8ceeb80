// ext2/3/4 allocation reader: copies every group's block bitmap into one volume-wide bitmap at
// probe time, checking each against its group's free-block count, and answers queries from it.
#include "fs/ext/ext_reader.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "fs/unit_allocation.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"
#include "volume/sector_bitmap.hpp"

namespace qx {
namespace {

// Superblock, 1024 bytes at byte 1024 of the volume (only the fields this reader needs are named).
struct ExtSuperblock {
  le32_t inodes_count;
  le32_t blocks_count;
  uint8_t reserved_and_free_counts[12];
  le32_t first_data_block;
  le32_t log_block_size;
  le32_t log_cluster_size;
  le32_t blocks_per_group;
  uint8_t group_sizes_and_times[20];
  le16_t magic;
  le16_t state;
  uint8_t error_policy_and_checks[16];
  le32_t rev_level;
  uint8_t reserved_ids_and_inode_layout[12];
  le32_t feature_compat;
  le32_t feature_incompat;
  le32_t feature_ro_compat;
};
static_assert(sizeof(ExtSuperblock) == 0x68);
static_assert(offsetof(ExtSuperblock, blocks_per_group) == 0x20);
static_assert(offsetof(ExtSuperblock, magic) == 0x38);
static_assert(offsetof(ExtSuperblock, feature_compat) == 0x5C);

// Group descriptor of the classic 32-byte form.
struct ExtGroupDescriptor {
  le32_t block_bitmap;
  le32_t inode_bitmap;
  le32_t inode_table;
  le16_t free_blocks_count;
  le16_t free_inodes_count;
  le16_t used_dirs_count;
  le16_t flags;
  uint8_t tail[12];
};
static_assert(sizeof(ExtGroupDescriptor) == 32);

constexpr uint64_t kSuperblockOffset = 1024;
constexpr uint32_t kSuperblockSize = 1024;
constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kMaxLogBlockSize = 2;  // 4096-byte blocks
constexpr uint32_t kDescriptorSize = sizeof(ExtGroupDescriptor);
constexpr size_t kReadChunk = 1u << 20;

constexpr uint16_t kStateCleanlyUnmounted = 0x0001;
constexpr uint16_t kStateErrorsDetected = 0x0002;

// Incompatible features that leave block bitmaps and 32-byte descriptors as this reader reads
// them. Anything else (a journal awaiting replay, an external journal device, descriptors spread
// over meta groups, 64-byte descriptors, unknown features) is kept whole.
constexpr uint32_t kIncompatFiletype = 0x0002;
constexpr uint32_t kIncompatExtents = 0x0040;
constexpr uint32_t kIncompatMmp = 0x0100;
constexpr uint32_t kIncompatFlexBg = 0x0200;
constexpr uint32_t kIncompatEaInode = 0x0400;
constexpr uint32_t kIncompatDirdata = 0x1000;
constexpr uint32_t kIncompatCsumSeed = 0x2000;
constexpr uint32_t kIncompatLargedir = 0x4000;
constexpr uint32_t kIncompatInlineData = 0x8000;
constexpr uint32_t kIncompatEncrypt = 0x10000;
constexpr uint32_t kIncompatCasefold = 0x20000;
constexpr uint32_t kIncompatUnderstood =
    kIncompatFiletype | kIncompatExtents | kIncompatMmp | kIncompatFlexBg | kIncompatEaInode |
    kIncompatDirdata | kIncompatCsumSeed | kIncompatLargedir | kIncompatInlineData |
    kIncompatEncrypt | kIncompatCasefold;

// Read-only-compatible features may still change what a bitmap bit means (clusters instead of
// blocks, snapshots), so only those known to keep one bit per block pass.
constexpr uint32_t kRoCompatGdtCsum = 0x0010;
constexpr uint32_t kRoCompatMetadataCsum = 0x0400;
constexpr uint32_t kRoCompatUnderstood = 0x0001 | 0x0002 | 0x0004 | 0x0008 | kRoCompatGdtCsum |
                                         0x0020 | 0x0040 | 0x0100 | kRoCompatMetadataCsum |
                                         0x0800 | 0x1000 | 0x2000 | 0x4000 | 0x8000 | 0x10000;

// A group whose block bitmap was never written carries this flag when descriptors have checksums.
constexpr uint16_t kGroupBlockBitmapUninit = 0x0002;

// Unit j is block j + first data block.
using ExtState = AllocationState;

struct ExtGeometry {
  uint32_t block_size = 0;
  uint32_t sectors_per_block = 0;
  uint32_t block_count = 0;
  uint32_t first_data_block = 0;
  uint32_t blocks_per_group = 0;
  uint32_t group_count = 0;
  uint32_t grouped_blocks = 0;  // blocks from the first data block to the end: what groups cover
};

bool features_understood(const ExtSuperblock& sb) {
  return (sb.feature_incompat & ~kIncompatUnderstood) == 0 &&
         (sb.feature_ro_compat & ~kRoCompatUnderstood) == 0;
}

// Bitmaps of a volume that was not unmounted cleanly (or that the kernel found damaged) may lag
// behind the data already written.
bool cleanly_unmounted(const ExtSuperblock& sb) {
  return (sb.state & kStateCleanlyUnmounted) && !(sb.state & kStateErrorsDetected);
}

bool descriptors_have_checksums(const ExtSuperblock& sb) {
  return sb.feature_ro_compat & (kRoCompatGdtCsum | kRoCompatMetadataCsum);
}

// Every check here runs before anything is sized by the superblock's numbers.
ErrorCode derive_geometry(const ExtSuperblock& sb, uint32_t sector_count, ExtGeometry& geo) {
  if (sb.magic != kExtMagic || sb.log_block_size > kMaxLogBlockSize) return ERR_LAYOUT;
  if (!features_understood(sb) || !cleanly_unmounted(sb)) return ERR_LAYOUT;
  geo.block_size = 1024u << sb.log_block_size;
  geo.sectors_per_block = geo.block_size / kSectorSize;
  geo.block_count = sb.blocks_count;
  geo.first_data_block = sb.first_data_block;
  geo.blocks_per_group = sb.blocks_per_group;
  // Block 0 holds the superblock unless the blocks are small enough for it to sit in block 1.
  if (geo.first_data_block != (geo.block_size == 1024 ? 1u : 0u)) return ERR_LAYOUT;
  // A group's bitmap is one block.
  if (geo.blocks_per_group == 0 || geo.blocks_per_group > 8 * geo.block_size) return ERR_LAYOUT;
  if (geo.block_count <= geo.first_data_block) return ERR_LAYOUT;
  if (uint64_t{geo.block_count} * geo.sectors_per_block > sector_count) return ERR_LAYOUT;
  geo.grouped_blocks = geo.block_count - geo.first_data_block;
  geo.group_count = static_cast<uint32_t>(ceil_div_u64(geo.grouped_blocks, geo.blocks_per_group));
  // Without meta groups the whole descriptor table follows the superblock inside group 0.
  const uint64_t table_blocks = ceil_div_u64(uint64_t{geo.group_count} * kDescriptorSize,
                                             geo.block_size);
  const uint64_t group0_blocks = std::min(geo.blocks_per_group, geo.grouped_blocks);
  if (1 + table_blocks > group0_blocks) return ERR_LAYOUT;
  return OK;
}

uint64_t block_offset(uint64_t volume_offset, const ExtGeometry& geo, uint64_t block) {
  return volume_offset + block * geo.block_size;
}

uint32_t blocks_in_group(const ExtGeometry& geo, uint32_t group) {
  const uint32_t start = group * geo.blocks_per_group;  // below grouped_blocks, so no overflow
  return std::min(geo.blocks_per_group, geo.grouped_blocks - start);
}

bool bitmap_block_plausible(const ExtGeometry& geo, uint32_t block) {
  return block > geo.first_data_block && block < geo.block_count;
}

// Copies a group's n bits to the volume bitmap at bit `at` and answers how many are zero.
uint32_t copy_group_bits(std::span<const uint8_t> source, uint32_t n, std::vector<uint8_t>& volume,
                         uint64_t at) {
  uint32_t used = 0;
  uint32_t i = 0;
  if (at % 8 == 0) {
    const uint32_t whole = n / 8;
    std::memcpy(volume.data() + at / 8, source.data(), whole);
    for (uint32_t k = 0; k < whole; ++k) used += static_cast<uint32_t>(std::popcount(source[k]));
    i = whole * 8;
  }
  for (; i < n; ++i) {
    const bool bit = test_bit(source, i);
    put_bit(volume, at + i, bit);
    used += bit;
  }
  return n - used;
}

ErrorCode read_descriptors(DiskImage& image, uint64_t volume_offset, const ExtGeometry& geo,
                           std::vector<ExtGroupDescriptor>& out) {
  std::vector<uint8_t> table(size_t{geo.group_count} * kDescriptorSize);
  if (ErrorCode e = read_bytes(image, block_offset(volume_offset, geo, geo.first_data_block + 1),
                               table);
      e != OK)
    return e;
  out.resize(geo.group_count);
  for (uint32_t g = 0; g < geo.group_count; ++g)
    if (!read_struct(std::span<const uint8_t>(table), size_t{g} * kDescriptorSize, out[g]))
      return ERR_LAYOUT;
  return OK;
}

// Groups whose bitmap blocks follow one another (as flexible groups lay them out) are read as one.
uint32_t consecutive_bitmaps(const std::vector<ExtGroupDescriptor>& groups, uint32_t first,
                             uint32_t max_run) {
  uint32_t n = 1;
  while (first + n < groups.size() && n < max_run &&
         groups[first + n].block_bitmap == groups[first].block_bitmap + n)
    ++n;
  return n;
}

ErrorCode load_block_bitmaps(DiskImage& image, uint64_t volume_offset, const ExtGeometry& geo,
                             const ExtSuperblock& sb,
                             const std::vector<ExtGroupDescriptor>& groups,
                             UnitAllocation& allocation) {
  for (const ExtGroupDescriptor& d : groups) {
    if (!bitmap_block_plausible(geo, d.block_bitmap)) return ERR_LAYOUT;
    if (descriptors_have_checksums(sb) && (d.flags & kGroupBlockBitmapUninit)) return ERR_LAYOUT;
  }
  const uint32_t max_run = static_cast<uint32_t>(kReadChunk / geo.block_size);
  std::vector<uint8_t> chunk;
  for (uint32_t g = 0; g < geo.group_count;) {
    const uint32_t run = consecutive_bitmaps(groups, g, max_run);
    if (groups[g].block_bitmap + uint64_t{run} > geo.block_count) return ERR_LAYOUT;
    chunk.resize(size_t{run} * geo.block_size);
    if (ErrorCode e = read_bytes(image, block_offset(volume_offset, geo, groups[g].block_bitmap),
                                 chunk);
        e != OK)
      return e;
    for (uint32_t k = 0; k < run; ++k, ++g) {
      const std::span<const uint8_t> bits(chunk.data() + size_t{k} * geo.block_size,
                                          geo.block_size);
      const uint32_t free = copy_group_bits(bits, blocks_in_group(geo, g), allocation.used,
                                            uint64_t{g} * geo.blocks_per_group);
      if (free != groups[g].free_blocks_count) return ERR_LAYOUT;
    }
  }
  return OK;
}

ErrorCode ext_probe(DiskImage& image, uint32_t first, uint32_t count,
                    std::unique_ptr<ReaderState>& state) {
  return guard_no_memory([&]() -> ErrorCode {
    if (uint64_t{count} * kSectorSize < kSuperblockOffset + kSuperblockSize) return ERR_LAYOUT;
    const uint64_t volume_offset = uint64_t{first} * kSectorSize;
    std::vector<uint8_t> raw(kSuperblockSize);
    if (ErrorCode e = read_bytes(image, volume_offset + kSuperblockOffset, raw); e != OK) return e;
    ExtSuperblock sb;
    if (!read_struct(std::span<const uint8_t>(raw), 0, sb)) return ERR_LAYOUT;
    ExtGeometry geo;
    if (ErrorCode e = derive_geometry(sb, count, geo); e != OK) return e;

    std::vector<ExtGroupDescriptor> groups;
    if (ErrorCode e = read_descriptors(image, volume_offset, geo, groups); e != OK) return e;

    auto loaded = std::make_unique<ExtState>();
    UnitAllocation& allocation = loaded->allocation;
    if (ErrorCode e = allocation.reset(geo.grouped_blocks, true); e != OK) return e;
    // With 1024-byte blocks the boot block in front of the superblock has no bit and stays used.
    allocation.first_unit_sector = geo.first_data_block * geo.sectors_per_block;
    allocation.sectors_per_unit = geo.sectors_per_block;
    if (ErrorCode e = load_block_bitmaps(image, volume_offset, geo, sb, groups, allocation);
        e != OK)
      return e;
    state = std::move(loaded);
    return OK;
  });
}


}  // namespace

const FsReader kExtReader = {"ext", ext_probe, mark_allocation};

}  // namespace qx
