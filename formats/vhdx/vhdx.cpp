// VHDX (format 9): a 1 MiB head (file identifier, two headers, two region tables), a log, a
// metadata region, a block allocation table whose entries carry a state and a file offset, payload
// blocks and, in differencing files, sector bitmap blocks that say which sectors the child holds.
#include "formats/vhdx/vhdx.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/trim_walk.hpp"
#include "image/byte_order.hpp"
#include "image/crc32c.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/charset.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {
namespace {

using Guid = std::array<uint8_t, 16>;

struct VhdxHeader {
  char signature[4];
  le32_t checksum;
  le64_t sequence_number;
  uint8_t file_write_guid[16];
  uint8_t data_write_guid[16];
  uint8_t log_guid[16];
  le16_t log_version;
  le16_t version;
  le32_t log_length;
  le64_t log_offset;
  uint8_t reserved[4016];
};
static_assert(sizeof(VhdxHeader) == 4096);

struct VhdxRegionTableHeader {
  char signature[4];
  le32_t checksum;
  le32_t entry_count;
  le32_t reserved;
};
static_assert(sizeof(VhdxRegionTableHeader) == 16);

struct VhdxRegionEntry {
  uint8_t guid[16];
  le64_t file_offset;
  le32_t length;
  le32_t required;
};
static_assert(sizeof(VhdxRegionEntry) == 32);

struct VhdxMetadataHeader {
  char signature[8];
  le16_t reserved;
  le16_t entry_count;
  uint8_t reserved2[20];
};
static_assert(sizeof(VhdxMetadataHeader) == 32);

struct VhdxMetadataEntry {
  uint8_t item_id[16];
  le32_t offset;
  le32_t length;
  le32_t flags;
  le32_t reserved;
};
static_assert(sizeof(VhdxMetadataEntry) == 32);

struct VhdxLocatorHeader {
  uint8_t type[16];
  le16_t reserved;
  le16_t count;
};
static_assert(sizeof(VhdxLocatorHeader) == 20);

struct VhdxLocatorEntry {
  le32_t key_offset;
  le32_t value_offset;
  le16_t key_length;
  le16_t value_length;
};
static_assert(sizeof(VhdxLocatorEntry) == 12);

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kHeadBytes = kMiB;
constexpr uint64_t kHeaderOffsets[2] = {64u << 10, 128u << 10};
constexpr uint64_t kRegionTableOffsets[2] = {192u << 10, 256u << 10};
constexpr size_t kRegionTableBytes = 64u << 10;
constexpr uint32_t kMaxEntries = 2047;
constexpr uint32_t kMetadataTableBytes = 64u << 10;
constexpr uint32_t kMaxItemBytes = 1u << 20;
constexpr uint64_t kMaxDiskBytes = uint64_t{1} << 46;  // 64 TiB
constexpr uint64_t kOffsetMask = ~(kMiB - 1);

// Block states of the BAT: payload entries, and the sector bitmap entry that follows each chunk.
enum : uint8_t {
  kNotPresent = 0,
  kUndefined = 1,
  kZero = 2,
  kUnmapped = 3,
  kFullyPresent = 6,
  kPartiallyPresent = 7,
};
constexpr uint8_t kBitmapPresent = 6;

constexpr uint32_t kLeaveBlocksAllocated = 1;
constexpr uint32_t kHasParent = 2;
constexpr uint32_t kItemRequired = 4;

constexpr int hex_value(char c) {
  return c >= '0' && c <= '9' ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" to the stored form: the first three groups little-endian,
// the last eight bytes in order. False for any other shape.
constexpr bool parse_guid(std::string_view text, Guid& out) {
  if (text.size() != 36) return false;
  constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  uint8_t bytes[16] = {};
  size_t pos = 0;
  for (int i = 0; i < 16; ++i) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
      if (text[pos] != '-') return false;
      ++pos;
    }
    const int hi = hex_value(text[pos]), lo = hex_value(text[pos + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
    pos += 2;
  }
  for (int i = 0; i < 16; ++i) out[static_cast<size_t>(i)] = bytes[kOrder[i]];
  return true;
}

constexpr Guid guid(std::string_view text) {
  Guid g{};
  if (!parse_guid(text, g)) throw "malformed GUID constant";
  return g;
}

constexpr Guid kBatRegion = guid("2DC27766-F623-4200-9D64-115E9BFD4A08");
constexpr Guid kMetadataRegion = guid("8B7CA206-4790-4B9A-B8FE-575F050F886E");
constexpr Guid kFileParametersItem = guid("CAA16737-FA36-4D43-B3B6-33F0AA44E76B");
constexpr Guid kDiskSizeItem = guid("2FA54224-CD1B-4876-B211-5DBED83BF4B8");
constexpr Guid kDiskIdItem = guid("BECA12AB-B2E6-4523-93EF-C309E000C746");
constexpr Guid kLogicalSectorItem = guid("8141BF1D-A96F-4709-BA47-F233A8FAAB5F");
constexpr Guid kPhysicalSectorItem = guid("CDA348C7-445D-4471-9CC9-E9885251C556");
constexpr Guid kParentLocatorItem = guid("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C");
constexpr Guid kVhdxLocatorType = guid("B04AEFB7-D19E-4A81-B789-25B8E9445913");

bool same_guid(const uint8_t* a, const Guid& b) noexcept { return std::memcmp(a, b.data(), 16) == 0; }

// Where a piece of the parent locator's item lies: offset and length in the item.
struct TextSpan {
  uint32_t offset = 0;
  uint32_t length = 0;
  bool present = false;
};

// A parent identity recorded by the child: "{xxxxxxxx-...}" in UTF-16, parsed when well formed.
struct Linkage {
  bool present = false;
  bool valid = false;
  Guid value{};
};

struct Region {
  uint64_t offset = 0;
  uint32_t length = 0;
};

struct VhdxImage : DriverState {
  File file;
  uint64_t file_length = 0;
  VhdxHeader header{};        // the current one
  uint32_t current_header = 0;  // index into kHeaderOffsets
  uint32_t region_copy = 0;     // index into kRegionTableOffsets
  std::vector<uint8_t> region_table;
  Region bat_region, metadata_region;
  uint32_t file_flags = 0;
  uint64_t file_parameters_at = 0;  // item offset within the metadata region
  uint32_t block_bytes = 0;
  uint32_t block_sectors = 0;       // 512-byte sectors
  uint32_t logical_sector = 0;
  uint32_t chunk_ratio = 0;
  uint64_t disk_bytes = 0;
  uint32_t data_blocks = 0;
  uint32_t bat_entries = 0;
  std::vector<uint64_t> bat;
  std::vector<uint8_t> locator;
  TextSpan relative_path, absolute_path, volume_path;
  Linkage linkage, linkage2;
  std::vector<uint8_t> bitmap;  // the cached block's part of its sector bitmap
  int64_t cached_block = -1;
  DiskImage parent;
  bool has_parent = false;
  bool log_pending = false;
  DiskGeometry geometry;

  bool read_failed() const noexcept override { return file.read_failed() || image_read_failed(parent); }
};

VhdxImage& vhdx(DriverState& s) { return static_cast<VhdxImage&>(s); }
const VhdxImage& vhdx(const DriverState& s) { return static_cast<const VhdxImage&>(s); }


// The checksum of a structure computed with its own checksum field (at offset 4) taken as zero.
uint32_t structure_crc(std::span<const uint8_t> bytes) noexcept {
  static constexpr uint8_t kZero[4] = {};
  uint32_t crc = crc32c_update(~0u, bytes.first(4));
  crc = crc32c_update(crc, kZero);
  return ~crc32c_update(crc, bytes.subspan(8));
}

void seal_structure(std::span<uint8_t> bytes) noexcept {
  store_le<uint32_t>(bytes.data() + 4, structure_crc(bytes));
}

uint32_t payload_entry(const VhdxImage& st, uint32_t block) noexcept {
  return block + block / st.chunk_ratio;
}
uint32_t bitmap_entry(const VhdxImage& st, uint32_t chunk) noexcept {
  return chunk * (st.chunk_ratio + 1) + st.chunk_ratio;
}
uint8_t state_of(uint64_t entry) noexcept { return static_cast<uint8_t>(entry & 7); }
uint64_t offset_of(uint64_t entry) noexcept { return entry & kOffsetMask; }

// A structure of the file that must start on a MiB boundary past the head and end in the file.
bool region_fits(const VhdxImage& st, uint64_t offset, uint64_t length) noexcept {
  return offset >= kHeadBytes && offset % kMiB == 0 && length % kMiB == 0 &&
         offset <= st.file_length && length <= st.file_length - offset;
}

// ---- open ----

ErrorCode read_headers(VhdxImage& st) {
  VhdxHeader h[2];
  for (int i = 0; i < 2; ++i) {
    if (!st.file.read_at(kHeaderOffsets[i], bytes_of(h[i]))) return ERR_READ;
    if (std::memcmp(h[i].signature, "head", 4) != 0 || h[i].checksum != structure_crc(bytes_of(h[i])))
      return ERR_BAD_FORMAT;
  }
  st.current_header = h[0].sequence_number > h[1].sequence_number ? 0 : 1;
  st.header = h[st.current_header];
  if (st.header.version != 1) return ERR_BAD_FORMAT;
  // Writes that sit in the log were never applied: the BAT and the metadata as stored are stale.
  st.log_pending = !std::all_of(std::begin(st.header.log_guid), std::end(st.header.log_guid),
                                [](uint8_t b) { return b == 0; });
  if (st.header.log_length != 0 && !region_fits(st, st.header.log_offset, st.header.log_length))
    return ERR_BAD_FORMAT;
  return OK;
}

bool region_table_valid(std::span<const uint8_t> table) noexcept {
  VhdxRegionTableHeader h{};
  if (!read_struct(table, 0, h)) return false;
  return std::memcmp(h.signature, "regi", 4) == 0 && h.checksum == structure_crc(table);
}

ErrorCode read_region_table(VhdxImage& st) {
  st.region_table.assign(kRegionTableBytes, 0);
  bool read_any = false;
  for (uint32_t i = 0; i < 2; ++i) {
    if (!st.file.read_at(kRegionTableOffsets[i], st.region_table)) continue;
    read_any = true;
    if (!region_table_valid(st.region_table)) continue;
    st.region_copy = i;
    VhdxRegionTableHeader h{};
    (void)read_struct(st.region_table, 0, h);
    if (h.entry_count > kMaxEntries) return ERR_BAD_FORMAT;
    bool have_bat = false, have_metadata = false;
    for (uint32_t e = 0; e < h.entry_count; ++e) {
      VhdxRegionEntry r{};
      (void)read_struct(st.region_table, sizeof h + size_t{e} * sizeof r, r);
      const bool bat = same_guid(r.guid, kBatRegion), metadata = same_guid(r.guid, kMetadataRegion);
      // A region this driver does not know may change what the disk holds.
      if (!bat && !metadata && (r.required & 1)) return ERR_BAD_FORMAT;
      if (!region_fits(st, r.file_offset, r.length) || r.length == 0) return ERR_BAD_FORMAT;
      if ((bat && have_bat) || (metadata && have_metadata)) return ERR_BAD_FORMAT;
      if (bat) st.bat_region = {r.file_offset, r.length};
      if (metadata) st.metadata_region = {r.file_offset, r.length};
      have_bat = have_bat || bat;
      have_metadata = have_metadata || metadata;
    }
    return have_bat && have_metadata ? OK : ERR_BAD_FORMAT;
  }
  return read_any ? ERR_BAD_FORMAT : ERR_READ;
}

// Keys are UTF-16LE without terminator, recognised by their byte length and content.
ErrorCode read_locator_entry(VhdxImage& st, const VhdxLocatorEntry& e) {
  const std::span<const uint8_t> item(st.locator);
  const uint64_t key_end = uint64_t{e.key_offset} + e.key_length;
  const uint64_t value_end = uint64_t{e.value_offset} + e.value_length;
  if (key_end > item.size() || value_end > item.size()) return ERR_BAD_FORMAT;
  const std::string_view key(reinterpret_cast<const char*>(item.data() + e.key_offset), e.key_length);
  auto is_key = [&](std::string_view ascii) {
    if (key.size() != ascii.size() * 2) return false;
    for (size_t i = 0; i < ascii.size(); ++i)
      if (key[2 * i] != ascii[i] || key[2 * i + 1] != 0) return false;
    return true;
  };
  auto take_text = [&](TextSpan& span) {
    if (span.present) return ERR_BAD_FORMAT;
    span = {e.value_offset, e.value_length, true};
    return OK;
  };
  auto take_linkage = [&](Linkage& link) {
    if (link.present || e.value_length != 76) return ERR_BAD_FORMAT;
    link.present = true;
    char text[38];
    for (size_t i = 0; i < 38; ++i) {
      const uint8_t lo = item[e.value_offset + 2 * i], hi = item[e.value_offset + 2 * i + 1];
      text[i] = hi == 0 && lo < 0x80 ? static_cast<char>(lo) : '?';
    }
    link.valid = text[0] == '{' && text[37] == '}' &&
                 parse_guid(std::string_view(text + 1, 36), link.value);
    return OK;
  };
  if (is_key("volume_path")) return take_text(st.volume_path);
  if (is_key("relative_path")) return take_text(st.relative_path);
  if (is_key("absolute_win32_path")) return take_text(st.absolute_path);
  if (is_key("parent_linkage")) return take_linkage(st.linkage);
  if (is_key("parent_linkage2")) return take_linkage(st.linkage2);
  return OK;
}

ErrorCode parse_locator(VhdxImage& st) {
  VhdxLocatorHeader h{};
  if (!read_struct(std::span<const uint8_t>(st.locator), 0, h)) return ERR_BAD_FORMAT;
  if (!same_guid(h.type, kVhdxLocatorType)) return OK;
  if (st.locator.size() < sizeof h + size_t{h.count} * sizeof(VhdxLocatorEntry)) return ERR_BAD_FORMAT;
  for (uint32_t i = 0; i < h.count; ++i) {
    VhdxLocatorEntry e{};
    (void)read_struct(std::span<const uint8_t>(st.locator), sizeof h + size_t{i} * sizeof e, e);
    if (ErrorCode rc = read_locator_entry(st, e); rc != OK) return rc;
  }
  return OK;
}

ErrorCode read_metadata(VhdxImage& st) {
  const Region& region = st.metadata_region;
  std::vector<uint8_t> table(kMetadataTableBytes);
  if (!st.file.read_at(region.offset, table)) return ERR_READ;
  VhdxMetadataHeader h{};
  (void)read_struct(std::span<const uint8_t>(table), 0, h);
  if (std::memcmp(h.signature, "metadata", 8) != 0 || h.entry_count > kMaxEntries) return ERR_BAD_FORMAT;
  enum { kParams, kSize, kId, kLogical, kPhysical, kLocator, kItems };
  static constexpr const Guid* kKnown[kItems] = {&kFileParametersItem, &kDiskSizeItem, &kDiskIdItem,
                                                 &kLogicalSectorItem, &kPhysicalSectorItem,
                                                 &kParentLocatorItem};
  static constexpr uint32_t kLength[kItems] = {8, 8, 16, 4, 4, 0};
  bool seen[kItems] = {};
  uint8_t value[kItems][16] = {};
  for (uint32_t i = 0; i < h.entry_count; ++i) {
    VhdxMetadataEntry e{};
    (void)read_struct(std::span<const uint8_t>(table), sizeof h + size_t{i} * sizeof e, e);
    if (e.offset < kMetadataTableBytes || e.length > kMaxItemBytes ||
        uint64_t{e.offset} + e.length >= region.length)
      return ERR_BAD_FORMAT;
    int k = 0;
    while (k < kItems && !same_guid(e.item_id, *kKnown[k])) ++k;
    if (k == kItems) {
      if (e.flags & kItemRequired) return ERR_BAD_FORMAT;
      continue;
    }
    if (seen[k] || (k != kLocator && e.length != kLength[k])) return ERR_BAD_FORMAT;
    seen[k] = true;
    const uint64_t at = region.offset + e.offset;
    if (k == kLocator) {
      st.locator.resize(e.length);
      if (!st.file.read_at(at, st.locator)) return ERR_READ;
    } else if (!st.file.read_at(at, std::span(value[k], e.length))) {
      return ERR_READ;
    }
    if (k == kParams) st.file_parameters_at = e.offset;
  }
  if (!seen[kParams] || !seen[kSize] || !seen[kLogical] || !seen[kPhysical]) return ERR_BAD_FORMAT;
  st.block_bytes = le32(value[kParams]);
  st.file_flags = le32(value[kParams] + 4);
  st.disk_bytes = le64(value[kSize]);
  st.logical_sector = le32(value[kLogical]);
  if (st.block_bytes < kMiB || st.block_bytes > 256 * kMiB || !is_power_of_two(st.block_bytes) ||
      (st.logical_sector != 512 && st.logical_sector != 4096) || st.disk_bytes > kMaxDiskBytes ||
      st.disk_bytes % st.logical_sector != 0)
    return ERR_BAD_FORMAT;
  if (seen[kLocator])
    if (ErrorCode rc = parse_locator(st); rc != OK) return rc;
  if ((st.file_flags & kHasParent) && !st.relative_path.present && !st.absolute_path.present) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
  return OK;
}

// The entries of the BAT, each checked once so that reading never meets a state it cannot serve.
ErrorCode read_bat(VhdxImage& st) {
  st.chunk_ratio = static_cast<uint32_t>((uint64_t{1} << 23) * st.logical_sector / st.block_bytes);
  const uint64_t blocks = ceil_div_u64(st.disk_bytes, st.block_bytes);
  const bool parent = st.file_flags & kHasParent;
  const uint64_t entries = parent ? ceil_div_u64(blocks, st.chunk_ratio) * (st.chunk_ratio + 1)
                           : blocks ? blocks + (blocks - 1) / st.chunk_ratio
                                    : 0;
  // Bounded by the region, which open checked against the file, before anything is allocated.
  if (entries > st.bat_region.length / 8) return ERR_BAD_FORMAT;
  st.data_blocks = static_cast<uint32_t>(blocks);
  st.bat_entries = static_cast<uint32_t>(entries);
  st.bat.resize(st.bat_entries);
  if (!st.file.read_at(st.bat_region.offset,
                       std::span(reinterpret_cast<uint8_t*>(st.bat.data()), st.bat.size() * 8)))
    return ERR_READ;
  for (uint32_t i = 0; i < st.bat_entries; ++i) {
    const uint64_t e = st.bat[i];
    const uint8_t state = state_of(e);
    const bool is_bitmap = i % (st.chunk_ratio + 1) == st.chunk_ratio;
    const bool stored = is_bitmap ? state == kBitmapPresent
                                  : state == kFullyPresent || state == kPartiallyPresent;
    if (is_bitmap ? state != kNotPresent && state != kBitmapPresent
                  : state == 4 || state == 5 || (state == kPartiallyPresent && !parent))
      return ERR_BAD_FORMAT;
    if (stored && !region_fits(st, offset_of(e), 0)) return ERR_BAD_FORMAT;
  }
  return OK;
}

void work_out_geometry(VhdxImage& st) {
  const uint64_t total = ceil_div_u64(st.disk_bytes, kSectorSize);
  DiskGeometry& g = st.geometry;
  g.total_sectors = static_cast<uint32_t>(total);
  g.bytes_per_sector = kSectorSize;
  if (total > 66059279) {
    g.heads = 16;
    g.sectors_per_track = 255;
    return;
  }
  g.sectors_per_track = 17;
  uint64_t cylinder_heads = total / 17;
  g.heads = static_cast<uint32_t>(std::max<uint64_t>(4, ceil_div_u64(cylinder_heads, 1024)));
  if (cylinder_heads >= uint64_t{g.heads} * 1024 || g.heads > 16) {
    g.heads = 16;
    g.sectors_per_track = 31;
    cylinder_heads = total / 31;
    if (cylinder_heads >= 16 * 1024) g.sectors_per_track = 63;
  }
}

TextView locator_text(const VhdxImage& st, const TextSpan& span) {
  return TextView(reinterpret_cast<const char*>(st.locator.data()) + span.offset, span.length);
}

// relative_path is stored with "\" separators; on this system they become "/".
bool candidate_path(const VhdxImage& st, const TextSpan& span, bool relative, std::string_view own_path,
                    PathBuffer<4096>& out) {
  PathBuffer<4096> name, work;
  if (!append_converted(name, TextEncoding::Utf8, locator_text(st, span), TextEncoding::Utf16Le) ||
      name.empty() || name.view().find('\0') != std::string_view::npos)
    return false;
  if (!relative) return out.assign(name.view()) && out.append_terminator();
  for (uint32_t i = 0; i < name.length(); ++i)
    if (name.data()[i] == '\\') name.data()[i] = '/';
  return resolve_stored_name(name.view(), TextEncoding::Utf8, own_path, TextEncoding::Utf8, work, out,
                             TextEncoding::Utf8, PathStyle::Unix) &&
         out.append_terminator();
}

ErrorCode open_parent(VhdxImage& st, std::string_view own_path) {
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  PathBuffer<4096> path;
  bool found = false;
  for (const bool relative : {true, false}) {
    const TextSpan& span = relative ? st.relative_path : st.absolute_path;
    if (span.present && candidate_path(st, span, relative, own_path, path) && path.view() != own_path &&
        file_exists(path.view())) {
      found = true;
      break;
    }
  }
  if (!found) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read or found");
    return ERR_BAD_FORMAT;
  }
  if (ErrorCode rc = open_sized_parent(st.parent, path.view(), st.geometry.total_sectors, FORMAT_VHDX);
      rc != OK)
    return rc;
  st.has_parent = true;
  return OK;
}

ErrorCode open_file(VhdxImage& st, std::string_view path) {
  st.file = File::open_existing(path, true);
  if (!st.file) return ERR_OPEN;
  if (!st.file.length(st.file_length)) return ERR_FILE_SIZE;
  if (st.file_length < kHeadBytes) return ERR_BAD_FORMAT;
  char signature[8];
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(signature), sizeof signature)))
    return ERR_READ;
  if (std::memcmp(signature, "vhdxfile", 8) != 0) return ERR_BAD_FORMAT;
  if (ErrorCode rc = read_headers(st); rc != OK) return rc;
  if (ErrorCode rc = read_region_table(st); rc != OK) return rc;
  if (ErrorCode rc = read_metadata(st); rc != OK) return rc;
  // Sectors are counted in 32 bits.
  if (ceil_div_u64(st.disk_bytes, kSectorSize) > UINT32_MAX) return ERR_UNSUPPORTED;
  if (ErrorCode rc = read_bat(st); rc != OK) return rc;
  work_out_geometry(st);
  return OK;
}

