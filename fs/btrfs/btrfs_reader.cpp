// Btrfs allocation reader. The primary superblock, as the kernel mounts it, leads to the
// chunk tree, which maps logical addresses to places on the device, and to the tree of tree roots,
// which leads to the extent tree. Every extent and tree block that the extent tree lists is used,
// in every stripe of its chunk; the first MiB and the superblock copies are used too; the rest of
// the device is free (past the device size it declares, the map keeps the volume).
//
// A volume is trusted only when its metadata checks out: every tree block read carries a matching
// CRC-32C, its own address, its tree as owner and the level and generation its parent expects;
// keys ascend; the extents of every block group add up to its used figure and the groups to the
// superblock's; every tree block the extent tree lists is there, and every file extent of those
// blocks refers to a data extent the extent tree lists whole. Whatever the reader cannot vouch for (a log not yet replayed, several devices,
// striped or mirrored profiles, zoned volumes, features or checksum types it does not know) keeps
// the volume whole, with the reason left for quorvex-inspect.
#include "fs/btrfs/btrfs_reader.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/byte_order.hpp"
#include "image/crc32c.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

struct BtrfsDevItem {
  le64_t devid;
  le64_t total_bytes;
  le64_t bytes_used;
  le32_t io_align;
  le32_t io_width;
  le32_t sector_size;
  le64_t type;
  le64_t generation;
  le64_t start_offset;
  le32_t dev_group;
  uint8_t seek_speed;
  uint8_t bandwidth;
  uint8_t uuid[16];
  uint8_t fsid[16];
};
static_assert(sizeof(BtrfsDevItem) == 98);

struct BtrfsSuperblock {
  uint8_t csum[32];
  uint8_t fsid[16];
  le64_t bytenr;  // where this copy lies on the device
  le64_t flags;
  uint8_t magic[8];
  le64_t generation;
  le64_t root;
  le64_t chunk_root;
  le64_t log_root;
  le64_t log_root_transid;
  le64_t total_bytes;
  le64_t bytes_used;
  le64_t root_dir_objectid;
  le64_t num_devices;
  le32_t sector_size;
  le32_t node_size;
  le32_t leaf_size;
  le32_t stripe_size;
  le32_t sys_chunk_array_size;
  le64_t chunk_root_generation;
  le64_t compat_flags;
  le64_t compat_ro_flags;
  le64_t incompat_flags;
  le16_t csum_type;
  uint8_t root_level;
  uint8_t chunk_root_level;
  uint8_t log_root_level;
  BtrfsDevItem dev_item;
  char label[256];
  le64_t cache_generation;
  le64_t uuid_tree_generation;
  uint8_t metadata_uuid[16];
};
static_assert(offsetof(BtrfsSuperblock, magic) == 0x40);
static_assert(offsetof(BtrfsSuperblock, sys_chunk_array_size) == 0xA0);
static_assert(offsetof(BtrfsSuperblock, csum_type) == 0xC4);
static_assert(offsetof(BtrfsSuperblock, dev_item) == 0xC9);
static_assert(offsetof(BtrfsSuperblock, metadata_uuid) == 0x23B);

struct BtrfsKey {
  le64_t objectid;
  uint8_t type;
  le64_t offset;
};
static_assert(sizeof(BtrfsKey) == 17);

struct BtrfsHeader {
  uint8_t csum[32];
  uint8_t fsid[16];
  le64_t bytenr;
  le64_t flags;
  uint8_t chunk_tree_uuid[16];
  le64_t generation;
  le64_t owner;
  le32_t item_count;
  uint8_t level;
};
static_assert(sizeof(BtrfsHeader) == 101);

struct BtrfsItem {
  BtrfsKey key;
  le32_t offset;  // of the item's data, from the end of the header
  le32_t size;
};
static_assert(sizeof(BtrfsItem) == 25);

struct BtrfsKeyPtr {
  BtrfsKey key;
  le64_t block;
  le64_t generation;
};
static_assert(sizeof(BtrfsKeyPtr) == 33);

struct BtrfsChunk {
  le64_t length;
  le64_t owner;
  le64_t stripe_length;
  le64_t type;
  le32_t io_align;
  le32_t io_width;
  le32_t sector_size;
  le16_t stripe_count;
  le16_t sub_stripes;
};
static_assert(sizeof(BtrfsChunk) == 48);

struct BtrfsStripe {
  le64_t devid;
  le64_t offset;
  uint8_t dev_uuid[16];
};
static_assert(sizeof(BtrfsStripe) == 32);

