// Files that carry the VHD footer but that the dynamic driver does not open: the fixed VHD (11),
// the strict 2 MiB-block dynamic and differencing layouts (12, 14) and the fixed image with a
// 4096-byte head and a 511-byte footer (13). Read-only: they serve as parents and are reported.
#include "formats/vhd_variants/vhd_variants.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "formats/vhd/vhd_footer.hpp"
#include "image/byte_order.hpp"
#include "image/content_check.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

// The first 40 bytes of a dynamic header, all that the strict layouts define.
struct ShortDynamicHeader {
  char cookie[8];
  be64_t data_offset;
  be64_t table_offset;
  be32_t header_version;
  be32_t max_table_entries;
  be32_t block_size;
  be32_t mark;  // 0x0000FFFF where a real dynamic header keeps its checksum
};
static_assert(sizeof(ShortDynamicHeader) == 40);

struct ParentRecord {
  uint8_t unused1[12];
  be32_t name_length;
  uint8_t unused2[8];
  be32_t name_offset;
  uint8_t unused3[4];
};
static_assert(sizeof(ParentRecord) == 32);

constexpr uint32_t kDiskFixed = 2;
constexpr uint32_t kDiskDynamic = 3;
constexpr uint32_t kDiskDifferencing = 4;
constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr uint32_t kShortFooter = 511;
constexpr uint64_t kHeaderOffset = 512;
constexpr uint64_t kTableOffset = 1536;
constexpr uint64_t kParentRecordOffset = 1248;
constexpr uint64_t kParentIdOffset = kHeaderOffset + 40;
constexpr uint32_t kParentNameLength = 512;
constexpr uint32_t kBlockBytes = 0x200000;
constexpr uint32_t kBlockSectors = kBlockBytes / kSectorSize;
constexpr uint32_t kHeaderMark = 0x0000FFFF;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;
constexpr uint64_t kMiB = 1u << 20;
constexpr uint32_t kHeadBytes = 4096;
constexpr size_t kWorkBytes = 1u << 20;

struct VariantImage : DriverState {
  VhdFooter footer{};
  DiskGeometry geometry;
  DiskImage flat;  // ids 11 and 13: the data as a flat image
  File file;       // ids 12 and 14
  std::vector<uint32_t> bat;
  std::array<uint8_t, kSectorSize> bitmap{};
  int64_t cached_block = -1;
  DiskImage parent;  // id 14
  uint8_t parent_unique_id[16] = {};
  std::vector<uint8_t> work;

  bool read_failed() const noexcept override {
    return file.read_failed() || image_read_failed(flat) || image_read_failed(parent);
  }
};

VariantImage& variant(DriverState& s) { return static_cast<VariantImage&>(s); }
const VariantImage& variant(const DriverState& s) { return static_cast<const VariantImage&>(s); }

std::span<uint8_t> footer_bytes(VhdFooter& f, uint32_t length) noexcept {
  return std::span(reinterpret_cast<uint8_t*>(&f), sizeof f).first(length);
}

uint64_t chs_bytes(const VhdFooter& f) noexcept {
  return uint64_t{f.cylinders} * f.heads * f.sectors_per_track * kSectorSize;
}

DiskGeometry chs_geometry(const VhdFooter& f) noexcept {
  return DiskGeometry{static_cast<uint32_t>(chs_bytes(f) / kSectorSize), f.heads, f.sectors_per_track,
                      kSectorSize};
}

// 65535 x 16 x 255: what writers put when the geometry cannot give the size, so that readers take
// the current size instead.
bool is_max_geometry(const VhdFooter& f) noexcept {
  return f.cylinders == 65535 && f.heads == 16 && f.sectors_per_track == 255;
}

uint64_t round_up_mib(uint64_t bytes) noexcept { return ceil_div_u64(bytes, kMiB) * kMiB; }

// What the strict layouts and the headed image ask of their footer; the checksum is not one.
bool footer_test(const VhdFooter& f, uint32_t type) noexcept {
  return std::memcmp(f.cookie, "conectix", 8) == 0 && f.format_version == kVhdFormatVersion &&
         f.disk_type == type && f.original_size == f.current_size &&
         f.data_offset == (type == kDiskFixed ? kAllOnes : kHeaderOffset);
}

ErrorCode open_file(VariantImage& st, std::string_view path, bool read_only, uint64_t& length) {
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  return st.file.length(length) ? OK : ERR_FILE_SIZE;
}

// ---- 11: fixed ----