ErrorCode vhdx_open(DriverState& s, std::string_view path, bool) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  VhdxImage& st = vhdx(s);
  return guard_no_memory([&]() -> ErrorCode {
    if (ErrorCode rc = open_file(st, path); rc != OK) return rc;
    st.block_sectors = st.block_bytes / kSectorSize;
    st.bitmap.assign(st.block_bytes / st.logical_sector / 8, 0);
    st.cached_block = -1;
    if (st.file_flags & kHasParent) return open_parent(st, path);
    return OK;
  });
}

DiskGeometry vhdx_geometry(const DriverState& s) { return vhdx(s).geometry; }

// ---- reading ----

ErrorCode load_bitmap(VhdxImage& st, uint32_t block) {
  if (st.cached_block == block) return OK;
  const uint64_t e = st.bat[bitmap_entry(st, block / st.chunk_ratio)];
  if (state_of(e) != kBitmapPresent) return ERR_BAD_FORMAT;
  st.cached_block = -1;
  const uint64_t at = offset_of(e) + uint64_t{block % st.chunk_ratio} * st.bitmap.size();
  if (!st.file.read_at(at, st.bitmap)) return ERR_READ;
  st.cached_block = block;
  return OK;
}

bool sector_present(const VhdxImage& st, uint64_t byte_in_block) noexcept {
  return test_bit(st.bitmap, byte_in_block / st.logical_sector);
}