struct BtrfsBlockGroupItem {
  le64_t used;
  le64_t chunk_objectid;
  le64_t flags;
};
static_assert(sizeof(BtrfsBlockGroupItem) == 24);

struct BtrfsExtentItem {
  le64_t refs;
  le64_t generation;
  le64_t flags;
};
static_assert(sizeof(BtrfsExtentItem) == 24);

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kSuperSize = 4096;
constexpr std::array<uint64_t, 3> kSuperOffsets = {64 * 1024, 64 * kMiB, 256ull * 1024 * kMiB};
constexpr char kMagic[8] = {'_', 'B', 'H', 'R', 'f', 'S', '_', 'M'};
constexpr size_t kSysChunkArrayOffset = 0x32B;
constexpr uint32_t kSysChunkArrayMax = 2048;
constexpr uint32_t kMaxLevel = 8;
constexpr size_t kCsumOffset = 0x20;  // checksums cover everything behind the stored one

// Root item fields: the tree's generation, root block and level.
constexpr size_t kRootItemGeneration = 160;
constexpr size_t kRootItemBytenr = 176;
constexpr size_t kRootItemLevel = 238;

constexpr uint64_t kRootTreeId = 1;
constexpr uint64_t kExtentTreeId = 2;
constexpr uint64_t kChunkTreeId = 3;
constexpr uint64_t kBlockGroupTreeId = 11;
constexpr uint64_t kDevItemsObjectid = 1;

constexpr uint8_t kRootItemKey = 132;
constexpr uint8_t kExtentItemKey = 168;
constexpr uint8_t kMetadataItemKey = 169;
constexpr uint8_t kBlockGroupItemKey = 192;
constexpr uint8_t kDevItemKey = 216;
constexpr uint8_t kChunkItemKey = 228;

constexpr uint8_t kExtentDataKey = 108;

constexpr uint64_t kExtentFlagTreeBlock = 2;
// A file extent item: its type at 20 (0 inline, 1 regular, 2 preallocated), then the extent on
// disk it refers to.
constexpr size_t kFileExtentType = 20;
constexpr size_t kFileExtentDiskBytenr = 21;
constexpr size_t kFileExtentDiskBytes = 29;
constexpr size_t kFileExtentSize = 53;
// A tree block's extent item without the skinny form carries the block's first key and level.
constexpr size_t kTreeBlockInfoLevel = sizeof(BtrfsExtentItem) + sizeof(BtrfsKey);

constexpr uint64_t kGroupTypeMask = 1 | 2 | 4;  // data, system, metadata
constexpr uint64_t kGroupDup = 1ull << 5;
constexpr uint64_t kGroupOtherProfiles = (1ull << 3) | (1ull << 4) | (1ull << 6) | (1ull << 7) |
                                         (1ull << 8) | (1ull << 9) | (1ull << 10);

// Features whose volumes this reader knows how to read.
constexpr uint64_t kIncompatMetadataUuid = 1ull << 10;
constexpr uint64_t kIncompatZoned = 1ull << 12;
constexpr uint64_t kIncompatProfileBits = (1ull << 7) | (1ull << 11);  // RAID5/6, RAID1C3/4
constexpr uint64_t kIncompatKnown = (0x3FF & ~(1ull << 7)) | kIncompatMetadataUuid;
constexpr uint64_t kCompatRoBlockGroupTree = 1ull << 3;
constexpr uint64_t kCompatRoKnown = 0xF;
constexpr uint64_t kSuperFlagWritten = 1;
constexpr uint64_t kSuperFlagSeeding = 1ull << 32;

struct Key {
  uint64_t objectid = 0;
  uint8_t type = 0;
  uint64_t offset = 0;

  auto operator<=>(const Key&) const = default;
};

Key key_of(const BtrfsKey& k) { return Key{k.objectid, k.type, k.offset}; }

// a + length <= limit without overflow.
bool fits(uint64_t a, uint64_t length, uint64_t limit) { return length <= limit && a <= limit - length; }

struct Chunk {
  uint64_t logical = 0;
  uint64_t length = 0;
  uint64_t type = 0;
  std::array<uint64_t, 2> stripes{};  // device offsets; DUP has two
  uint32_t stripe_count = 0;

  bool operator==(const Chunk&) const = default;
};

struct BlockGroup {
  uint64_t logical;
  uint64_t length;
  uint64_t used;
  uint64_t flags;
};

struct TreeRoot {
  uint64_t block;
  uint8_t level;
  uint64_t generation;
  uint64_t owner;
  const char* name;
};