ErrorCode open_fixed(DriverState& s, std::string_view path, bool read_only) {
  VariantImage& st = variant(s);
  uint64_t length = 0;
  if (ErrorCode rc = open_file(st, path, read_only, length); rc != OK) return rc;
  if (length < kShortFooter) return ERR_BAD_FORMAT;
  const uint32_t footer_length = length % kSectorSize == 0     ? kSectorSize
                                 : length % kSectorSize == 511 ? kShortFooter
                                                               : 0;
  if (footer_length == 0) return ERR_BAD_FORMAT;
  const std::span<uint8_t> raw = footer_bytes(st.footer, footer_length);
  if (!st.file.read_at(length - footer_length, raw)) return ERR_READ;
  const VhdFooter& f = st.footer;
  // No exemption for a zero checksum: nothing else tells this footer from a disk's last sector.
  if (f.checksum != vhd_checksum(raw, kVhdFooterChecksumOffset) ||
      std::memcmp(f.cookie, "conectix", 8) != 0 || f.format_version != kVhdFormatVersion ||
      f.disk_type != kDiskFixed || f.data_offset != kAllOnes || !is_all_zero(f.reserved) ||
      (f.current_size < chs_bytes(f) && !is_max_geometry(f)) || f.current_size != length - footer_length)
    return ERR_BAD_FORMAT;
  // The guest sees the whole current size (writers that keep the exact size round the geometry
  // down, or give the largest one); the file holds every byte of it.
  if (f.current_size / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry = chs_geometry(f);
  st.geometry.total_sectors = static_cast<uint32_t>(f.current_size / kSectorSize);
  st.file.close();
  return open_flat(st.flat, path, read_only, 0, st.geometry);
}

// ---- 13: 4096-byte head, 511-byte footer ----

ErrorCode open_headed(DriverState& s, std::string_view path, bool read_only) {
  VariantImage& st = variant(s);
  uint64_t length = 0;
  if (ErrorCode rc = open_file(st, path, read_only, length); rc != OK) return rc;
  if (length < kShortFooter) return ERR_BAD_FORMAT;
  if (!st.file.read_at(length - kShortFooter, footer_bytes(st.footer, kShortFooter))) return ERR_READ;
  const VhdFooter& f = st.footer;
  if (!footer_test(f, kDiskFixed) || f.original_size != round_up_mib(chs_bytes(f)) ||
      length - kShortFooter != f.original_size)
    return ERR_BAD_FORMAT;
  st.geometry = chs_geometry(f);
  st.file.close();
  return open_flat(st.flat, path, read_only, kHeadBytes, st.geometry);
}

// ---- 12 and 14: strict dynamic layout ----

ErrorCode read_strict_layout(VariantImage& st, uint32_t type, uint64_t length) {
  if (length < kTableOffset) return ERR_BAD_FORMAT;
  if (!st.file.read_at(0, footer_bytes(st.footer, kShortFooter))) return ERR_READ;
  // The footer copy at the end, found where a 511- or a 512-byte footer would start.
  const uint64_t rest = length % kSectorSize;
  const uint32_t n = rest == 0 ? kShortFooter : static_cast<uint32_t>(rest);
  std::array<uint8_t, kSectorSize> tail{};
  if (!st.file.read_at(rest == 0 ? length - kSectorSize : length - rest, std::span(tail).first(n)))
    return ERR_READ;
  const VhdFooter& f = st.footer;
  if (!footer_test(f, type) || std::memcmp(tail.data(), &st.footer, n) != 0) return ERR_BAD_FORMAT;
  if (type == kDiskDifferencing && f.original_size != round_up_mib(chs_bytes(f))) return ERR_BAD_FORMAT;

  ShortDynamicHeader h;
  if (!st.file.read_at(kHeaderOffset, std::span(reinterpret_cast<uint8_t*>(&h), sizeof h)))
    return ERR_READ;
  const uint64_t half = ceil_div_u64(ceil_div_u64(f.original_size, kMiB), 2);
  const uint64_t entries = h.max_table_entries;
  if (std::memcmp(h.cookie, "cxsparse", 8) != 0 || h.data_offset != kAllOnes ||
      h.table_offset != kTableOffset || h.header_version != kVhdFormatVersion ||
      (entries != half && entries != half + 1) || h.block_size != kBlockBytes || h.mark != kHeaderMark)
    return ERR_BAD_FORMAT;
  st.geometry = chs_geometry(f);
  // Every block of the disk needs its entry, and the table must lie in the file before it is
  // allocated.
  if (ceil_div_u64(st.geometry.total_sectors, kBlockSectors) > entries ||
      (length - kTableOffset) / 4 < entries)
    return ERR_BAD_FORMAT;
  st.bat.resize(static_cast<size_t>(entries));
  if (!st.file.read_at(kTableOffset, std::span(reinterpret_cast<uint8_t*>(st.bat.data()), st.bat.size() * 4)))
    return ERR_READ;
  for (uint32_t& e : st.bat) e = swap32(e);
  st.work.resize(kWorkBytes);
  return OK;
}

ErrorCode open_strict_dynamic(DriverState& s, std::string_view path, bool read_only) {
  VariantImage& st = variant(s);
  uint64_t length = 0;
  if (ErrorCode rc = open_file(st, path, read_only, length); rc != OK) return rc;
  return read_strict_layout(st, kDiskDynamic, length);
}

bool same_geometry(const DiskGeometry& a, const DiskGeometry& b) noexcept {
  return a.total_sectors == b.total_sectors && a.heads == b.heads &&
         a.sectors_per_track == b.sectors_per_track && a.bytes_per_sector == b.bytes_per_sector;
}

ErrorCode open_strict_parent(VariantImage& st, std::string_view path, uint64_t length) {
  ParentRecord rec;
  if (!st.file.read_at(kParentRecordOffset, std::span(reinterpret_cast<uint8_t*>(&rec), sizeof rec)) ||
      !st.file.read_at(kParentIdOffset, st.parent_unique_id))
    return ERR_READ;
  if (rec.name_length != kParentNameLength || rec.name_offset > length ||
      length - rec.name_offset < kParentNameLength)
    return ERR_BAD_FORMAT;
  std::array<char, kParentNameLength> field;
  if (!st.file.read_at(rec.name_offset, std::span(reinterpret_cast<uint8_t*>(field.data()), field.size())))
    return ERR_READ;
  TextView name;
  PathBuffer<> work, resolved;
  if (!stored_text(TextView(field.data(), field.size()), TextEncoding::Utf8, name) || name.empty() ||
      !resolve_stored_name(name, TextEncoding::Utf8, path, TextEncoding::Utf8, work, resolved,
                           TextEncoding::Utf8, PathStyle::Unix) ||
      !resolved.append_terminator())
    return ERR_BAD_FORMAT;
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  {
    ParentChain guard;
    if (ErrorCode rc = open_image(st.parent, resolved.view(), true); rc != OK) return rc;
  }
  return same_geometry(get_geometry(st.parent), st.geometry) ? OK : ERR_BAD_FORMAT;
}

ErrorCode open_strict_differencing(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  VariantImage& st = variant(s);
  uint64_t length = 0;
  if (ErrorCode rc = open_file(st, path, read_only, length); rc != OK) return rc;
  if (ErrorCode rc = read_strict_layout(st, kDiskDifferencing, length); rc != OK) return rc;
  return open_strict_parent(st, path, length);
}

uint64_t block_data(const VariantImage& st, uint32_t block) noexcept {
  return uint64_t{st.bat[block]} * kSectorSize + kSectorSize;
}

ErrorCode load_bitmap(VariantImage& st, uint32_t block) {
  if (st.cached_block == block) return OK;
  st.cached_block = -1;
  if (!st.file.read_at(uint64_t{st.bat[block]} * kSectorSize, st.bitmap)) return ERR_READ;
  st.cached_block = block;
  return OK;
}

bool present(const VariantImage& st, uint32_t sector_in_block) noexcept {
  return (st.bitmap[sector_in_block / 8] >> (7 - sector_in_block % 8)) & 1u;
}

// Calls visit(first sector in block, count, in this file) for each run of sectors that lie in
// this file or not, within one allocated block.
template <typename Visit>
ErrorCode for_each_run(VariantImage& st, uint32_t block, uint32_t offset, uint32_t count, Visit&& visit) {
  const bool differencing = st.parent.is_open();
  if (differencing)
    if (ErrorCode rc = load_bitmap(st, block); rc != OK) return rc;
  for (uint32_t i = offset, end = offset + count; i < end;) {
    const bool here = !differencing || present(st, i);
    uint32_t j = i + 1;
    while (j < end && (!differencing || present(st, j) == here)) ++j;
    if (ErrorCode rc = visit(i, j - i, here); rc != OK) return rc;
    i = j;
  }
  return OK;
}

ErrorCode strict_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  VariantImage& st = variant(s);
  // Whole sectors are walked; a read that starts or ends inside one takes its part of it.
  for (BlockSplit64 sp(kBlockBytes, offset, out.size()); sp.more(); sp.next()) {
    uint8_t* dst = out.data() + (sp.block * kBlockBytes + sp.offset - offset);
    const auto block = static_cast<uint32_t>(sp.block);
    if (st.bat[block] == kUnallocated) {
      if (!st.parent.is_open()) {
        std::memset(dst, 0, static_cast<size_t>(sp.piece));
        continue;
      }
      if (ErrorCode rc = read_bytes(st.parent, sp.block * kBlockBytes + sp.offset,
                                    std::span(dst, static_cast<size_t>(sp.piece)));
          rc != OK)
        return rc;
      continue;
    }
    const auto s0 = static_cast<uint32_t>(sp.offset / kSectorSize);
    const auto s1 = static_cast<uint32_t>(ceil_div_u64(sp.offset + sp.piece, kSectorSize));
    ErrorCode rc = for_each_run(st, block, s0, s1 - s0, [&](uint32_t i, uint32_t n, bool here) {
      const uint64_t from = std::max<uint64_t>(uint64_t{i} * kSectorSize, sp.offset);
      const uint64_t to = std::min<uint64_t>(uint64_t{i + n} * kSectorSize, sp.offset + sp.piece);
      std::span<uint8_t> part(dst + (from - sp.offset), static_cast<size_t>(to - from));
      if (here) return st.file.read_at(block_data(st, block) + from, part) ? OK : ERR_READ;
      return read_bytes(st.parent, sp.block * kBlockBytes + from, part);
    });
    if (rc != OK) return rc;
  }
  return OK;
}

