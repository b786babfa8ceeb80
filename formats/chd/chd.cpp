// CHD, header versions 3 and 4 (format 21): the disk in hunks of equal size, each stored raw-deflate
// compressed, stored plainly, reduced to an 8-byte pattern, or the copy of another hunk.
#include "formats/chd/chd.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

struct ChdHeaderStart {
  be32_t tag_high;
  be32_t tag_low;
  be32_t header_length;
  be32_t version;
};
static_assert(sizeof(ChdHeaderStart) == 16);

struct ChdMapEntry {
  be64_t value;  // file offset, pattern or hunk number, by type
  be32_t crc;
  be16_t length_low;
  uint8_t length_high;
  uint8_t type;
};
static_assert(sizeof(ChdMapEntry) == 16);

constexpr uint32_t kTagHigh = 0x4D436F6D;  // "MCom"
constexpr uint32_t kTagLow = 0x70724844;   // "prHD"
constexpr uint32_t kV3HeaderLength = 120;
constexpr uint32_t kV4HeaderLength = 108;
constexpr size_t kV3HunkBytesOffset = 76;
constexpr size_t kV4HunkBytesOffset = 44;
constexpr size_t kLogicalBytesOffset = 28;
constexpr size_t kCompressionOffset = 20;
constexpr size_t kTotalHunksOffset = 24;
// Real hunks are a few KiB; far larger ones would only size allocations from a hostile field.
constexpr uint32_t kMaxHunkBytes = 1u << 20;

enum HunkType : uint8_t { kCompressed = 1, kPlain = 2, kPattern = 3, kCopy = 4 };
constexpr uint32_t kNoHunk = 0xFFFFFFFFu;
constexpr uint32_t kCopyLoop = 0xFFFFFFFEu;

struct ChdImage : DriverState {
  File file;
  uint32_t compression = 0;
  uint32_t hunk_bytes = 0;
  std::vector<ChdMapEntry> map;
  // For every hunk the hunk whose entry holds its data: itself, the end of its copy chain, or
  // kNoHunk / kCopyLoop when the chain leaves the map or runs in a circle.
  std::vector<uint32_t> source;
  std::vector<uint8_t> cache;
  int64_t cached_hunk = -1;
  std::vector<uint8_t> compressed;
  DiskGeometry geometry;

  bool read_failed() const noexcept override { return file.read_failed(); }
};

ChdImage& chd(DriverState& s) { return static_cast<ChdImage&>(s); }

// ---- open ----

// Follows every copy chain once, so that a chain is never walked twice and a circle never hangs.
void resolve_copies(ChdImage& st) {
  const auto count = static_cast<uint32_t>(st.map.size());
  constexpr uint32_t kUnresolved = 0xFFFFFFFDu, kOnPath = 0xFFFFFFFCu;
  st.source.assign(count, kUnresolved);
  std::vector<uint32_t> path;
  for (uint32_t h = 0; h < count; ++h) {
    uint32_t at = h;
    path.clear();
    uint32_t result = kUnresolved;
    while (result == kUnresolved) {
      if (at >= count) {
        result = kNoHunk;
      } else if (st.source[at] == kOnPath) {
        result = kCopyLoop;
      } else if (st.source[at] != kUnresolved) {
        result = st.source[at];
      } else if (st.map[at].type != kCopy) {
        result = at;
      } else {
        st.source[at] = kOnPath;
        path.push_back(at);
        const uint64_t next = st.map[at].value;
        at = next >= count ? count : static_cast<uint32_t>(next);
      }
    }
    for (uint32_t p : path) st.source[p] = result;
    if (h < count && st.source[h] == kUnresolved) st.source[h] = result;
  }
}

ErrorCode chd_open(DriverState& s, std::string_view path, bool read_only) {
  ChdImage& st = chd(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  ChdHeaderStart start{};
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&start), sizeof start))) return ERR_READ;
  const uint32_t version = start.version;
  const uint32_t header_length = version == 3 ? kV3HeaderLength : kV4HeaderLength;
  if (start.tag_high != kTagHigh || start.tag_low != kTagLow || (version != 3 && version != 4) ||
      start.header_length != header_length)
    return ERR_BAD_FORMAT;
  std::vector<uint8_t> header(header_length);
  if (!st.file.read_at(0, header)) return ERR_READ;
  st.compression = be32(&header[kCompressionOffset]);
  const uint32_t total_hunks = be32(&header[kTotalHunksOffset]);
  const uint64_t logical = be64(&header[kLogicalBytesOffset]);
  st.hunk_bytes = be32(&header[version == 3 ? kV3HunkBytesOffset : kV4HunkBytesOffset]);
  if (logical % kSectorSize || st.hunk_bytes % kSectorSize || st.hunk_bytes == 0) return ERR_BAD_FORMAT;
  // Every byte of the disk lies in a hunk of the map.
  if (ceil_div_u64(logical, st.hunk_bytes) > total_hunks) return ERR_BAD_FORMAT;
  if (st.hunk_bytes > kMaxHunkBytes) return ERR_UNSUPPORTED;
  if (logical / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  uint64_t length = 0;
  if (!st.file.length(length)) return ERR_FILE_SIZE;
  // Bounded by the file before anything is allocated.
  if ((length - header_length) / sizeof(ChdMapEntry) < total_hunks) return ERR_BAD_FORMAT;
  st.map.resize(total_hunks);
  if (!st.file.read_at(header_length, std::span(reinterpret_cast<uint8_t*>(st.map.data()),
                                                st.map.size() * sizeof(ChdMapEntry))))
    return ERR_READ;
  resolve_copies(st);
  st.cache.resize(st.hunk_bytes);
  st.compressed.resize(size_t{st.hunk_bytes} * 2);
  st.cached_hunk = -1;
  st.geometry = {static_cast<uint32_t>(logical / kSectorSize), 16, 63, kSectorSize};
  return OK;
}