struct BtrfsState : ReaderState {
  std::vector<ByteRange> used;
  uint64_t device_bytes = 0;  // the device size the superblock declares
  uint64_t declared_sectors() const noexcept override { return ceil_div_u64(device_bytes, kSectorSize); }
};

void sort_and_merge(std::vector<ByteRange>& ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
  size_t out = 0;
  for (const ByteRange& r : ranges) {
    if (out && r.first <= ranges[out - 1].first + ranges[out - 1].length) {
      ByteRange& last = ranges[out - 1];
      last.length = std::max(last.first + last.length, r.first + r.length) - last.first;
    } else {
      ranges[out++] = r;
    }
  }
  ranges.resize(out);
}

const char* profile_name(uint64_t type) {
  if (type & (1ull << 3)) return "RAID0";
  if (type & (1ull << 4)) return "RAID1";
  if (type & (1ull << 6)) return "RAID10";
  if (type & (1ull << 7)) return "RAID5";
  if (type & (1ull << 8)) return "RAID6";
  if (type & (1ull << 9)) return "RAID1C3";
  return "RAID1C4";
}

const char* csum_name(uint16_t type) {
  switch (type) {
    case 1: return "xxhash64";
    case 2: return "sha256";
    case 3: return "blake2b";
    default: return "unknown";
  }
}

