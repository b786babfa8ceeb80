// ext2/3/4 allocation reader: copies every group's block bitmap into one volume-wide bitmap at
// probe time, checking each against its group's free-block count and, where the volume has them,
// its checksums; groups whose bitmap was never written get the bitmap the kernel would build for
// them. Queries are answered from that one bitmap.
#include "fs/ext/ext_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "fs/unit_allocation.hpp"
#include "image/byte_order.hpp"
#include "image/crc32c.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

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
  le32_t clusters_per_group;
  le32_t inodes_per_group;
  uint8_t times[12];
  le16_t magic;
  le16_t state;
  uint8_t error_policy_and_checks[16];
  le32_t rev_level;
  uint8_t reserved_ids_and_first_inode[8];
  le16_t inode_size;
  le16_t block_group_nr;
  le32_t feature_compat;
  le32_t feature_incompat;
  le32_t feature_ro_compat;
  uint8_t uuid[16];
  uint8_t names_and_preallocation[86];
  le16_t reserved_gdt_blocks;
  uint8_t journal_fields[24];
  le32_t last_orphan;
  uint8_t hash_fields[17];
  uint8_t journal_backup_type;
  le16_t desc_size;
  le32_t default_mount_opts;
  le32_t first_meta_bg;
  uint8_t mkfs_time_and_journal_blocks[72];
  le32_t blocks_count_hi;
  uint8_t counts_hi_to_flex[33];
  uint8_t checksum_type;
  uint8_t to_backup_groups[214];
  le32_t backup_bgs[2];
  uint8_t to_checksum_seed[28];
  le32_t checksum_seed;
  uint8_t tail[392];
  le32_t checksum;
};
static_assert(sizeof(ExtSuperblock) == 1024);
static_assert(offsetof(ExtSuperblock, blocks_per_group) == 0x20);
static_assert(offsetof(ExtSuperblock, inodes_per_group) == 0x28);
static_assert(offsetof(ExtSuperblock, magic) == 0x38);
static_assert(offsetof(ExtSuperblock, rev_level) == 0x4C);
static_assert(offsetof(ExtSuperblock, inode_size) == 0x58);
static_assert(offsetof(ExtSuperblock, feature_compat) == 0x5C);
static_assert(offsetof(ExtSuperblock, uuid) == 0x68);
static_assert(offsetof(ExtSuperblock, reserved_gdt_blocks) == 0xCE);
static_assert(offsetof(ExtSuperblock, last_orphan) == 0xE8);
static_assert(offsetof(ExtSuperblock, desc_size) == 0xFE);
static_assert(offsetof(ExtSuperblock, first_meta_bg) == 0x104);
static_assert(offsetof(ExtSuperblock, blocks_count_hi) == 0x150);
static_assert(offsetof(ExtSuperblock, checksum_type) == 0x175);
static_assert(offsetof(ExtSuperblock, backup_bgs) == 0x24C);
static_assert(offsetof(ExtSuperblock, checksum_seed) == 0x270);
static_assert(offsetof(ExtSuperblock, checksum) == 0x3FC);

// Group descriptor: the classic 32 bytes, followed on 64-bit volumes by the high halves.
struct ExtGroupDescriptor {
  le32_t block_bitmap;
  le32_t inode_bitmap;
  le32_t inode_table;
  le16_t free_blocks_count;
  le16_t free_inodes_count;
  le16_t used_dirs_count;
  le16_t flags;
  le32_t exclude_bitmap;
  le16_t block_bitmap_csum;
  le16_t inode_bitmap_csum;
  le16_t itable_unused;
  le16_t checksum;
  le32_t block_bitmap_hi;
  le32_t inode_bitmap_hi;
  le32_t inode_table_hi;
  le16_t free_blocks_count_hi;
  uint8_t inode_counts_hi[6];
  le32_t exclude_bitmap_hi;
  le16_t block_bitmap_csum_hi;
  le16_t inode_bitmap_csum_hi;
  le32_t reserved;
};
static_assert(sizeof(ExtGroupDescriptor) == 64);
static_assert(offsetof(ExtGroupDescriptor, checksum) == 0x1E);
static_assert(offsetof(ExtGroupDescriptor, block_bitmap_hi) == 0x20);
static_assert(offsetof(ExtGroupDescriptor, block_bitmap_csum_hi) == 0x38);

