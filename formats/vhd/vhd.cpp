// VHD (format 10): dynamic and differencing images. A footer at the end (copied at the start), a
// dynamic header, a block allocation table, and blocks made of a sector bitmap and the data.
#include "formats/vhd/vhd.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "image/replacement.hpp"
#include "formats/vhd/vhd_footer.hpp"
#include "image/byte_order.hpp"
#include "image/content_check.hpp"
#include "image/file.hpp"
#include "image/file_copy.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/charset.hpp"
#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"
#include "volume/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

struct VhdParentLocator {
  be32_t platform_code;
  be32_t data_space;
  be32_t data_length;
  be32_t reserved;
  be64_t data_offset;
};
static_assert(sizeof(VhdParentLocator) == 24);

struct VhdDynamicHeader {
  char cookie[8];
  be64_t data_offset;
  be64_t table_offset;
  be32_t header_version;
  be32_t max_table_entries;
  be32_t block_size;
  be32_t checksum;
  uint8_t parent_unique_id[16];
  be32_t parent_time_stamp;
  be32_t reserved1;
  uint8_t parent_name[512];
  VhdParentLocator locators[8];
  uint8_t reserved2[256];
};
static_assert(sizeof(VhdDynamicHeader) == 1024);

constexpr uint32_t kFooterChecksumOffset = kVhdFooterChecksumOffset;
constexpr uint32_t kHeaderChecksumOffset = 36;
constexpr uint32_t kFormatVersion = kVhdFormatVersion;
constexpr uint32_t kDiskDynamic = 3;
constexpr uint32_t kDiskDifferencing = 4;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;
constexpr uint64_t kAllOnes = ~uint64_t{0};
// 65535 cylinders x 16 heads x 255 sectors: up to here the geometry gives the disk size.
constexpr uint64_t kGeometryLimitBytes = 0x1FDFE02000ull;
constexpr uint64_t kShortestFile = 2046;
constexpr uint64_t kWriterHeaderOffset = 512;
constexpr uint64_t kWriterTableOffset = 1536;
constexpr uint64_t kAlignment = 4096;
constexpr uint32_t kAlignmentPadding = 7;
// Gaps of this many sectors or more mark a file laid out for 4 KiB-aligned block data.
constexpr uint64_t kAlignmentGap = 7;
constexpr size_t kCopyChunk = 4u << 20;
constexpr uint64_t kWholeBlockLimit = 8u << 20;
constexpr size_t kScanChunk = 1u << 20;

constexpr uint32_t four_cc(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
         uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}
constexpr uint32_t kLocatorCodes[] = {0,
                                      four_cc("Wi2r"),
                                      four_cc("Wi2k"),
                                      four_cc("W2ru"),
                                      four_cc("W2ku"),
                                      four_cc("Mac "),
                                      four_cc("MacX")};

struct VhdImage : DriverState {
  File file;
  uint64_t footer_position = 0;
  uint32_t footer_length = 0;
  VhdFooter footer{};
  VhdDynamicHeader header{};
  DiskGeometry geometry;
  uint32_t block_bytes = 0;
  uint32_t block_sectors = 0;
  std::vector<uint32_t> bat;
  uint64_t lowest_entry = 0;
  uint64_t metadata_end = 0;
  uint32_t bitmap_bytes = 0;
  std::vector<uint8_t> bitmap;
  int64_t cached_block = -1;
  DiskImage parent;
  bool has_parent = false;
  bool parent_missing = false;
  uint32_t alignment_mode = 0;
  uint32_t gap_sectors = 0;
  uint32_t padding_sectors = 0;
  PathBuffer<4096> path;
  std::vector<uint8_t> scratch;  // sectors examined by is_range_free
  std::vector<uint8_t> used;     // the map's answer for one block
};

VhdImage& vhd(DriverState& s) { return static_cast<VhdImage&>(s); }
const VhdImage& vhd(const DriverState& s) { return static_cast<const VhdImage&>(s); }

template <typename S>
std::span<const uint8_t> bytes_of(const S& s) noexcept {
  return {reinterpret_cast<const uint8_t*>(&s), sizeof(S)};
}
template <typename S>
std::span<uint8_t> bytes_of(S& s) noexcept {
  return {reinterpret_cast<uint8_t*>(&s), sizeof(S)};
}

bool sector_present(const VhdImage& st, uint32_t sector) noexcept {
  return (st.bitmap[sector / 8] >> (7 - sector % 8)) & 1u;
}

