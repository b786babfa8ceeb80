// HFS+ and HFSX: the volume header leads to the allocation file (through the extents overflow
// tree when its eight inline extents do not hold it all); one bit per block says what is in use.
#include "fs/hfsplus/hfsplus_reader.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "image/byte_order.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

// ---- On-disk structures (big-endian) -------------------------------------------------------

struct HfsExtentDescriptor {
  be32_t start_block;
  be32_t block_count;
};

struct HfsForkData {
  be64_t logical_size;
  be32_t clump_size;
  be32_t total_blocks;
  HfsExtentDescriptor extents[8];
};
static_assert(sizeof(HfsForkData) == 80);

struct HfsVolumeHeader {
  be16_t signature;
  be16_t version;
  be32_t attributes;
  be32_t last_mounted_version;
  be32_t journal_info_block;
  be32_t create_date;
  be32_t modify_date;
  be32_t backup_date;
  be32_t checked_date;
  be32_t file_count;
  be32_t folder_count;
  be32_t block_size;
  be32_t total_blocks;
  be32_t free_blocks;
  be32_t next_allocation;
  be32_t rsrc_clump_size;
  be32_t data_clump_size;
  be32_t next_catalog_id;
  be32_t write_count;
  be64_t encodings_bitmap;
  be32_t finder_info[8];
  HfsForkData allocation_file;
  HfsForkData extents_file;
  HfsForkData catalog_file;
  HfsForkData attributes_file;
  HfsForkData startup_file;
};
static_assert(sizeof(HfsVolumeHeader) == 512);

struct BTreeNodeDescriptor {
  be32_t forward_link;
  be32_t backward_link;
  int8_t kind;
  uint8_t height;
  be16_t record_count;
  be16_t reserved;
};
static_assert(sizeof(BTreeNodeDescriptor) == 14);

struct BTreeHeaderRecord {
  be16_t tree_depth;
  be32_t root_node;
  be32_t leaf_records;
  be32_t first_leaf_node;
  be32_t last_leaf_node;
  be16_t node_size;
  be16_t max_key_length;
  be32_t total_nodes;
  be32_t free_nodes;
  be16_t reserved1;
  be32_t clump_size;
  uint8_t btree_type;
  uint8_t key_compare_type;
  be32_t attributes;
  be32_t reserved3[16];
};
static_assert(sizeof(BTreeHeaderRecord) == 106);

struct HfsExtentKey {
  be16_t key_length;
  uint8_t fork_type;
  uint8_t pad;
  be32_t file_id;
  be32_t start_block;
};
static_assert(sizeof(HfsExtentKey) == 12);

struct HfsExtentRecord {
  HfsExtentKey key;
  HfsExtentDescriptor extents[8];
};
static_assert(sizeof(HfsExtentRecord) == 76);

struct HfsIndexRecord {
  HfsExtentKey key;
  be32_t child;
};
static_assert(sizeof(HfsIndexRecord) == 16);

// The part of the journal info block that says where the journal lives.
struct JournalInfoBlock {
  be32_t flags;
  be32_t device_signature[8];
  be64_t offset;
  be64_t size;
};
static_assert(sizeof(JournalInfoBlock) == 52);

// The journal header is stored in the byte order of the machine that wrote it.
constexpr size_t kJournalHeaderBytes = 24;  // magic, endian, start, end
constexpr uint32_t kJournalMagic = 0x4A4E4C78;
constexpr uint32_t kJournalEndianMagic = 0x12345678;

constexpr uint16_t kSignatureHfsPlus = 0x482B;  // "H+"
constexpr uint16_t kSignatureHfsx = 0x4858;     // "HX"
constexpr uint64_t kVolumeHeaderOffset = 1024;

constexpr uint32_t kAttrUnmounted = 1u << 8;
constexpr uint32_t kAttrInconsistent = 1u << 11;
constexpr uint32_t kAttrJournaled = 1u << 13;

