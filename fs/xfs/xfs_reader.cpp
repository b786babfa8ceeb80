// XFS allocation reader: starts with every block used and clears the free extents that each
// allocation group's by-block free-space B+tree lists. The by-size tree must list the very same
// extents, so a damaged block in either tree is caught rather than trusted; on version 5 volumes
// the superblock, every group header and every tree block must also carry a matching CRC-32C.
// Volumes are read only when the log holds nothing that a mount would replay: until then the
// trees on disk may still call blocks free that the log has already handed out.
#include "fs/xfs/xfs_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/crc32c.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

// Superblock: the first 204 bytes of the volume, copied at the start of every allocation group.
struct XfsSuperblock {
  be32_t magic;
  be32_t block_size;
  be64_t data_blocks;
  be64_t rt_blocks;
  be64_t rt_extents;
  uint8_t uuid[16];
  be64_t log_start;  // file-system block number: group << ag_block_log | block in group
  be64_t root_inode;
  be64_t rt_bitmap_inode;
  be64_t rt_summary_inode;
  be32_t rt_extent_size;
  be32_t ag_blocks;
  be32_t ag_count;
  be32_t rt_bitmap_blocks;
  be32_t log_blocks;
  be16_t version;
  be16_t sector_size;
  be16_t inode_size;
  be16_t inodes_per_block;
  uint8_t name[12];
  uint8_t block_log;
  uint8_t sector_log;
  uint8_t inode_log;
  uint8_t inodes_per_block_log;
  uint8_t ag_block_log;
  uint8_t rt_extent_log;
  uint8_t in_progress;
  uint8_t inode_max_percent;
  uint8_t counters[48];
  be16_t quota_flags;
  uint8_t flags;
  uint8_t shared_version;
  be32_t inode_alignment;
  be32_t stripe_unit;
  be32_t stripe_width;
  uint8_t dir_block_log;
  uint8_t log_sector_log;
  be16_t log_sector_size;
  be32_t log_stripe_unit;
  be32_t features2;
  // Version 5 from here on.
  be32_t bad_features2;
  be32_t features_compat;
  be32_t features_ro_compat;
  be32_t features_incompat;
  be32_t features_log_incompat;
  le32_t crc;
  be32_t sparse_inode_alignment;
  be64_t project_quota_inode;
  be64_t lsn;
  uint8_t meta_uuid[16];
};
static_assert(sizeof(XfsSuperblock) == 264);
static_assert(offsetof(XfsSuperblock, crc) == 224);
static_assert(offsetof(XfsSuperblock, ag_blocks) == 84);
static_assert(offsetof(XfsSuperblock, version) == 100);
static_assert(offsetof(XfsSuperblock, ag_block_log) == 124);
static_assert(offsetof(XfsSuperblock, features2) == 200);

// Allocation group free-space header, one sector into the group.
struct XfsAgf {
  be32_t magic;
  be32_t version;
  be32_t sequence;
  be32_t length;
  be32_t roots[3];   // by-block tree, by-size tree, unused
  be32_t levels[3];
  be32_t free_list_first;
  be32_t free_list_last;
  be32_t free_list_count;
  be32_t free_blocks;
  be32_t longest;
  be32_t btree_blocks;
  // Version 5 from here on.
  uint8_t uuid[16];
  be32_t rmap_blocks;
  be32_t refcount_blocks;
  be32_t refcount_root;
  be32_t refcount_level;
  uint8_t spare[112];
  be64_t lsn;
  le32_t crc;
  be32_t spare2;
};
static_assert(sizeof(XfsAgf) == 224);
static_assert(offsetof(XfsAgf, roots) == 16);
static_assert(offsetof(XfsAgf, crc) == 216);

// The free-list sector of a version 5 group starts with this header.
struct XfsAgflHeader {
  be32_t magic;
  be32_t sequence;
  uint8_t uuid[16];
  be64_t lsn;
  le32_t crc;
};
static_assert(sizeof(XfsAgflHeader) == 36);

// Header of a free-space tree block (the short form, without checksum fields).
struct XfsTreeBlockHeader {
  be32_t magic;
  be16_t level;
  be16_t record_count;
  be32_t left_sibling;
  be32_t right_sibling;
};
static_assert(sizeof(XfsTreeBlockHeader) == 16);