// ---- open ----

ErrorCode read_footer(VhdImage& st, uint64_t length) {
  if (length <= kShortestFile) return ERR_BAD_FORMAT;
  switch (length % kSectorSize) {
    case 0: st.footer_length = 512; break;
    case 511: st.footer_length = 511; break;
    default: return ERR_BAD_FORMAT;
  }
  st.footer_position = length - st.footer_length;
  std::array<uint8_t, 512> copy{};
  std::span<uint8_t> footer = bytes_of(st.footer).first(st.footer_length);
  if (!st.file.read_at(st.footer_position, footer) ||
      !st.file.read_at(0, std::span(copy).first(st.footer_length)))
    return ERR_READ;
  if (std::memcmp(copy.data(), &st.footer, 64) != 0) return ERR_BAD_FORMAT;
  const uint32_t stored = st.footer.checksum;
  if (stored != 0 && stored != vhd_checksum(footer, kFooterChecksumOffset)) return ERR_BAD_FORMAT;
  const uint32_t type = st.footer.disk_type;
  if (st.footer.format_version != kFormatVersion || (type != kDiskDynamic && type != kDiskDifferencing) ||
      st.footer.data_offset == kAllOnes || !is_all_zero(st.footer.reserved))
    return ERR_BAD_FORMAT;
  return OK;
}

bool is_known_locator(const VhdParentLocator& l) noexcept {
  return l.reserved == 0 &&
         std::find(std::begin(kLocatorCodes), std::end(kLocatorCodes), l.platform_code.get()) !=
             std::end(kLocatorCodes);
}

ErrorCode read_header(VhdImage& st) {
  const uint64_t at = st.footer.data_offset;
  if (at > st.footer_position || st.footer_position - at < sizeof(VhdDynamicHeader))
    return ERR_BAD_FORMAT;
  if (!st.file.read_at(at, bytes_of(st.header))) return ERR_READ;
  const VhdDynamicHeader& h = st.header;
  if (h.checksum != vhd_checksum(bytes_of(h), kHeaderChecksumOffset)) return ERR_BAD_FORMAT;
  const uint32_t block = h.block_size;
  if (std::memcmp(h.cookie, "cxsparse", 8) != 0 || h.data_offset != kAllOnes ||
      h.header_version != kFormatVersion || block < kSectorSize || !is_power_of_two(block) ||
      h.reserved1 != 0 || !is_all_zero(h.reserved2))
    return ERR_BAD_FORMAT;
  if (st.footer.disk_type == kDiskDifferencing)
    for (const VhdParentLocator& l : h.locators)
      if (!is_known_locator(l)) return ERR_BAD_FORMAT;
  st.block_bytes = block;
  st.block_sectors = block / kSectorSize;
  return OK;
}