constexpr uint32_t kJournalInFileSystem = 1u << 0;
constexpr uint32_t kJournalOnOtherDevice = 1u << 1;
constexpr uint32_t kJournalNeedsInit = 1u << 2;

constexpr uint32_t kAllocationFileId = 6;
constexpr uint8_t kDataFork = 0;
constexpr uint16_t kExtentKeyLength = 10;
constexpr uint16_t kLargestExtentKeyLength = 12;

constexpr int8_t kLeafNode = -1;
constexpr int8_t kIndexNode = 0;
constexpr int8_t kHeaderNode = 1;
// Real trees are a handful of levels deep; a deeper descent is a cycle or garbage.
constexpr int kMaxTreeLevels = 16;

constexpr size_t kReadChunk = 4u << 20;

// ---- Volume and fork access ----------------------------------------------------------------

struct Volume {
  DiskImage& image;
  uint64_t base = 0;  // byte offset of the volume on the disk
  uint32_t block_size = 0;
  uint32_t total_blocks = 0;

  uint64_t bytes() const noexcept { return uint64_t{block_size} * total_blocks; }
};

// Reads inside the volume's blocks only.
ErrorCode read_volume(const Volume& v, uint64_t offset, std::span<uint8_t> out) {
  if (offset > v.bytes() || v.bytes() - offset < out.size()) return ERR_BAD_FORMAT;
  return read_bytes(v.image, v.base + offset, out);
}

// Reads a byte range of a fork through its extents (contiguous in logical order).
ErrorCode read_fork(const Volume& v, std::span<const HfsForkExtent> extents, uint64_t offset,
                    std::span<uint8_t> out) {
  if (extents.empty()) return ERR_UNSUPPORTED;
  const uint64_t bs = v.block_size;
  auto it = std::upper_bound(
      extents.begin(), extents.end(), offset / bs,
      [](uint64_t block, const HfsForkExtent& e) { return block < e.logical_start; });
  if (it == extents.begin()) return ERR_UNSUPPORTED;
  size_t i = static_cast<size_t>(it - extents.begin()) - 1;
  uint64_t pos = offset;
  size_t done = 0;
  while (done < out.size()) {
    if (i >= extents.size()) return ERR_UNSUPPORTED;
    const HfsForkExtent& e = extents[i];
    const uint64_t begin = uint64_t{e.logical_start} * bs;
    const uint64_t end = begin + uint64_t{e.block_count} * bs;
    if (pos < begin || pos >= end) return ERR_UNSUPPORTED;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>({end - pos, out.size() - done, kReadChunk}));
    const ErrorCode err = read_bytes(v.image, v.base + uint64_t{e.start_block} * bs + (pos - begin),
                                     out.subspan(done, n));
    if (err != OK) return err;
    pos += n;
    done += n;
    if (pos == end) ++i;
  }
  return OK;
}

// Appends one extent of a fork; the fork may neither outgrow its block count nor leave the volume.
ErrorCode append_extent(const Volume& v, uint32_t start, uint32_t count, uint32_t fork_blocks,
                        std::vector<HfsForkExtent>& out, uint32_t& sum) {
  if (count == 0) return OK;
  if (uint64_t{start} + count > v.total_blocks) return ERR_BAD_FORMAT;
  if (uint64_t{sum} + count > fork_blocks) return ERR_BAD_FORMAT;
  const ErrorCode err = guard_no_memory([&] {
    out.push_back({start, count, sum});
    return OK;
  });
  if (err != OK) return err;
  sum += count;
  return OK;
}

ErrorCode collect_inline_extents(const Volume& v, const HfsForkData& fork,
                                 std::vector<HfsForkExtent>& out, uint32_t& sum) {
  const uint32_t fork_blocks = fork.total_blocks;
  if (fork_blocks > v.total_blocks) return ERR_BAD_FORMAT;
  for (const HfsExtentDescriptor& d : fork.extents) {
    const ErrorCode err = append_extent(v, d.start_block, d.block_count, fork_blocks, out, sum);
    if (err != OK) return err;
  }
  return OK;
}

// ---- The extents overflow tree ---------------------------------------------------------------