// What version 5 adds to it: where the block lies, which group owns it, and its checksum.
struct XfsTreeBlockHeaderV5 {
  XfsTreeBlockHeader base;
  be64_t disk_address;  // in 512-byte units from the volume's start
  be64_t lsn;
  uint8_t uuid[16];
  be32_t owner;         // the group
  le32_t crc;
};
static_assert(sizeof(XfsTreeBlockHeaderV5) == 56);

// A free extent, both as leaf record and as interior key.
struct XfsFreeRecord {
  be32_t start;
  be32_t count;
};
static_assert(sizeof(XfsFreeRecord) == 8);

// Header at the start of every log record.
struct XlogRecordHeader {
  be32_t magic;
  be32_t cycle;
  be32_t version;
  be32_t length;  // bytes of record data behind the header blocks
  be64_t lsn;
  be64_t tail_lsn;
  be32_t crc;
  be32_t previous_block;
  be32_t op_count;
  be32_t cycle_data[64];
  be32_t format;
  uint8_t fs_uuid[16];
  be32_t size;  // bytes of the in-memory log buffer (version 2)
};
static_assert(sizeof(XlogRecordHeader) == 324);

// Header of one operation inside a log record.
struct XlogOpHeader {
  be32_t transaction;
  be32_t length;
  uint8_t client;
  uint8_t flags;
  be16_t reserved;
};
static_assert(sizeof(XlogOpHeader) == 12);

constexpr uint32_t kSuperblockMagic = 0x58465342;  // "XFSB"
constexpr uint32_t kAgfMagic = 0x58414746;         // "XAGF"
constexpr uint32_t kByBlockTreeMagic = 0x41425442;  // "ABTB"
constexpr uint32_t kBySizeTreeMagic = 0x41425443;   // "ABTC"
constexpr uint32_t kByBlockTreeMagicV5 = 0x41423342;  // "AB3B"
constexpr uint32_t kBySizeTreeMagicV5 = 0x41423343;   // "AB3C"
constexpr uint32_t kAgflMagic = 0x5841464C;          // "XAFL"
constexpr uint32_t kAgfVersion = 1;
constexpr uint32_t kNullBlock = 0xFFFFFFFF;

constexpr uint16_t kVersionNumberMask = 0x000F;
constexpr uint16_t kVersionWithoutChecksums = 4;
constexpr uint16_t kVersionWithChecksums = 5;
constexpr uint16_t kVersionSharedBit = 0x0200;
constexpr uint16_t kVersionLogV2Bit = 0x0400;
constexpr uint16_t kVersionMoreBitsBit = 0x8000;
// Lazy counters, attr2, 32-bit project ids, file types in directories: none moves an allocation.
constexpr uint32_t kFeatures2Understood = 0x0002 | 0x0008 | 0x0080 | 0x0200;
constexpr uint32_t kFeatures2Checksums = 0x0100;
// Version 5: free-inode trees, reverse-mapping trees, shared extents and inode-tree counters
// leave the free-space trees as the only record of free space.
constexpr uint32_t kRoCompatUnderstood = 0x1 | 0x2 | 0x4 | 0x8;
// File types in directories, sparse inode chunks, a metadata UUID, big timestamps, 64-bit extent
// counters, file range exchange and parent pointers; "needs repair" and anything newer are kept
// whole.
constexpr uint32_t kIncompatMetaUuid = 0x4;
constexpr uint32_t kIncompatUnderstood = 0x1 | 0x2 | kIncompatMetaUuid | 0x8 | 0x20 | 0x40 | 0x80;

constexpr uint32_t kMinBlockSize = 512;
constexpr uint32_t kMaxBlockSize = 65536;
constexpr uint32_t kMaxSectorSize = 32768;
constexpr uint32_t kMaxTreeLevels = 9;

constexpr uint32_t kLogBlockSize = 512;
constexpr uint32_t kLogHeaderMagic = 0xFEEDBABE;
constexpr uint32_t kLogVersion1 = 1;
constexpr uint32_t kLogVersion2 = 2;
constexpr uint32_t kLogHeaderCycleSize = 32768;
constexpr uint32_t kLogMaxRecordSize = 256 * 1024;
constexpr uint8_t kLogClientId = 0xAA;
constexpr uint8_t kLogUnmountFlag = 0x20;
// Log blocks that writes still in flight at a crash may leave unwritten before the head: eight
// buffers of the largest record size.
constexpr uint64_t kLogScanBlocks = 8 * kLogMaxRecordSize / kLogBlockSize;

// One unit per block, group g's block n at g × group blocks + n.
using XfsState = AllocationState;

