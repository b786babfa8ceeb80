// VHD (format 10): dynamic and differencing images. A footer at the end (copied at the start), a
// dynamic header, a block allocation table, and blocks made of a sector bitmap and the data.
#include "formats/vhd/vhd.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/trim_walk.hpp"
#include "formats/vhd/vhd_footer.hpp"
#include "image/byte_order.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/charset.hpp"
#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

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

  bool read_failed() const noexcept override { return file.read_failed() || image_read_failed(parent); }
};

VhdImage& vhd(DriverState& s) { return static_cast<VhdImage&>(s); }
const VhdImage& vhd(const DriverState& s) { return static_cast<const VhdImage&>(s); }


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
      !resolved.append_terminator()) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
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
  st.cached_block = -1;
  if (!st.path.assign(path)) return ERR_UNSUPPORTED;
  return OK;
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
  return read_by_blocks(st.block_bytes, offset, out, [&](uint64_t block, uint64_t in, std::span<uint8_t> piece) {
    return read_block_piece(st, static_cast<uint32_t>(block), in, piece);
  });
}

// ---- the layer question ----

// An unallocated block holds nothing; an allocated one holds the sectors its bitmap marks, and
// leaves the others to what lies below. A run never crosses a block.
ErrorCode vhd_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  VhdImage& st = vhd(s);
  const uint32_t block = first / st.block_sectors;
  const uint32_t in = first % st.block_sectors;
  out.count = std::min(count, st.block_sectors - in);
  if (st.bat[block] == kUnallocated) {
    out.holding = LayerHolding::kAbsent;
    return OK;
  }
  if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
  const bool present = sector_present(st, in);
  uint32_t n = 1;
  while (n < out.count && sector_present(st, in + n) == present) ++n;
  out.count = n;
  out.holding = present ? LayerHolding::kStored : LayerHolding::kAbsent;
  if (present) {
    out.file = &st.file;
    out.offset = block_data_offset(st, block) + uint64_t{in} * kSectorSize;
  }
  return OK;
}

DiskImage* vhd_parent(DriverState& s) { return vhd(s).has_parent ? &vhd(s).parent : nullptr; }

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

// Where the output puts its blocks. Data on 4 KiB boundaries lets a file system that shares
// blocks share the trimmed image's data with the next trim's output, so the output takes that
// layout (the BAT area reaching a 4 KiB boundary, zeros before the first bitmap and after each
// block) when the source has it, or when the padding costs less than 1% of a block and leaves the
// output no larger than the source. Otherwise it keeps the source's layout.
struct VhdPlacement {
  uint64_t table_area = 0;  // bytes of the BAT area from kWriterTableOffset
  uint64_t gap = 0;         // zero bytes between the head and the first block
  uint64_t padding = 0;     // zero bytes after each block's data

  uint64_t size(const VhdImage& st, bool layered, uint64_t kept) const noexcept {
    const uint64_t head = layered ? st.lowest_entry * kSectorSize : kWriterTableOffset + table_area;
    return head + gap + kept * (st.bitmap_bytes + uint64_t{st.block_bytes} + padding) + st.footer_length;
  }
};

VhdPlacement place_blocks(const VhdImage& st, bool layered, uint64_t kept) {
  VhdPlacement kept_layout;
  kept_layout.table_area = ceil_div_u64(uint64_t{st.header.max_table_entries} * 4, kSectorSize) * kSectorSize;
  kept_layout.gap = layered ? 0 : uint64_t{st.gap_sectors} * kSectorSize;
  VhdPlacement aligned = kept_layout;
  const uint64_t block = st.bitmap_bytes + uint64_t{st.block_bytes};
  aligned.padding = (kAlignment - block % kAlignment) % kAlignment;
  if (!layered)
    aligned.table_area = ceil_div_u64(kWriterTableOffset + aligned.table_area, kAlignment) * kAlignment -
                         kWriterTableOffset;
  const uint64_t head_end = layered ? st.lowest_entry * kSectorSize : kWriterTableOffset + aligned.table_area;
  aligned.gap = (2 * kAlignment - (head_end + st.bitmap_bytes) % kAlignment) % kAlignment;
  const bool cheap = aligned.padding * 100 < block + aligned.padding &&
                     aligned.size(st, layered, kept) <= st.footer_position + st.footer_length;
  return st.alignment_mode || cheap ? aligned : kept_layout;
}

class VhdWriter : public BlockWriter {
 public:
  VhdWriter(VhdImage& st, bool layered, std::span<const uint8_t> first_sector)
      : st_(st), layered_(layered), first_sector_(first_sector) {}

  ErrorCode begin(TrimWalk&) override {
    return guard_no_memory([&] {
      bat_.assign(st_.header.max_table_entries, kUnallocated);
      bitmap_.resize(st_.bitmap_bytes);
      return OK;
    });
  }

