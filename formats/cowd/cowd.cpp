// The legacy "COWD" sparse disks (formats 5 to 8): a 2048-byte header, a grain directory at
// sector 4, grain tables of 512 entries and grains. Version 3 disks may be split into numbered
// part files; redo logs lie over a parent named in their header. Read-only.
#include "formats/cowd/cowd.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/content_check.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/encoding.hpp"
#include "text/format.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

constexpr uint32_t kHeaderBytes = 2048;
constexpr uint32_t kMagic = 0x44574F43;  // "COWD"
constexpr uint32_t kDirectorySector = 4;
constexpr uint32_t kTableEntries = 512;
constexpr uint32_t kGrainSectors = 128;
constexpr uint32_t kPartSectors = 0x3FF800;
constexpr uint32_t kFlagsBase = 19, kFlagsSplitBase = 27, kFlagsRedo = 18, kFlagsSplitRedo = 26;
constexpr uint32_t kIdeSectorsPerCylinder = 16 * 63;
constexpr uint32_t kIdeMaxSectors = 0x10000000;
constexpr uint32_t kIdeFullCylinders = 16383;
constexpr uint32_t kIdeFullCylinderSectors = 16514064;  // 16383 x 16 x 63
constexpr uint32_t kParentNameBytes = 260;
constexpr size_t kWorkBytes = 1u << 20;

// Header fields, little-endian 32-bit at these byte offsets.
enum Field : uint32_t {
  kFieldMagic = 0,
  kFieldVersion = 4,
  kFieldFlags = 8,
  kFieldDiskSectors = 12,
  kFieldGrain = 16,
  kFieldDirectory = 20,
  kFieldCylinders = 32,  // base; a redo log keeps its parent's name here
  kFieldHeads = 36,
  kFieldSectorsPerTrack = 40,
  kFieldZero = 1056,
  kFieldCopy = 1060,
  kFieldCopied = 1636,
  kFieldAdapter = 1640,
  kFieldPartIndex = 1648,
  kFieldPartCount = 1652,
  kFieldDiskCylinders = 1656,
  kFieldDiskHeads = 1660,
  kFieldDiskSectorsPerTrack = 1664,
  kFieldTotalSectors = 1668,
  kFieldPartSize = 1676,
};

struct CowdPart {
  File file;
  std::array<uint8_t, kHeaderBytes> header{};
  uint32_t sectors = 0;
  uint32_t first_sector = 0;  // on the whole disk
  uint32_t grain = 0;         // sectors
  std::vector<uint32_t> directory;
  std::array<uint32_t, kTableEntries> table{};
  int64_t cached_table = -1;

  uint32_t field(uint32_t offset) const noexcept { return le32(header.data() + offset); }
  uint64_t table_sectors() const noexcept { return uint64_t{kTableEntries} * grain; }
};

struct CowdImage : DriverState {
  DiskGeometry geometry;
  std::vector<CowdPart> parts;
  DiskImage parent;  // redo logs
  std::vector<uint8_t> work;

  bool read_failed() const noexcept override {
    for (const CowdPart& p : parts)
      if (p.file.read_failed()) return true;
    return image_read_failed(parent);
  }
};

CowdImage& cowd(DriverState& s) { return static_cast<CowdImage&>(s); }
const CowdImage& cowd(const DriverState& s) { return static_cast<const CowdImage&>(s); }

// ---- open ----

ErrorCode read_header(CowdPart& part, std::string_view path, bool read_only, uint64_t& length) {
  part.file = File::open_existing(path, read_only);
  if (!part.file) return ERR_OPEN;
  if (!part.file.read_at(0, part.header)) return ERR_READ;
  return part.file.length(length) ? OK : ERR_FILE_SIZE;
}

ErrorCode load_table(CowdPart& part, uint32_t index) {
  if (part.cached_table == index) return OK;
  part.cached_table = -1;
  if (!part.file.read_at(uint64_t{part.directory[index]} * kSectorSize,
                         std::span(reinterpret_cast<uint8_t*>(part.table.data()), sizeof part.table)))
    return ERR_READ;
  part.cached_table = index;
  return OK;
}