// Every read stays inside the volume: a pointer leading elsewhere is damage, not a place to read.
struct VolumeReader {
  DiskImage& image;
  uint64_t first_byte;
  uint64_t size;

  ErrorCode read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > size || size - offset < out.size()) return ERR_LAYOUT;
    return read_bytes(image, first_byte + offset, out);
  }
};

struct XfsGeometry {
  uint32_t block_size = 0;
  uint32_t sectors_per_block = 0;
  uint32_t sector_size = 0;
  uint64_t data_blocks = 0;
  uint32_t ag_blocks = 0;
  uint32_t ag_count = 0;
  uint32_t header_blocks = 0;  // blocks at the start of every group holding its four headers
  bool log_v2 = false;
  bool checksums = false;   // version 5
  uint32_t tree_header_size = sizeof(XfsTreeBlockHeader);
  uint8_t uuid[16] = {};    // the one metadata blocks are stamped with
  uint32_t log_group = 0;
  uint32_t log_group_block = 0;
  uint32_t log_blocks = 0;

  uint64_t group_first_block(uint32_t g) const { return uint64_t{g} * ag_blocks; }
  uint64_t group_offset(uint32_t g) const { return group_first_block(g) * block_size; }
  uint32_t group_length(uint32_t g) const {
    return g + 1 < ag_count ? ag_blocks
                            : static_cast<uint32_t>(data_blocks - group_first_block(g));
  }
  uint64_t log_first_block() const { return group_first_block(log_group) + log_group_block; }
};

bool is_valid_size(uint32_t size, uint32_t min, uint32_t max, uint8_t log) {
  return size >= min && size <= max && std::has_single_bit(size) && std::countr_zero(size) == log;
}

bool has_understood_features(const XfsSuperblock& sb, bool checksums) {
  const uint16_t version = sb.version;
  if (version & kVersionSharedBit) return false;
  const uint32_t features2 = checksums ? kFeatures2Understood | kFeatures2Checksums
                                       : kFeatures2Understood;
  if ((version & kVersionMoreBitsBit) && (sb.features2 & ~features2) != 0) return false;
  if (!checksums) return true;
  return (sb.features_ro_compat & ~kRoCompatUnderstood) == 0 &&
         (sb.features_incompat & ~kIncompatUnderstood) == 0;
}

// XFS checksums: CRC-32C of the whole structure with its own checksum field taken as zero,
// stored little-endian.
bool checksum_holds(std::span<const uint8_t> data, size_t crc_at) {
  static constexpr uint8_t kZero[4] = {0, 0, 0, 0};
  if (crc_at + 4 > data.size()) return false;
  uint32_t crc = crc32c_update(~0u, data.first(crc_at));
  crc = crc32c_update(crc, kZero);
  crc = crc32c_update(crc, data.subspan(crc_at + 4));
  return ~crc == le32(data.data() + crc_at);
}

