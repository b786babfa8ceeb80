// Sparse and flat extents of a VMDK image.
#include "formats/vmdk/vmdk_extent.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {
namespace {

constexpr uint8_t kLineChecks[] = {0x00, 0x0A, 0x20, 0x0D};
constexpr size_t kTableBytes = kTableEntries * 4;
// Tables that lie one behind the other are read at open in runs of up to this many.
constexpr uint32_t kTableRun = 256;

struct StreamMarker {
  le64_t value;
  le32_t size;
  le32_t type;
};
static_assert(sizeof(StreamMarker) == 16);
constexpr uint32_t kMarkerDirectory = 2;
constexpr uint32_t kMarkerFooter = 3;

struct GrainMarker {
  le64_t sector;
  le32_t length;
};
static_assert(sizeof(GrainMarker) == 12);


std::span<uint8_t> table_bytes(std::vector<uint32_t>& t) noexcept {
  return {reinterpret_cast<uint8_t*>(t.data()), t.size() * 4};
}

// Directory sector of a stream-optimized extent, found from the markers at the end of the file.
ErrorCode find_directory_at_end(SparseExtent& e, uint64_t length, uint32_t n) {
  if (length % 512 != 0) return ERR_BAD_FORMAT;
  const uint64_t dir_sectors = ceil_div_u64(uint64_t{n} * 4, 512);
  // Header, directory marker, directory, footer marker, footer, end-of-stream marker.
  if (length / 512 < 5 + dir_sectors) return ERR_BAD_FORMAT;
  StreamMarker end{}, footer{}, dir{};
  if (!e.file.read_at(length - 512, bytes_of(end)) || !e.file.read_at(length - 1536, bytes_of(footer)))
    return ERR_READ;
  if (end.value != 0 || end.size != 0 || end.type != 0 || footer.value != 1 || footer.size != 0 ||
      footer.type != kMarkerFooter)
    return ERR_BAD_FORMAT;
  // The directory fills whole sectors right before the footer's marker, its own marker before it.
  const uint64_t marker = length / 512 - 4 - dir_sectors;
  if (!e.file.read_at(marker * 512, bytes_of(dir))) return ERR_READ;
  const bool zero = dir.value == 0 && dir.size == 0 && dir.type == 0;
  const bool named = (dir.value == dir_sectors || dir.value == uint64_t{n} * 4 / 512) &&
                     dir.size == 0 && dir.type == kMarkerDirectory;
  if (!zero && !named) return ERR_BAD_FORMAT;
  e.header.gd_offset = marker + 1;
  return OK;
}

ErrorCode read_directory(SparseExtent& e, uint64_t at, uint64_t length, std::vector<uint32_t>& out) {
  const uint64_t bytes = uint64_t{e.tables} * 4;
  if (at > length / 512 || length - at * 512 < bytes) return ERR_BAD_FORMAT;
  out.assign(e.tables, 0);
  if (!e.file.read_at(at * 512, table_bytes(out))) return ERR_READ;
  for (uint32_t& v : out) v = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&v));
  return OK;
}

// Reads the tables of directory entries [i, i + count), which lie one behind the other.
ErrorCode read_table_run(SparseExtent& e, const std::vector<uint32_t>& dir, uint32_t i, uint32_t count,
                         std::vector<uint32_t>& out) {
  out.resize(size_t{count} * kTableEntries);
  return e.file.read_at(uint64_t{dir[i]} * 512, table_bytes(out)) ? OK : ERR_READ;
}

uint32_t run_length(const std::vector<uint32_t>& dir, uint32_t i) noexcept {
  uint32_t n = 1;
  while (i + n < dir.size() && n < kTableRun && dir[i + n] != 0 &&
         dir[i + n] == dir[i + n - 1] + kTableBytes / 512)
    ++n;
  return n;
}

// A table entry that names a grain stored in the file.
bool holds_data(const SparseExtent& e, uint32_t entry) noexcept {
  return entry != 0 && !(entry == kZeroedGrain && e.zeroed_entries);
}

