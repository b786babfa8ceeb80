// Bochs redolog images (format 17): a 512-byte header, a catalog that places extents of the disk
// in the file, and in front of each stored extent a bitmap of the sectors it really holds.
#include "formats/bochs/bochs.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

struct BochsHeader {
  char magic[32];
  char type[16];
  char subtype[16];
  le32_t version;
  le32_t header_size;
  le32_t catalog_entries;
  le32_t bitmap_size;
  le32_t extent_size;
  le32_t time_stamp;  // the older layout keeps the 64-bit disk size here instead
  le64_t disk_size;
  uint8_t padding[416];
};
static_assert(sizeof(BochsHeader) == 512);

constexpr char kMagic[] = "Bochs Virtual HD Image";
constexpr char kType[] = "Redolog";
constexpr char kGrowing[] = "Growing";
constexpr char kUndoable[] = "Undoable";
constexpr uint32_t kVersion = 0x00010000;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;

struct BochsImage : DriverState {
  File file;
  uint64_t file_length = 0;
  BochsHeader header{};
  uint32_t extent_sectors = 0;
  uint32_t bitmap_sectors = 0;
  uint64_t data_start = 0;  // behind the catalog
  std::vector<uint32_t> catalog;
  uint32_t next_free_extent = 0;
  std::vector<uint8_t> bitmap;
  int64_t cached_extent = -1;
  DiskGeometry geometry;

  bool read_failed() const noexcept override { return file.read_failed(); }
};

BochsImage& bochs(DriverState& s) { return static_cast<BochsImage&>(s); }
const BochsImage& bochs(const DriverState& s) { return static_cast<const BochsImage&>(s); }

// The field starts with the text and its NUL.
template <size_t N, size_t M>
bool starts_with_text(const char (&field)[N], const char (&text)[M]) noexcept {
  static_assert(M <= N);
  return std::memcmp(field, text, M) == 0;
}

// full / 2 < size <= full
bool size_fits(uint64_t size, unsigned __int128 full) noexcept { return size <= full && size > full / 2; }

// ---- open ----

ErrorCode check_header(BochsImage& st) {
  const BochsHeader& h = st.header;
  if (!starts_with_text(h.magic, kMagic) || !starts_with_text(h.type, kType) ||
      !(starts_with_text(h.subtype, kGrowing) || starts_with_text(h.subtype, kUndoable)) ||
      h.version != kVersion || h.extent_size == 0 || h.bitmap_size == 0)
    return ERR_BAD_FORMAT;
  st.extent_sectors = static_cast<uint32_t>(ceil_div_u64(h.extent_size, kSectorSize));
  st.bitmap_sectors = static_cast<uint32_t>(ceil_div_u64(h.bitmap_size, kSectorSize));
  // Every sector of an extent needs its bit, and a bitmap larger than the file is never read.
  const uint64_t bitmap_bytes = uint64_t{st.bitmap_sectors} * kSectorSize;
  if (bitmap_bytes * 8 < st.extent_sectors || bitmap_bytes > st.file_length) return ERR_BAD_FORMAT;
  const unsigned __int128 full =
      static_cast<unsigned __int128>(uint64_t{h.catalog_entries} * st.extent_sectors) * kSectorSize;
  uint64_t size = h.disk_size;
  if (!size_fits(size, full)) {
    size = load_le<uint64_t>(reinterpret_cast<const uint8_t*>(&h) + offsetof(BochsHeader, time_stamp));
    if (!size_fits(size, full)) return ERR_BAD_FORMAT;
  }
  if (size / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry = {static_cast<uint32_t>(size / kSectorSize), 16, 63, kSectorSize};
  return OK;
}

ErrorCode read_catalog(BochsImage& st) {
  const uint64_t entries = st.header.catalog_entries;
  const uint64_t at = st.header.header_size;
  // Bounded by the file before anything is allocated.
  if (at > st.file_length || (st.file_length - at) / 4 < entries) return ERR_BAD_FORMAT;
  st.catalog.resize(static_cast<size_t>(entries));
  if (!st.file.read_at(at, std::span(reinterpret_cast<uint8_t*>(st.catalog.data()), st.catalog.size() * 4)))
    return ERR_READ;
  st.next_free_extent = 0;
  for (uint32_t& e : st.catalog) {
    e = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&e));
    if (e != kUnallocated) st.next_free_extent = std::max(st.next_free_extent, e + 1);
  }
  st.data_start = at + entries * 4;
  return OK;
}