ErrorCode read_geometry(const VolumeReader& volume, uint32_t volume_sectors, XfsGeometry& geo) {
  std::array<uint8_t, sizeof(XfsSuperblock)> raw;
  if (ErrorCode e = volume.read(0, raw); e != OK) return e;
  XfsSuperblock sb;
  if (!read_struct(std::span<const uint8_t>(raw), 0, sb)) return ERR_LAYOUT;
  if (sb.magic != kSuperblockMagic) return ERR_LAYOUT;
  const uint16_t version = sb.version & kVersionNumberMask;
  if (version != kVersionWithoutChecksums && version != kVersionWithChecksums)
    return ERR_UNSUPPORTED;
  geo.checksums = version == kVersionWithChecksums;
  if (!has_understood_features(sb, geo.checksums)) {
    keep_whole_because("unsupported_feature", "XFS: the volume uses a feature this tool does not read");
    return ERR_UNSUPPORTED;
  }
  if (sb.in_progress != 0) {
    keep_whole_because("incomplete", "XFS: the volume was never finished by mkfs.xfs");
    return ERR_LAYOUT;
  }

  geo.block_size = sb.block_size;
  geo.sector_size = sb.sector_size;
  if (!is_valid_size(geo.block_size, kMinBlockSize, kMaxBlockSize, sb.block_log)) return ERR_LAYOUT;
  if (!is_valid_size(geo.sector_size, kSectorSize, std::min(kMaxSectorSize, geo.block_size),
                     sb.sector_log))
    return ERR_LAYOUT;
  geo.sectors_per_block = geo.block_size / kSectorSize;
  if (geo.checksums) {
    std::vector<uint8_t> sector(geo.sector_size);
    if (ErrorCode e = volume.read(0, sector); e != OK) return e;
    if (!checksum_holds(sector, offsetof(XfsSuperblock, crc))) {
      keep_whole_because("checksum_mismatch", "XFS: checksum mismatch in the superblock");
      return ERR_LAYOUT;
    }
    geo.tree_header_size = sizeof(XfsTreeBlockHeaderV5);
    std::memcpy(geo.uuid, (sb.features_incompat & kIncompatMetaUuid) ? sb.meta_uuid : sb.uuid,
                sizeof geo.uuid);
  }
  // Superblock, free-space header, inode header and free list take one sector each.
  geo.header_blocks = 3 * geo.sector_size / geo.block_size + 1;

  geo.ag_blocks = sb.ag_blocks;
  geo.ag_count = sb.ag_count;
  if (geo.ag_blocks <= geo.header_blocks || geo.ag_count == 0) return ERR_LAYOUT;
  if (sb.ag_block_log != static_cast<uint32_t>(std::bit_width(geo.ag_blocks - 1))) return ERR_LAYOUT;
  geo.data_blocks = sb.data_blocks;
  if (geo.data_blocks <= geo.group_first_block(geo.ag_count - 1) ||
      geo.data_blocks > geo.group_first_block(geo.ag_count - 1) + geo.ag_blocks)
    return ERR_LAYOUT;
  if (geo.group_length(geo.ag_count - 1) <= geo.header_blocks) return ERR_LAYOUT;
  // A file system larger than its volume is cut off: its far blocks cannot be vouched for.
  if (geo.data_blocks > volume_sectors / geo.sectors_per_block) return ERR_LAYOUT;

  // An external log cannot be checked for changes still waiting to be replayed.
  const uint64_t log_start = sb.log_start;
  if (log_start == 0) return ERR_UNSUPPORTED;
  if ((log_start >> sb.ag_block_log) >= geo.ag_count) return ERR_LAYOUT;
  geo.log_group = static_cast<uint32_t>(log_start >> sb.ag_block_log);
  geo.log_group_block = static_cast<uint32_t>(log_start & ((uint64_t{1} << sb.ag_block_log) - 1));
  geo.log_blocks = sb.log_blocks;
  if (geo.log_blocks == 0 || geo.log_group_block < geo.header_blocks ||
      uint64_t{geo.log_group_block} + geo.log_blocks > geo.group_length(geo.log_group))
    return ERR_LAYOUT;
  geo.log_v2 = (sb.version & kVersionLogV2Bit) != 0;
  return OK;
}

// The log as a ring of 512-byte blocks, each stamped with the cycle (pass over the ring) that
// wrote it; a record header carries its cycle in the second word instead.
struct LogRing {
  const VolumeReader& volume;
  uint64_t offset;
  uint64_t blocks;

  static uint32_t stamped_cycle(const uint8_t* block) {
    return be32(block) == kLogHeaderMagic ? be32(block + 4) : be32(block);
  }
  ErrorCode cycle(uint64_t block, uint32_t& out) const {
    std::array<uint8_t, 8> words;
    if (ErrorCode e = volume.read(offset + block * kLogBlockSize, words); e != OK) return e;
    out = stamped_cycle(words.data());
    return OK;
  }
  // Blocks [first, first + n) of the ring, n at most the ring's length, wrapping at its end.
  ErrorCode read(uint64_t first, uint64_t n, std::span<uint8_t> out) const {
    const uint64_t tail = std::min(n, blocks - first);
    if (ErrorCode e = volume.read(offset + first * kLogBlockSize, out.first(tail * kLogBlockSize));
        e != OK)
      return e;
    if (tail == n) return OK;
    return volume.read(offset, out.subspan(tail * kLogBlockSize, (n - tail) * kLogBlockSize));
  }
};

// Where the next log write would go: blocks before it carry the newest cycle, those from it on
// the cycle before. `head` lies in [1, blocks]; `blocks` means the newest pass filled the ring.
ErrorCode find_log_head(const LogRing& ring, uint32_t newest, uint64_t& head) {
  uint32_t last;
  if (ErrorCode e = ring.cycle(ring.blocks - 1, last); e != OK) return e;
  if (last == newest) {
    head = ring.blocks;
    return OK;
  }
  if (last + 1 != newest) return ERR_FILE_SYSTEM;
  uint64_t low = 0, high = ring.blocks - 1;  // low holds the newest cycle, high the older one
  while (high - low > 1) {
    const uint64_t mid = low + (high - low) / 2;
    uint32_t c;
    if (ErrorCode e = ring.cycle(mid, c); e != OK) return e;
    (c == last ? high : low) = mid;
  }
  head = high;
  return OK;
}