constexpr uint64_t kSuperblockOffset = 1024;
constexpr uint32_t kSuperblockSize = 1024;
constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kMaxLogBlockSize = 2;  // 4096-byte blocks
constexpr uint32_t kClassicDescriptorSize = 32;
constexpr uint32_t kMinWideDescriptorSize = 64;
constexpr uint32_t kMaxDescriptorSize = 1024;
constexpr uint32_t kClassicInodeSize = 128;
constexpr uint32_t kMinBlocksPerGroup = 256;
constexpr size_t kReadChunk = 1u << 20;

constexpr uint16_t kStateCleanlyUnmounted = 0x0001;
constexpr uint16_t kStateErrorsDetected = 0x0002;

// Compatible features: those that move metadata the uninitialised-group rule must know of
// (backups in two named groups only) are read; "lazy_bg" groups may carry the uninitialised flag
// without any checksum to vouch for it, so such volumes are kept whole.
constexpr uint32_t kCompatLazyBg = 0x0040;
constexpr uint32_t kCompatSparseSuper2 = 0x0200;

// Incompatible features that leave one block bitmap per group as this reader reads it. Anything
// else (compression, a journal awaiting replay, an external journal device, unknown features) is
// kept whole.
constexpr uint32_t kIncompatFiletype = 0x0002;
constexpr uint32_t kIncompatRecover = 0x0004;
constexpr uint32_t kIncompatMetaBg = 0x0010;
constexpr uint32_t kIncompatExtents = 0x0040;
constexpr uint32_t kIncompat64Bit = 0x0080;
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
    kIncompatFiletype | kIncompatMetaBg | kIncompatExtents | kIncompat64Bit | kIncompatMmp |
    kIncompatFlexBg | kIncompatEaInode | kIncompatDirdata | kIncompatCsumSeed | kIncompatLargedir |
    kIncompatInlineData | kIncompatEncrypt | kIncompatCasefold;

// Read-only-compatible features may still change what a bitmap bit means (clusters instead of
// blocks, snapshots) or say that blocks still wait to be freed (orphans present), so only those
// known to keep one settled bit per block pass.
constexpr uint32_t kRoCompatSparseSuper = 0x0001;
constexpr uint32_t kRoCompatGdtCsum = 0x0010;
constexpr uint32_t kRoCompatMetadataCsum = 0x0400;
constexpr uint32_t kRoCompatUnderstood = kRoCompatSparseSuper | 0x0002 | 0x0004 | 0x0008 |
                                         kRoCompatGdtCsum | 0x0020 | 0x0040 | 0x0100 |
                                         kRoCompatMetadataCsum | 0x0800 | 0x1000 | 0x2000 |
                                         0x4000 | 0x8000;

constexpr uint8_t kChecksumTypeCrc32c = 1;

// A group whose block bitmap was never written carries this flag when descriptors have checksums.
constexpr uint16_t kGroupBlockBitmapUninit = 0x0002;

// Unit j is block j + first data block.
using ExtState = AllocationState;

enum class DescriptorSum { kNone, kCrc16, kCrc32c };

struct ExtGeometry {
  uint32_t block_size = 0;
  uint32_t sectors_per_block = 0;
  uint32_t block_count = 0;
  uint32_t first_data_block = 0;
  uint32_t blocks_per_group = 0;
  uint32_t group_count = 0;
  uint32_t grouped_blocks = 0;  // blocks from the first data block to the end: what groups cover
  uint32_t descriptor_size = kClassicDescriptorSize;
  uint32_t descriptors_per_block = 0;
  uint32_t descriptor_blocks = 0;
  uint32_t reserved_gdt_blocks = 0;
  uint32_t inode_table_blocks = 0;
  bool meta_bg = false;
  uint32_t first_meta_bg = 0;
  bool sparse_super = false;
  bool sparse_super2 = false;
  uint32_t backup_groups[2] = {0, 0};
  DescriptorSum descriptor_sum = DescriptorSum::kNone;
  bool bitmap_sums = false;
  uint32_t csum_seed = 0;
  uint8_t uuid[16] = {};