ErrorCode work_out_geometry(VhdImage& st) {
  const VhdFooter& f = st.footer;
  st.geometry.heads = f.heads;
  st.geometry.sectors_per_track = f.sectors_per_track;
  st.geometry.bytes_per_sector = kSectorSize;
  const uint64_t size = f.current_size;
  // The largest geometry says "no geometry fits": qemu-img writes it with force_size, and then
  // only the size describes the disk.
  const bool no_geometry = f.cylinders == 65535 && f.heads == 16 && f.sectors_per_track == 255;
  uint64_t sectors = size <= kGeometryLimitBytes && !no_geometry
                         ? uint64_t{f.cylinders} * f.heads * f.sectors_per_track
                         : size / kSectorSize;
  // Hyper-V and disk2vhd keep the exact size and a rounded-down geometry; the guest uses the
  // sectors in between (a GPT keeps its backup header in the very last one), so whenever the
  // table has entries for them they belong to the disk.
  const uint64_t sized = size / kSectorSize;
  if (sized > sectors && ceil_div_u64(sized, st.block_sectors) <= st.header.max_table_entries)
    sectors = sized;
  if (sectors > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry.total_sectors = static_cast<uint32_t>(sectors);
  return OK;
}

ErrorCode read_bat(VhdImage& st) {
  const uint64_t count = ceil_div_u64(st.geometry.size_bytes(), st.block_bytes);
  const uint64_t table = st.header.table_offset;
  // Bounded by the file before anything is allocated.
  if (table > st.footer_position || (st.footer_position - table) / 4 < count) return ERR_BAD_FORMAT;
  st.bat.resize(static_cast<size_t>(count));
  if (!st.file.read_at(table, std::span(reinterpret_cast<uint8_t*>(st.bat.data()), st.bat.size() * 4)))
    return ERR_READ;
  st.lowest_entry = st.footer_position / kSectorSize;
  for (uint32_t& e : st.bat) {
    e = swap32(e);
    if (e != kUnallocated) st.lowest_entry = std::min<uint64_t>(st.lowest_entry, e);
  }
  return OK;
}

ErrorCode work_out_layout(VhdImage& st) {
  uint64_t end = ceil_div_u64(st.header.table_offset + uint64_t{st.bat.size()} * 4, kSectorSize);
  if (st.footer.disk_type == kDiskDifferencing) {
    for (const VhdParentLocator& l : st.header.locators) {
      if (l.platform_code == 0) continue;
      const uint64_t offset = l.data_offset;
      // An end beyond any file puts the locator past the first block, which is refused below.
      const uint64_t last = offset > kAllOnes - l.data_space ? kAllOnes : offset + l.data_space;
      end = std::max(end, ceil_div_u64(last, kSectorSize));
    }
  }
  st.metadata_end = end;
  if (st.lowest_entry < end) return ERR_BAD_FORMAT;
  const uint64_t gap = st.lowest_entry - end;
  const bool aligned = gap >= kAlignmentGap;
  st.alignment_mode = aligned ? 1 : 0;
  st.gap_sectors = aligned ? kAlignmentPadding : static_cast<uint32_t>(gap);
  st.padding_sectors = aligned ? kAlignmentPadding : 0;
  return OK;
}

ErrorCode open_parent(VhdImage& st, std::string_view own_path) {
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  // The name must be a bare file name in the child's own folder.
  const TextView field(reinterpret_cast<const char*>(st.header.parent_name), sizeof st.header.parent_name);
  TextView stored;
  PathBuffer<4096> name, work, resolved;
  if (!stored_text(field, TextEncoding::Utf16Be, stored) ||
      !append_converted(name, TextEncoding::Utf8, stored, TextEncoding::Utf16Be) ||
      name.empty() || name.view() == "." || name.view() == ".." ||
      !is_valid_stored_name(name.view(), TextEncoding::Utf8) ||
      !resolve_stored_name(name.view(), TextEncoding::Utf8, own_path, TextEncoding::Utf8, work, resolved,
                           TextEncoding::Utf8, PathStyle::Unix) ||
      !resolved.append_terminator())
    return ERR_BAD_FORMAT;
  if (ErrorCode rc = open_sized_parent(st.parent, resolved.view(), st.geometry.total_sectors); rc != OK)
    return rc;
  st.has_parent = true;
  return OK;
}

ErrorCode vhd_open(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  VhdImage& st = vhd(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  uint64_t length = 0;
  if (!st.file.length(length)) return ERR_FILE_SIZE;
  if (ErrorCode rc = read_footer(st, length); rc != OK) return rc;
  if (ErrorCode rc = read_header(st); rc != OK) return rc;
  if (ErrorCode rc = work_out_geometry(st); rc != OK) return rc;
  if (ErrorCode rc = read_bat(st); rc != OK) return rc;
  if (ErrorCode rc = work_out_layout(st); rc != OK) return rc;
  if (st.footer.disk_type == kDiskDifferencing)
    if (ErrorCode rc = open_parent(st, path); rc != OK) return rc;
  st.bitmap_bytes = static_cast<uint32_t>(
      ceil_div_u64(ceil_div_u64(st.block_sectors, 8), kSectorSize) * kSectorSize);
  st.bitmap.assign(st.bitmap_bytes, 0);
  st.used.assign(bitmap_bytes(st.block_sectors), 0);
  st.cached_block = -1;
  if (!st.path.assign(path)) return ERR_UNSUPPORTED;
  return OK;
}

void vhd_close(DriverState& s) {
  VhdImage& st = vhd(s);
  st.file.close();
  st.bat = {};
  st.bitmap = {};
  st.scratch = {};
  st.used = {};
  st.cached_block = -1;
  close_image(st.parent);
  st.has_parent = false;
}

DiskGeometry vhd_geometry(const DriverState& s) { return vhd(s).geometry; }

// ---- reading ----

uint64_t block_data_offset(const VhdImage& st, uint32_t block) noexcept {
  return uint64_t{st.bat[block]} * kSectorSize + st.bitmap_bytes;
}

ErrorCode load_bitmap(VhdImage& st, uint32_t block) {
  if (st.cached_block == block) return OK;
  const uint64_t start = uint64_t{st.bat[block]} * kSectorSize;
  // A block that runs into the footer belongs to a damaged file.
  if (start + st.bitmap_bytes + st.block_bytes > st.footer_position) return ERR_BAD_FORMAT;
  st.cached_block = -1;
  if (!st.file.read_at(start, st.bitmap)) return ERR_READ;
  st.cached_block = block;
  return OK;
}

// Data that this file does not hold: the parent's, or zeros.
ErrorCode read_below(VhdImage& st, uint64_t offset, std::span<uint8_t> out) {
  if (st.has_parent) return read_bytes(st.parent, offset, out);
  std::memset(out.data(), 0, out.size());
  return OK;
}

ErrorCode read_block_piece(VhdImage& st, uint32_t block, uint64_t in_block, std::span<uint8_t> out) {
  const uint64_t block_start = uint64_t{block} * st.block_bytes;
  if (st.bat[block] == kUnallocated) return read_below(st, block_start + in_block, out);
  if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
  const uint64_t end = in_block + out.size();
  for (uint64_t pos = in_block; pos < end;) {
    const bool present = sector_present(st, static_cast<uint32_t>(pos / kSectorSize));
    uint64_t run_end = std::min(end, (pos / kSectorSize + 1) * kSectorSize);
    while (run_end < end && sector_present(st, static_cast<uint32_t>(run_end / kSectorSize)) == present)
      run_end = std::min(end, run_end + kSectorSize);
    std::span<uint8_t> part = out.subspan(static_cast<size_t>(pos - in_block),
                                          static_cast<size_t>(run_end - pos));
    if (present) {
      if (!st.file.read_at(block_data_offset(st, block) + pos, part)) return ERR_READ;
    } else if (ErrorCode rc = read_below(st, block_start + pos, part); rc != OK) {
      return rc;
    }
    pos = run_end;
  }
  return OK;
}

ErrorCode vhd_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  VhdImage& st = vhd(s);
  const uint64_t size = st.geometry.size_bytes();
  if (offset > size || out.size() > size - offset) return ERR_UNSUPPORTED;
  size_t done = 0;
  for (BlockSplit64 sp(st.block_bytes, offset, out.size()); sp.more(); sp.next()) {
    const auto piece = out.subspan(done, static_cast<size_t>(sp.piece));
    if (ErrorCode rc = read_block_piece(st, static_cast<uint32_t>(sp.block), sp.offset, piece); rc != OK)
      return rc;
    done += static_cast<size_t>(sp.piece);
  }
  return OK;
}

// ---- free-range queries ----

// What one sector of an allocated block asks for: nothing (the map calls it unused), its data in
// this file, or whatever lies below.
enum class SectorCheck { Skip, Data, Below };

SectorCheck sector_check(const VhdImage& st, bool with_map, uint32_t i, uint32_t in_block) {
  if (with_map && !test_bit(st.used, i)) return SectorCheck::Skip;
  return sector_present(st, in_block + i) ? SectorCheck::Data : SectorCheck::Below;
}

// True in `zero` when every byte of the sectors [first, first + n) of the block is zero.
ErrorCode present_sectors_zero(VhdImage& st, uint32_t block, uint32_t first, uint32_t n, bool& zero) {
  if (st.scratch.empty())
    st.scratch.resize(std::min<size_t>(kScanChunk, st.block_bytes));
  return is_file_range_zero(st.file, block_data_offset(st, block) + uint64_t{first} * kSectorSize,
                            uint64_t{n} * kSectorSize, st.scratch, zero);
}

ErrorCode allocated_piece_free(VhdImage& st, const UsageMap* map, uint32_t block, uint32_t in_block,
                               uint32_t first, uint32_t n, bool& free) {
  if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
  if (map)
    if (ErrorCode rc = query_used(*map, first, n, st.used); rc != OK) return rc;
  free = true;
  for (uint32_t i = 0; i < n;) {
    const SectorCheck kind = sector_check(st, map != nullptr, i, in_block);
    uint32_t j = i + 1;
    while (j < n && sector_check(st, map != nullptr, j, in_block) == kind) ++j;
    if (kind == SectorCheck::Data) {
      if (ErrorCode rc = present_sectors_zero(st, block, in_block + i, j - i, free); rc != OK || !free)
        return rc;
    } else if (kind == SectorCheck::Below && st.has_parent) {
      if (ErrorCode rc = is_range_free(st.parent, map, first + i, j - i, free, nullptr);
          rc != OK || !free)
        return rc;
    }
    i = j;
  }
  return OK;
}

ErrorCode vhd_is_range_free(DriverState& s, const UsageMap* map, uint32_t first, uint32_t count,
                            bool& free, ProgressRelay* relay) {
  VhdImage& st = vhd(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  for (BlockSplit sp(st.block_sectors, first, count); sp.more(); sp.next()) {
    const uint32_t piece_first = sp.block * st.block_sectors + sp.offset;
    bool piece_free = true;
    ErrorCode rc = OK;
    if (st.bat[sp.block] != kUnallocated)
      rc = allocated_piece_free(st, map, sp.block, sp.offset, piece_first, sp.piece, piece_free);
    else if (st.has_parent)
      rc = is_range_free(st.parent, map, piece_first, sp.piece, piece_free, nullptr);
    if (rc != OK) return rc;
    if (!piece_free) {
      free = false;
      return OK;
    }
    if (!relay_check_in(sp.piece, relay)) return CANCELLED;
  }
  return OK;
}

ErrorCode vhd_is_range_free_in_layer(DriverState& s, const UsageMap* map, uint32_t first,
                                     uint32_t count, bool& free) {
  VhdImage& st = vhd(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  for (BlockSplit sp(st.block_sectors, first, count); sp.more(); sp.next()) {
    if (st.bat[sp.block] == kUnallocated) continue;
    if (ErrorCode rc = load_bitmap(st, sp.block); rc != OK) return rc;
    if (map) {
      const uint32_t piece_first = sp.block * st.block_sectors + sp.offset;
      if (ErrorCode rc = query_used(*map, piece_first, sp.piece, st.used); rc != OK) return rc;
    }
    for (uint32_t i = 0; i < sp.piece; ++i) {
      if (sector_check(st, map != nullptr, i, sp.offset) == SectorCheck::Data) {
        free = false;
        return OK;
      }
    }
  }
  return OK;
}

bool vhd_can_trim(const DriverState& s) { return !vhd(s).parent_missing; }

bool vhd_identity(const DriverState& s, ImageIdentity& out) {
  out.kind = ImageIdentity::VHD_UNIQUE_ID;
  std::memcpy(out.bytes, vhd(s).footer.unique_id, sizeof out.bytes);
  return true;
}

// A parent found by name may be another disk of the same size: its unique id tells.
ErrorCode vhd_chain_status(const DriverState& s) {
  const VhdImage& st = vhd(s);
  if (!st.has_parent) return OK;
  const ImageIdentity found = image_identity(st.parent);
  if (found.kind == ImageIdentity::VHD_UNIQUE_ID &&
      std::memcmp(found.bytes, st.header.parent_unique_id, sizeof found.bytes) != 0)
    return ERR_BAD_FORMAT;
  return parent_chain_status(st.parent);
}

bool vhd_needs_layer_local_trim(const DriverState& s) {
  return vhd(s).has_parent || vhd(s).parent_missing;
}

// ---- trim ----

// The writer puts the header at 512 and the BAT at 1536 and keeps every other byte of them, so it
// takes only sources laid out that way, whose BAT has room for every block and lies wholly before
// the first block.
bool writer_can_place(const VhdImage& st) noexcept {
  const uint64_t max_entries = st.header.max_table_entries;
  if (st.footer.data_offset != kWriterHeaderOffset || st.header.table_offset != kWriterTableOffset ||
      max_entries < st.bat.size() ||
      kWriterTableOffset + max_entries * 4 > st.lowest_entry * kSectorSize)
    return false;
  // A differencing head is copied as it is and then gets the new table: no locator may share
  // its bytes.
  if (st.has_parent)
    for (const VhdParentLocator& l : st.header.locators) {
      if (l.platform_code == 0 || l.data_space == 0) continue;
      if (l.data_offset < kWriterTableOffset + max_entries * 4 &&
          l.data_offset + l.data_space > kWriterTableOffset)
        return false;
    }
  return true;
}

struct TrimContext {
  TrimContext(VhdImage& s, DiskImage& i, const UsageMap& m, bool l) : st(s), image(i), map(m), layered(l) {}
  VhdImage& st;
  DiskImage& image;
  const UsageMap& map;
  File out;
  std::optional<FileCopier> copier;  // the sectors this file holds, from where they lie in it
  bool layered = false;
  uint64_t position = 0;  // next byte of the output
  std::vector<uint32_t> bat;
  std::vector<uint8_t> whole;  // one block as written (bitmap, data, padding), when it fits
  std::vector<uint8_t> data;
  std::vector<uint8_t> bitmap;
  std::vector<uint8_t> zeros;
};

ErrorCode write_zeros(TrimContext& t, uint64_t offset, uint64_t length) {
  while (length) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, t.zeros.size()));
    if (!t.out.write_at(offset, std::span(t.zeros).first(n))) return ERR_WRITE;
    offset += n;
    length -= n;
  }
  return OK;
}