// A partially present block: the parent's data, with the sectors this file holds laid over it.
ErrorCode read_partial(VhdxImage& st, uint32_t block, uint64_t in_block, std::span<uint8_t> out) {
  const uint64_t block_start = uint64_t{block} * st.block_bytes;
  if (ErrorCode rc = read_bytes(st.parent, block_start + in_block, out); rc != OK) return rc;
  if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
  const uint64_t data = offset_of(st.bat[payload_entry(st, block)]);
  const uint64_t end = in_block + out.size();
  for (uint64_t pos = in_block; pos < end;) {
    const bool present = sector_present(st, pos);
    uint64_t run_end = std::min(end, (pos / st.logical_sector + 1) * st.logical_sector);
    while (run_end < end && sector_present(st, run_end) == present)
      run_end = std::min(end, run_end + st.logical_sector);
    if (present && !st.file.read_at(data + pos, out.subspan(static_cast<size_t>(pos - in_block),
                                                             static_cast<size_t>(run_end - pos))))
      return ERR_READ;
    pos = run_end;
  }
  return OK;
}

ErrorCode read_block_piece(VhdxImage& st, uint32_t block, uint64_t in_block, std::span<uint8_t> out) {
  const uint64_t e = st.bat[payload_entry(st, block)];
  switch (state_of(e)) {
    case kNotPresent:
      if (st.has_parent) return read_bytes(st.parent, uint64_t{block} * st.block_bytes + in_block, out);
      [[fallthrough]];
    case kUndefined:
    case kZero:
    case kUnmapped: std::memset(out.data(), 0, out.size()); return OK;
    case kFullyPresent: return st.file.read_at(offset_of(e) + in_block, out) ? OK : ERR_READ;
    case kPartiallyPresent: return read_partial(st, block, in_block, out);
    default: return ERR_BAD_FORMAT;
  }
}