ErrorCode strict_is_range_free(DriverState& s, const SectorUse* map, uint32_t first, uint32_t count,
                               bool& free, ProgressRelay* relay) {
  VariantImage& st = variant(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  for (BlockSplit sp(kBlockSectors, first, count); sp.more(); sp.next()) {
    const uint32_t base = sp.block * kBlockSectors;
    ErrorCode rc = OK;
    if (st.bat[sp.block] == kUnallocated) {
      if (st.parent.is_open()) rc = is_range_free(st.parent, map, base + sp.offset, sp.piece, free, nullptr);
    } else {
      // Sectors of this file count by their bytes alone; the rest is the parent's to answer.
      rc = for_each_run(st, sp.block, sp.offset, sp.piece, [&](uint32_t i, uint32_t n, bool here) {
        if (!free) return OK;
        if (!here) return is_range_free(st.parent, map, base + i, n, free, nullptr);
        const uint64_t at = block_data(st, sp.block);
        return is_range_free_by_content(
            [&](uint64_t off, std::span<uint8_t> buf) {
              return st.file.read_at(at + off - uint64_t{base} * kSectorSize, buf) ? OK : ERR_READ;
            },
            st.work, nullptr, base + i, n, free, nullptr);
      });
    }
    if (rc != OK || !free) return rc;
    if (!relay_check_in(sp.piece, relay)) return CANCELLED;
  }
  return OK;
}

// ---- shared slots ----

DiskGeometry variant_geometry(const DriverState& s) { return variant(s).geometry; }

ErrorCode flat_part_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  return read_bytes(variant(s).flat, offset, out);
}