uint64_t table_area_bytes(const VhdImage& st) noexcept {
  uint64_t area = ceil_div_u64(uint64_t{st.header.max_table_entries} * 4, kSectorSize) * kSectorSize;
  if (st.alignment_mode) area = ceil_div_u64(kWriterTableOffset + area, kAlignment) * kAlignment -
                                kWriterTableOffset;
  return area;
}

ErrorCode write_dynamic_head(TrimContext& t, std::span<const uint8_t> first_sector) {
  VhdImage& st = t.st;
  if (!t.out.write_at(0, first_sector) ||
      !t.out.write_at(kWriterHeaderOffset, bytes_of(st.header)))
    return ERR_WRITE;
  const uint64_t area = table_area_bytes(st);
  // Placeholder table: unallocated entries, the rest of the area zero; rewritten at the end.
  std::vector<uint8_t> table(static_cast<size_t>(area), 0);
  std::memset(table.data(), 0xFF, size_t{st.header.max_table_entries} * 4);
  if (!t.out.write_at(kWriterTableOffset, table)) return ERR_WRITE;
  t.position = kWriterTableOffset + area;
  if (ErrorCode rc = write_zeros(t, t.position, uint64_t{st.gap_sectors} * kSectorSize); rc != OK)
    return rc;
  t.position += uint64_t{st.gap_sectors} * kSectorSize;
  return OK;
}