ErrorCode vhdx_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  VhdxImage& st = vhdx(s);
  return read_by_blocks(st.block_bytes, offset, out, [&](uint64_t block, uint64_t in, std::span<uint8_t> piece) {
    return read_block_piece(st, static_cast<uint32_t>(block), in, piece);
  });
}

// ---- the layer question ----

LayerHolding holding_of(uint8_t state) noexcept {
  switch (state) {
    case kNotPresent: return LayerHolding::kAbsent;
    case kFullyPresent:
    case kPartiallyPresent: return LayerHolding::kStored;
    default: return LayerHolding::kZero;  // undefined, zero and unmapped blocks read as zeros
  }
}

// A partially present block holds the sectors its bitmap marks and leaves the others to the
// parent. A run never crosses a block.
ErrorCode vhdx_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  VhdxImage& st = vhdx(s);
  const uint32_t block = first / st.block_sectors;
  const uint32_t in = first % st.block_sectors;
  const uint64_t e = st.bat[payload_entry(st, block)];
  out.count = std::min(count, st.block_sectors - in);
  out.holding = holding_of(state_of(e));
  if (state_of(e) == kPartiallyPresent) {
    if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
    const bool present = sector_present(st, uint64_t{in} * kSectorSize);
    uint32_t n = 1;
    while (n < out.count && sector_present(st, uint64_t{in + n} * kSectorSize) == present) ++n;
    out.count = n;
    if (!present) out.holding = LayerHolding::kAbsent;
  }
  if (out.holding == LayerHolding::kStored) {
    out.file = &st.file;
    out.offset = offset_of(e) + uint64_t{in} * kSectorSize;
  }
  return OK;
}