  // The head goes out once it is known how many blocks follow it.
  ErrorCode plan(TrimWalk& walk) override {
    place_ = place_blocks(st_, layered_, walk.kept_blocks());
    TrimSink& out = walk.out();
    if (layered_) {
      // The head of a differencing file (header, locators, whatever the source keeps there) is
      // copied byte for byte.
      position_ = st_.lowest_entry * kSectorSize;
      if (ErrorCode rc = out.copy(0, 0, position_); rc != OK) return rc;
      if (ErrorCode rc = out.finish_copies(); rc != OK) return rc;
    } else {
      if (ErrorCode rc = out.write(kWriterHeaderOffset, bytes_of(st_.header)); rc != OK) return rc;
      // Placeholder table: unallocated entries, the rest of the area zero; rewritten at the end.
      if (ErrorCode rc = write_table(out, 0xFF); rc != OK) return rc;
      position_ = kWriterTableOffset + place_.table_area;
    }
    if (ErrorCode rc = out.write(0, first_sector_); rc != OK) return rc;
    if (ErrorCode rc = out.write_zeros(position_, position_ + place_.gap); rc != OK) return rc;
    position_ += place_.gap;
    return OK;
  }

  ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) override {
    if (position_ / kSectorSize >= kUnallocated) return ERR_UNSUPPORTED;
    const uint64_t data_at = position_ + st_.bitmap_bytes;
    std::fill(bitmap_.begin(), bitmap_.end(), 0);
    for (uint32_t done = 0; done < n;) {
      const auto len = static_cast<uint32_t>(std::min<uint64_t>(n - done, kCopyChunk / kSectorSize));
      // A differencing layer has to hide the parent's data wherever it keeps a block, so it marks
      // every sector; a disk without a parent marks the non-zero ones.
      std::span<const uint8_t> read;
      if (!layered_) {
        if (ErrorCode rc = walk.read_sectors(first + done, len, data_); rc != OK) return rc;
        read = data_;
      }
      for (uint32_t i = 0; i < len; ++i)
        if (layered_ || !is_all_zero(read.subspan(size_t{i} * kSectorSize, kSectorSize)))
          bitmap_[(done + i) / 8] |= static_cast<uint8_t>(0x80u >> ((done + i) % 8));
      if (ErrorCode rc = walk.put_sectors(first + done, len, data_at + uint64_t{done} * kSectorSize,
                                          uint64_t{len} * kSectorSize, read);
          rc != OK)
        return rc;
      done += len;
    }
    const uint64_t end = data_at + st_.block_bytes + place_.padding;
    if (ErrorCode rc = walk.out().write_zeros(data_at + uint64_t{n} * kSectorSize, end); rc != OK) return rc;
    if (ErrorCode rc = walk.out().write(position_, bitmap_); rc != OK) return rc;
    bat_[block] = static_cast<uint32_t>(position_ / kSectorSize);
    position_ = end;
    return OK;
  }

  ErrorCode finish(TrimWalk& walk) override {
    if (ErrorCode rc = write_table(walk.out(), 0); rc != OK) return rc;
    return walk.out().write(position_, first_sector_.first(st_.footer_length));
  }

 private:
  // The dynamic head is ours and its whole area is written; a copied differencing head keeps
  // every byte beyond the entries.
  ErrorCode write_table(TrimSink& out, uint8_t fill) {
    const size_t entries = bat_.size() * 4;
    std::vector<uint8_t> table(layered_ ? entries : static_cast<size_t>(place_.table_area), 0);
    for (size_t i = 0; i < bat_.size(); ++i)
      store_be<uint32_t>(table.data() + i * 4, fill ? kUnallocated : bat_[i]);
    return out.write(kWriterTableOffset, table);
  }

  VhdImage& st_;
  bool layered_;
  // The footer copy is the footer that open checked, so that both copies of the output carry a
  // valid checksum even when the source's copy at offset 0 had drifted.
  std::span<const uint8_t> first_sector_;
  VhdPlacement place_;
  uint64_t position_ = 0;  // next byte of the output
  std::vector<uint32_t> bat_;
  std::vector<uint8_t> bitmap_;
  std::vector<uint8_t> data_;
};

ErrorCode vhd_trim(DiskImage& image, TrimJob& job) {
  VhdImage& st = vhd(*image.state);
  if (!writer_can_place(st)) return ERR_UNSUPPORTED;
  std::array<uint8_t, 512> first_sector{};
  if (!st.file.read_at(0, first_sector)) return ERR_READ;
  std::memcpy(first_sector.data(), &st.footer, st.footer_length);
  const bool layered = needs_layer_local_trim(image);
  VhdWriter writer(st, layered, first_sector);
  return trim_file(image, job, job.path, st.file, TrimSpan{0, st.geometry.total_sectors, st.block_sectors, layered},
                   writer);
}

}  // namespace

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
    .get_geometry = vhd_geometry,
    .read_bytes = vhd_read,
    .can_trim = vhd_can_trim,
    .trim = vhd_trim,
    .identity = vhd_identity,
    .chain_status = vhd_chain_status,
    .layer_status = vhd_layer_status,
    .parent = vhd_parent,
};

}  // namespace qx