// The head of a differencing file (header, locators, whatever the source keeps there) is copied
// byte for byte.
ErrorCode copy_differencing_head(TrimContext& t, std::span<const uint8_t> first_sector) {
  const uint64_t end = t.st.lowest_entry * kSectorSize;
  for (uint64_t pos = 0; pos < end;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(end - pos, t.data.size()));
    std::span<uint8_t> buf(t.data.data(), n);
    if (!t.st.file.read_at(pos, buf) || !t.out.write_at(pos, buf)) return ERR_READ;
    pos += n;
  }
  if (!t.out.write_at(0, first_sector)) return ERR_WRITE;
  t.position = end;
  return OK;
}

// Sets the bit of every sector of `data` (numbered from `base` in the block) that the output
// must hold: every one in a differencing layer, which has to hide the parent's data wherever it
// keeps a block; the non-zero ones otherwise.
void mark_sectors(const TrimContext& t, std::span<uint8_t> bitmap, std::span<const uint8_t> data,
                  uint32_t base) {
  for (uint32_t i = 0; i < data.size() / kSectorSize; ++i)
    if (t.layered || !is_all_zero(data.subspan(size_t{i} * kSectorSize, kSectorSize)))
      bitmap[(base + i) / 8] |= static_cast<uint8_t>(0x80u >> ((base + i) % 8));
}