struct ExtentKey {
  uint8_t fork_type = 0;
  uint32_t file_id = 0;
  uint32_t start_block = 0;

  auto operator<=>(const ExtentKey&) const = default;
};

struct ExtentsTree {
  ExtentsTree(const Volume& v, std::span<const HfsForkExtent> e) noexcept : volume(v), extents(e) {}

  const Volume& volume;
  std::span<const HfsForkExtent> extents;
  uint32_t node_size = 0;
  uint32_t root = 0;
  uint32_t total_nodes = 0;
  uint16_t max_key_length = 0;

  // The node last loaded.
  std::vector<uint8_t> node;
  uint32_t number = 0;
  BTreeNodeDescriptor descriptor{};
};

bool is_valid_node_size(uint32_t size) noexcept {
  return size >= 512 && size <= 32768 && is_power_of_two(size);
}

ErrorCode open_extents_tree(ExtentsTree& tree, uint32_t fork_blocks) {
  std::array<uint8_t, sizeof(BTreeNodeDescriptor) + sizeof(BTreeHeaderRecord)> raw{};
  ErrorCode err = read_fork(tree.volume, tree.extents, 0, raw);
  if (err != OK) return err;
  BTreeNodeDescriptor d;
  BTreeHeaderRecord h;
  if (!read_struct(raw, 0, d) || !read_struct(raw, sizeof d, h)) return ERR_BAD_FORMAT;
  if (d.backward_link != 0 || d.kind != kHeaderNode || d.record_count != 3) return ERR_BAD_FORMAT;
  if (h.root_node == 0 || h.leaf_records == 0 || h.first_leaf_node == 0 || h.last_leaf_node == 0 ||
      h.total_nodes == 0)
    return ERR_BAD_FORMAT;
  if (!is_valid_node_size(h.node_size) || h.max_key_length > kLargestExtentKeyLength)
    return ERR_BAD_FORMAT;
  // Every node the header claims must lie inside the file, so no node number reads beyond it.
  const uint64_t fork_bytes = uint64_t{fork_blocks} * tree.volume.block_size;
  if (uint64_t{h.total_nodes} * h.node_size > fork_bytes || h.root_node >= h.total_nodes)
    return ERR_BAD_FORMAT;
  tree.node_size = h.node_size;
  tree.root = h.root_node;
  tree.total_nodes = h.total_nodes;
  tree.max_key_length = h.max_key_length;
  return guard_no_memory([&] {
    tree.node.assign(tree.node_size, 0);
    return OK;
  });
}

ErrorCode load_node(ExtentsTree& tree, uint32_t number) {
  if (number == 0 || number >= tree.total_nodes) return ERR_BAD_FORMAT;
  const ErrorCode err =
      read_fork(tree.volume, tree.extents, uint64_t{number} * tree.node_size, tree.node);
  if (err != OK) return err;
  if (!read_struct(tree.node, 0, tree.descriptor)) return ERR_BAD_FORMAT;
  // The record offsets grow down from the node's end and must not meet the descriptor.
  if (sizeof(BTreeNodeDescriptor) + 2u * tree.descriptor.record_count > tree.node_size)
    return ERR_BAD_FORMAT;
  tree.number = number;
  return OK;
}

// Record i of the loaded node, which must hold at least `size` bytes before the offset table.
ErrorCode node_record(const ExtentsTree& tree, uint32_t i, size_t size,
                      std::span<const uint8_t>& out) {
  const uint32_t count = tree.descriptor.record_count;
  if (i >= count) return ERR_BAD_FORMAT;
  const uint32_t offset = be16(tree.node.data() + tree.node_size - 2 * (i + 1));
  const uint32_t table = tree.node_size - 2 * count;
  if (offset < sizeof(BTreeNodeDescriptor) || offset >= table || table - offset < size)
    return ERR_BAD_FORMAT;
  out = std::span<const uint8_t>(tree.node).subspan(offset, size);
  return OK;
}