// The directory is sized by the part's sectors and must lie in the file before it is allocated.
ErrorCode read_directory(CowdPart& part, uint64_t length) {
  const uint64_t entries = ceil_div_u64(part.sectors, part.table_sectors());
  const uint64_t at = uint64_t{kDirectorySector} * kSectorSize;
  if (length < at || (length - at) / 4 < entries) return ERR_READ;
  part.directory.resize(static_cast<size_t>(entries));
  if (!part.file.read_at(at, std::span(reinterpret_cast<uint8_t*>(part.directory.data()), entries * 4)))
    return ERR_READ;
  if (!part.directory.empty() && part.directory[0] != 0) return load_table(part, 0);
  return OK;
}

bool ide_geometry_holds(const CowdPart& p, uint32_t total) noexcept {
  if (p.field(kFieldHeads) != 16 || p.field(kFieldSectorsPerTrack) != 63 ||
      p.field(kFieldDiskHeads) != 16 || p.field(kFieldDiskSectorsPerTrack) != 63)
    return false;
  if (total > kPartSectors)
    return p.field(kFieldPartCount) == ceil_div_u64(total, kPartSectors) && total <= kIdeMaxSectors &&
           (total <= kIdeFullCylinderSectors || p.field(kFieldDiskCylinders) == kIdeFullCylinders);
  const uint64_t cylinders = p.field(kFieldCylinders), disk_cylinders = p.field(kFieldDiskCylinders);
  return p.field(kFieldPartCount) == 1 && cylinders * kIdeSectorsPerCylinder == p.field(kFieldDiskSectors) &&
         total == disk_cylinders * kIdeSectorsPerCylinder && cylinders >= disk_cylinders;
}

bool scsi_geometry_holds(const CowdPart& p, uint32_t total) noexcept {
  const uint32_t c = p.field(kFieldDiskCylinders), h = p.field(kFieldDiskHeads),
                 s = p.field(kFieldDiskSectorsPerTrack);
  if (total <= kPartSectors &&
      (c != p.field(kFieldCylinders) || h != p.field(kFieldHeads) || s != p.field(kFieldSectorsPerTrack) ||
       total != p.field(kFieldDiskSectors)))
    return false;
  if (total != uint64_t{c} * h * s) return false;
  if (total <= 0x1FF800) return h == 64 && s == 32;
  if (total <= 0x3FF000) return h == 128 && s == 32;
  if (total <= 268430085) return h == 255 && s == 63;
  return false;
}

bool base_header_holds(const CowdPart& p) noexcept {
  if (p.field(kFieldZero) != 0 || p.field(kFieldCopy) != p.field(kFieldCopied)) return false;
  const uint32_t total = p.field(kFieldTotalSectors);
  const uint8_t* adapter = p.header.data() + kFieldAdapter;
  if (std::memcmp(adapter, "ide\0", 4) == 0) return ide_geometry_holds(p, total);
  if (std::memcmp(adapter, "scsi", 4) == 0) return scsi_geometry_holds(p, total);
  return false;
}