template <typename... Args>
std::string format(const char* fmt, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

bool crc_holds(std::span<const uint8_t> block) {
  return crc32c(block.subspan(kCsumOffset)) == le32(block.data());
}

class Probe {
 public:
  Probe(DiskImage& image, uint32_t first, uint32_t count)
      : image_(image), first_byte_(uint64_t{first} * kSectorSize), size_(uint64_t{count} * kSectorSize) {}

  ErrorCode run(std::vector<ByteRange>& used, uint64_t& device_bytes) {
    if (ErrorCode e = read_superblock(); e != OK) return e;
    if (ErrorCode e = check_superblock(); e != OK) return e;
    if (ErrorCode e = read_system_chunks(); e != OK) return e;
    max_visits_ = 2 * (device_bytes_ / node_size_) + 64;
    if (ErrorCode e = read_chunk_tree(); e != OK) return e;
    chunk_used_.assign(chunks_.size(), 0);
    if (ErrorCode e = read_root_tree(); e != OK) return e;
    if (ErrorCode e = read_extents(); e != OK) return e;
    if (ErrorCode e = check_block_groups(); e != OK) return e;
    if (ErrorCode e = check_listed_blocks(); e != OK) return e;

    add_range(0, std::min(kMiB, size_));
    for (uint64_t offset : kSuperOffsets)
      if (fits(offset, kSuperSize, size_)) add_range(offset, kSuperSize);
    sort_and_merge(used_);
    used = std::move(used_);
    device_bytes = device_bytes_;
    return OK;
  }

 private:
  ErrorCode read(uint64_t offset, std::span<uint8_t> out) const {
    if (!fits(offset, out.size(), size_)) return ERR_LAYOUT;
    return read_bytes(image_, first_byte_ + offset, out);
  }

  // The volume is this reader's, but kept whole.
  ErrorCode keep(const char* key, const std::string& text) {
    keep_whole_because(key, text);
    return ERR_FILE_SYSTEM;
  }
  ErrorCode damaged(const std::string& text) { return keep("damaged", text); }

  // The primary copy, the only one the kernel mounts from: the mirrors may be stale, and one of a
  // higher generation would describe trees the kernel never reads.
  ErrorCode read_superblock() {
    std::vector<uint8_t> block(kSuperSize);
    if (ErrorCode e = read(kSuperOffsets[0], block); e != OK) return e;
    if (!read_struct(std::span<const uint8_t>(block), 0, sb_)) return ERR_LAYOUT;
    if (std::memcmp(sb_.magic, kMagic, sizeof kMagic) != 0) return ERR_FILE_SYSTEM;
    if (sb_.csum_type != 0)
      return keep("unsupported_feature",
                  format("checksums of type %s are not verified by this tool", csum_name(sb_.csum_type)));
    if (sb_.bytenr != kSuperOffsets[0] || !crc_holds(block))
      return keep("checksum_mismatch",
                  "the primary superblock is damaged, and the kernel mounts from no other copy "
                  "(btrfs rescue super-recover restores it from a mirror)");
    sys_array_.assign(block.begin() + kSysChunkArrayOffset, block.begin() + kSysChunkArrayOffset + kSysChunkArrayMax);
    return OK;
  }

  ErrorCode check_superblock() {
    const uint64_t incompat = sb_.incompat_flags, compat_ro = sb_.compat_ro_flags;
    if (incompat & kIncompatZoned) return keep("unsupported_feature", "zoned volumes are not read");
    if (incompat & kIncompatProfileBits)
      return keep("unsupported_profile", "the volume may hold RAID5/6 or RAID1C3/4 chunks");
    if ((incompat & ~kIncompatKnown) || (compat_ro & ~kCompatRoKnown))
      return keep("unsupported_feature",
                  format("unknown features (incompat 0x%llx, compat_ro 0x%llx)",
                         static_cast<unsigned long long>(incompat & ~kIncompatKnown),
                         static_cast<unsigned long long>(compat_ro & ~kCompatRoKnown)));
    const uint64_t flags = sb_.flags;
    if (flags & ~(kSuperFlagWritten | kSuperFlagSeeding))
      return keep("unsupported_feature",
                  format("superblock flags 0x%llx (an error or an interrupted change)",
                         static_cast<unsigned long long>(flags)));
    if (sb_.num_devices != 1)
      return keep("multi_device", format("the file system spans %llu devices",
                                         static_cast<unsigned long long>(sb_.num_devices.get())));
    if (sb_.log_root != 0)
      return keep("log_not_replayed",
                  "the log tree holds writes not yet replayed; mount the file system once");
    sector_size_ = sb_.sector_size;
    node_size_ = sb_.node_size;
    if (sector_size_ < 4096 || sector_size_ > 65536 || !is_power_of_two(sector_size_) ||
        node_size_ < sector_size_ || node_size_ > 65536 || !is_power_of_two(node_size_) ||
        sb_.sys_chunk_array_size > kSysChunkArrayMax || sb_.root_level >= kMaxLevel ||
        sb_.chunk_root_level >= kMaxLevel)
      return damaged("the superblock's geometry is out of range");
    devid_ = sb_.dev_item.devid;
    device_bytes_ = sb_.dev_item.total_bytes;
    if (device_bytes_ > size_)
      return damaged(format("the file system needs %llu bytes, its volume holds %llu",
                            static_cast<unsigned long long>(device_bytes_),
                            static_cast<unsigned long long>(size_)));
    if (device_bytes_ < kMiB) return damaged("the device is smaller than 1 MiB");
    std::memcpy(tree_fsid_, (incompat & kIncompatMetadataUuid) ? sb_.metadata_uuid : sb_.fsid,
                sizeof tree_fsid_);
    return OK;
  }

  // A chunk item and its stripes, checked against this device.
  ErrorCode parse_chunk(uint64_t logical, std::span<const uint8_t> data, Chunk& out, size_t& size) {
    BtrfsChunk c;
    if (!read_struct(data, 0, c)) return damaged("a chunk item is cut short");
    const uint32_t stripes = c.stripe_count;
    size = sizeof c + size_t{stripes} * sizeof(BtrfsStripe);
    if (stripes == 0 || size > data.size()) return damaged("a chunk item is cut short");
    const uint64_t type = c.type;
    if (type & kGroupOtherProfiles)
      return keep("unsupported_profile",
                  format("a chunk at logical %llu has the %s profile",
                         static_cast<unsigned long long>(logical), profile_name(type)));
    out = Chunk{logical, c.length, type, {}, stripes};
    if ((type & kGroupTypeMask) == 0 || stripes != ((type & kGroupDup) ? 2u : 1u) ||
        out.length == 0 || logical % sector_size_ || out.length % sector_size_ ||
        !fits(logical, out.length, UINT64_MAX))
      return damaged(format("the chunk at logical %llu is malformed",
                            static_cast<unsigned long long>(logical)));
    for (uint32_t i = 0; i < stripes; ++i) {
      BtrfsStripe s;
      if (!read_struct(data, sizeof c + size_t{i} * sizeof s, s)) return damaged("a chunk item is cut short");
      if (s.devid != devid_) return keep("multi_device", "a chunk lies on another device");
      out.stripes[i] = s.offset;
      if (!fits(s.offset, out.length, device_bytes_) || s.offset % sector_size_)
        return damaged(format("the chunk at logical %llu lies outside the device",
                              static_cast<unsigned long long>(logical)));
    }
    return OK;
  }

  ErrorCode add_chunk(std::vector<Chunk>& chunks, const Chunk& c) {
    if (!chunks.empty() && c.logical < chunks.back().logical + chunks.back().length)
      return damaged("chunks overlap or are out of order");
    chunks.push_back(c);
    return OK;
  }

  ErrorCode read_system_chunks() {
    const std::span<const uint8_t> array(sys_array_.data(), sb_.sys_chunk_array_size);
    size_t at = 0;
    while (at < array.size()) {
      BtrfsKey key;
      if (!read_struct(array, at, key) || key.type != kChunkItemKey)
        return damaged("the superblock's system chunk array is malformed");
      at += sizeof key;
      Chunk c;
      size_t size = 0;
      if (ErrorCode e = parse_chunk(key.offset, array.subspan(at), c, size); e != OK) return e;
      if (ErrorCode e = add_chunk(chunks_, c); e != OK) return e;
      at += size;
    }
    if (chunks_.empty()) return damaged("the superblock lists no system chunk");
    return OK;
  }

  // The chunk holding [logical, logical + length), or -1.
  ptrdiff_t chunk_of(uint64_t logical, uint64_t length) const {
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), logical,
                               [](uint64_t l, const Chunk& c) { return l < c.logical; });
    if (it == chunks_.begin()) return -1;
    --it;
    if (logical - it->logical >= it->length || length > it->length - (logical - it->logical))
      return -1;
    return it - chunks_.begin();
  }

  void add_range(uint64_t first, uint64_t length) {
    used_.push_back(ByteRange{first, length});
    if (used_.size() >= compact_at_) {
      sort_and_merge(used_);
      compact_at_ = std::max<size_t>(compact_at_, 2 * used_.size());
    }
  }

  // Marks every stripe of [logical, logical + length); false when no chunk holds it whole.
  bool add_logical(uint64_t logical, uint64_t length, ptrdiff_t* index = nullptr) {
    const ptrdiff_t i = chunk_of(logical, length);
    if (i < 0) return false;
    const Chunk& c = chunks_[static_cast<size_t>(i)];
    for (uint32_t s = 0; s < c.stripe_count; ++s) add_range(c.stripes[s] + (logical - c.logical), length);
    if (index) *index = i;
    return true;
  }

  // Reads a tree block from the first stripe whose copy carries a matching checksum.
  ErrorCode read_tree_block(uint64_t logical, const TreeRoot& tree, std::vector<uint8_t>& block) {
    const ptrdiff_t i = chunk_of(logical, node_size_);
    if (i < 0 || logical % sector_size_)
      return damaged(format("a block of the %s tree at logical %llu lies outside every chunk",
                            tree.name, static_cast<unsigned long long>(logical)));
    const Chunk& c = chunks_[static_cast<size_t>(i)];
    block.resize(node_size_);
    for (uint32_t s = 0; s < c.stripe_count; ++s) {
      if (ErrorCode e = read(c.stripes[s] + (logical - c.logical), block); e != OK) return e;
      if (crc_holds(block)) return OK;
    }
    return keep("checksum_mismatch", format("checksum mismatch in a block of the %s tree at logical %llu",
                                            tree.name, static_cast<unsigned long long>(logical)));
  }

  // One walk of a tree in key order; `visit(key, data)` sees every leaf item.
  template <typename Visit>
  class Walk {
   public:
    Walk(Probe& probe, const TreeRoot& tree, Visit& visit) : p_(probe), tree_(tree), visit_(visit) {}

    ErrorCode run() {
      if (tree_.level >= kMaxLevel) return p_.damaged(format("the %s tree is too deep", tree_.name));
      return block(tree_.block, tree_.level, tree_.generation, nullptr, nullptr);
    }

   private:
    ErrorCode bad(const char* what, uint64_t logical) {
      return p_.damaged(format("%s in a block of the %s tree at logical %llu", what, tree_.name,
                               static_cast<unsigned long long>(logical)));
    }

    ErrorCode block(uint64_t logical, uint32_t level, uint64_t generation, const Key* first,
                    const Key* high) {
      if (++p_.visits_ > p_.max_visits_) return bad("too many blocks", logical);
      std::vector<uint8_t>& buf = buffers_[level];
      if (ErrorCode e = p_.read_tree_block(logical, tree_, buf); e != OK) return e;
      const std::span<const uint8_t> data(buf);
      BtrfsHeader h;
      if (!read_struct(data, 0, h)) return bad("a short header", logical);
      if (h.bytenr != logical || std::memcmp(h.fsid, p_.tree_fsid_, sizeof h.fsid) != 0)
        return bad("another block's header", logical);
      if (h.owner != tree_.owner) return bad("a wrong owner", logical);
      if (h.level != level) return bad("a wrong level", logical);
      if (h.generation != generation || generation > p_.sb_.generation)
        return bad("a wrong generation", logical);
      p_.add_logical(logical, p_.node_size_);
      const uint32_t count = h.item_count;
      const size_t entry = level == 0 ? sizeof(BtrfsItem) : sizeof(BtrfsKeyPtr);
      if (count > (data.size() - sizeof h) / entry) return bad("too many items", logical);
      if (count == 0 && first) return bad("an empty block", logical);
      for (uint32_t i = 0; i < count; ++i) {
        const size_t at = sizeof h + size_t{i} * entry;
        BtrfsKey raw;
        if (!read_struct(data, at, raw)) return bad("a short item", logical);
        const Key key = key_of(raw);
        if (i == 0 && first && key != *first) return bad("a first key its parent does not name", logical);
        if ((have_last_ && key <= last_) || (high && key >= *high)) return bad("keys out of order", logical);
        have_last_ = level == 0 || have_last_;
        if (level == 0) {
          last_ = key;
          BtrfsItem item;
          if (!read_struct(data, at, item)) return bad("a short item", logical);
          const uint64_t offset = uint64_t{item.offset} + sizeof h;
          if (!fits(offset, item.size, data.size()) || offset < sizeof h + size_t{count} * entry)
            return bad("item data outside the block", logical);
          if (ErrorCode e = visit_(key, data.subspan(offset, item.size)); e != OK) return e;
          continue;
        }
        BtrfsKeyPtr ptr;
        if (!read_struct(data, at, ptr)) return bad("a short pointer", logical);
        Key next{};
        const Key* child_high = high;
        if (i + 1 < count) {
          BtrfsKey n;
          if (!read_struct(data, at + entry, n)) return bad("a short pointer", logical);
          next = key_of(n);
          if (next <= key) return bad("keys out of order", logical);
          child_high = &next;
        }
        if (ErrorCode e = block(ptr.block, level - 1, ptr.generation, &key, child_high); e != OK)
          return e;
      }
      return OK;
    }

    Probe& p_;
    const TreeRoot& tree_;
    Visit& visit_;
    std::array<std::vector<uint8_t>, kMaxLevel> buffers_;
    bool have_last_ = false;
    Key last_;
  };

  template <typename Visit>
  ErrorCode walk(const TreeRoot& tree, Visit visit) {
    return Walk<Visit>(*this, tree, visit).run();
  }

  ErrorCode read_chunk_tree() {
    std::vector<Chunk> chunks;
    uint32_t devices = 0;
    const TreeRoot tree{sb_.chunk_root, sb_.chunk_root_level, sb_.chunk_root_generation, kChunkTreeId, "chunk"};
    ErrorCode e = walk(tree, [&](const Key& key, std::span<const uint8_t> data) -> ErrorCode {
      if (key.objectid == kDevItemsObjectid && key.type == kDevItemKey) {
        ++devices;
        if (key.offset != devid_) return keep("multi_device", "the chunk tree lists another device");
      } else if (key.type == kChunkItemKey) {
        Chunk c;
        size_t size = 0;
        if (ErrorCode e2 = parse_chunk(key.offset, data, c, size); e2 != OK) return e2;
        return add_chunk(chunks, c);
      }
      return OK;
    });
    if (e != OK) return e;
    if (devices != 1) return keep("multi_device", "the chunk tree does not list exactly one device");
    for (const Chunk& c : chunks_)
      if (std::find(chunks.begin(), chunks.end(), c) == chunks.end())
        return damaged("the superblock's system chunks disagree with the chunk tree");
    chunks_ = std::move(chunks);
    return OK;
  }

  ErrorCode read_root_tree() {
    const TreeRoot tree{sb_.root, sb_.root_level, sb_.generation, kRootTreeId, "root"};
    return walk(tree, [&](const Key& key, std::span<const uint8_t> data) -> ErrorCode {
      if (key.type != kRootItemKey || (key.objectid != kExtentTreeId && key.objectid != kBlockGroupTreeId))
        return OK;
      if (data.size() <= kRootItemLevel) return damaged("a root item is cut short");
      TreeRoot& root = key.objectid == kExtentTreeId ? extent_root_ : group_root_;
      root = TreeRoot{le64(data.data() + kRootItemBytenr), data[kRootItemLevel],
                      le64(data.data() + kRootItemGeneration), key.objectid,
                      key.objectid == kExtentTreeId ? "extent" : "block group"};
      return OK;
    });
  }

  ErrorCode take_block_group(const Key& key, std::span<const uint8_t> data) {
    BtrfsBlockGroupItem item;
    if (!read_struct(data, 0, item)) return damaged("a block group item is cut short");
    groups_.push_back(BlockGroup{key.objectid, key.offset, item.used, item.flags});
    return OK;
  }

  ErrorCode read_extents() {
    const bool group_tree = sb_.compat_ro_flags & kCompatRoBlockGroupTree;
    if (!extent_root_.name) return damaged("the root tree names no extent tree");
    if (group_tree && !group_root_.name) return damaged("the root tree names no block group tree");
    uint64_t end = 0;  // of the last extent
    ErrorCode e = walk(extent_root_, [&](const Key& key, std::span<const uint8_t> data) -> ErrorCode {
      if (key.type == kBlockGroupItemKey) {
        if (group_tree) return damaged("block groups in the extent tree beside a block group tree");
        return take_block_group(key, data);
      }
      if (key.type != kExtentItemKey && key.type != kMetadataItemKey) return OK;
      BtrfsExtentItem item;
      if (!read_struct(data, 0, item)) return damaged("an extent item is cut short");
      const uint64_t length = key.type == kExtentItemKey ? key.offset : node_size_;
      const bool tree_block = key.type == kMetadataItemKey || (item.flags & kExtentFlagTreeBlock);
      if (tree_block && length != node_size_) return damaged("a tree block's extent is not one node long");
      if (tree_block && key.type == kExtentItemKey && data.size() <= kTreeBlockInfoLevel)
        return damaged("a tree block's extent item is cut short");
      if (tree_block)
        tree_blocks_.push_back(ListedBlock{
            key.objectid, key.type == kMetadataItemKey ? key.offset : data[kTreeBlockInfoLevel]});
      else
        data_extents_.push_back(ByteRange{key.objectid, length});
      if (length == 0 || key.objectid % sector_size_ || length % sector_size_ || key.objectid < end)
        return damaged(format("the extent at logical %llu is malformed or overlaps another",
                              static_cast<unsigned long long>(key.objectid)));
      ptrdiff_t chunk = -1;
      if (!add_logical(key.objectid, length, &chunk))
        return damaged(format("the extent at logical %llu lies outside every chunk",
                              static_cast<unsigned long long>(key.objectid)));
      chunk_used_[static_cast<size_t>(chunk)] += length;
      end = key.objectid + length;
      return OK;
    });
    if (e != OK || !group_tree) return e;
    return walk(group_root_, [&](const Key& key, std::span<const uint8_t> data) -> ErrorCode {
      return key.type == kBlockGroupItemKey ? take_block_group(key, data) : OK;
    });
  }

  // One block group per chunk, of the same place, size and type; the extents inside each add up
  // to its used figure and the groups to the superblock's.
  ErrorCode check_block_groups() {
    if (groups_.size() != chunks_.size()) return keep("accounting_mismatch", "the block groups do not match the chunks");
    uint64_t total = 0;
    for (size_t i = 0; i < groups_.size(); ++i) {
      const BlockGroup& g = groups_[i];
      const Chunk& c = chunks_[i];
      if (g.logical != c.logical || g.length != c.length || g.flags != c.type)
        return keep("accounting_mismatch",
                    format("the block group at logical %llu does not match its chunk",
                           static_cast<unsigned long long>(g.logical)));
      if (g.used != chunk_used_[i])
        return keep("accounting_mismatch",
                    format("the extents of the block group at logical %llu add up to %llu bytes, "
                           "its used figure says %llu",
                           static_cast<unsigned long long>(g.logical),
                           static_cast<unsigned long long>(chunk_used_[i]),
                           static_cast<unsigned long long>(g.used)));
      total += g.used;
    }
    if (total != sb_.bytes_used)
      return keep("accounting_mismatch",
                  format("the block groups hold %llu bytes, the superblock says %llu",
                         static_cast<unsigned long long>(total),
                         static_cast<unsigned long long>(sb_.bytes_used.get())));
    return OK;
  }

  // Every tree block the extent tree lists must be one: its checksum, address and level as listed.
  // The file extents of every leaf must refer to data extents that the extent tree lists whole,
  // so that an extent item moved by damage cannot leave a file's data unlisted.
  ErrorCode check_listed_blocks() {
    const TreeRoot listed{0, 0, 0, 0, "listed"};
    std::vector<uint8_t> block;
    for (const ListedBlock& b : tree_blocks_) {
      if (ErrorCode e = read_tree_block(b.logical, listed, block); e != OK) return e;
      const std::span<const uint8_t> data(block);
      BtrfsHeader h;
      if (!read_struct(data, 0, h) || h.bytenr != b.logical || h.level != b.level ||
          std::memcmp(h.fsid, tree_fsid_, sizeof h.fsid) != 0 || h.generation > sb_.generation)
        return damaged(format("the extent tree lists a tree block at logical %llu that is not there",
                              static_cast<unsigned long long>(b.logical)));
      if (h.level != 0) continue;
      const uint32_t count = h.item_count;
      if (count > (data.size() - sizeof h) / sizeof(BtrfsItem))
        return damaged(format("too many items in the leaf at logical %llu", static_cast<unsigned long long>(b.logical)));
      for (uint32_t i = 0; i < count; ++i) {
        BtrfsItem item;
        if (!read_struct(data, sizeof h + size_t{i} * sizeof item, item)) return damaged("a short item");
        if (item.key.type != kExtentDataKey) continue;
        const uint64_t offset = uint64_t{item.offset} + sizeof h;
        if (!fits(offset, item.size, data.size())) return damaged("item data outside its leaf");
        const auto extent = data.subspan(offset, item.size);
        if (extent.size() <= kFileExtentType || extent[kFileExtentType] == 0) continue;  // inline
        if (extent.size() < kFileExtentSize) return damaged("a file extent item is cut short");
        const uint64_t bytenr = le64(extent.data() + kFileExtentDiskBytenr);
        const uint64_t bytes = le64(extent.data() + kFileExtentDiskBytes);
        if (bytenr == 0) continue;  // a hole
        auto it = std::lower_bound(data_extents_.begin(), data_extents_.end(), bytenr,
                                   [](const ByteRange& r, uint64_t v) { return r.first < v; });
        if (it == data_extents_.end() || it->first != bytenr || it->length != bytes)
          return damaged(format("a file refers to data at logical %llu that the extent tree does not list",
                                static_cast<unsigned long long>(bytenr)));
      }
    }
    return OK;
  }

  struct ListedBlock {
    uint64_t logical;
    uint64_t level;
  };

  DiskImage& image_;
  uint64_t first_byte_;
  uint64_t size_;
  BtrfsSuperblock sb_{};
  std::vector<uint8_t> sys_array_;
  uint8_t tree_fsid_[16] = {};
  uint32_t sector_size_ = 0;
  uint32_t node_size_ = 0;
  uint64_t devid_ = 0;
  uint64_t device_bytes_ = 0;
  uint64_t visits_ = 0;
  uint64_t max_visits_ = 0;
  std::vector<Chunk> chunks_;           // by logical address
  std::vector<uint64_t> chunk_used_;    // bytes of extents inside each chunk
  std::vector<BlockGroup> groups_;
  std::vector<ListedBlock> tree_blocks_;  // as the extent tree lists them
  std::vector<ByteRange> data_extents_;   // logical, by address
  TreeRoot extent_root_{};
  TreeRoot group_root_{};
  std::vector<ByteRange> used_;
  size_t compact_at_ = 1 << 16;
};