DiskGeometry chd_geometry(const DriverState& s) { return static_cast<const ChdImage&>(s).geometry; }

// ---- hunks ----

// One inflate call over the whole stored hunk, which must give exactly one hunk.
ErrorCode inflate_hunk(ChdImage& st, std::span<uint8_t> in) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return ERR_READ;
  z.next_in = in.data();
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = st.cache.data();
  z.avail_out = static_cast<uInt>(st.cache.size());
  const int zr = inflate(&z, Z_FINISH);
  const bool whole = (zr == Z_STREAM_END || (zr == Z_BUF_ERROR && z.avail_out == 0) ||
                      (zr == Z_OK && z.avail_out == 0)) &&
                     z.total_out == st.cache.size();
  inflateEnd(&z);
  return whole ? OK : ERR_BAD_FORMAT;
}

// The entry that holds hunk h's data, after its copy chain.
ErrorCode source_entry(const ChdImage& st, uint32_t h, const ChdMapEntry*& out) {
  const uint32_t src = st.source[h];
  if (src == kNoHunk || src == kCopyLoop) return ERR_BAD_FORMAT;
  out = &st.map[src];
  return OK;
}

ErrorCode load_hunk(ChdImage& st, uint32_t h) {
  if (st.cached_hunk == h) return OK;
  const ChdMapEntry* e = nullptr;
  if (ErrorCode rc = source_entry(st, h, e); rc != OK) return rc;
  st.cached_hunk = -1;
  switch (e->type) {
    case kCompressed: {
      const uint32_t length = uint32_t{e->length_high} << 16 | e->length_low.get();
      if (length > st.compressed.size()) return ERR_BAD_FORMAT;
      std::span<uint8_t> in(st.compressed.data(), length);
      if (!st.file.read_at(e->value, in)) return ERR_READ;
      if (ErrorCode rc = inflate_hunk(st, in); rc != OK) return rc;
      break;
    }
    case kPlain:
      if (!st.file.read_at(e->value, st.cache)) return ERR_READ;
      break;
    case kPattern: {
      uint8_t pattern[8];
      std::memcpy(pattern, &e->value, 8);
      for (size_t i = 0; i < st.cache.size(); i += 8) std::memcpy(&st.cache[i], pattern, 8);
      break;
    }
    default: return ERR_BAD_FORMAT;
  }
  st.cached_hunk = h;
  return OK;
}

ErrorCode chd_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  ChdImage& st = chd(s);
  return read_by_blocks(st.hunk_bytes, offset, out, [&](uint64_t hunk, uint64_t in, std::span<uint8_t> piece) {
    if (ErrorCode rc = load_hunk(st, static_cast<uint32_t>(hunk)); rc != OK) return rc;
    std::memcpy(piece.data(), st.cache.data() + in, piece.size());
    return OK;
  });
}

// The map is not asked: a hunk counts by its bytes alone.
ErrorCode chd_is_range_free(DriverState& s, const SectorUse*, uint32_t first, uint32_t count,
                            bool& free, ProgressRelay* relay) {
  ChdImage& st = chd(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  const uint32_t hunk_sectors = st.hunk_bytes / kSectorSize;
  for (BlockSplit sp(hunk_sectors, first, count); sp.more(); sp.next()) {
    const ChdMapEntry* e = nullptr;
    if (ErrorCode rc = source_entry(st, sp.block, e); rc != OK) return rc;
    if (e->type == kPattern) {
      free = e->value == 0;
    } else {
      if (ErrorCode rc = load_hunk(st, sp.block); rc != OK) return rc;
      free = is_all_zero(std::span(st.cache).subspan(size_t{sp.offset} * kSectorSize,
                                                     size_t{sp.piece} * kSectorSize));
    }
    if (!free) return OK;
    if (!relay_check_in(sp.piece, relay)) return CANCELLED;
  }
  return OK;
}

}  // namespace

const FormatDriver kChdDriver = {
    .name = "chd",
    .make_state = make_driver_state<ChdImage>,
    .open = chd_open,
    .get_geometry = chd_geometry,
    .read_bytes = chd_read,
    .is_range_free = chd_is_range_free,
};

}  // namespace qx