// Puts `data`, read from the block at `in_block`, at `to` of the output. The sectors this file
// holds are copied from where its checked table puts them; what it does not hold (zeros, or the
// parent's data) is written as read.
ErrorCode put_data(TrimContext& t, uint32_t block, uint64_t in_block, std::span<const uint8_t> data,
                   uint64_t to) {
  VhdImage& st = t.st;
  if (st.bat[block] == kUnallocated) return t.out.write_at(to, data) ? OK : ERR_WRITE;
  if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
  const uint64_t from = block_data_offset(st, block) + in_block;
  const uint32_t base = static_cast<uint32_t>(in_block / kSectorSize);
  const uint32_t count = static_cast<uint32_t>(data.size() / kSectorSize);
  for (uint32_t i = 0; i < count;) {
    const bool present = sector_present(st, base + i);
    uint32_t j = i + 1;
    while (j < count && sector_present(st, base + j) == present) ++j;
    const uint64_t at = uint64_t{i} * kSectorSize, length = uint64_t{j - i} * kSectorSize;
    if (present) {
      if (!t.copier->copy(from + at, to + at, length)) return ERR_READ;
    } else if (!t.out.write_at(to + at, data.subspan(static_cast<size_t>(at), static_cast<size_t>(length)))) {
      return ERR_WRITE;
    }
    i = j;
  }
  return OK;
}