// One file of a version-3 disk: the part with index `index`, beginning at disk sector `first`.
ErrorCode open_v3_part(CowdPart& part, std::string_view path, bool read_only, uint32_t index,
                       uint32_t first, bool base) {
  uint64_t length = 0;
  if (ErrorCode rc = read_header(part, path, read_only, length); rc != OK) return rc;
  if (part.field(kFieldMagic) != kMagic || part.field(kFieldVersion) != 3 ||
      part.field(kFieldGrain) != kGrainSectors || part.field(kFieldDirectory) != kDirectorySector ||
      part.field(kFieldPartSize) != kPartSectors || (base && !base_header_holds(part)) ||
      part.field(kFieldPartIndex) != index)
    return ERR_BAD_FORMAT;
  const uint32_t total = part.field(kFieldTotalSectors);
  const uint32_t sectors = total > kPartSectors ? total : part.field(kFieldDiskSectors);
  // The count must agree with the size the header gives, so that a damaged count cannot make
  // the opener try thousands of part files.
  const uint32_t count = part.field(kFieldPartCount);
  if (count == 0 || index >= count || count > std::max<uint64_t>(1, ceil_div_u64(sectors, kPartSectors)))
    return ERR_BAD_FORMAT;
  // A total that is a whole number of parts fills the last part too.
  const uint32_t rest = sectors % kPartSectors;
  part.sectors = index + 1 < count ? kPartSectors : rest != 0 || sectors == 0 ? rest : kPartSectors;
  part.first_sector = first;
  part.grain = kGrainSectors;
  return read_directory(part, length);
}

ErrorCode part_name(std::string_view path, uint32_t number, PathString& out) {
  TextView dir, stem, ext;
  split_host_path(path, dir, stem, ext);
  out.clear();
  const bool built = append_formatted(out, TextEncoding::Utf8, "%t%t-%02u.%t", TextEncoding::Utf8,
                                      {FormatArg(dir, TextEncoding::Utf8), FormatArg(stem, TextEncoding::Utf8),
                                       FormatArg(number), FormatArg(ext, TextEncoding::Utf8)});
  return built ? OK : ERR_UNSUPPORTED;
}