// Reads every table (and its redundant copy) once: they must agree, and the highest grain entry
// fixes the length an uncompressed file must have.
ErrorCode scan_tables(SparseExtent& e, uint32_t& highest) {
  const bool redundant = !e.redundant.empty();
  std::vector<uint32_t> run, copy;
  highest = 0;
  for (uint32_t i = 0; i < e.tables;) {
    if (e.directory[i] == 0 || (redundant && e.redundant[i] == 0)) {
      // Without a redundant copy a zero entry is a table never allocated.
      if (redundant) return ERR_READ;
      ++i;
      continue;
    }
    uint32_t n = run_length(e.directory, i);
    if (redundant) n = std::min(n, run_length(e.redundant, i));
    if (ErrorCode rc = read_table_run(e, e.directory, i, n, run); rc != OK) return rc;
    if (redundant) {
      if (ErrorCode rc = read_table_run(e, e.redundant, i, n, copy); rc != OK) return rc;
      if (copy != run) return ERR_BAD_FORMAT;
    }
    for (uint32_t v : run)
      if (holds_data(e, v)) highest = std::max(highest, v);
    i += n;
  }
  return OK;
}

ErrorCode open_sparse(SparseExtent& e, std::string_view path, bool read_only, bool split_type,
                      uint32_t size) {
  e.file = File::open_existing(path, read_only);
  if (!e.file) return ERR_OPEN;
  if (!e.file.read_at(0, bytes_of(e.header))) return ERR_READ;
  const SparseExtentHeader& h = e.header;
  // qemu-img embeds a descriptor in every extent of a split image too; there it is not read.
  if (!is_valid_sparse_header(h) || (!split_type && h.descriptor_offset_sectors() != 1))
    return ERR_BAD_FORMAT;
  e.compressed = h.compressed();
  e.zeroed_entries = h.zeroed_entries();
  e.size = size;
  const uint32_t grain = h.grain_sectors();
  // The directory is sized for the descriptor's extent and the trim lays out the header's
  // capacity: the header must cover the extent.
  if (grain == 0 || grain > kMaxGrainSectors || h.gd_offset == 0 || h.capacity < size)
    return ERR_BAD_FORMAT;
  e.tables = static_cast<uint32_t>(ceil_div_u64(size, e.sectors_per_table()));
  uint64_t length = 0;
  if (!e.file.length(length)) return ERR_FILE_SIZE;
  if (h.gd_offset == kDirectoryAtEnd)
    if (ErrorCode rc = find_directory_at_end(e, length, e.tables); rc != OK) return rc;
  if (ErrorCode rc = read_directory(e, e.header.gd_offset, length, e.directory); rc != OK) return rc;
  if (h.rgd_offset != 0)
    if (ErrorCode rc = read_directory(e, h.rgd_offset, length, e.redundant); rc != OK) return rc;
  uint32_t highest = 0;
  if (ErrorCode rc = scan_tables(e, highest); rc != OK) return rc;
  if (!e.compressed) {
    const uint64_t expected = highest ? (uint64_t{highest} + grain) * 512 : h.overhead * 512;
    if (h.overhead > length / 512 || length != expected) return ERR_BAD_FORMAT;
  }
  e.table.assign(kTableEntries, 0);
  e.table_index = -1;
  e.grain_index = -1;
  if (!e.path.assign(path)) return ERR_UNSUPPORTED;
  return OK;
}

// Bytes this extent does not hold: the parent's, or zeros.
ErrorCode read_below(SparseExtent& e, uint64_t extent_offset, std::span<uint8_t> out) {
  if (e.parent) return read_bytes(*e.parent, uint64_t{e.first_sector} * 512 + extent_offset, out);
  std::memset(out.data(), 0, out.size());
  return OK;
}