ErrorCode record_key(const ExtentsTree& tree, std::span<const uint8_t> record, ExtentKey& out) {
  HfsExtentKey k;
  if (!read_struct(record, 0, k)) return ERR_BAD_FORMAT;
  if (k.key_length != kExtentKeyLength || k.key_length > tree.max_key_length) return ERR_BAD_FORMAT;
  out = {k.fork_type, k.file_id, k.start_block};
  return OK;
}

// Descends from the root to the leaf record whose key equals `key`; leaves that node loaded.
ErrorCode find_leaf_record(ExtentsTree& tree, const ExtentKey& key, uint32_t& index) {
  uint32_t number = tree.root;
  for (int level = 0;; ++level) {
    if (level == kMaxTreeLevels) return ERR_BAD_FORMAT;
    ErrorCode err = load_node(tree, number);
    if (err != OK) return err;
    if (tree.descriptor.kind == kLeafNode) break;
    if (tree.descriptor.kind != kIndexNode) return ERR_BAD_FORMAT;
    bool found = false;
    uint32_t child = 0;
    for (uint32_t i = 0; i < tree.descriptor.record_count; ++i) {
      std::span<const uint8_t> rec;
      ExtentKey k;
      if ((err = node_record(tree, i, sizeof(HfsIndexRecord), rec)) != OK) return err;
      if ((err = record_key(tree, rec, k)) != OK) return err;
      if (k > key) break;
      HfsIndexRecord r;
      if (!read_struct(rec, 0, r)) return ERR_BAD_FORMAT;
      child = r.child;
      found = true;
    }
    if (!found || child == number) return ERR_BAD_FORMAT;
    number = child;
  }
  for (uint32_t i = 0; i < tree.descriptor.record_count; ++i) {
    std::span<const uint8_t> rec;
    ExtentKey k;
    ErrorCode err = node_record(tree, i, sizeof(HfsExtentRecord), rec);
    if (err != OK) return err;
    if ((err = record_key(tree, rec, k)) != OK) return err;
    if (k == key) {
      index = i;
      return OK;
    }
  }
  return ERR_BAD_FORMAT;
}

// Continues a fork's extent list from the overflow records of its data fork, which must follow
// each other without a gap until the fork is complete.
ErrorCode collect_overflow_extents(ExtentsTree& tree, uint32_t file_id, uint32_t fork_blocks,
                                   std::vector<HfsForkExtent>& out, uint32_t& sum) {
  uint32_t index = 0;
  ErrorCode err = find_leaf_record(tree, {kDataFork, file_id, sum}, index);
  if (err != OK) return err;
  // A leaf chain that comes back to a leaf already walked is a cycle.
  std::vector<uint8_t> walked;
  if ((err = guard_no_memory([&] {
         walked.assign(bitmap_bytes(tree.total_nodes), 0);
         return OK;
       })) != OK)
    return err;
  put_bit(walked, tree.number, true);
  for (;;) {
    for (uint32_t i = index; i < tree.descriptor.record_count; ++i) {
      std::span<const uint8_t> rec;
      ExtentKey k;
      if ((err = node_record(tree, i, sizeof(HfsExtentRecord), rec)) != OK) return err;
      if ((err = record_key(tree, rec, k)) != OK) return err;
      if (k != ExtentKey{kDataFork, file_id, sum}) return ERR_BAD_FORMAT;
      HfsExtentRecord r;
      if (!read_struct(rec, 0, r)) return ERR_BAD_FORMAT;
      for (const HfsExtentDescriptor& d : r.extents)
        if ((err = append_extent(tree.volume, d.start_block, d.block_count, fork_blocks, out,
                                 sum)) != OK)
          return err;
      if (sum == fork_blocks) return OK;
    }
    const uint32_t next = tree.descriptor.forward_link;
    if (next == 0 || next >= tree.total_nodes || test_bit(walked, next)) return ERR_BAD_FORMAT;
    put_bit(walked, next, true);
    if ((err = load_node(tree, next)) != OK) return err;
    if (tree.descriptor.kind != kLeafNode) return ERR_BAD_FORMAT;
    index = 0;
  }
}

