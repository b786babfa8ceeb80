// QCOW2 (format 28): a big-endian header in the first cluster with its extensions, an L1 table of
// L2 tables that map guest clusters to host clusters (standard, "reads as zero", compressed, or
// 32 subclusters each with extended entries), refcounts, snapshots and bitmaps.
#include "formats/format_ids.hpp"
#include "formats/qcow2/qcow2.hpp"

#include <zlib.h>
#ifdef QX_HAVE_ZSTD
#include <zstd.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "formats/qcow2/qcow2_image.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/encoding.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

constexpr uint32_t kMagic = 0x514649FB;
constexpr uint32_t kMinClusterBits = 9;
// QEMU's own limits: it opens nothing beyond them, so neither does this driver.
constexpr uint32_t kMaxClusterBits = 21;
constexpr uint32_t kMinExtendedClusterBits = 14;
constexpr uint64_t kMaxL1Bytes = 32u << 20;
constexpr uint64_t kMaxRefcountTableBytes = 8u << 20;
constexpr uint64_t kMaxSnapshotTableBytes = 64u << 20;
constexpr uint32_t kMaxSnapshots = 65536;
constexpr uint64_t kMaxBitmapDirectoryBytes = 64u << 20;
constexpr uint32_t kMaxBitmaps = 65535;
constexpr uint32_t kMaxBackingName = 1023;
constexpr uint32_t kCryptAes = 1, kCryptLuks = 2;

constexpr uint32_t kExtEnd = 0;
constexpr uint32_t kExtBackingFormat = 0xE2792ACA;
constexpr uint32_t kExtFeatureNames = 0x6803F857;
constexpr uint32_t kExtBitmaps = 0x23852875;
constexpr uint32_t kExtEncryption = 0x0537BE77;
constexpr uint32_t kExtDataFile = 0x44415441;

constexpr uint32_t kSnapshotFixed = 40;
constexpr uint32_t kBitmapEntryFixed = 24;
constexpr uint64_t kBitmapTableReserved = 0xFF000000000001FEull;

// ---- open ----

struct HeadExtensions {
  std::string_view backing_format;
  std::string_view data_file;
};

// The extensions that follow the header inside the first cluster: each is known or kept as it is.
ErrorCode read_extensions(Qcow2Image& st, size_t at, HeadExtensions& out) {
  const std::span<const uint8_t> head(st.head);
  bool seen_bitmaps = false;
  while (true) {
    uint32_t type = 0, length = 0;
    if (!read_be(head, at, type)) return ERR_BAD_FORMAT;
    if (type == kExtEnd) return OK;
    if (!read_be(head, at + 4, length) || length > head.size() - at - 8) return ERR_BAD_FORMAT;
    const size_t data = at + 8;
    const std::string_view text(reinterpret_cast<const char*>(head.data() + data), length);
    switch (type) {
      case kExtBackingFormat: out.backing_format = text; break;
      case kExtDataFile: out.data_file = text; break;
      case kExtEncryption: return ERR_KEY_REQUIRED;
      case kExtBitmaps:
        if (seen_bitmaps || length < 24) return ERR_BAD_FORMAT;
        seen_bitmaps = true;
        st.bitmaps_ext_at = data;
        break;
      case kExtFeatureNames: break;  // kept as it is, as every unknown extension
      default: break;
    }
    const uint64_t next = data + ceil_div_u64(length, 8) * 8;
    if (next > head.size()) return ERR_BAD_FORMAT;
    at = static_cast<size_t>(next);
  }
}