DiskImage* vhdx_parent(DriverState& s) { return vhdx(s).has_parent ? &vhdx(s).parent : nullptr; }

// Hyper-V would replay a copied log onto the new layout.
bool vhdx_can_trim(const DriverState& s) { return !vhdx(s).log_pending; }

bool vhdx_identity(const DriverState& s, ImageIdentity& out) {
  out.kind = ImageIdentity::VHDX_DATA_WRITE_GUID;
  std::memcpy(out.bytes, vhdx(s).header.data_write_guid, sizeof out.bytes);
  return true;
}

// A parent found by its path may be another disk, or this disk changed since the child was made:
// its data write GUID must be one the child recorded. A log still to replay anywhere in the chain
// means the stored state is not the disk.
ErrorCode vhdx_chain_status(const DriverState& s) {
  const VhdxImage& st = vhdx(s);
  if (st.log_pending) return ERR_UNSUPPORTED;
  if (!st.has_parent) return OK;
  const ImageIdentity found = image_identity(st.parent);
  if (found.kind == ImageIdentity::VHDX_DATA_WRITE_GUID) {
    auto matches = [&](const Linkage& l) {
      return l.present && l.valid && std::memcmp(l.value.data(), found.bytes, 16) == 0;
    };
    if (!matches(st.linkage) && !matches(st.linkage2)) return ERR_BAD_FORMAT;
  }
  return parent_chain_status(st.parent);
}