  uint32_t group_first_block(uint32_t g) const { return first_data_block + g * blocks_per_group; }
};

// One group as this reader uses it, with the high halves joined in.
struct ExtGroup {
  uint64_t block_bitmap = 0;
  uint64_t inode_bitmap = 0;
  uint64_t inode_table = 0;
  uint32_t free_blocks = 0;
  uint16_t flags = 0;
  uint32_t bitmap_sum = 0;
  bool bitmap_uninit = false;
};

// CRC-16 (polynomial 0x8005, reflected, no inversion) over group descriptors of volumes that
// predate metadata checksums.
uint16_t crc16_update(uint16_t crc, std::span<const uint8_t> data) {
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc >> 1) ^ (0xA001u & (0u - (crc & 1u))));
  }
  return crc;
}

bool features_understood(const ExtSuperblock& sb) {
  return (sb.feature_incompat & ~kIncompatUnderstood) == 0 &&
         (sb.feature_ro_compat & ~kRoCompatUnderstood) == 0 &&
         (sb.feature_compat & kCompatLazyBg) == 0;
}

// Bitmaps of a volume that was not unmounted cleanly (or that the kernel found damaged) may lag
// behind the data already written.
bool cleanly_unmounted(const ExtSuperblock& sb) {
  return (sb.state & kStateCleanlyUnmounted) && !(sb.state & kStateErrorsDetected);
}

bool superblock_sum_holds(std::span<const uint8_t> raw, const ExtSuperblock& sb) {
  if (sb.checksum_type != kChecksumTypeCrc32c) return false;
  return crc32c_update(~0u, raw.first(offsetof(ExtSuperblock, checksum))) == sb.checksum;
}

ErrorCode derive_checksums(std::span<const uint8_t> raw, const ExtSuperblock& sb,
                           ExtGeometry& geo) {
  std::memcpy(geo.uuid, sb.uuid, sizeof geo.uuid);
  if (sb.feature_ro_compat & kRoCompatMetadataCsum) {
    if (!superblock_sum_holds(raw, sb)) return ERR_LAYOUT;
    geo.descriptor_sum = DescriptorSum::kCrc32c;
    geo.bitmap_sums = true;
    geo.csum_seed = (sb.feature_incompat & kIncompatCsumSeed) ? uint32_t{sb.checksum_seed}
                                                              : crc32c_update(~0u, sb.uuid);
  } else if (sb.feature_ro_compat & kRoCompatGdtCsum) {
    geo.descriptor_sum = DescriptorSum::kCrc16;
  }
  return OK;
}

ErrorCode derive_descriptor_layout(const ExtSuperblock& sb, ExtGeometry& geo) {
  if (sb.feature_incompat & kIncompat64Bit) {
    geo.descriptor_size = sb.desc_size;
    if (geo.descriptor_size < kMinWideDescriptorSize || geo.descriptor_size > kMaxDescriptorSize ||
        !std::has_single_bit(geo.descriptor_size))
      return ERR_LAYOUT;
  }
  geo.descriptors_per_block = geo.block_size / geo.descriptor_size;
  geo.descriptor_blocks = static_cast<uint32_t>(ceil_div_u64(geo.group_count, geo.descriptors_per_block));
  geo.reserved_gdt_blocks = sb.reserved_gdt_blocks;
  geo.meta_bg = (sb.feature_incompat & kIncompatMetaBg) != 0;
  geo.first_meta_bg = geo.meta_bg ? uint32_t{sb.first_meta_bg} : geo.descriptor_blocks;
  if (geo.first_meta_bg > geo.descriptor_blocks) return ERR_LAYOUT;
  // The descriptor blocks kept in the classic place, and the blocks reserved to grow them, follow
  // the superblock inside group 0.
  const uint64_t group0_blocks = std::min(geo.blocks_per_group, geo.grouped_blocks);
  if (1 + uint64_t{geo.first_meta_bg} + geo.reserved_gdt_blocks > group0_blocks) return ERR_LAYOUT;
  return OK;
}