uint64_t record_header_blocks(const XfsGeometry& geo, const XlogRecordHeader& header) {
  const uint32_t size = header.size;
  if (geo.log_v2 && (header.version & kLogVersion2) && size > kLogHeaderCycleSize)
    return ceil_div_u64(size, kLogHeaderCycleSize);
  return 1;
}

// OK only when a mount would find nothing to replay: the log was never written, or its newest
// record, complete and preceded by no unwritten hole, is the lone unmount record.
ErrorCode check_log_clean(const VolumeReader& volume, const XfsGeometry& geo) {
  const LogRing ring{volume, geo.log_first_block() * geo.block_size,
                     uint64_t{geo.log_blocks} * geo.sectors_per_block};
  uint32_t newest;
  if (ErrorCode e = ring.cycle(0, newest); e != OK) return e;
  if (newest == 0) return OK;
  uint64_t head;
  if (ErrorCode e = find_log_head(ring, newest, head); e != OK) return e;

  // The window of blocks just before the head, in log order.
  const uint64_t window = std::min(ring.blocks, kLogScanBlocks);
  std::vector<uint8_t> data(window * kLogBlockSize);
  const uint64_t window_start = (head + ring.blocks - window) % ring.blocks;
  if (ErrorCode e = ring.read(window_start, window, data); e != OK) return e;
  const auto block = [&](uint64_t j) { return data.data() + j * kLogBlockSize; };
  for (uint64_t j = 0; j < window; ++j) {
    const uint64_t physical = (window_start + j) % ring.blocks;
    const uint32_t expected = physical < head ? newest : newest - 1;
    if (LogRing::stamped_cycle(block(j)) != expected) return ERR_FILE_SYSTEM;
  }

  // The newest record's header: the first block back from the head that carries the magic.
  uint64_t j = window;
  while (j > 0 && be32(block(j - 1)) != kLogHeaderMagic) --j;
  if (j-- == 0) return ERR_FILE_SYSTEM;
  XlogRecordHeader header;
  if (!read_struct(std::span<const uint8_t>(data), j * kLogBlockSize, header)) return ERR_FILE_SYSTEM;
  const uint32_t version = header.version;
  if ((version != kLogVersion1 && version != kLogVersion2) || header.size > kLogMaxRecordSize ||
      header.length > kLogMaxRecordSize || header.length == 0 || header.op_count != 1)
    return ERR_FILE_SYSTEM;
  const uint64_t data_block = j + record_header_blocks(geo, header);
  if (data_block + ceil_div_u64(header.length, kLogBlockSize) != window) return ERR_FILE_SYSTEM;
  XlogOpHeader op;
  if (!read_struct(std::span<const uint8_t>(data), data_block * kLogBlockSize, op))
    return ERR_FILE_SYSTEM;
  if (op.client != kLogClientId || !(op.flags & kLogUnmountFlag)) return ERR_FILE_SYSTEM;
  return OK;
}

struct FreeExtent {
  uint32_t start;
  uint32_t count;

  bool operator==(const FreeExtent&) const = default;
};

uint64_t by_block_key(FreeExtent e) { return e.start; }
uint64_t by_size_key(FreeExtent e) { return uint64_t{e.count} << 32 | e.start; }

// Block buffers, one per tree level, reused by every walk of one probe.
using LevelBuffers = std::array<std::vector<uint8_t>, kMaxTreeLevels>;

// One walk of a free-space tree of one group, children in pointer order. Each level's blocks
// must form the sibling chain in the order visited, so no block is visited twice and a tree that
// points back into itself ends as damage.
class TreeWalk {
 public:
  TreeWalk(const VolumeReader& volume, const XfsGeometry& geo, uint32_t group, bool by_block,
           LevelBuffers& buffers, std::vector<uint32_t>& tree_blocks)
      : volume_(volume),
        geo_(geo),
        group_(group),
        group_offset_(geo.group_offset(group)),
        group_length_(geo.group_length(group)),
        magic_(by_block ? (geo.checksums ? kByBlockTreeMagicV5 : kByBlockTreeMagic)
                        : (geo.checksums ? kBySizeTreeMagicV5 : kBySizeTreeMagic)),
        key_(by_block ? by_block_key : by_size_key),
        buffers_(buffers),
        tree_blocks_(tree_blocks) {
    previous_.fill(kNullBlock);
    next_.fill(kNullBlock);
  }