ErrorCode inflate_grain(SparseExtent& e, uint32_t entry, uint64_t grain_sector) {
  e.grain_index = -1;
  // Sized at the first compressed grain read, not at open.
  if (e.grain.empty()) {
    e.packed.resize(size_t{2} * e.grain_sectors() * 512);
    e.grain.resize(size_t{e.grain_sectors()} * 512);
  }
  GrainMarker m{};
  if (!e.file.read_at(uint64_t{entry} * 512, bytes_of(m))) return ERR_READ;
  if (m.sector != grain_sector || m.length > e.packed.size()) return ERR_BAD_FORMAT;
  const std::span<uint8_t> packed(e.packed.data(), m.length);
  if (!e.file.read_at(uint64_t{entry} * 512 + sizeof m, packed)) return ERR_READ;
  z_stream& z = *e.stream;
  z.next_in = packed.data();
  z.avail_in = static_cast<uInt>(packed.size());
  z.next_out = e.grain.data();
  z.avail_out = static_cast<uInt>(e.grain.size());
  if (inflateInit(&z) != Z_OK) return ERR_READ;
  const int rc = inflate(&z, Z_FINISH);
  const bool whole = z.total_out == e.grain.size();
  inflateEnd(&z);
  if ((rc != Z_STREAM_END && rc != Z_BUF_ERROR) || !whole) return ERR_READ;
  return OK;
}

ErrorCode read_grain_piece(SparseExtent& e, uint32_t k, uint32_t j, uint64_t in_grain,
                           std::span<uint8_t> out) {
  const uint64_t grain_sector = uint64_t{k} * e.sectors_per_table() + uint64_t{j} * e.grain_sectors();
  const uint32_t entry = e.table[j];
  if (entry == 0) return read_below(e, grain_sector * 512 + in_grain, out);
  if (entry == kZeroedGrain && e.zeroed_entries) {
    std::memset(out.data(), 0, out.size());
    return OK;
  }
  if (!e.compressed)
    return e.file.read_at(uint64_t{entry} * 512 + in_grain, out) ? OK : ERR_READ;
  if (e.grain_index != j) {
    if (ErrorCode rc = inflate_grain(e, entry, grain_sector); rc != OK) return rc;
    e.grain_index = j;
  }
  std::memcpy(out.data(), e.grain.data() + in_grain, out.size());
  return OK;
}

}  // namespace

bool is_valid_sparse_header(const SparseExtentHeader& h) noexcept {
  if (h.magic != kSparseMagic || h.version < 1 || h.version > 3) return false;
  const uint32_t at = h.descriptor_offset_sectors(), size = h.descriptor_size_sectors();
  if (!(at == 1 && size >= 1 && size <= 64) && !(at == 0 && size == 0)) return false;
  if (h.gtes_per_gt != kTableEntries) return false;
  const uint8_t checks[4] = {h.unclean_shutdown, h.line_chars[0], h.line_chars[1], h.line_chars[2]};
  if (std::memcmp(checks, kLineChecks, 4) != 0) return false;
  return h.line_chars[3] == 0x0A && (h.compress_algorithm == 0 || h.compress_algorithm == 1) &&
         h.padding_first == 0;
}

ErrorCode open_sparse_extent(SparseExtent& e, std::string_view path, bool read_only, bool split_type,
                             DiskImage* parent, z_stream* stream, uint32_t first_sector,
                             uint32_t size) {
  e.parent = parent;
  e.stream = stream;
  e.first_sector = first_sector;
  const ErrorCode rc = open_sparse(e, path, read_only, split_type, size);
  if (rc != OK) e = SparseExtent{};
  return rc;
}

ErrorCode load_table(SparseExtent& e, uint32_t k) {
  if (e.table_index == k) return OK;
  e.table_index = -1;
  e.grain_index = -1;
  if (!e.file.read_at(uint64_t{e.directory[k]} * 512, table_bytes(e.table))) return ERR_READ;
  for (uint32_t& v : e.table) v = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&v));
  e.table_index = k;
  return OK;
}