ErrorCode bochs_open(DriverState& s, std::string_view path, bool read_only) {
  BochsImage& st = bochs(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&st.header), sizeof st.header)))
    return ERR_READ;
  if (!st.file.length(st.file_length)) return ERR_FILE_SIZE;
  if (ErrorCode rc = check_header(st); rc != OK) return rc;
  if (ErrorCode rc = read_catalog(st); rc != OK) return rc;
  st.bitmap.assign(size_t{st.bitmap_sectors} * kSectorSize, 0);
  st.cached_extent = -1;
  return OK;
}

DiskGeometry bochs_geometry(const DriverState& s) { return bochs(s).geometry; }

// ---- extents ----

// Where the extent's bitmap starts; its data follow the bitmap sectors. The whole bitmap lies
// within the file, or the catalog entry is damaged.
ErrorCode load_bitmap(BochsImage& st, uint32_t extent, uint64_t& start) {
  const unsigned __int128 at =
      st.data_start + static_cast<unsigned __int128>(st.catalog[extent]) *
                          (uint64_t{st.bitmap_sectors} + st.extent_sectors) * kSectorSize;
  if (at + st.bitmap.size() > st.file_length) return ERR_BAD_FORMAT;
  start = static_cast<uint64_t>(at);
  if (st.cached_extent == extent) return OK;
  st.cached_extent = -1;
  if (!st.file.read_at(start, st.bitmap)) return ERR_READ;
  st.cached_extent = extent;
  return OK;
}

bool stored(const BochsImage& st, uint32_t sector) noexcept { return test_bit(st.bitmap, sector); }

// Length of the run of sectors from `sector` (within the extent) that are all stored or all not.
uint32_t run_length(const BochsImage& st, uint32_t sector, uint32_t limit) noexcept {
  const bool kind = stored(st, sector);
  uint32_t n = 1;
  while (n < limit && stored(st, sector + n) == kind) ++n;
  return n;
}

ErrorCode read_extent_piece(BochsImage& st, uint32_t extent, uint64_t in_extent, std::span<uint8_t> out) {
  if (st.catalog[extent] == kUnallocated) {
    std::memset(out.data(), 0, out.size());
    return OK;
  }
  uint64_t start = 0;
  if (ErrorCode rc = load_bitmap(st, extent, start); rc != OK) return rc;
  const uint64_t data = start + uint64_t{st.bitmap_sectors} * kSectorSize;
  for (uint64_t pos = in_extent, end = in_extent + out.size(); pos < end;) {
    const auto sector = static_cast<uint32_t>(pos / kSectorSize);
    const uint32_t last = static_cast<uint32_t>((end - 1) / kSectorSize);
    const uint32_t n = run_length(st, sector, last - sector + 1);
    const uint64_t run_end = std::min(end, uint64_t{sector + n} * kSectorSize);
    std::span<uint8_t> part = out.subspan(static_cast<size_t>(pos - in_extent),
                                          static_cast<size_t>(run_end - pos));
    if (!stored(st, sector)) std::memset(part.data(), 0, part.size());
    else if (!st.file.read_at(data + pos, part)) return ERR_READ;
    pos = run_end;
  }
  return OK;
}

ErrorCode bochs_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  BochsImage& st = bochs(s);
  return read_by_blocks(uint64_t{st.extent_sectors} * kSectorSize, offset, out,
                        [&](uint64_t extent, uint64_t in, std::span<uint8_t> piece) {
                          return read_extent_piece(st, static_cast<uint32_t>(extent), in, piece);
                        });
}

// ---- the layer question ----

// Sectors an extent does not store read as zeros. A run never crosses an extent.
ErrorCode bochs_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  BochsImage& st = bochs(s);
  const uint32_t extent = first / st.extent_sectors, in = first % st.extent_sectors;
  out = LayerRun{};
  out.count = std::min(count, st.extent_sectors - in);
  if (st.catalog[extent] == kUnallocated) return OK;
  uint64_t start = 0;
  if (ErrorCode rc = load_bitmap(st, extent, start); rc != OK) return rc;
  out.count = run_length(st, in, out.count);
  if (stored(st, in)) {
    out.holding = LayerHolding::kStored;
    out.file = &st.file;
    out.offset = start + (uint64_t{st.bitmap_sectors} + in) * kSectorSize;
  }
  return OK;
}

}  // namespace

const FormatDriver kBochsDriver = {
    .name = "bochs",
    .make_state = make_driver_state<BochsImage>,
    .open = bochs_open,
    .get_geometry = bochs_geometry,
    .read_bytes = bochs_read,
    .layer_status = bochs_layer_status,
};

}  // namespace qx