// ---- Whether the on-disk bitmap can be trusted ------------------------------------------------

// Transactions still waiting in the journal may allocate blocks the bitmap shows free.
ErrorCode check_journal_empty(const Volume& v, uint32_t info_block) {
  if (info_block >= v.total_blocks) return ERR_FILE_SYSTEM;
  std::array<uint8_t, sizeof(JournalInfoBlock)> raw{};
  ErrorCode err = read_volume(v, uint64_t{info_block} * v.block_size, raw);
  if (err != OK) return err;
  JournalInfoBlock info;
  if (!read_struct(raw, 0, info)) return ERR_FILE_SYSTEM;
  if (info.flags & kJournalNeedsInit) return OK;  // nothing in it will be replayed
  if (!(info.flags & kJournalInFileSystem) || (info.flags & kJournalOnOtherDevice))
    return ERR_FILE_SYSTEM;
  std::array<uint8_t, kJournalHeaderBytes> header{};
  if (info.offset > v.bytes() || v.bytes() - info.offset < header.size()) return ERR_FILE_SYSTEM;
  if ((err = read_volume(v, info.offset, header)) != OK) return err;
  uint64_t start = 0, end = 0;
  if (be32(&header[0]) == kJournalMagic && be32(&header[4]) == kJournalEndianMagic) {
    start = be64(&header[8]);
    end = be64(&header[16]);
  } else if (le32(&header[0]) == kJournalMagic && le32(&header[4]) == kJournalEndianMagic) {
    start = le64(&header[8]);
    end = le64(&header[16]);
  } else {
    return ERR_FILE_SYSTEM;
  }
  return start == end ? OK : ERR_FILE_SYSTEM;
}

ErrorCode check_bitmap_trustworthy(const Volume& v, const HfsVolumeHeader& vh) {
  const uint32_t attributes = vh.attributes;
  if (attributes & kAttrInconsistent) {
    keep_whole_because("inconsistent", "HFS+: the volume is marked inconsistent; repair it with fsck_hfs");
    return ERR_FILE_SYSTEM;
  }
  if (attributes & kAttrJournaled) {
    const ErrorCode rc = check_journal_empty(v, vh.journal_info_block);
    if (rc != OK)
      keep_whole_because("needs_journal_recovery",
                         "HFS+: the journal holds writes not yet applied; mount the volume once in the guest");
    return rc;
  }
  // Without a journal only a clean unmount leaves the bitmap in step with the catalog.
  if (attributes & kAttrUnmounted) return OK;
  keep_whole_because("not_cleanly_unmounted", "HFS+: the volume was not cleanly unmounted");
  return ERR_FILE_SYSTEM;
}

// ---- Probe and mark --------------------------------------------------------------------------