// The usual case: the block read in one go, the bitmap and padding written around its data.
ErrorCode copy_block_whole(TrimContext& t, uint32_t block, uint32_t first, uint32_t n, uint64_t start) {
  const VhdImage& st = t.st;
  std::fill(t.whole.begin(), t.whole.end(), 0);
  const std::span<uint8_t> bitmap(t.whole.data(), st.bitmap_bytes);
  const std::span<uint8_t> data(t.whole.data() + st.bitmap_bytes, size_t{n} * kSectorSize);
  if (ErrorCode rc = read_bytes(t.image, uint64_t{first} * kSectorSize, data); rc != OK) return rc;
  mark_sectors(t, bitmap, data, 0);
  const size_t tail = st.bitmap_bytes + data.size();
  if (!t.out.write_at(start, bitmap) ||
      !t.out.write_at(start + tail, std::span(t.whole).subspan(tail)))
    return ERR_WRITE;
  return put_data(t, block, 0, data, start + st.bitmap_bytes);
}

// Blocks too large to hold in memory go through in pieces, the bitmap last.
ErrorCode copy_block_in_pieces(TrimContext& t, uint32_t block, uint32_t first, uint32_t n, uint64_t start) {
  const VhdImage& st = t.st;
  const uint64_t data_start = start + st.bitmap_bytes;
  std::fill(t.bitmap.begin(), t.bitmap.end(), 0);
  const uint64_t length = uint64_t{n} * kSectorSize;
  for (uint64_t off = 0; off < length;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(length - off, t.data.size()));
    std::span<uint8_t> buf(t.data.data(), len);
    if (ErrorCode rc = read_bytes(t.image, uint64_t{first} * kSectorSize + off, buf); rc != OK)
      return rc;
    mark_sectors(t, t.bitmap, buf, static_cast<uint32_t>(off / kSectorSize));
    if (ErrorCode rc = put_data(t, block, off, buf, data_start + off); rc != OK) return rc;
    off += len;
  }
  const uint64_t tail = uint64_t{st.block_bytes} - length + uint64_t{st.padding_sectors} * kSectorSize;
  if (ErrorCode rc = write_zeros(t, data_start + length, tail); rc != OK) return rc;
  return t.out.write_at(start, t.bitmap) ? OK : ERR_WRITE;
}

ErrorCode copy_block(TrimContext& t, uint32_t block, uint32_t first, uint32_t n) {
  const VhdImage& st = t.st;
  if (t.position / kSectorSize >= kUnallocated) return ERR_UNSUPPORTED;
  const uint64_t start = t.position;
  if (ErrorCode rc = t.whole.empty() ? copy_block_in_pieces(t, block, first, n, start)
                                     : copy_block_whole(t, block, first, n, start);
      rc != OK)
    return rc;
  t.bat[block] = static_cast<uint32_t>(start / kSectorSize);
  t.position = start + st.bitmap_bytes + st.block_bytes + uint64_t{st.padding_sectors} * kSectorSize;
  return OK;
}

ErrorCode write_table(TrimContext& t) {
  const size_t entries_bytes = t.bat.size() * 4;
  // The dynamic head is ours and the whole area is rewritten; a copied differencing head keeps
  // every byte beyond the entries.
  const size_t area = t.layered ? entries_bytes : static_cast<size_t>(table_area_bytes(t.st));
  std::vector<uint8_t> table(area, 0);
  for (size_t i = 0; i < t.bat.size(); ++i) store_be<uint32_t>(table.data() + i * 4, t.bat[i]);
  return t.out.write_at(kWriterTableOffset, table) ? OK : ERR_WRITE;
}