ErrorCode derive_inode_tables(const ExtSuperblock& sb, ExtGeometry& geo) {
  const uint32_t inode_size = sb.rev_level == 0 ? kClassicInodeSize : uint32_t{sb.inode_size};
  if (inode_size < kClassicInodeSize || inode_size > geo.block_size ||
      !std::has_single_bit(inode_size))
    return ERR_LAYOUT;
  const uint64_t blocks = ceil_div_u64(uint64_t{sb.inodes_per_group} * inode_size, geo.block_size);
  if (blocks > geo.blocks_per_group) return ERR_LAYOUT;
  geo.inode_table_blocks = static_cast<uint32_t>(blocks);
  return OK;
}

// Every check here runs before anything is sized by the superblock's numbers.
ErrorCode derive_geometry(std::span<const uint8_t> raw, const ExtSuperblock& sb,
                          uint32_t sector_count, ExtGeometry& geo) {
  if (sb.magic != kExtMagic || sb.log_block_size > kMaxLogBlockSize) return ERR_LAYOUT;
  if (sb.feature_incompat & kIncompatRecover) {
    keep_whole_because("needs_journal_recovery",
                       "ext: the journal holds writes not yet applied; mount the volume once in the guest");
    return ERR_LAYOUT;
  }
  if (!features_understood(sb)) {
    keep_whole_because("unsupported_feature", "ext: the volume uses a feature this tool does not read");
    return ERR_LAYOUT;
  }
  if (!cleanly_unmounted(sb)) {
    keep_whole_because("not_cleanly_unmounted",
                       "ext: the volume was not cleanly unmounted or has errors; run fsck in the guest");
    return ERR_LAYOUT;
  }
  geo.block_size = 1024u << sb.log_block_size;
  geo.sectors_per_block = geo.block_size / kSectorSize;
  const uint64_t block_count = (sb.feature_incompat & kIncompat64Bit)
                                   ? uint64_t{sb.blocks_count_hi} << 32 | sb.blocks_count
                                   : uint64_t{sb.blocks_count};
  geo.first_data_block = sb.first_data_block;
  geo.blocks_per_group = sb.blocks_per_group;
  // Block 0 holds the superblock unless the blocks are small enough for it to sit in block 1.
  if (geo.first_data_block != (geo.block_size == 1024 ? 1u : 0u)) return ERR_LAYOUT;
  // A group's bitmap is one block; groups smaller than mke2fs ever makes would only multiply the
  // descriptors to hold in memory.
  if (geo.blocks_per_group < kMinBlocksPerGroup || geo.blocks_per_group > 8 * geo.block_size)
    return ERR_LAYOUT;
  if (block_count <= geo.first_data_block) return ERR_LAYOUT;
  if (block_count > sector_count / geo.sectors_per_block) return ERR_LAYOUT;
  geo.block_count = static_cast<uint32_t>(block_count);
  geo.grouped_blocks = geo.block_count - geo.first_data_block;
  geo.group_count = static_cast<uint32_t>(ceil_div_u64(geo.grouped_blocks, geo.blocks_per_group));
  if (ErrorCode e = derive_checksums(raw, sb, geo); e != OK) return e;
  // Bitmap checksums cover whole bytes of the group's bits.
  if (geo.bitmap_sums && geo.blocks_per_group % 8 != 0) return ERR_LAYOUT;
  if (ErrorCode e = derive_descriptor_layout(sb, geo); e != OK) return e;
  if (ErrorCode e = derive_inode_tables(sb, geo); e != OK) return e;
  geo.sparse_super = (sb.feature_ro_compat & kRoCompatSparseSuper) != 0;
  geo.sparse_super2 = (sb.feature_compat & kCompatSparseSuper2) != 0;
  geo.backup_groups[0] = sb.backup_bgs[0];
  geo.backup_groups[1] = sb.backup_bgs[1];
  return OK;
}