ErrorCode check_header(Qcow2Image& st, const Qcow2Header& h) {
  if (h.magic != kMagic) return ERR_BAD_FORMAT;
  st.version = h.version;
  if (st.version < 2) return ERR_BAD_FORMAT;  // QCOW version 1 has a driver of its own
  if (st.version > 3) return ERR_UNSUPPORTED;
  st.cluster_bits = h.cluster_bits;
  if (st.cluster_bits < kMinClusterBits || st.cluster_bits > kMaxClusterBits) return ERR_UNSUPPORTED;
  st.cluster = uint64_t{1} << st.cluster_bits;
  if (h.crypt_method == kCryptAes || h.crypt_method == kCryptLuks) {
    note_refusal("encrypted", "the image is encrypted");
    return ERR_KEY_REQUIRED;
  }
  if (h.crypt_method != 0) return ERR_BAD_FORMAT;
  if (st.version == 3) {
    const uint32_t length = h.header_length;
    if (length < sizeof(Qcow2Header) || length % 8 != 0 || length > st.cluster) return ERR_BAD_FORMAT;
    st.incompatible = h.incompatible_features;
    st.autoclear = h.autoclear_features;
    st.refcount_order = h.refcount_order;
    if (st.refcount_order > 6) return ERR_BAD_FORMAT;
  }
  if (st.incompatible & ~kIncompatKnown) {
    note_refusal("unsupported_feature", "the image uses an incompatible feature this tool does not know");
    return ERR_UNSUPPORTED;
  }
  if (st.incompatible & kIncompatCorrupt) {
    note_refusal("corrupt", "QEMU marked the image corrupt; qemu-img check -r all repairs it");
    return ERR_BAD_FORMAT;
  }
  st.extended = st.incompatible & kIncompatExtendedL2;
  if (st.extended && st.cluster_bits < kMinExtendedClusterBits) return ERR_BAD_FORMAT;
  st.subclusters = st.extended ? 32 : 1;
  st.l2_entries = st.cluster / (8 * st.entry_words());
  st.size = h.size;
  if (st.size == 0 || st.size % kSectorSize != 0 || st.size / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry = DiskGeometry{static_cast<uint32_t>(st.size / kSectorSize), 16, 63, kSectorSize};
  return OK;
}

ErrorCode read_compression_type(Qcow2Image& st, uint32_t header_length) {
  st.compression_type = header_length > kQcow2CompressionTypeAt ? st.head[kQcow2CompressionTypeAt] : 0;
  const bool flagged = st.incompatible & kIncompatCompressionType;
  if (flagged != (st.compression_type != 0)) return ERR_BAD_FORMAT;
  if (st.compression_type > 1) return ERR_UNSUPPORTED;
#ifndef QX_HAVE_ZSTD
  // Built without libzstd (the Windows programs): no compressed cluster could be read.
  if (st.compression_type == 1) {
    note_refusal("zstd_unavailable", "its clusters are zstd-compressed, which this build of quorvex cannot read");
    return ERR_UNSUPPORTED;
  }
#endif
  return OK;
}

// Several L1 tables name the same L2 tables: repeated names are merged as they pile up, so that
// the list stays within the tables the file can hold.
void merge_shared(Qcow2Image& st) {
  std::vector<Qcow2Image::Extent>& m = st.metadata;
  std::sort(m.begin(), m.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  m.erase(std::unique(m.begin(), m.end(),
                      [](const auto& a, const auto& b) { return a.shared && b.shared && a.offset == b.offset; }),
          m.end());
}

void add_metadata(Qcow2Image& st, uint64_t offset, uint64_t length, bool shared = false) {
  if (length == 0) return;
  st.metadata.push_back({offset, length, shared});
  if (st.metadata.size() >= 2 * st.merged_metadata + 4096) {
    merge_shared(st);
    st.merged_metadata = st.metadata.size();
  }
}

bool aligned(const Qcow2Image& st, uint64_t offset) noexcept { return (offset & (st.cluster - 1)) == 0; }

// A table of `count` 8-byte entries at `offset`: cluster-aligned and inside the file.
ErrorCode read_words(Qcow2Image& st, uint64_t offset, uint64_t count, std::vector<uint64_t>& out) {
  if (!aligned(st, offset) || offset == 0 || count > st.file_length / 8 || !qcow2_in_file(st, offset, count * 8))
    return ERR_BAD_FORMAT;
  out.resize(static_cast<size_t>(count));
  if (!st.file.read_at(offset, std::span(reinterpret_cast<uint8_t*>(out.data()), out.size() * 8))) return ERR_READ;
  for (uint64_t& e : out) e = swap64(e);
  return OK;
}

// L1 entries: reserved bits clear, tables aligned inside the file.
ErrorCode check_l1(Qcow2Image& st, const std::vector<uint64_t>& l1) {
  for (uint64_t e : l1) {
    if (e & ~(kOffsetMask | kCopiedFlag)) return ERR_BAD_FORMAT;
    const uint64_t table = e & kOffsetMask;
    if (table == 0) continue;
    if (!aligned(st, table) || !qcow2_in_file(st, table, st.cluster)) return ERR_BAD_FORMAT;
    add_metadata(st, table, st.cluster, true);
  }
  return OK;
}

ErrorCode read_active_l1(Qcow2Image& st, const Qcow2Header& h) {
  st.l1_size = h.l1_size;
  st.l1_offset = h.l1_table_offset;
  const uint64_t span = st.cluster * st.l2_entries;
  if (uint64_t{st.l1_size} * 8 > kMaxL1Bytes) return ERR_UNSUPPORTED;
  if (st.l1_size < ceil_div_u64(st.size, span)) return ERR_BAD_FORMAT;
  if (st.l1_size == 0) return OK;
  if (ErrorCode rc = read_words(st, st.l1_offset, st.l1_size, st.l1); rc != OK) return rc;
  add_metadata(st, st.l1_offset, uint64_t{st.l1_size} * 8);
  return check_l1(st, st.l1);
}

ErrorCode read_refcount_table(Qcow2Image& st, const Qcow2Header& h) {
  const uint64_t bytes = uint64_t{h.refcount_table_clusters} * st.cluster;
  if (bytes == 0 || bytes > kMaxRefcountTableBytes) return ERR_BAD_FORMAT;
  std::vector<uint64_t> table;
  if (ErrorCode rc = read_words(st, h.refcount_table_offset, bytes / 8, table); rc != OK) return rc;
  add_metadata(st, h.refcount_table_offset, bytes);
  for (uint64_t e : table) {
    const uint64_t block = e & kOffsetMask;
    if ((e & ~kOffsetMask) != 0 && block != 0) return ERR_BAD_FORMAT;
    if (block == 0) continue;
    if (!aligned(st, block) || !qcow2_in_file(st, block, st.cluster)) return ERR_BAD_FORMAT;
    add_metadata(st, block, st.cluster);
  }
  return OK;
}

ErrorCode read_snapshots(Qcow2Image& st, const Qcow2Header& h) {
  st.nb_snapshots = h.nb_snapshots;
  st.snapshots_offset = h.snapshots_offset;
  if (st.nb_snapshots == 0) return OK;
  if (st.nb_snapshots > kMaxSnapshots || st.external) return ERR_BAD_FORMAT;
  const uint64_t at = st.snapshots_offset;
  if (!aligned(st, at) || at == 0 || at > st.file_length) return ERR_BAD_FORMAT;
  const uint64_t room = std::min(st.file_length - at, kMaxSnapshotTableBytes);
  // Entries are variable: read what the file holds (up to the limit) and walk them.
  std::vector<uint8_t>& t = st.snapshot_table;
  t.resize(static_cast<size_t>(std::min<uint64_t>(room, uint64_t{st.nb_snapshots} * (kSnapshotFixed + 3 * 65535 + 8))));
  if (!st.file.read_at(at, t)) return ERR_READ;
  size_t pos = 0;
  std::vector<uint64_t> l1;
  // Tables may not share bytes, so all of them together fit in the file; checked before each is
  // read, so that many entries naming one large table cost no more than the file.
  uint64_t l1_bytes = 0;
  for (uint32_t i = 0; i < st.nb_snapshots; ++i) {
    uint64_t l1_offset = 0;
    uint32_t l1_size = 0, extra = 0;
    uint16_t id = 0, name = 0;
    if (!read_be(std::span<const uint8_t>(t), pos, l1_offset) || !read_be(std::span<const uint8_t>(t), pos + 8, l1_size) ||
        !read_be(std::span<const uint8_t>(t), pos + 12, id) || !read_be(std::span<const uint8_t>(t), pos + 14, name) ||
        !read_be(std::span<const uint8_t>(t), pos + 36, extra))
      return ERR_BAD_FORMAT;
    const uint64_t end = pos + uint64_t{kSnapshotFixed} + extra + id + name;
    if (extra > 65535 || end > t.size()) return ERR_BAD_FORMAT;
    if (uint64_t{l1_size} * 8 > kMaxL1Bytes) return ERR_BAD_FORMAT;
    l1_bytes += uint64_t{l1_size} * 8;
    if (l1_bytes > st.file_length) return ERR_BAD_FORMAT;
    if (l1_size) {
      if (ErrorCode rc = read_words(st, l1_offset, l1_size, l1); rc != OK) return rc;
      add_metadata(st, l1_offset, uint64_t{l1_size} * 8);
      if (ErrorCode rc = check_l1(st, l1); rc != OK) return rc;
    }
    st.snapshots.push_back({l1_offset, l1_size, pos});
    pos = static_cast<size_t>(ceil_div_u64(end, 8) * 8);
    // QEMU ends the file right after the last entry, before its padding.
    if (pos > t.size()) {
      if (i + 1 < st.nb_snapshots) return ERR_BAD_FORMAT;
      pos = t.size();
    }
  }
  t.resize(pos);
  add_metadata(st, at, pos);
  return OK;
}

ErrorCode read_bitmap_tables(Qcow2Image& st) {
  std::vector<uint64_t> table;
  uint64_t table_bytes = 0, data_clusters = 0;
  for (const Qcow2Bitmap& b : st.bitmaps) {
    const uint64_t bits = ceil_div_u64(st.size, uint64_t{1} << b.granularity_bits);
    if (b.table_size != ceil_div_u64(ceil_div_u64(bits, 8), st.cluster)) return ERR_BAD_FORMAT;
    table_bytes += uint64_t{b.table_size} * 8;
    if (table_bytes > st.file_length) return ERR_BAD_FORMAT;
    if (ErrorCode rc = read_words(st, b.table_offset, b.table_size, table); rc != OK) return rc;
    add_metadata(st, b.table_offset, uint64_t{b.table_size} * 8);
    for (uint64_t e : table) {
      if (e & kBitmapTableReserved) return ERR_BAD_FORMAT;
      const uint64_t data = e & kOffsetMask;
      if (data == 0) continue;
      if ((e & 1) || !qcow2_in_file(st, data, st.cluster) || ++data_clusters > st.file_length / st.cluster)
        return ERR_BAD_FORMAT;
      add_metadata(st, data, st.cluster);
    }
  }
  return OK;
}

// The bitmap directory; consistent only while the autoclear bit says so (a writer that did not
// know bitmaps clears it), and then every bitmap is checked.
ErrorCode read_bitmaps(Qcow2Image& st) {
  const bool flagged = st.autoclear & kAutoclearBitmaps;
  if (!st.bitmaps_ext_at) return flagged ? ERR_BAD_FORMAT : OK;
  if (!flagged) {
    st.refusal_key = "bitmaps_inconsistent";
    st.refusal = "its bitmaps were left inconsistent by a program that did not know them; open it once in QEMU";
    return OK;
  }
  const uint8_t* e = st.head.data() + st.bitmaps_ext_at;
  const uint32_t count = be32(e);
  const uint64_t size = be64(e + 8), offset = be64(e + 16);
  if (count == 0 || count > kMaxBitmaps || be32(e + 4) != 0 || size == 0 || size > kMaxBitmapDirectoryBytes ||
      !aligned(st, offset) || offset == 0 || !qcow2_in_file(st, offset, size))
    return ERR_BAD_FORMAT;
  std::vector<uint8_t>& d = st.bitmap_directory;
  d.resize(static_cast<size_t>(size));
  if (!st.file.read_at(offset, d)) return ERR_READ;
  add_metadata(st, offset, size);
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Qcow2Bitmap b;
    uint16_t name = 0;
    uint32_t extra = 0;
    const std::span<const uint8_t> v(d);
    uint8_t type = 0, granularity = 0;
    if (!read_be(v, pos, b.table_offset) || !read_be(v, pos + 8, b.table_size) || !read_be(v, pos + 12, b.flags) ||
        !read_be(v, pos + 16, type) || !read_be(v, pos + 17, granularity) || !read_be(v, pos + 18, name) ||
        !read_be(v, pos + 20, extra))
      return ERR_BAD_FORMAT;
    const uint64_t end = pos + uint64_t{kBitmapEntryFixed} + extra + name;
    if (type != 1 || granularity < 9 || granularity > 31 || name == 0 || (b.flags >> 3) != 0 || end > d.size())
      return ERR_BAD_FORMAT;
    b.granularity_bits = granularity;
    b.entry_at = pos;
    st.bitmaps.push_back(b);
    pos = static_cast<size_t>(ceil_div_u64(end, 8) * 8);
  }
  if (pos != d.size()) return ERR_BAD_FORMAT;
  return read_bitmap_tables(st);
}

// No two tables may share a byte, but an L2 table may be named by several L1 tables.
ErrorCode check_overlaps(Qcow2Image& st) {
  std::vector<Qcow2Image::Extent>& m = st.metadata;
  add_metadata(st, 0, st.cluster);
  merge_shared(st);
  for (size_t i = 1; i < m.size(); ++i)
    if (m[i].offset < m[i - 1].offset + m[i - 1].length) return ERR_BAD_FORMAT;
  return OK;
}

bool overlaps_metadata(const Qcow2Image& st, uint64_t offset, uint64_t length) noexcept {
  const auto& m = st.metadata;
  auto it = std::upper_bound(m.begin(), m.end(), offset, [](uint64_t v, const auto& e) { return v < e.offset; });
  if (it != m.end() && it->offset < offset + length) return true;
  return it != m.begin() && std::prev(it)->offset + std::prev(it)->length > offset;
}

ErrorCode resolve_name(std::string_view stored, std::string_view own_path, PathBuffer<>& resolved) {
  uint32_t length = 0;
  PathBuffer<> work;
  // The whole name must be text; a NUL ends it early.
  if (!stored_text_length(TextView(stored.data(), static_cast<uint32_t>(stored.size())), TextEncoding::Utf8, length)) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
  const TextView name(stored.data(), length == kNotFound ? static_cast<uint32_t>(stored.size()) : length);
  if (name.empty() ||
      !resolve_stored_name(name, TextEncoding::Utf8, own_path, TextEncoding::Utf8, work, resolved,
                           TextEncoding::Utf8, PathStyle::Unix) ||
      !resolved.append_terminator()) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
  return OK;
}

// A raw backing file is the disk itself, shorter or longer than the child's.
ErrorCode open_raw_backing(Qcow2Image& st, std::string_view path) {
  File probe = File::open_existing(path, true);
  uint64_t length = 0;
  if (!probe || !probe.length(length)) return ERR_OPEN;
  probe.close();
  // A part sector would read as zeros where the file holds data.
  if (length % kSectorSize != 0 || length == 0 || length / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  DiskImage raw;
  const DiskGeometry g{static_cast<uint32_t>(length / kSectorSize), 16, 63, kSectorSize};
  if (ErrorCode rc = open_flat(raw, path, true, 0, g); rc != OK) return rc;
  if (g.total_sectors == st.geometry.total_sectors) {
    st.backing = std::move(raw);
    return OK;
  }
  return open_window(st.backing, std::move(raw), st.geometry.total_sectors);
}

ErrorCode open_backing(Qcow2Image& st, const Qcow2Header& h, const HeadExtensions& ext,
                       std::string_view own_path) {
  const uint64_t at = h.backing_file_offset;
  const uint32_t n = h.backing_file_size;
  if (n == 0 || n > kMaxBackingName || at > st.head.size() || n > st.head.size() - at || at < kQcow2V2HeaderLength)
    return ERR_BAD_FORMAT;
  if (st.autoclear & kAutoclearRawExternal) return ERR_BAD_FORMAT;
  PathBuffer<> resolved;
  if (ErrorCode rc = resolve_name(std::string_view(reinterpret_cast<const char*>(st.head.data() + at), n),
                                  own_path, resolved);
      rc != OK)
    return rc;
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  const std::string_view path = resolved.view().substr(0, resolved.view().size());
  ErrorCode rc = OK;
  if (ext.backing_format == "raw") {
    ParentChain guard;
    rc = open_raw_backing(st, path);
  } else {
    const int32_t id = ext.backing_format == "qcow2" ? int32_t{FORMAT_QCOW2} : int32_t{FORMAT_NONE};
    rc = open_sized_parent(st.backing, path, st.geometry.total_sectors, id);
    // Without a named format a file that no driver takes is a raw disk, as QEMU probes it.
    if (rc == ERR_UNSUPPORTED && ext.backing_format.empty()) {
      ParentChain guard;
      rc = open_raw_backing(st, path);
    }
  }
  if (rc != OK) return rc == ERR_KEY_REQUIRED ? ERR_BAD_FORMAT : rc;
  st.has_backing = true;
  return OK;
}

ErrorCode open_data_file(Qcow2Image& st, const HeadExtensions& ext, std::string_view own_path) {
  st.refusal_key = "external_data_file";
  st.refusal = "its data lies in an external data file";
  if (ext.data_file.empty()) return ERR_UNSUPPORTED;
  PathBuffer<> resolved;
  if (ErrorCode rc = resolve_name(ext.data_file, own_path, resolved); rc != OK) return rc;
  st.data_file = File::open_existing(resolved.view().substr(0, resolved.view().size()), true);
  if (!st.data_file) return ERR_OPEN;
  st.external = true;
  return OK;
}

ErrorCode qcow2_open(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  Qcow2Image& st = qcow2(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  if (!st.file.length(st.file_length)) return ERR_FILE_SIZE;
  Qcow2Header h{};
  const size_t got = static_cast<size_t>(std::min<uint64_t>(st.file_length, sizeof h));
  if (got < kQcow2V2HeaderLength) return ERR_BAD_FORMAT;
  if (!st.file.read_at(0, bytes_of(h).first(got))) return ERR_READ;
  if (ErrorCode rc = check_header(st, h); rc != OK) return rc;
  if (st.version == 3 && got < sizeof h) return ERR_BAD_FORMAT;
  // The first cluster holds the header, its extensions and the backing file's name.
  st.head.assign(static_cast<size_t>(st.cluster), 0);
  if (!st.file.read_at(0, std::span(st.head).first(static_cast<size_t>(std::min(st.cluster, st.file_length)))))
    return ERR_READ;
  const uint32_t header_length = st.version == 3 ? uint32_t{h.header_length} : kQcow2V2HeaderLength;
  if (ErrorCode rc = read_compression_type(st, header_length); rc != OK) return rc;
  HeadExtensions ext;
  if (ErrorCode rc = read_extensions(st, header_length, ext); rc != OK) return rc;
  if (st.incompatible & kIncompatExternalData)
    if (ErrorCode rc = open_data_file(st, ext, path); rc != OK) return rc;
  if (ErrorCode rc = read_active_l1(st, h); rc != OK) return rc;
  if (ErrorCode rc = read_refcount_table(st, h); rc != OK) return rc;
  if (ErrorCode rc = read_snapshots(st, h); rc != OK) return rc;
  if (ErrorCode rc = read_bitmaps(st); rc != OK) return rc;
  if (ErrorCode rc = check_overlaps(st); rc != OK) return rc;
  if (h.backing_file_offset != 0)
    if (ErrorCode rc = open_backing(st, h, ext, path); rc != OK) return rc;
  if (st.incompatible & kIncompatDirty) {
    st.refusal_key = "not_closed_cleanly";
    st.refusal = "the image was not closed cleanly and its refcounts may be stale; open it once in QEMU to repair it";
  }
  for (const Qcow2Bitmap& b : st.bitmaps) {
    if (!(b.flags & kBitmapInUse)) continue;
    st.refusal_key = "bitmap_in_use";
    st.refusal = "one of its bitmaps is in use (or was not saved cleanly)";
  }
  if (!st.path.assign(path)) return ERR_UNSUPPORTED;
  return OK;
}

void release_zstd(Qcow2Image& st) {
#ifdef QX_HAVE_ZSTD
  ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(st.zstd));
#endif
  st.zstd = nullptr;
}

void qcow2_close(DriverState& s) {
  Qcow2Image& st = qcow2(s);
  release_zstd(st);
  st.file.close();
  st.data_file.close();
  close_image(st.backing);
  st.has_backing = false;
  st.l1 = {};
  st.l2 = {};
  st.l2_at = 0;
  st.unpacked_entry = 0;
}

DiskGeometry qcow2_geometry(const DriverState& s) { return qcow2(s).geometry; }

// ---- L2 entries ----

ErrorCode decode_compressed(const Qcow2Image& st, uint64_t entry, Qcow2Cluster& out) {
  if (st.external) return ERR_BAD_FORMAT;
  const uint32_t shift = 62 - (st.cluster_bits - 8);
  const uint64_t offset = entry & ((uint64_t{1} << shift) - 1);
  const uint64_t sectors = ((entry & ~(kCopiedFlag | kCompressedFlag)) >> shift) + 1;
  if (entry & kCopiedFlag) return ERR_BAD_FORMAT;
  out.compressed = true;
  out.host = offset;
  out.length = (offset / kSectorSize + sectors) * kSectorSize - offset;
  // The last sector may run past the end of the file; its start may not.
  if (offset >= st.file_length || overlaps_metadata(st, offset, std::min(out.length, st.file_length - offset)))
    return ERR_BAD_FORMAT;
  return OK;
}

}  // namespace

Qcow2Image::~Qcow2Image() { release_zstd(*this); }

ErrorCode qcow2_decode(const Qcow2Image& st, uint64_t entry, uint64_t bitmap, Qcow2Cluster& out) {
  out = Qcow2Cluster{};
  if (entry & kCompressedFlag) return decode_compressed(st, entry, out);
  const uint64_t reserved = st.extended || st.version == 2 ? ~(kOffsetMask | kCopiedFlag)
                                                            : ~(kOffsetMask | kCopiedFlag | kZeroFlag);
  if (entry & reserved) return ERR_BAD_FORMAT;
  out.host = entry & kOffsetMask;
  if (st.extended) {
    out.alloc = static_cast<uint32_t>(bitmap);
    out.zero = static_cast<uint32_t>(bitmap >> 32);
    if (out.alloc & out.zero) return ERR_BAD_FORMAT;
  } else if (entry & kZeroFlag) {
    out.zero = 1;
  } else if (out.host != 0 || (entry & kCopiedFlag)) {
    out.alloc = 1;
  }
  if (out.alloc && out.host == 0 && !st.external) return ERR_BAD_FORMAT;
  // An external data file holds each cluster at its guest offset, whatever the entry says.
  if (out.host == 0 || st.external) return OK;
  // The file may end after the last subcluster QEMU wrote: what lies behind is never read.
  const uint64_t stored = st.extended ? std::bit_width(out.alloc) * st.subcluster_bytes() : st.cluster;
  if (out.host >= st.file_length || !qcow2_in_file(st, out.host, stored) || overlaps_metadata(st, out.host, st.cluster))
    return ERR_BAD_FORMAT;
  return OK;
}

ErrorCode qcow2_read_table(Qcow2Image& st, uint64_t offset, std::vector<uint64_t>& out) {
  if ((offset & (st.cluster - 1)) != 0 || !qcow2_in_file(st, offset, st.cluster)) return ERR_BAD_FORMAT;
  out.resize(static_cast<size_t>(st.cluster / 8));
  if (!st.file.read_at(offset, std::span(reinterpret_cast<uint8_t*>(out.data()), out.size() * 8))) return ERR_READ;
  for (uint64_t& e : out) e = swap64(e);
  return OK;
}

ErrorCode qcow2_cluster(Qcow2Image& st, uint64_t index, Qcow2Cluster& out) {
  const uint64_t l1_index = index / st.l2_entries;
  out = Qcow2Cluster{};
  if (l1_index >= st.l1.size()) return OK;
  const uint64_t table = st.l1[static_cast<size_t>(l1_index)] & kOffsetMask;
  if (table == 0) return OK;
  if (table != st.l2_at) {
    st.l2_at = 0;
    if (ErrorCode rc = qcow2_read_table(st, table, st.l2); rc != OK) return rc;
    st.l2_at = table;
  }
  const size_t i = static_cast<size_t>(index % st.l2_entries * st.entry_words());
  return qcow2_decode(st, st.l2[i], st.extended ? st.l2[i + 1] : 0, out);
}

namespace {

// ---- reading ----

ErrorCode inflate_zlib(std::span<const uint8_t> in, std::span<uint8_t> out) {
  z_stream z{};
  if (inflateInit2(&z, -12) != Z_OK) return ERR_NO_MEMORY;
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const bool whole = (rc == Z_STREAM_END || rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_out == 0;
  inflateEnd(&z);
  return whole ? OK : ERR_BAD_FORMAT;
}

// A frame may ask for a window far beyond a cluster: no more than this is granted.
constexpr int kZstdWindowLogMax = 23;

ErrorCode inflate_zstd(Qcow2Image& st, std::span<const uint8_t> in, std::span<uint8_t> out) {
#ifdef QX_HAVE_ZSTD
  if (!st.zstd) {
    st.zstd = ZSTD_createDCtx();
    if (!st.zstd || ZSTD_isError(ZSTD_DCtx_setParameter(static_cast<ZSTD_DCtx*>(st.zstd), ZSTD_d_windowLogMax,
                                                        kZstdWindowLogMax)))
      return ERR_NO_MEMORY;
  }
  ZSTD_DCtx* ctx = static_cast<ZSTD_DCtx*>(st.zstd);
  (void)ZSTD_DCtx_reset(ctx, ZSTD_reset_session_only);
  ZSTD_inBuffer src{in.data(), in.size(), 0};
  ZSTD_outBuffer dst{out.data(), out.size(), 0};
  // The last sector may hold the start of the next cluster's data: stop once the cluster is full.
  while (dst.pos < dst.size) {
    const size_t in_before = src.pos, out_before = dst.pos;
    const size_t rc = ZSTD_decompressStream(ctx, &dst, &src);
    if (ZSTD_isError(rc) || rc == 0 || (src.pos == in_before && dst.pos == out_before)) break;
  }
  return dst.pos == dst.size ? OK : ERR_BAD_FORMAT;
#else
  (void)st;
  (void)in;
  (void)out;
  return ERR_UNSUPPORTED;
#endif
}

ErrorCode unpack_cluster(Qcow2Image& st, uint64_t entry, const Qcow2Cluster& c) {
  if (entry == st.unpacked_entry && entry != 0) return OK;
  st.unpacked_entry = 0;
  const uint64_t length = std::min(c.length, st.file_length - c.host);
  st.packed.resize(static_cast<size_t>(length));
  st.unpacked.resize(static_cast<size_t>(st.cluster));
  if (!st.file.read_at(c.host, st.packed)) return ERR_READ;
  const ErrorCode rc = st.compression_type == 1 ? inflate_zstd(st, st.packed, st.unpacked) : inflate_zlib(st.packed, st.unpacked);
  if (rc != OK) return rc;
  st.unpacked_entry = entry;
  return OK;
}

// Bytes [offset, offset + out.size()) of one subcluster's worth of the disk, as the layer below
// gives them.
ErrorCode read_below(Qcow2Image& st, uint64_t offset, std::span<uint8_t> out) {
  if (st.has_backing) return read_bytes(st.backing, offset, out);
  std::memset(out.data(), 0, out.size());
  return OK;
}

uint64_t raw_entry(const Qcow2Image& st, uint64_t index) {
  return st.l2[static_cast<size_t>(index % st.l2_entries * st.entry_words())];
}

ErrorCode read_piece(Qcow2Image& st, uint64_t at, std::span<uint8_t> out) {
  const uint64_t index = at >> st.cluster_bits, within = at & (st.cluster - 1);
  Qcow2Cluster c;
  if (ErrorCode rc = qcow2_cluster(st, index, c); rc != OK) return rc;
  if (c.compressed) {
    if (ErrorCode rc = unpack_cluster(st, raw_entry(st, index), c); rc != OK) return rc;
    std::memcpy(out.data(), st.unpacked.data() + within, out.size());
    return OK;
  }
  const uint32_t bit = 1u << (within / st.subcluster_bytes());
  if (c.alloc & bit) {
    const uint64_t host = (st.external ? index << st.cluster_bits : c.host) + within;
    return st.data().read_at(host, out) ? OK : ERR_READ;
  }
  if (c.zero & bit) {
    std::memset(out.data(), 0, out.size());
    return OK;
  }
  return read_below(st, at, out);
}

ErrorCode qcow2_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  Qcow2Image& st = qcow2(s);
  return read_by_blocks(st.subcluster_bytes(), offset, out, [&](uint64_t block, uint64_t in, std::span<uint8_t> piece) {
    return read_piece(st, block * st.subcluster_bytes() + in, piece);
  });
}

// ---- the layer question ----

LayerHolding holding_of(const Qcow2Cluster& c, uint32_t sub) noexcept {
  if (c.compressed) return LayerHolding::kOther;
  if (c.alloc & (1u << sub)) return LayerHolding::kStored;
  if (c.zero & (1u << sub)) return LayerHolding::kZero;
  return LayerHolding::kAbsent;
}

// A run goes on over subclusters and clusters that answer alike (stored ones contiguous in the
// file) up to the end of the L2 table, so that large unallocated stretches cost one question.
ErrorCode qcow2_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  Qcow2Image& st = qcow2(s);
  const uint64_t sub_sectors = st.subcluster_bytes() / kSectorSize;
  const uint64_t span_sectors = st.l2_entries * st.cluster_sectors();
  const uint64_t limit = std::min<uint64_t>(uint64_t{first} + count, (first / span_sectors + 1) * span_sectors);
  out = LayerRun{};
  uint64_t pos = first;
  uint64_t next_host = 0;
  while (pos < limit) {
    const uint64_t index = pos / st.cluster_sectors();
    Qcow2Cluster c;
    if (ErrorCode rc = qcow2_cluster(st, index, c); rc != OK) return rc;
    const auto sub = static_cast<uint32_t>(pos % st.cluster_sectors() / sub_sectors);
    const LayerHolding h = holding_of(c, sub);
    const uint64_t host = (st.external ? index << st.cluster_bits : c.host) + (pos % st.cluster_sectors()) * kSectorSize;
    if (pos == first) {
      out.holding = h;
      if (h == LayerHolding::kStored) {
        out.file = &st.data();
        out.offset = host;
      }
    } else if (h != out.holding || h == LayerHolding::kOther || (h == LayerHolding::kStored && host != next_host)) {
      break;
    }
    const uint64_t piece_end = std::min(limit, (pos / sub_sectors + 1) * sub_sectors);
    next_host = host + (piece_end - pos) * kSectorSize;
    pos = piece_end;
    if (h == LayerHolding::kOther) pos = std::min(limit, (index + 1) * st.cluster_sectors());
    if (h == LayerHolding::kOther) break;
  }
  out.count = static_cast<uint32_t>(pos - first);
  return OK;
}

DiskImage* qcow2_parent(DriverState& s) { return qcow2(s).has_backing ? &qcow2(s).backing : nullptr; }

bool qcow2_can_trim(const DriverState& s) {
  const Qcow2Image& st = qcow2(s);
  if (st.refusal) note_refusal(st.refusal_key, st.refusal);
  return st.refusal == nullptr;
}

ErrorCode qcow2_chain_status(const DriverState& s) {
  const Qcow2Image& st = qcow2(s);
  return st.has_backing ? parent_chain_status(st.backing) : OK;
}

}  // namespace

const FormatDriver kQcow2Driver = {
    .name = "qcow2",
    .make_state = make_driver_state<Qcow2Image>,
    .open = qcow2_open,
    .close = qcow2_close,
    .get_geometry = qcow2_geometry,
    .read_bytes = qcow2_read,
    .can_trim = qcow2_can_trim,
    .trim = qcow2_trim,
    .trim_in_place = qcow2_trim_in_place,
    .chain_status = qcow2_chain_status,
    .layer_status = qcow2_layer_status,
    .parent = qcow2_parent,
};

}  // namespace qx
