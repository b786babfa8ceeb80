// VDI (format 20): VirtualBox normal and fixed images. A 472-byte header at the start, a block map
// of 32-bit entries, and a data area of equal-sized blocks in the order they were allocated.
#include "formats/vdi/vdi.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "image/replacement.hpp"
#include "image/byte_order.hpp"
#include "image/content_check.hpp"
#include "image/file.hpp"
#include "image/file_copy.hpp"
#include "image/primitives.hpp"
#include "volume/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

struct VdiHeader {
  char pre_header[64];
  le32_t signature;
  le32_t version;
  le32_t header_size;
  le32_t image_type;
  le32_t image_flags;
  char description[256];
  le32_t block_map_offset;
  le32_t data_offset;
  le32_t legacy_cylinders;
  le32_t legacy_heads;
  le32_t legacy_sectors;
  le32_t legacy_sector_size;
  le32_t unused;
  le64_t disk_size;
  le32_t block_size;
  le32_t block_extra;
  le32_t block_count;
  le32_t blocks_allocated;
  uint8_t image_uuid[16];
  uint8_t modification_uuid[16];
  uint8_t link_uuid[16];
  uint8_t parent_modification_uuid[16];
  le32_t logical_geometry[4];
};
static_assert(sizeof(VdiHeader) == 472);

constexpr uint32_t kSignature = 0xBEDA107F;
constexpr uint32_t kVersion = 0x00010001;
constexpr uint32_t kTypeNormal = 1;
constexpr uint32_t kTypeFixed = 2;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;
// This and every value above it: the block is not stored (0xFFFFFFFE reads as zeros).
constexpr uint32_t kFirstUnstored = 0xFFFFFFFEu;
constexpr uint32_t kDefaultHeads = 16;
constexpr uint32_t kDefaultSectorsPerTrack = 63;
constexpr size_t kScanChunk = 1u << 20;
constexpr size_t kCopyChunk = 4u << 20;
constexpr size_t kZeroChunk = 64u << 10;
// Written data is handed to the disk in pieces of this size while the copy goes on.
constexpr uint64_t kWritebackStep = 32u << 20;
// Longer runs of zeros in the written head stay a hole.
constexpr uint64_t kHoleThreshold = 1u << 20;

struct VdiImage : DriverState {
  File file;
  VdiHeader header{};
  std::vector<uint32_t> map;  // host order
  DiskGeometry geometry;
  uint32_t block_bytes = 0;
  uint32_t block_sectors = 0;
  uint64_t stride = 0;           // block size + block extra data
  std::vector<uint8_t> scratch;  // sectors examined by is_range_free
  std::vector<uint8_t> used;     // the map's answer for one block
};

VdiImage& vdi(DriverState& s) { return static_cast<VdiImage&>(s); }
const VdiImage& vdi(const DriverState& s) { return static_cast<const VdiImage&>(s); }

bool is_stored(uint32_t entry) noexcept { return entry < kFirstUnstored; }

uint64_t block_data_offset(const VdiImage& st, uint32_t entry) noexcept {
  return uint64_t{st.header.data_offset} + entry * st.stride + st.header.block_extra;
}

// ---- open ----

// Every field that places something in the file is checked against the file's length here,
// before the map is allocated from the block count.
ErrorCode check_header(const VdiHeader& h, uint64_t length) {
  const uint32_t type = h.image_type, header_size = h.header_size;
  if (h.signature != kSignature || h.version != kVersion ||
      (header_size != 384 && header_size != 400) || (type != kTypeNormal && type != kTypeFixed))
    return ERR_BAD_FORMAT;
  const uint64_t map_end = uint64_t{h.block_map_offset} + uint64_t{h.block_count} * 4;
  if (h.block_map_offset < sizeof(VdiHeader) || h.data_offset < map_end) return ERR_BAD_FORMAT;
  // A block size of 0 would divide by zero; one of part sectors has no place in a sector walk.
  const uint32_t block = h.block_size;
  if (block == 0 || block % kSectorSize != 0) return ERR_BAD_FORMAT;
  // Blocks of the disk without an entry would be read from beyond the map.
  if (ceil_div_u64(h.disk_size, block) > h.block_count) return ERR_BAD_FORMAT;
  const uint64_t stride = uint64_t{block} + h.block_extra;
  if (length < h.data_offset) return ERR_BAD_FORMAT;
  const uint64_t data = length - h.data_offset;
  if (data % stride != 0 || data / stride != h.blocks_allocated) return ERR_BAD_FORMAT;
  return OK;
}