ErrorCode flat_part_is_range_free(DriverState& s, const SectorUse* map, uint32_t first, uint32_t count,
                                  bool& free, ProgressRelay* relay) {
  return is_range_free(variant(s).flat, map, first, count, free, relay);
}

bool variant_identity(const DriverState& s, ImageIdentity& out) {
  out = footer_identity(variant(s).footer);
  return true;
}

// The parent must still be the disk this file was made over.
ErrorCode differencing_chain_status(const DriverState& s) {
  const VariantImage& st = variant(s);
  const ImageIdentity parent = image_identity(st.parent);
  if (parent.kind == ImageIdentity::VHD_UNIQUE_ID &&
      std::memcmp(parent.bytes, st.parent_unique_id, sizeof st.parent_unique_id) != 0)
    return ERR_BAD_FORMAT;
  return parent_chain_status(st.parent);
}

constexpr FormatDriver variant_driver(const char* name,
                                      ErrorCode (*open)(DriverState&, std::string_view, bool),
                                      bool flat_data, bool differencing) {
  return FormatDriver{
      .name = name,
      .make_state = make_driver_state<VariantImage>,
      .open = open,
      .get_geometry = variant_geometry,
      .read_bytes = flat_data ? flat_part_read : strict_read,
      .is_range_free = flat_data ? flat_part_is_range_free : strict_is_range_free,
      .identity = variant_identity,
      .chain_status = differencing ? differencing_chain_status : nullptr,
  };
}

}  // namespace

const FormatDriver kVhdFixedDriver = variant_driver("vhd-fixed", open_fixed, true, false);
const FormatDriver kVhdStrictDriver = variant_driver("vhd-strict", open_strict_dynamic, false, false);
const FormatDriver kVhdHeadedDriver = variant_driver("vhd-headed", open_headed, true, false);
const FormatDriver kVhdStrictDiffDriver =
    variant_driver("vhd-strict-diff", open_strict_differencing, false, true);

}  // namespace qx