ErrorCode run_trim(TrimContext& t, std::span<const uint8_t> first_sector, ProgressCallback progress,
                   void* user) {
  VhdImage& st = t.st;
  if (ErrorCode rc = t.layered ? copy_differencing_head(t, first_sector)
                               : write_dynamic_head(t, first_sector);
      rc != OK)
    return rc;
  const uint32_t total = st.geometry.total_sectors;
  if (progress && !progress(0, total, user)) return CANCELLED;
  uint32_t done = 0;
  for (uint32_t block = 0; block < st.bat.size(); ++block) {
    const uint32_t first = block * st.block_sectors;
    const uint32_t n = std::min(st.block_sectors, total - first);
    bool free = false;
    ErrorCode rc = OK;
    if (t.layered) {
      rc = is_range_free_in_layer(t.image, &t.map, first, n, free);
    } else {
      ProgressRelay relay{progress, user, done, total, 0};
      rc = is_range_free(t.image, &t.map, first, n, free, &relay);
    }
    if (rc != OK) return rc;
    if (!free)
      if (ErrorCode copy_rc = copy_block(t, block, first, n); copy_rc != OK) return copy_rc;
    done += n;
    // The last call says the data is all there.
    if (block + 1 == st.bat.size() && !t.copier->finish()) return ERR_READ;
    if (progress && !progress(done, total, user)) return CANCELLED;
  }
  if (!t.copier->finish()) return ERR_READ;
  if (ErrorCode rc = write_table(t); rc != OK) return rc;
  if (!t.out.write_at(t.position, first_sector.first(st.footer_length))) return ERR_WRITE;
  // The rename that follows must not publish a file whose data never reached the disk.
  if (!t.out.sync()) return ERR_WRITE;
  return t.out.close() ? OK : ERR_WRITE;
}

}  // namespace

ErrorCode vhd_trim(std::string_view path, DiskImage& image, const UsageMap& map,
                   WriterRecord& record, ProgressCallback progress, void* user) {
  Replacement& replacement = record.single;
  if (set_replacement_names(replacement.entry, path) != OK) return ERR_UNSUPPORTED;
  if (image.format != FORMAT_VHD || !image.state || !can_trim(image)) return ERR_UNSUPPORTED;
  VhdImage& st = vhd(*image.state);
  if (!writer_can_place(st)) return ERR_UNSUPPORTED;

  // The footer copy of the output is the footer that open checked, so that both copies of the
  // output carry a valid checksum even when the source's copy at offset 0 had drifted.
  std::array<uint8_t, 512> first_sector{};
  if (!st.file.read_at(0, first_sector)) return ERR_READ;
  std::memcpy(first_sector.data(), &st.footer, st.footer_length);

  TrimContext t(st, image, map, needs_layer_local_trim(image));
  try {
    t.bat.assign(st.header.max_table_entries, kUnallocated);
    const uint64_t whole = uint64_t{st.bitmap_bytes} + st.block_bytes + uint64_t{st.padding_sectors} * kSectorSize;
    if (whole <= kWholeBlockLimit) t.whole.resize(static_cast<size_t>(whole));
    t.data.resize(std::min<size_t>(kCopyChunk, st.block_bytes));
    t.bitmap.resize(st.bitmap_bytes);
    t.zeros.resize(std::min<size_t>(kCopyChunk, std::max<size_t>(st.block_bytes, kSectorSize)));
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  t.out = File::create(replacement.entry.temporary.view());
  if (!t.out) return ERR_CREATE;
  replacement.active = true;
  t.copier.emplace(st.file, t.out);
  if (!t.copier->is_open()) return ERR_CREATE;
  return run_trim(t, first_sector, progress, user);
}

bool vhd_layout(const DiskImage& image, VhdLayout& out) noexcept {
  if (image.format != FORMAT_VHD || !image.state) return false;
  const VhdImage& st = vhd(*image.state);
  out.footer_length = st.footer_length;
  out.block_sectors = st.block_sectors;
  out.bitmap_bytes = st.bitmap_bytes;
  out.table_entries = static_cast<uint32_t>(st.bat.size());
  out.max_table_entries = st.header.max_table_entries;
  out.lowest_entry = st.lowest_entry;
  out.metadata_end = st.metadata_end;
  out.alignment_mode = st.alignment_mode;
  out.gap_sectors = st.gap_sectors;
  out.padding_sectors = st.padding_sectors;
  out.differencing = st.footer.disk_type == kDiskDifferencing;
  return true;
}

const FormatDriver kVhdDriver = {
    .name = "vhd",
    .make_state = make_driver_state<VhdImage>,
    .open = vhd_open,
    .close = vhd_close,
    .get_geometry = vhd_geometry,
    .read_bytes = vhd_read,
    .is_range_free = vhd_is_range_free,
    .can_trim = vhd_can_trim,
    .needs_layer_local_trim = vhd_needs_layer_local_trim,
    .is_range_free_in_layer = vhd_is_range_free_in_layer,
    .trim = vhd_trim,
    .identity = vhd_identity,
    .chain_status = vhd_chain_status,
};

}  // namespace qx