ErrorCode read_map(VdiImage& st) {
  st.map.resize(st.header.block_count);
  auto bytes = std::span(reinterpret_cast<uint8_t*>(st.map.data()), st.map.size() * 4);
  if (!st.file.read_at(st.header.block_map_offset, bytes)) return ERR_READ;
  // An entry beyond the data area would read past the end of the file or into another block's
  // place in a trimmed copy.
  const uint32_t allocated = st.header.blocks_allocated;
  for (uint32_t& e : st.map) {
    e = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&e));
    if (is_stored(e) && e >= allocated) return ERR_BAD_FORMAT;
  }
  return OK;
}

ErrorCode vdi_open(DriverState& s, std::string_view path, bool read_only) {
  VdiImage& st = vdi(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  uint64_t length = 0;
  if (!st.file.length(length)) return ERR_FILE_SIZE;
  if (length < sizeof(VdiHeader)) return ERR_BAD_FORMAT;
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&st.header), sizeof(VdiHeader))))
    return ERR_READ;
  const VdiHeader& h = st.header;
  if (ErrorCode rc = check_header(h, length); rc != OK) return rc;
  const uint64_t sectors = ceil_div_u64(h.disk_size, kSectorSize);
  if (sectors > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry.total_sectors = static_cast<uint32_t>(sectors);
  st.geometry.heads = h.legacy_heads != 0 ? uint32_t{h.legacy_heads} : kDefaultHeads;
  st.geometry.sectors_per_track = h.legacy_sectors != 0 ? uint32_t{h.legacy_sectors} : kDefaultSectorsPerTrack;
  st.geometry.bytes_per_sector = kSectorSize;
  st.block_bytes = h.block_size;
  st.block_sectors = st.block_bytes / kSectorSize;
  st.stride = uint64_t{st.block_bytes} + h.block_extra;
  if (ErrorCode rc = read_map(st); rc != OK) return rc;
  st.used.assign(bitmap_bytes(st.block_sectors), 0);
  return OK;
}

void vdi_close(DriverState& s) {
  VdiImage& st = vdi(s);
  st.file.close();
  st.map = {};
  st.scratch = {};
  st.used = {};
}

DiskGeometry vdi_geometry(const DriverState& s) { return vdi(s).geometry; }

// ---- reading ----

ErrorCode vdi_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  VdiImage& st = vdi(s);
  const uint64_t size = st.geometry.size_bytes();
  if (offset > size || out.size() > size - offset) return ERR_UNSUPPORTED;
  size_t done = 0;
  for (BlockSplit64 sp(st.block_bytes, offset, out.size()); sp.more(); sp.next()) {
    const auto piece = out.subspan(done, static_cast<size_t>(sp.piece));
    const uint32_t entry = st.map[static_cast<size_t>(sp.block)];
    if (!is_stored(entry)) std::memset(piece.data(), 0, piece.size());
    else if (!st.file.read_at(block_data_offset(st, entry) + sp.offset, piece)) return ERR_READ;
    done += piece.size();
  }
  return OK;
}

// ---- free-range queries ----

// True in `zero` when the sectors [first, first + n) of the stored block hold only zeros.
ErrorCode stored_sectors_zero(VdiImage& st, uint32_t entry, uint32_t first, uint32_t n, bool& zero) {
  if (st.scratch.empty()) st.scratch.resize(std::min<size_t>(kScanChunk, st.block_bytes));
  return is_file_range_zero(st.file, block_data_offset(st, entry) + uint64_t{first} * kSectorSize,
                            uint64_t{n} * kSectorSize, st.scratch, zero);
}

// A stored piece is free when every sector the map calls used (every sector without a map)
// holds only zeros; runs of used sectors are read in one go.
ErrorCode stored_piece_free(VdiImage& st, const UsageMap* map, uint32_t entry, uint32_t in_block,
                            uint32_t first, uint32_t n, bool& free) {
  free = true;
  if (!map) return stored_sectors_zero(st, entry, in_block, n, free);
  if (ErrorCode rc = query_used(*map, first, n, st.used); rc != OK) return rc;
  for (uint32_t i = 0; i < n;) {
    if (!test_bit(st.used, i)) {
      ++i;
      continue;
    }
    uint32_t j = i + 1;
    while (j < n && test_bit(st.used, j)) ++j;
    if (ErrorCode rc = stored_sectors_zero(st, entry, in_block + i, j - i, free); rc != OK || !free)
      return rc;
    i = j;
  }
  return OK;
}