// Formats 5 and 6: the given file and the numbered parts that follow it.
ErrorCode open_v3_parts(CowdImage& st, std::string_view path, bool read_only, bool base) {
  st.parts.resize(1);
  if (ErrorCode rc = open_v3_part(st.parts[0], path, read_only, 0, 0, base); rc != OK) return rc;
  const uint32_t count = st.parts[0].field(kFieldPartCount);
  const uint32_t flags = st.parts[0].field(kFieldFlags);
  if (flags != (count == 1 ? (base ? kFlagsBase : kFlagsRedo) : (base ? kFlagsSplitBase : kFlagsSplitRedo)))
    return ERR_BAD_FORMAT;
  uint64_t total = st.parts[0].sectors;
  st.parts.reserve(count);
  for (uint32_t k = 1; k < count; ++k) {
    PathBuffer<> name;
    if (ErrorCode rc = part_name(path, k + 1, name); rc != OK) return rc;
    if (!name.append_terminator() || total > UINT32_MAX) return ERR_UNSUPPORTED;
    CowdPart& part = st.parts.emplace_back();
    if (ErrorCode rc = open_v3_part(part, name.view(), read_only, k, static_cast<uint32_t>(total), base);
        rc != OK)
      return rc;
    if (part.field(kFieldFlags) != (base ? kFlagsSplitBase : kFlagsSplitRedo) ||
        part.field(kFieldPartCount) != count)
      return ERR_BAD_FORMAT;
    total += part.sectors;
  }
  if (total > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry = DiskGeometry{static_cast<uint32_t>(total), st.parts[0].field(kFieldHeads),
                             st.parts[0].field(kFieldSectorsPerTrack), kSectorSize};
  return OK;
}

// A redo log's parent, named at offset 32 of its (first) header; it gives the geometry.
ErrorCode open_parent(CowdImage& st, std::string_view path, uint32_t expected_total, ErrorCode bad_name) {
  const TextView field(reinterpret_cast<const char*>(st.parts[0].header.data() + kFieldCylinders),
                       kParentNameBytes);
  TextView name;
  PathBuffer<> work, resolved;
  if (!stored_text(field, TextEncoding::Utf8, name) || name.empty() ||
      !resolve_stored_name(name, TextEncoding::Utf8, path, TextEncoding::Utf8, work, resolved,
                           TextEncoding::Utf8, PathStyle::Unix) ||
      !resolved.append_terminator())
    return bad_name;
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  {
    ParentChain guard;
    if (ErrorCode rc = open_image(st.parent, resolved.view(), true); rc != OK) return rc;
  }
  const DiskGeometry g = get_geometry(st.parent);
  if (g.total_sectors != expected_total) return ERR_BAD_FORMAT;
  st.geometry = g;
  return OK;
}

ErrorCode open_v3_base(DriverState& s, std::string_view path, bool read_only) {
  CowdImage& st = cowd(s);
  st.work.resize(kWorkBytes);
  return open_v3_parts(st, path, read_only, true);
}

ErrorCode open_v3_redo(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  CowdImage& st = cowd(s);
  st.work.resize(kWorkBytes);
  if (ErrorCode rc = open_v3_parts(st, path, read_only, false); rc != OK) return rc;
  return open_parent(st, path, st.geometry.total_sectors, ERR_BAD_FORMAT);
}

// Formats 7 and 8: one file whose directory covers its disk sectors.
ErrorCode open_v1_file(CowdImage& st, std::string_view path, bool read_only, uint64_t& length) {
  st.work.resize(kWorkBytes);
  st.parts.resize(1);
  CowdPart& part = st.parts[0];
  if (ErrorCode rc = read_header(part, path, read_only, length); rc != OK) return rc;
  if (part.field(kFieldMagic) != kMagic || part.field(kFieldVersion) != 1 ||
      part.field(kFieldDirectory) != kDirectorySector)
    return ERR_BAD_FORMAT;
  part.sectors = part.field(kFieldDiskSectors);
  return OK;
}

ErrorCode open_v1_base(DriverState& s, std::string_view path, bool read_only) {
  CowdImage& st = cowd(s);
  uint64_t length = 0;
  if (ErrorCode rc = open_v1_file(st, path, read_only, length); rc != OK) return rc;
  CowdPart& part = st.parts[0];
  // A redo log read as a base would show zeros wherever its parent holds the data.
  if (part.field(kFieldZero) != 0 || part.field(kFieldCopy) != part.field(kFieldCopied) ||
      part.field(kFieldGrain) == 0 || part.field(kFieldFlags) == kFlagsRedo)
    return ERR_BAD_FORMAT;
  part.grain = part.field(kFieldGrain);
  st.geometry = DiskGeometry{part.sectors, part.field(kFieldHeads), part.field(kFieldSectorsPerTrack), kSectorSize};
  return read_directory(part, length);
}

ErrorCode open_v1_redo(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  CowdImage& st = cowd(s);
  uint64_t length = 0;
  if (ErrorCode rc = open_v1_file(st, path, read_only, length); rc != OK) return rc;
  CowdPart& part = st.parts[0];
  if (part.field(kFieldGrain) != kGrainSectors || part.field(kFieldPartSize) != kPartSectors ||
      part.field(kFieldFlags) != kFlagsRedo)
    return ERR_BAD_FORMAT;
  part.grain = kGrainSectors;
  if (ErrorCode rc = read_directory(part, length); rc != OK) return rc;
  return open_parent(st, path, part.sectors, ERR_NO_MEMORY);
}

DiskGeometry cowd_geometry(const DriverState& s) { return cowd(s).geometry; }

// ---- reading ----

// The file sector of the grain that holds sector `sector` of the part, or 0.
ErrorCode grain_sector(CowdPart& part, uint64_t grain_index, uint32_t& out) {
  const auto table = static_cast<uint32_t>(grain_index / kTableEntries);
  out = 0;
  if (part.directory[table] == 0) return OK;
  if (ErrorCode rc = load_table(part, table); rc != OK) return rc;
  out = part.table[grain_index % kTableEntries];
  return OK;
}

// Calls visit(part, first disk sector, count, grain's file sector or 0) for each piece of the
// range that stays inside one grain of one part.
template <typename Visit>
ErrorCode for_each_grain(CowdImage& st, uint64_t first, uint64_t count, Visit&& visit) {
  for (CowdPart& part : st.parts) {
    if (count == 0) break;
    const uint64_t end = uint64_t{part.first_sector} + part.sectors;
    if (first >= end) continue;
    const uint64_t n = std::min(count, end - first);
    for (BlockSplit64 sp(part.grain, first - part.first_sector, n); sp.more(); sp.next()) {
      uint32_t grain = 0;
      if (ErrorCode rc = grain_sector(part, sp.block, grain); rc != OK) return rc;
      if (ErrorCode rc = visit(part, part.first_sector + sp.block * part.grain + sp.offset, sp.piece, grain);
          rc != OK)
        return rc;
    }
    first += n;
    count -= n;
  }
  return OK;
}

uint64_t grain_byte(const CowdPart& part, uint32_t grain, uint64_t disk_byte) noexcept {
  const uint64_t in_grain = (disk_byte - uint64_t{part.first_sector} * kSectorSize) %
                            (uint64_t{part.grain} * kSectorSize);
  return uint64_t{grain} * kSectorSize + in_grain;
}

ErrorCode cowd_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  CowdImage& st = cowd(s);
  if (out.empty()) return OK;
  // Whole sectors are walked; each piece is clipped to the bytes asked for.
  const uint64_t first = offset / kSectorSize;
  const uint64_t last = ceil_div_u64(offset + out.size(), kSectorSize);
  return for_each_grain(st, first, last - first, [&](CowdPart& part, uint64_t sector, uint64_t n, uint32_t grain) {
    const uint64_t from = std::max(sector * kSectorSize, offset);
    const uint64_t to = std::min((sector + n) * kSectorSize, offset + out.size());
    std::span<uint8_t> piece = out.subspan(static_cast<size_t>(from - offset), static_cast<size_t>(to - from));
    if (grain != 0) return part.file.read_at(grain_byte(part, grain, from), piece) ? OK : ERR_READ;
    if (st.parent.is_open()) return read_bytes(st.parent, from, piece);
    std::memset(piece.data(), 0, piece.size());
    return OK;
  });
}