  // Collects the leaf records in walk order.
  ErrorCode collect(uint32_t root, uint32_t levels, std::vector<FreeExtent>& out) {
    collected_ = &out;
    return walk(root, levels);
  }
  // Requires the leaf records, in walk order, to be exactly `expected`.
  ErrorCode compare(uint32_t root, uint32_t levels, std::span<const FreeExtent> expected) {
    expected_ = expected;
    if (ErrorCode e = walk(root, levels); e != OK) return e;
    return matched_ == expected.size() ? OK : ERR_LAYOUT;
  }

 private:
  ErrorCode walk(uint32_t root, uint32_t levels) {
    if (levels == 0 || levels > kMaxTreeLevels) return ERR_LAYOUT;
    root_level_ = levels - 1;
    if (ErrorCode e = visit(root, root_level_, 0, UINT64_MAX); e != OK) return e;
    for (uint32_t level = 0; level < levels; ++level)
      if (next_[level] != kNullBlock) return ERR_LAYOUT;
    return OK;
  }

  ErrorCode visit(uint32_t block, uint32_t level, uint64_t low, uint64_t high) {
    if (++visits_ > group_length_) return ERR_LAYOUT;
    if (block < geo_.header_blocks || block >= group_length_) return ERR_LAYOUT;
    std::vector<uint8_t>& buffer = buffers_[level];
    buffer.resize(geo_.block_size);
    if (ErrorCode e = volume_.read(group_offset_ + uint64_t{block} * geo_.block_size, buffer);
        e != OK)
      return e;
    XfsTreeBlockHeader header;
    if (!read_struct(std::span<const uint8_t>(buffer), 0, header)) return ERR_LAYOUT;
    if (header.magic != magic_ || header.level != level) return ERR_LAYOUT;
    if (geo_.checksums && !stamped_for_here(buffer, block)) return ERR_LAYOUT;
    const uint32_t count = header.record_count;
    const uint32_t entry_size = level == 0 ? sizeof(XfsFreeRecord) : sizeof(XfsFreeRecord) + 4;
    const uint32_t max_records = (geo_.block_size - geo_.tree_header_size) / entry_size;
    if (count > max_records) return ERR_LAYOUT;
    if (count == 0 && !(level == 0 && level == root_level_)) return ERR_LAYOUT;
    if (header.left_sibling != previous_[level]) return ERR_LAYOUT;
    if (previous_[level] != kNullBlock && next_[level] != block) return ERR_LAYOUT;
    previous_[level] = block;
    next_[level] = header.right_sibling;
    tree_blocks_.push_back(block);

    const std::span<const uint8_t> body(buffer);
    if (level == 0) return take_records(body, count, low, high);
    const size_t pointers = geo_.tree_header_size + size_t{max_records} * sizeof(XfsFreeRecord);
    uint64_t key;
    if (!key_at(body, 0, key)) return ERR_LAYOUT;
    for (uint32_t i = 0; i < count; ++i) {
      // Child i holds the keys from its own up to the next child's.
      uint64_t next_key = high;
      if (i + 1 < count && (!key_at(body, i + 1, next_key) || next_key <= key)) return ERR_LAYOUT;
      if (key < low || key >= high) return ERR_LAYOUT;
      uint32_t child;
      if (!read_be(body, pointers + size_t{i} * 4, child)) return ERR_LAYOUT;
      if (ErrorCode e = visit(child, level - 1, key, next_key); e != OK) return e;
      key = next_key;
    }
    return OK;
  }

  // A version 5 block names its own place, its group and its volume, and carries its checksum.
  bool stamped_for_here(std::span<const uint8_t> buffer, uint32_t block) const {
    XfsTreeBlockHeaderV5 header;
    if (!read_struct(buffer, 0, header)) return false;
    const uint64_t address = (geo_.group_first_block(group_) + block) * geo_.sectors_per_block;
    return header.disk_address == address && header.owner == group_ &&
           std::memcmp(header.uuid, geo_.uuid, sizeof header.uuid) == 0 &&
           checksum_holds(buffer, offsetof(XfsTreeBlockHeaderV5, crc));
  }