ErrorCode vdi_is_range_free(DriverState& s, const UsageMap* map, uint32_t first, uint32_t count,
                            bool& free, ProgressRelay* relay) {
  VdiImage& st = vdi(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  for (BlockSplit sp(st.block_sectors, first, count); sp.more(); sp.next()) {
    const uint32_t entry = st.map[sp.block];
    if (is_stored(entry)) {
      const uint32_t piece_first = sp.block * st.block_sectors + sp.offset;
      bool piece_free = true;
      if (ErrorCode rc = stored_piece_free(st, map, entry, sp.offset, piece_first, sp.piece, piece_free);
          rc != OK)
        return rc;
      if (!piece_free) {
        free = false;
        return OK;
      }
    }
    if (!relay_check_in(sp.piece, relay)) return CANCELLED;
  }
  return OK;
}

// Without a parent below, a block that is not stored is free and a stored one is kept as soon as
// the map calls one of its sectors used; no data is read.
ErrorCode vdi_is_range_free_in_layer(DriverState& s, const UsageMap* map, uint32_t first,
                                     uint32_t count, bool& free) {
  VdiImage& st = vdi(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  for (BlockSplit sp(st.block_sectors, first, count); sp.more(); sp.next()) {
    if (!is_stored(st.map[sp.block])) continue;
    if (!map) {
      free = false;
      return OK;
    }
    const uint32_t piece_first = sp.block * st.block_sectors + sp.offset;
    if (ErrorCode rc = query_used(*map, piece_first, sp.piece, st.used); rc != OK) return rc;
    for (uint32_t i = 0; i < sp.piece; ++i)
      if (test_bit(st.used, i)) {
        free = false;
        return OK;
      }
  }
  return OK;
}

// The writer packs bare blocks; extra data before each block would have to be carried along.
bool vdi_can_trim(const DriverState& s) { return vdi(s).header.block_extra == 0; }

// Images of this driver never have a parent.
bool vdi_needs_layer_local_trim(const DriverState&) { return false; }

// ---- trim ----

struct TrimContext {
  TrimContext(VdiImage& s, DiskImage& i, const UsageMap& m) : st(s), image(i), map(m) {}
  VdiImage& st;
  DiskImage& image;
  const UsageMap& map;
  File out;
  std::optional<FileCopier> copier;  // stored blocks go file to file
  std::vector<le32_t> new_map;
  std::vector<uint8_t> buffer;  // a block, or a piece of one when blocks are large
  std::vector<uint8_t> zeros;
  uint32_t kept = 0;
  uint64_t written_back = 0;  // the output up to here is on its way to the disk
};

// Zeros at [from, to). A long run becomes a hole, written only at its end so that the file
// reaches `to`: a hostile data offset costs neither memory nor gigabytes of writes.
ErrorCode write_zero_range(TrimContext& t, uint64_t from, uint64_t to) {
  if (to > from && to - from > kHoleThreshold) from = to - t.zeros.size();
  while (from < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, t.zeros.size()));
    if (!t.out.write_at(from, std::span(t.zeros).first(n))) return ERR_WRITE;
    from += n;
  }
  return OK;
}

// Block `block` of the disk, of which the first n sectors lie on it, goes to the next place of
// the data area: always a whole block, with zeros after the disk's end.
ErrorCode copy_block(TrimContext& t, uint32_t block, uint32_t n) {
  const VdiImage& st = t.st;
  if (t.kept >= kFirstUnstored) return ERR_UNSUPPORTED;
  const uint64_t disk_at = uint64_t{block} * st.block_bytes;
  const uint64_t out_at = uint64_t{st.header.data_offset} + uint64_t{t.kept} * st.block_bytes;
  const uint64_t data_len = uint64_t{n} * kSectorSize;
  t.new_map[block] = t.kept++;
  // A stored block lies in the file as it is; only the tail past the disk's end becomes zeros.
  if (const uint32_t entry = st.map[block]; is_stored(entry)) {
    if (!t.copier->copy(block_data_offset(st, entry), out_at, data_len)) return ERR_READ;
    return write_zero_range(t, out_at + data_len, out_at + st.block_bytes);
  }
  for (uint64_t off = 0; off < st.block_bytes;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(st.block_bytes - off, t.buffer.size()));
    const std::span<uint8_t> buf(t.buffer.data(), len);
    const size_t have = off < data_len ? static_cast<size_t>(std::min<uint64_t>(len, data_len - off)) : 0;
    if (have)
      if (ErrorCode rc = read_bytes(t.image, disk_at + off, buf.first(have)); rc != OK) return rc;
    std::memset(buf.data() + have, 0, len - have);
    if (!t.out.write_at(out_at + off, buf)) return ERR_WRITE;
    off += len;
  }
  const uint64_t end = out_at + st.block_bytes;
  if (end - t.written_back >= kWritebackStep) {
    if (!t.out.start_writeback(t.written_back, end - t.written_back)) return ERR_WRITE;
    t.written_back = end;
  }
  return OK;
}