ErrorCode read_sparse_extent(SparseExtent& e, uint64_t offset, std::span<uint8_t> out) {
  const uint64_t span_bytes = uint64_t{e.sectors_per_table()} * 512;
  const uint64_t grain_bytes = uint64_t{e.grain_sectors()} * 512;
  size_t done = 0;
  for (BlockSplit64 sp(span_bytes, offset, out.size()); sp.more(); sp.next()) {
    const std::span<uint8_t> piece = out.subspan(done, static_cast<size_t>(sp.piece));
    done += piece.size();
    const auto k = static_cast<uint32_t>(sp.block);
    if (e.directory[k] == 0) {
      if (ErrorCode rc = read_below(e, sp.block * span_bytes + sp.offset, piece); rc != OK) return rc;
      continue;
    }
    if (ErrorCode rc = load_table(e, k); rc != OK) return rc;
    for (uint64_t pos = sp.offset, end = sp.offset + sp.piece; pos < end;) {
      const auto j = static_cast<uint32_t>(pos / grain_bytes);
      const uint64_t in = pos % grain_bytes;
      uint64_t n = std::min(end - pos, grain_bytes - in);
      const uint32_t entry = e.table[j];
      ErrorCode rc;
      if (holds_data(e, entry) && !e.compressed) {
        // Grains stored one behind the other go in one read.
        for (uint32_t next = j + 1; pos + n < end && e.table[next] == entry + uint64_t{next - j} * e.grain_sectors(); ++next)
          n += std::min(end - pos - n, grain_bytes);
        rc = e.file.read_at(uint64_t{entry} * 512 + in, piece.subspan(static_cast<size_t>(pos - sp.offset), static_cast<size_t>(n)))
                 ? OK
                 : ERR_READ;
      } else {
        rc = read_grain_piece(e, k, j, in, piece.subspan(static_cast<size_t>(pos - sp.offset), static_cast<size_t>(n)));
      }
      if (rc != OK) return rc;
      pos += n;
    }
  }
  return OK;
}

ErrorCode sparse_layer_status(SparseExtent& e, uint32_t first, uint32_t count, LayerRun& out) {
  const uint32_t spt = e.sectors_per_table(), grain = e.grain_sectors();
  const uint32_t k = first / spt, in_table = first % spt;
  out = LayerRun{};
  if (k >= e.tables || e.directory[k] == 0) {
    out.count = std::min(count, spt - in_table);
    return OK;
  }
  if (ErrorCode rc = load_table(e, k); rc != OK) return rc;
  const uint32_t j = in_table / grain, in_grain = in_table % grain;
  const uint32_t entry = e.table[j];
  out.count = std::min(count, grain - in_grain);
  if (entry == 0) return OK;
  if (entry == kZeroedGrain && e.zeroed_entries) {
    out.holding = LayerHolding::kZero;
  } else if (e.compressed) {
    out.holding = LayerHolding::kOther;
  } else {
    out.holding = LayerHolding::kStored;
    out.file = &e.file;
    out.offset = (uint64_t{entry} + in_grain) * 512;
  }
  return OK;
}

ErrorCode open_flat_extent(FlatExtent& e, std::string_view path, bool read_only, uint64_t offset,
                           uint32_t first_sector, uint32_t size) {
  e.file = File::open_existing(path, read_only);
  if (!e.file) return ERR_OPEN;
  uint64_t length = 0;
  ErrorCode rc = OK;
  if (!e.file.length(length)) rc = ERR_FILE_SIZE;
  else if (offset > length || length - offset < uint64_t{size} * 512) rc = ERR_BAD_FORMAT;
  else if (!e.path.assign(path)) rc = ERR_UNSUPPORTED;
  if (rc != OK) {
    e.file.close();
    return rc;
  }
  e.data_offset = offset;
  e.size = size;
  e.first_sector = first_sector;
  return OK;
}

ErrorCode read_flat_extent(FlatExtent& e, uint64_t offset, std::span<uint8_t> out) {
  return e.file.read_at(e.data_offset + offset, out) ? OK : ERR_READ;
}

ErrorCode flat_layer_status(FlatExtent& e, uint32_t first, uint32_t count, LayerRun& out) {
  out = LayerRun{LayerHolding::kStored, std::min(count, e.size - first), &e.file,
                 e.data_offset + uint64_t{first} * 512};
  return OK;
}

}  // namespace qx