  bool key_at(std::span<const uint8_t> body, uint32_t i, uint64_t& key) const {
    XfsFreeRecord raw;
    if (!read_struct(body, geo_.tree_header_size + size_t{i} * sizeof raw, raw)) return false;
    key = key_(FreeExtent{raw.start, raw.count});
    return true;
  }

  ErrorCode take_records(std::span<const uint8_t> body, uint32_t count, uint64_t low,
                         uint64_t high) {
    for (uint32_t i = 0; i < count; ++i) {
      XfsFreeRecord raw;
      if (!read_struct(body, geo_.tree_header_size + size_t{i} * sizeof raw, raw)) return ERR_LAYOUT;
      const FreeExtent extent{raw.start, raw.count};
      const uint64_t key = key_(extent);
      if (extent.count == 0 || extent.start < geo_.header_blocks ||
          uint64_t{extent.start} + extent.count > group_length_)
        return ERR_LAYOUT;
      if (key < low || key >= high || (have_last_ && key <= last_key_)) return ERR_LAYOUT;
      have_last_ = true;
      last_key_ = key;
      if (collected_) {
        if (!collected_->empty() && extent.start < collected_->back().start + uint64_t{collected_->back().count})
          return ERR_LAYOUT;
        collected_->push_back(extent);
      } else {
        if (matched_ >= expected_.size() || expected_[matched_] != extent) return ERR_LAYOUT;
        ++matched_;
      }
    }
    return OK;
  }

  const VolumeReader& volume_;
  const XfsGeometry& geo_;
  uint32_t group_;
  uint64_t group_offset_;
  uint32_t group_length_;
  uint32_t magic_;
  uint64_t (*key_)(FreeExtent);
  LevelBuffers& buffers_;
  std::vector<uint32_t>& tree_blocks_;
  std::array<uint32_t, kMaxTreeLevels> previous_;  // last block visited on each level
  std::array<uint32_t, kMaxTreeLevels> next_;      // the right sibling it named
  uint32_t root_level_ = 0;
  uint64_t visits_ = 0;
  bool have_last_ = false;
  uint64_t last_key_ = 0;
  std::vector<FreeExtent>* collected_ = nullptr;
  std::span<const FreeExtent> expected_;
  size_t matched_ = 0;
};

// What one probe reuses from group to group.
struct Scratch {
  LevelBuffers buffers;
  std::vector<FreeExtent> by_block;
  std::vector<FreeExtent> by_size;
  std::vector<uint32_t> tree_blocks;  // blocks of both trees of the current group
  std::vector<uint8_t> agf;
  std::vector<uint8_t> free_list;
  std::vector<uint32_t> listed;      // blocks held on the group's free list
};

bool all_used(const UnitAllocation& allocation, uint64_t first, uint64_t n) {
  for (uint64_t b = first; b < first + n; ++b)
    if (!allocation.unit_used(b)) return false;
  return true;
}

// Active entries of the group's free list, when its counters agree with each other. Blocks on
// the list are not in the trees and stay used; a list whose counters disagree is ignored (a
// mount would discard it, leaking rather than freeing its blocks).
ErrorCode free_list_blocks(const XfsAgf& agf, std::span<const uint8_t> sector,
                           std::vector<uint32_t>& out) {
  out.clear();
  const uint32_t slots = static_cast<uint32_t>(sector.size() / 4);
  const uint32_t first = agf.free_list_first, last = agf.free_list_last, count = agf.free_list_count;
  if (first >= slots || last >= slots || count > slots) return ERR_LAYOUT;
  if (count == 0 || (last + slots - first) % slots + 1 != count) return OK;
  for (uint32_t i = 0; i < count; ++i) out.push_back(be32(sector.data() + (first + i) % slots * 4));
  return OK;
}