ErrorCode btrfs_probe(DiskImage& image, uint32_t first, uint32_t count,
                      std::unique_ptr<ReaderState>& out) {
  return guard_no_memory([&]() -> ErrorCode {
    auto state = std::make_unique<BtrfsState>();
    if (ErrorCode e = Probe(image, first, count).run(state->used, state->device_bytes); e != OK) return e;
    out = std::move(state);
    return OK;
  });
}

ErrorCode btrfs_mark(const ReaderState& state, uint32_t first, uint32_t count,
                     std::span<uint8_t> bitmap, uint32_t bit_index) {
  const auto* ranges = btrfs_used_ranges(state);
  if (!ranges) return ERR_UNSUPPORTED;
  put_bits(bitmap, bit_index, count, false);
  const uint64_t begin = uint64_t{first} * kSectorSize, end = begin + uint64_t{count} * kSectorSize;
  auto it = std::upper_bound(ranges->begin(), ranges->end(), begin,
                             [](uint64_t b, const ByteRange& r) { return b < r.first + r.length; });
  for (; it != ranges->end() && it->first < end; ++it) {
    const uint64_t from = std::max(begin, it->first) / kSectorSize;
    const uint64_t to = ceil_div_u64(std::min(end, it->first + it->length), kSectorSize);
    put_bits(bitmap, bit_index + (from - first), to - from, true);
  }
  return OK;
}

}  // namespace

const std::vector<ByteRange>* btrfs_used_ranges(const ReaderState& state) noexcept {
  const auto* s = dynamic_cast<const BtrfsState*>(&state);
  return s ? &s->used : nullptr;
}

const FsReader kBtrfsReader = {"btrfs", btrfs_probe, btrfs_mark};

}  // namespace qx