uint64_t block_offset(uint64_t volume_offset, const ExtGeometry& geo, uint64_t block) {
  return volume_offset + block * geo.block_size;
}

uint32_t blocks_in_group(const ExtGeometry& geo, uint32_t group) {
  const uint32_t start = group * geo.blocks_per_group;  // below grouped_blocks, so no overflow
  return std::min(geo.blocks_per_group, geo.grouped_blocks - start);
}

bool is_power_of(uint32_t n, uint32_t base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

// Whether group g holds a copy of the superblock (and, outside meta groups, of the descriptors).
bool group_has_superblock(const ExtGeometry& geo, uint32_t g) {
  if (g == 0) return true;
  if (geo.sparse_super2) return g == geo.backup_groups[0] || g == geo.backup_groups[1];
  if (g <= 1 || !geo.sparse_super) return true;
  if (g % 2 == 0) return false;
  return is_power_of(g, 3) || is_power_of(g, 5) || is_power_of(g, 7);
}

// Where descriptor block i lies: behind the superblock, or in the first group of its meta group.
uint64_t descriptor_block_location(const ExtGeometry& geo, uint32_t i) {
  if (i < geo.first_meta_bg) return uint64_t{geo.first_data_block} + 1 + i;
  const uint32_t group = i * geo.descriptors_per_block;  // below the group count
  return uint64_t{geo.group_first_block(group)} + (group_has_superblock(geo, group) ? 1 : 0);
}

// Blocks at the start of group g that the kernel marks used when it first writes the group's
// bitmap: the superblock copy, the descriptor copies and the blocks reserved to grow them.
uint32_t base_metadata_blocks(const ExtGeometry& geo, uint32_t g) {
  const bool super = group_has_superblock(geo, g);
  if (!geo.meta_bg || g / geo.descriptors_per_block < geo.first_meta_bg)
    return super ? 1 + geo.first_meta_bg + geo.reserved_gdt_blocks : 0;
  const uint32_t first = g / geo.descriptors_per_block * geo.descriptors_per_block;
  const bool holds_copy = g == first || g == first + 1 || g == first + geo.descriptors_per_block - 1;
  return (super ? 1 : 0) + (holds_copy ? 1 : 0);
}

bool descriptor_sum_holds(const ExtGeometry& geo, uint32_t g, std::span<const uint8_t> raw) {
  uint8_t group[4];
  store_le<uint32_t>(group, g);
  constexpr size_t kSumAt = offsetof(ExtGroupDescriptor, checksum);
  const std::span<const uint8_t> head = raw.first(kSumAt);
  const std::span<const uint8_t> rest = raw.subspan(kSumAt + 2);
  const uint16_t stored = le16(raw.data() + kSumAt);
  if (geo.descriptor_sum == DescriptorSum::kCrc32c) {
    static constexpr uint8_t kZeroSum[2] = {0, 0};
    uint32_t crc = crc32c_update(geo.csum_seed, group);
    crc = crc32c_update(crc, head);
    crc = crc32c_update(crc, kZeroSum);
    crc = crc32c_update(crc, rest);
    return (crc & 0xFFFF) == stored;
  }
  uint16_t crc = crc16_update(0xFFFF, geo.uuid);
  crc = crc16_update(crc, group);
  crc = crc16_update(crc, head);
  crc = crc16_update(crc, rest);
  return crc == stored;
}

bool block_plausible(const ExtGeometry& geo, uint64_t block, uint64_t length = 1) {
  return block > geo.first_data_block && block < geo.block_count &&
         geo.block_count - block >= length;
}

ErrorCode parse_descriptor(const ExtGeometry& geo, uint32_t g, std::span<const uint8_t> raw,
                           ExtGroup& out) {
  ExtGroupDescriptor d{};
  std::memcpy(&d, raw.data(), std::min<size_t>(raw.size(), sizeof d));
  if (geo.descriptor_sum != DescriptorSum::kNone && !descriptor_sum_holds(geo, g, raw))
    return ERR_LAYOUT;
  const bool wide = geo.descriptor_size >= kMinWideDescriptorSize;
  out.block_bitmap = (wide ? uint64_t{d.block_bitmap_hi} << 32 : 0) | d.block_bitmap;
  out.inode_bitmap = (wide ? uint64_t{d.inode_bitmap_hi} << 32 : 0) | d.inode_bitmap;
  out.inode_table = (wide ? uint64_t{d.inode_table_hi} << 32 : 0) | d.inode_table;
  out.free_blocks = (wide ? uint32_t{d.free_blocks_count_hi} << 16 : 0) | d.free_blocks_count;
  out.flags = d.flags;
  out.bitmap_sum = (wide ? uint32_t{d.block_bitmap_csum_hi} << 16 : 0) | d.block_bitmap_csum;
  // The flag counts only where a checksum vouches for it, as the kernel reads it.
  out.bitmap_uninit = geo.descriptor_sum != DescriptorSum::kNone &&
                      (out.flags & kGroupBlockBitmapUninit) != 0;
  if (!block_plausible(geo, out.block_bitmap) || !block_plausible(geo, out.inode_bitmap) ||
      !block_plausible(geo, out.inode_table, geo.inode_table_blocks))
    return ERR_LAYOUT;
  if (out.free_blocks > blocks_in_group(geo, g)) return ERR_LAYOUT;
  return OK;
}

// Descriptor blocks that lie one behind another are read as one.
ErrorCode read_descriptors(DiskImage& image, uint64_t volume_offset, const ExtGeometry& geo,
                           std::vector<ExtGroup>& out) {
  out.resize(geo.group_count);
  const uint32_t max_run = static_cast<uint32_t>(kReadChunk / geo.block_size);
  std::vector<uint8_t> chunk;
  for (uint32_t i = 0; i < geo.descriptor_blocks;) {
    const uint64_t at = descriptor_block_location(geo, i);
    uint32_t run = 1;
    while (i + run < geo.descriptor_blocks && run < max_run &&
           descriptor_block_location(geo, i + run) == at + run)
      ++run;
    if (at + run > geo.block_count) return ERR_LAYOUT;
    chunk.resize(size_t{run} * geo.block_size);
    if (ErrorCode e = read_bytes(image, block_offset(volume_offset, geo, at), chunk); e != OK)
      return e;
    const uint32_t first_group = i * geo.descriptors_per_block;
    const uint32_t groups =
        std::min(run * geo.descriptors_per_block, geo.group_count - first_group);
    for (uint32_t k = 0; k < groups; ++k) {
      const std::span<const uint8_t> raw(chunk.data() + size_t{k} * geo.descriptor_size,
                                         geo.descriptor_size);
      if (ErrorCode e = parse_descriptor(geo, first_group + k, raw, out[first_group + k]); e != OK)
        return e;
    }
    i += run;
  }
  return OK;
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

uint64_t free_units_in(const UnitAllocation& allocation, uint64_t first, uint64_t n) {
  uint64_t used = 0, u = first;
  const uint64_t end = first + n;
  for (; u < end && u % 8; ++u) used += allocation.unit_used(u);
  for (; u + 8 <= end; u += 8) used += static_cast<uint64_t>(std::popcount(allocation.used[u / 8]));
  for (; u < end; ++u) used += allocation.unit_used(u);
  return n - used;
}

// Groups whose written bitmap blocks follow one another (as flexible groups lay them out) are
// read as one.
uint32_t consecutive_bitmaps(const std::vector<ExtGroup>& groups, uint32_t first, uint32_t max_run) {
  uint32_t n = 1;
  while (first + n < groups.size() && n < max_run && !groups[first + n].bitmap_uninit &&
         groups[first + n].block_bitmap == groups[first].block_bitmap + n)
    ++n;
  return n;
}

ErrorCode load_written_bitmaps(DiskImage& image, uint64_t volume_offset, const ExtGeometry& geo,
                               const std::vector<ExtGroup>& groups, UnitAllocation& allocation) {
  const uint32_t max_run = static_cast<uint32_t>(kReadChunk / geo.block_size);
  std::vector<uint8_t> chunk;
  for (uint32_t g = 0; g < geo.group_count;) {
    if (groups[g].bitmap_uninit) {
      ++g;
      continue;
    }
    const uint32_t run = consecutive_bitmaps(groups, g, max_run);
    if (groups[g].block_bitmap + run > geo.block_count) return ERR_LAYOUT;
    chunk.resize(size_t{run} * geo.block_size);
    if (ErrorCode e = read_bytes(image, block_offset(volume_offset, geo, groups[g].block_bitmap),
                                 chunk);
        e != OK)
      return e;
    for (uint32_t k = 0; k < run; ++k, ++g) {
      const std::span<const uint8_t> bits(chunk.data() + size_t{k} * geo.block_size,
                                          geo.block_size);
      if (geo.bitmap_sums) {
        const uint32_t sum = crc32c_update(geo.csum_seed, bits.first(geo.blocks_per_group / 8));
        const uint32_t mask = geo.descriptor_size >= kMinWideDescriptorSize ? 0xFFFFFFFF : 0xFFFF;
        if ((sum & mask) != groups[g].bitmap_sum) return ERR_LAYOUT;
      }
      const uint32_t free = copy_group_bits(bits, blocks_in_group(geo, g), allocation.used,
                                            uint64_t{g} * geo.blocks_per_group);
      if (free != groups[g].free_blocks) return ERR_LAYOUT;
    }
  }
  return OK;
}

// The bitmap the kernel builds for a group flagged as never written: free but for its superblock
// and descriptor copies and every group's bitmaps and inode table that lie inside it. The group
// metadata of every group is marked used wherever it lies, which written bitmaps already say.
ErrorCode build_unwritten_bitmaps(const ExtGeometry& geo, const std::vector<ExtGroup>& groups,
                                  UnitAllocation& allocation) {
  for (uint32_t g = 0; g < geo.group_count; ++g) {
    if (!groups[g].bitmap_uninit) continue;
    const uint64_t first = uint64_t{g} * geo.blocks_per_group;
    allocation.set_units(first, blocks_in_group(geo, g), false);
    allocation.set_units(first, base_metadata_blocks(geo, g), true);
  }
  const auto unit = [&](uint64_t block) { return block - geo.first_data_block; };
  for (const ExtGroup& d : groups) {
    allocation.set_units(unit(d.block_bitmap), 1, true);
    allocation.set_units(unit(d.inode_bitmap), 1, true);
    allocation.set_units(unit(d.inode_table), geo.inode_table_blocks, true);
  }
  for (uint32_t g = 0; g < geo.group_count; ++g) {
    if (!groups[g].bitmap_uninit) continue;
    const uint64_t first = uint64_t{g} * geo.blocks_per_group;
    if (free_units_in(allocation, first, blocks_in_group(geo, g)) != groups[g].free_blocks)
      return ERR_LAYOUT;
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
    if (ErrorCode e = derive_geometry(raw, sb, count, geo); e != OK) return e;

    std::vector<ExtGroup> groups;
    if (ErrorCode e = read_descriptors(image, volume_offset, geo, groups); e != OK) return e;

    auto loaded = std::make_unique<ExtState>();
    UnitAllocation& allocation = loaded->allocation;
    if (ErrorCode e = allocation.reset(geo.grouped_blocks, true); e != OK) return e;
    // With 1024-byte blocks the boot block in front of the superblock has no bit and stays used.
    allocation.first_unit_sector = geo.first_data_block * geo.sectors_per_block;
    allocation.sectors_per_unit = geo.sectors_per_block;
    if (ErrorCode e = load_written_bitmaps(image, volume_offset, geo, groups, allocation); e != OK)
      return e;
    if (ErrorCode e = build_unwritten_bitmaps(geo, groups, allocation); e != OK) return e;
    state = std::move(loaded);
    return OK;
  });
}

}  // namespace

const FsReader kExtReader = {"ext", ext_probe, mark_allocation};

}  // namespace qx