// ---- trim ----

// A dropped block of a child that it never held stays with its parent; every other dropped block
// reads as zeros.
constexpr BlockFate kParentBlock = 2;

class VhdxWriter : public BlockWriter {
 public:
  explicit VhdxWriter(VhdxImage& st) : st_(st) {}

  // The log and every region but the BAT go behind the head in table order; the table of the
  // output gets their new offsets. The head itself is written last, so that a file cut short
  // never looks finished.
  ErrorCode begin(TrimWalk& walk) override {
    if (ErrorCode rc = guard_no_memory([&] {
          bat_.assign(st_.bat_entries, 0);
          head_.resize(kHeadBytes);
          chunk_partial_.assign(st_.data_blocks / st_.chunk_ratio + 1, false);
          return OK;
        });
        rc != OK)
      return rc;
    TrimSink& out = walk.out();
    if (!st_.file.read_at(0, head_)) return ERR_READ;
    table_ = st_.region_table;
    (void)read_struct(std::span<const uint8_t>(table_), 0, table_header_);
    const std::span<VhdxRegionEntry> entries = region_entries();
    if (ErrorCode rc = out.write_zeros(0, kHeadBytes); rc != OK) return rc;
    position_ = kHeadBytes;
    if (ErrorCode rc = out.copy(st_.header.log_offset, position_, st_.header.log_length); rc != OK) return rc;
    position_ += st_.header.log_length;
    bat_entry_ = entries.size();
    for (size_t i = 0; i < table_header_.entry_count; ++i) {
      VhdxRegionEntry& r = entries[i];
      if (same_guid(r.guid, kBatRegion)) {
        bat_entry_ = i;
        continue;
      }
      if (ErrorCode rc = out.copy(r.file_offset, position_, r.length); rc != OK) return rc;
      // A fixed disk asks that every block stay allocated; the trimmed copy is a dynamic disk.
      if (same_guid(r.guid, kMetadataRegion) && (st_.file_flags & kLeaveBlocksAllocated) && !st_.has_parent) {
        uint8_t flags[4];
        store_le<uint32_t>(flags, st_.file_flags & ~kLeaveBlocksAllocated);
        // Over the copied region, so the copy has to have happened first.
        if (ErrorCode rc = out.finish_copies(); rc != OK) return rc;
        if (ErrorCode rc = out.write(position_ + st_.file_parameters_at + 4, flags); rc != OK) return rc;
      }
      r.file_offset = position_;
      position_ += r.length;
    }
    if (bat_entry_ == entries.size()) return ERR_BAD_FORMAT;
    entries[bat_entry_].file_offset = position_;
    if (ErrorCode rc = out.write_zeros(position_, position_ + entries[bat_entry_].length); rc != OK) return rc;
    position_ += entries[bat_entry_].length;
    return OK;
  }