// The source's header with only the allocated count changed, the new map exactly where the header
// places it, and zeros everywhere else up to the data offset.
ErrorCode write_head(TrimContext& t) {
  VdiHeader header = t.st.header;
  header.blocks_allocated = t.kept;
  const uint64_t map_at = header.block_map_offset;
  const uint64_t map_end = map_at + t.new_map.size() * 4;
  if (!t.out.write_at(0, std::span(reinterpret_cast<const uint8_t*>(&header), sizeof header)))
    return ERR_WRITE;
  if (ErrorCode rc = write_zero_range(t, sizeof header, map_at); rc != OK) return rc;
  if (!t.out.write_at(map_at, std::span(reinterpret_cast<const uint8_t*>(t.new_map.data()), map_end - map_at)))
    return ERR_WRITE;
  return write_zero_range(t, map_end, header.data_offset);
}

ErrorCode run_trim(TrimContext& t, ProgressCallback progress, void* user) {
  const VdiImage& st = t.st;
  const uint32_t total = st.geometry.total_sectors;
  if (progress && !progress(0, total, user)) return CANCELLED;
  // Entries beyond the disk's end hold nothing the guest can see; they stay unallocated.
  const uint64_t blocks = ceil_div_u64(total, st.block_sectors);
  uint32_t done = 0;
  for (uint32_t block = 0; block < blocks; ++block) {
    const uint32_t first = block * st.block_sectors;
    const uint32_t n = std::min(st.block_sectors, total - first);
    ProgressRelay relay{progress, user, done, total, 0};
    bool free = false;
    if (ErrorCode rc = is_range_free(t.image, &t.map, first, n, free, &relay); rc != OK) return rc;
    if (!free)
      if (ErrorCode rc = copy_block(t, block, n); rc != OK) return rc;
    done += n;
    if (block + 1 == blocks && !t.copier->finish()) return ERR_READ;
    if (progress && !progress(done, total, user)) return CANCELLED;
  }
  if (!t.copier->finish()) return ERR_READ;
  if (ErrorCode rc = write_head(t); rc != OK) return rc;
  // The rename that follows must not publish a file whose data never reached the disk.
  if (!t.out.sync()) return ERR_WRITE;
  return t.out.close() ? OK : ERR_WRITE;
}

}  // namespace

ErrorCode vdi_trim(std::string_view path, DiskImage& image, const UsageMap& map,
                   WriterRecord& record, ProgressCallback progress, void* user) {
  Replacement& replacement = record.single;
  if (set_replacement_names(replacement.entry, path) != OK) return ERR_UNSUPPORTED;
  if (image.format != FORMAT_VDI || !image.state || !can_trim(image)) return ERR_UNSUPPORTED;
  VdiImage& st = vdi(*image.state);
  TrimContext t(st, image, map);
  // Sized by the map already held in memory and by fixed limits, never by a header field alone.
  try {
    t.new_map.resize(st.map.size());
    for (le32_t& e : t.new_map) e = kUnallocated;
    t.buffer.resize(std::min<size_t>(kCopyChunk, st.block_bytes));
    t.zeros.resize(kZeroChunk);
  } catch (...) {
    return ERR_NO_MEMORY;
  }
  t.out = File::create(replacement.entry.temporary.view());
  if (!t.out) return ERR_CREATE;
  replacement.active = true;
  t.copier.emplace(st.file, t.out);
  if (!t.copier->is_open()) return ERR_CREATE;
  return run_trim(t, progress, user);
}

const FormatDriver kVdiDriver = {
    .name = "vdi",
    .make_state = make_driver_state<VdiImage>,
    .open = vdi_open,
    .close = vdi_close,
    .get_geometry = vdi_geometry,
    .read_bytes = vdi_read,
    .is_range_free = vdi_is_range_free,
    .can_trim = vdi_can_trim,
    .needs_layer_local_trim = vdi_needs_layer_local_trim,
    .is_range_free_in_layer = vdi_is_range_free_in_layer,
    .trim = vdi_trim,
    .identity = nullptr,
    .chain_status = nullptr,
};

}  // namespace qx