ErrorCode load_group(const VolumeReader& volume, const XfsGeometry& geo, uint32_t group,
                     UnitAllocation& allocation, Scratch& scratch) {
  const uint64_t offset = geo.group_offset(group);
  const uint32_t length = geo.group_length(group);

  std::array<uint8_t, sizeof(XfsSuperblock)> sb;
  if (ErrorCode e = volume.read(offset, sb); e != OK) return e;
  if (be32(sb.data()) != kSuperblockMagic) return ERR_LAYOUT;

  scratch.agf.resize(geo.sector_size);
  if (ErrorCode e = volume.read(offset + geo.sector_size, scratch.agf); e != OK) return e;
  XfsAgf agf;
  if (!read_struct(std::span<const uint8_t>(scratch.agf), 0, agf)) return ERR_LAYOUT;
  if (agf.magic != kAgfMagic || agf.version != kAgfVersion || agf.sequence != group ||
      agf.length != length)
    return ERR_LAYOUT;
  if (geo.checksums && (std::memcmp(agf.uuid, geo.uuid, sizeof agf.uuid) != 0 ||
                        !checksum_holds(scratch.agf, offsetof(XfsAgf, crc))))
    return ERR_LAYOUT;

  scratch.free_list.resize(geo.sector_size);
  if (ErrorCode e = volume.read(offset + 3 * uint64_t{geo.sector_size}, scratch.free_list); e != OK)
    return e;
  std::span<const uint8_t> slots(scratch.free_list);
  if (geo.checksums) {
    XfsAgflHeader agfl;
    if (!read_struct(slots, 0, agfl)) return ERR_LAYOUT;
    if (agfl.magic != kAgflMagic || agfl.sequence != group ||
        std::memcmp(agfl.uuid, geo.uuid, sizeof agfl.uuid) != 0 ||
        !checksum_holds(slots, offsetof(XfsAgflHeader, crc)))
      return ERR_LAYOUT;
    slots = slots.subspan(sizeof agfl);
  }
  if (ErrorCode e = free_list_blocks(agf, slots, scratch.listed); e != OK) return e;

  scratch.tree_blocks.clear();
  scratch.by_block.clear();
  TreeWalk by_block(volume, geo, group, true, scratch.buffers, scratch.tree_blocks);
  if (ErrorCode e = by_block.collect(agf.roots[0], agf.levels[0], scratch.by_block); e != OK)
    return e;
  uint64_t free_total = 0;
  for (const FreeExtent& e : scratch.by_block) free_total += e.count;
  if (free_total != agf.free_blocks) return ERR_LAYOUT;

  scratch.by_size = scratch.by_block;
  std::sort(scratch.by_size.begin(), scratch.by_size.end(),
            [](FreeExtent a, FreeExtent b) { return by_size_key(a) < by_size_key(b); });
  TreeWalk by_size(volume, geo, group, false, scratch.buffers, scratch.tree_blocks);
  if (ErrorCode e = by_size.compare(agf.roots[1], agf.levels[1], scratch.by_size); e != OK)
    return e;

  const uint64_t first_block = geo.group_first_block(group);
  for (const FreeExtent& e : scratch.by_block)
    allocation.set_units(first_block + e.start, e.count, false);
  // Tree blocks and listed blocks inside a free extent mean damage.
  for (uint32_t b : scratch.tree_blocks)
    if (!allocation.unit_used(first_block + b)) return ERR_LAYOUT;
  for (uint32_t b : scratch.listed)
    if (b < geo.header_blocks || b >= length || !allocation.unit_used(first_block + b))
      return ERR_LAYOUT;
  return OK;
}

ErrorCode xfs_probe(DiskImage& image, uint32_t first, uint32_t count,
                    std::unique_ptr<ReaderState>& out) {
  return guard_no_memory([&]() -> ErrorCode {
    const VolumeReader volume{image, uint64_t{first} * kSectorSize, uint64_t{count} * kSectorSize};
    XfsGeometry geo;
    if (ErrorCode e = read_geometry(volume, count, geo); e != OK) return e;
    if (ErrorCode e = check_log_clean(volume, geo); e != OK) {
      keep_whole_because("needs_log_recovery",
                         "XFS: the log holds writes not yet applied; mount the volume once in the guest");
      return e;
    }

    auto state = std::make_unique<XfsState>();
    UnitAllocation& allocation = state->allocation;
    allocation.first_unit_sector = 0;
    allocation.sectors_per_unit = geo.sectors_per_block;
    if (ErrorCode e = allocation.reset(geo.data_blocks, true); e != OK) return e;
    Scratch scratch;
    for (uint32_t g = 0; g < geo.ag_count; ++g)
      if (ErrorCode e = load_group(volume, geo, g, allocation, scratch); e != OK) return e;
    if (!all_used(allocation, geo.log_first_block(), geo.log_blocks)) return ERR_LAYOUT;
    out = std::move(state);
    return OK;
  });
}


}  // namespace

const UnitAllocation* xfs_allocation(const ReaderState& state) noexcept {
  return allocation_of(state);
}

const FsReader kXfsReader = {"xfs", xfs_probe, mark_allocation};

}  // namespace qx