ErrorCode cowd_is_range_free(DriverState& s, const SectorUse* map, uint32_t first, uint32_t count,
                             bool& free, ProgressRelay* relay) {
  CowdImage& st = cowd(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  return for_each_grain(st, first, count, [&](CowdPart& part, uint64_t sector, uint64_t n, uint32_t grain) {
    if (!free) return OK;
    const auto at = static_cast<uint32_t>(sector);
    const auto len = static_cast<uint32_t>(n);
    if (grain == 0) {
      // The parent answers by its bytes alone: the map describes this disk, not the parent.
      return st.parent.is_open() ? is_range_free(st.parent, nullptr, at, len, free, relay) : OK;
    }
    return is_range_free_by_content(
        [&](uint64_t disk_byte, std::span<uint8_t> buf) {
          return part.file.read_at(grain_byte(part, grain, disk_byte), buf) ? OK : ERR_READ;
        },
        st.work, map, at, len, free, relay);
  });
}

ErrorCode redo_chain_status(const DriverState& s) { return parent_chain_status(cowd(s).parent); }

constexpr FormatDriver cowd_driver(const char* name, ErrorCode (*open)(DriverState&, std::string_view, bool),
                                   bool redo) {
  return FormatDriver{
      .name = name,
      .make_state = make_driver_state<CowdImage>,
      .open = open,
      .get_geometry = cowd_geometry,
      .read_bytes = cowd_read,
      .is_range_free = cowd_is_range_free,
      .chain_status = redo ? redo_chain_status : nullptr,
  };
}

}  // namespace

const FormatDriver kCowd3Driver = cowd_driver("cowd3", open_v3_base, false);
const FormatDriver kCowd3RedoDriver = cowd_driver("cowd3-redo", open_v3_redo, true);
const FormatDriver kCowd1Driver = cowd_driver("cowd1", open_v1_base, false);
const FormatDriver kCowd1RedoDriver = cowd_driver("cowd1-redo", open_v1_redo, true);

}  // namespace qx