  // Only a stored block is asked about: one whose used sectors all read as zeros (through the
  // parent where the block is partial) becomes a zero block.
  ErrorCode decide(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n, BlockFate& fate) override {
    const uint8_t state = state_of(st_.bat[payload_entry(st_, block)]);
    if (state != kFullyPresent && state != kPartiallyPresent) return decide_free(walk, block, n, fate);
    return BlockWriter::decide(walk, block, first, n, fate);
  }

  ErrorCode decide_free(TrimWalk&, uint32_t block, uint32_t, BlockFate& fate) override {
    const bool parents = st_.has_parent && state_of(st_.bat[payload_entry(st_, block)]) == kNotPresent;
    fate = parents ? kParentBlock : kDropBlock;
    return OK;
  }

  // A kept block is copied as this file holds it, in large pieces; unused sectors of it read as
  // zeros where they are not copied along: they held nothing the file systems still own. A
  // partially present block keeps its sector bitmap, so that what this file does not hold still
  // comes from the parent.
  ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) override {
    const uint64_t e = st_.bat[payload_entry(st_, block)];
    if (ErrorCode rc = walk.copy_used(first, n, offset_of(e), position_); rc != OK) return rc;
    if (state_of(e) == kPartiallyPresent) chunk_partial_[block / st_.chunk_ratio] = true;
    bat_[payload_entry(st_, block)] = position_ | state_of(e);
    position_ += st_.block_bytes;
    return end_block(walk.out(), block);
  }

  ErrorCode drop(TrimWalk& walk, uint32_t block, uint32_t, uint32_t, BlockFate fate) override {
    bat_[payload_entry(st_, block)] = fate == kParentBlock ? kNotPresent : kZero;
    return end_block(walk.out(), block);
  }

  // The last block ends the file even where its tail was left unwritten; then the BAT, and the
  // head with the new log offset and region tables.
  ErrorCode finish(TrimWalk& walk) override {
    static constexpr uint8_t kZeroByte[1] = {};
    TrimSink& out = walk.out();
    uint64_t length = 0;
    if (ErrorCode rc = out.length(length); rc != OK) return rc;
    if (length < position_)
      if (ErrorCode rc = out.write(position_ - 1, kZeroByte); rc != OK) return rc;
    std::vector<uint8_t> entries(bat_.size() * 8);
    for (size_t i = 0; i < bat_.size(); ++i) store_le<uint64_t>(entries.data() + i * 8, bat_[i]);
    if (ErrorCode rc = out.write(region_entries()[bat_entry_].file_offset, entries); rc != OK) return rc;
    seal_structure(table_);
    update_head();
    return out.write(0, head_);
  }

 private:
  std::span<VhdxRegionEntry> region_entries() {
    return {reinterpret_cast<VhdxRegionEntry*>(table_.data() + sizeof(VhdxRegionTableHeader)),
            (table_.size() - sizeof(VhdxRegionTableHeader)) / sizeof(VhdxRegionEntry)};
  }

  // After the last block of each chunk, the chunk's sector bitmap when some kept block needs it.
  ErrorCode end_block(TrimSink& out, uint32_t block) {
    if (block % st_.chunk_ratio != st_.chunk_ratio - 1 && block + 1 != st_.data_blocks) return OK;
    const uint32_t chunk = block / st_.chunk_ratio;
    const uint32_t index = bitmap_entry(st_, chunk);
    if (index >= st_.bat_entries || !chunk_partial_[chunk]) return OK;
    if (ErrorCode rc = out.copy(offset_of(st_.bat[index]), position_, kMiB); rc != OK) return rc;
    bat_[index] = position_ | kBitmapPresent;
    position_ += kMiB;
    return OK;
  }

  // The current header gets the new log offset; the other one too when it named the same log, so
  // that neither points into the packed blocks. Both region table copies get the new table.
  void update_head() {
    const VhdxHeader& source = st_.header;
    for (uint32_t i = 0; i < 2; ++i) {
      const std::span<uint8_t> bytes(head_.data() + kHeaderOffsets[i], sizeof(VhdxHeader));
      VhdxHeader h{};
      (void)read_struct(std::span<const uint8_t>(bytes), 0, h);
      if (i != st_.current_header && (h.log_offset != source.log_offset || h.log_length != source.log_length))
        continue;
      h.log_offset = kHeadBytes;
      std::memcpy(bytes.data(), &h, sizeof h);
      seal_structure(bytes);
    }
    for (const uint64_t at : kRegionTableOffsets) std::memcpy(head_.data() + at, table_.data(), table_.size());
  }

  VhdxImage& st_;
  uint64_t position_ = 0;  // next byte of the output
  std::vector<uint64_t> bat_;
  std::vector<uint8_t> head_;
  std::vector<uint8_t> table_;
  VhdxRegionTableHeader table_header_{};
  size_t bat_entry_ = 0;
  std::vector<bool> chunk_partial_;  // chunks whose output keeps a partially present block
};

ErrorCode vhdx_trim(DiskImage& image, TrimJob& job) {
  VhdxImage& st = vhdx(*image.state);
  VhdxWriter writer(st);
  const uint64_t covered = uint64_t{st.data_blocks} * st.block_sectors;
  const auto sectors = static_cast<uint32_t>(std::min<uint64_t>(st.geometry.total_sectors, covered));
  return trim_file(image, job, job.path, st.file, TrimSpan{0, sectors, st.block_sectors, false}, writer);
}

}  // namespace

const FormatDriver kVhdxDriver = {
    .name = "vhdx",
    .make_state = make_driver_state<VhdxImage>,
    .open = vhdx_open,
    .get_geometry = vhdx_geometry,
    .read_bytes = vhdx_read,
    .can_trim = vhdx_can_trim,
    .trim = vhdx_trim,
    .identity = vhdx_identity,
    .chain_status = vhdx_chain_status,
    .layer_status = vhdx_layer_status,
    .parent = vhdx_parent,
};

}  // namespace qx