uint8_t reverse_bits(uint8_t b) noexcept {
  b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

bool run_is_used(const UnitAllocation& a, uint64_t start, uint64_t count) noexcept {
  for (uint64_t b = start; b < start + count; ++b)
    if (!a.unit_used(b)) return false;
  return true;
}

// Every implementation marks the volume header's blocks and the special files' own blocks in
// use; a bitmap that leaves any of them free is damaged or not this volume's.
bool bitmap_covers_metadata(const Volume& v, const HfsVolumeHeader& vh,
                            std::span<const HfsForkExtent> allocation, const UnitAllocation& a) {
  if (!run_is_used(a, 0, (kVolumeHeaderOffset + sizeof(HfsVolumeHeader) - 1) / v.block_size + 1))
    return false;
  for (const HfsForkExtent& e : allocation)
    if (!run_is_used(a, e.start_block, e.block_count)) return false;
  for (const HfsForkData* fork :
       {&vh.extents_file, &vh.catalog_file, &vh.attributes_file, &vh.startup_file})
    for (const HfsExtentDescriptor& d : fork->extents) {
      const uint64_t start = d.start_block, count = d.block_count;
      if (start + count > v.total_blocks || !run_is_used(a, start, count)) return false;
    }
  return true;
}

ErrorCode load_allocation(const Volume& v, const HfsVolumeHeader& vh, HfsPlusState& state) {
  std::vector<HfsForkExtent> extents_file;
  uint32_t extents_sum = 0;
  ErrorCode err = guard_no_memory([&] {
    extents_file.reserve(8);
    state.allocation_extents.reserve(8);
    return OK;
  });
  if (err != OK) return err;
  if ((err = collect_inline_extents(v, vh.extents_file, extents_file, extents_sum)) != OK)
    return err;
  if (extents_sum != vh.extents_file.total_blocks) return ERR_BAD_FORMAT;

  const uint32_t fork_blocks = vh.allocation_file.total_blocks;
  uint32_t sum = 0;
  if ((err = collect_inline_extents(v, vh.allocation_file, state.allocation_extents, sum)) != OK)
    return err;
  if (sum < fork_blocks) {
    ExtentsTree tree(v, extents_file);
    if ((err = open_extents_tree(tree, extents_sum)) != OK) return err;
    if ((err = collect_overflow_extents(tree, kAllocationFileId, fork_blocks,
                                        state.allocation_extents, sum)) != OK)
      return err;
  }

  // Only the bytes that describe the volume's blocks are read; blocks the file does not reach
  // stay used.
  UnitAllocation& a = state.allocation;
  if ((err = a.reset(v.total_blocks, true)) != OK) return err;
  a.first_unit_sector = 0;
  a.sectors_per_unit = v.block_size / kSectorSize;
  const uint64_t fork_bytes = uint64_t{fork_blocks} * v.block_size;
  const size_t loaded = static_cast<size_t>(std::min<uint64_t>(fork_bytes, a.used.size()));
  if ((err = read_fork(v, state.allocation_extents, 0, std::span<uint8_t>(a.used).first(loaded))) !=
      OK)
    return err;
  for (size_t i = 0; i < loaded; ++i) a.used[i] = reverse_bits(a.used[i]);
  return bitmap_covers_metadata(v, vh, state.allocation_extents, a) ? OK : ERR_BAD_FORMAT;
}

ErrorCode hfsplus_probe(DiskImage& image, uint32_t first, uint32_t count,
                        std::unique_ptr<ReaderState>& out) {
  const uint64_t region_bytes = uint64_t{count} * kSectorSize;
  std::array<uint8_t, sizeof(HfsVolumeHeader)> raw{};
  if (region_bytes < kVolumeHeaderOffset + raw.size()) return ERR_LAYOUT;
  const uint64_t base = uint64_t{first} * kSectorSize;
  ErrorCode err = read_bytes(image, base + kVolumeHeaderOffset, raw);
  if (err != OK) return err;
  HfsVolumeHeader vh;
  if (!read_struct(raw, 0, vh)) return ERR_LAYOUT;
  if (vh.signature != kSignatureHfsPlus && vh.signature != kSignatureHfsx) return ERR_LAYOUT;

  const uint32_t block_size = vh.block_size;
  const uint32_t total_blocks = vh.total_blocks;
  if (block_size < kSectorSize || !is_power_of_two(block_size) || total_blocks == 0 ||
      uint64_t{block_size} * total_blocks > region_bytes)
    return ERR_LAYOUT;
  const Volume v{image, base, block_size, total_blocks};
  if ((err = check_bitmap_trustworthy(v, vh)) != OK) return err;

  std::unique_ptr<HfsPlusState> state;
  if ((err = guard_no_memory([&] {
         state = std::make_unique<HfsPlusState>();
         return OK;
       })) != OK)
    return err;
  state->block_size = block_size;
  state->total_blocks = total_blocks;
  state->hfsx = vh.signature == kSignatureHfsx;
  if ((err = load_allocation(v, vh, *state)) != OK) return err;
  out = std::move(state);
  return OK;
}


}  // namespace

const FsReader kHfsPlusReader = {"hfsplus", hfsplus_probe, mark_allocation};

}  // namespace qx
