// QCOW version 1 (format 19): a big-endian header, an L1 and L2 table that map clusters of the
// disk to clusters of the file, deflated clusters, and an optional backing file. Read-only.
#include "formats/qcow/qcow.hpp"
#include "formats/format_ids.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

struct QcowHeader {
  be32_t magic;
  be32_t version;
  be64_t backing_name_offset;
  be32_t backing_name_size;
  be32_t mtime;
  be64_t size;
  uint8_t cluster_bits;
  uint8_t l2_bits;
  uint8_t padding[2];
  be32_t crypt_method;
  be64_t l1_offset;
};
static_assert(sizeof(QcowHeader) == 48);

constexpr uint32_t kMagic = 0x514649FB;
constexpr uint32_t kCryptAes = 1;
constexpr uint32_t kMaxBackingName = 1023;
// Clusters up to 2 MiB: every writer of the format uses 4 KiB (qemu) to 64 KiB, and a larger
// cluster would make one compressed read inflate far more than the file can justify.
constexpr uint32_t kMaxClusterBits = 21;
constexpr uint32_t kMaxSpanBits = 62;
constexpr uint64_t kNoTable = ~uint64_t{0};
constexpr uint64_t kCompressedFlag = uint64_t{1} << 63;

struct QcowImage : DriverState {
  File file;
  uint64_t file_length = 0;
  uint64_t size = 0;
  uint32_t cluster_bits = 0;
  uint32_t span_bits = 0;  // cluster bits + L2 bits
  uint64_t l2_entries = 0;
  DiskGeometry geometry;
  std::vector<uint64_t> l1;
  std::vector<uint64_t> l2;
  uint64_t l2_offset = kNoTable;
  std::vector<uint8_t> compressed;
  std::vector<uint8_t> cluster;  // the last inflated cluster
  uint64_t cluster_entry = 0;    // its L2 entry; 0 while none is cached
  DiskImage backing;

  bool read_failed() const noexcept override { return file.read_failed() || image_read_failed(backing); }

  uint64_t cluster_bytes() const noexcept { return uint64_t{1} << cluster_bits; }
};

QcowImage& qcow(DriverState& s) { return static_cast<QcowImage&>(s); }
const QcowImage& qcow(const DriverState& s) { return static_cast<const QcowImage&>(s); }

ErrorCode check_header(const QcowHeader& h) {
  if (h.magic != kMagic || h.version != 1 || h.size <= 1 || h.cluster_bits <= 8) return ERR_BAD_FORMAT;
  if (h.crypt_method == kCryptAes) return ERR_KEY_REQUIRED;
  if (h.crypt_method != 0) return ERR_BAD_FORMAT;
  if (h.cluster_bits > kMaxClusterBits || h.cluster_bits + h.l2_bits > kMaxSpanBits) return ERR_UNSUPPORTED;
  return OK;
}

// Tables are sized by the header: each must lie in the file before it is allocated.
bool fits_in_file(const QcowImage& st, uint64_t offset, uint64_t entries) noexcept {
  return offset <= st.file_length && (st.file_length - offset) / 8 >= entries;
}

ErrorCode read_l1(QcowImage& st, const QcowHeader& h) {
  const uint64_t l1_entries = ceil_div_u64(st.size, uint64_t{1} << st.span_bits);
  if (!fits_in_file(st, h.l1_offset, l1_entries)) return ERR_BAD_FORMAT;
  st.l1.resize(static_cast<size_t>(l1_entries));
  const uint64_t l1_offset = h.l1_offset;
  if (!st.file.read_at(l1_offset, std::span(reinterpret_cast<uint8_t*>(st.l1.data()), st.l1.size() * 8)))
    return ERR_READ;
  for (uint64_t& e : st.l1) e = swap64(e);
  return OK;
}

ErrorCode open_backing(QcowImage& st, const QcowHeader& h, std::string_view path) {
  const uint64_t at = h.backing_name_offset;
  // A longer name cut short could name another file.
  if (h.backing_name_size > kMaxBackingName) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
  const uint32_t n = h.backing_name_size;
  std::vector<char> name(n);
  if (!st.file.read_at(at, std::span(reinterpret_cast<uint8_t*>(name.data()), n))) return ERR_READ;
  uint32_t length = 0;
  PathBuffer<> work, resolved;
  // The whole name must be text; a NUL ends it early.
  const bool text = stored_text_length(TextView(name.data(), n), TextEncoding::Utf8, length);
  const TextView stored(name.data(), length == kNotFound ? n : length);
  if (!text || stored.empty() ||
      !resolve_stored_name(stored, TextEncoding::Utf8, path, TextEncoding::Utf8, work, resolved,
                           TextEncoding::Utf8, PathStyle::Unix) ||
      !resolved.append_terminator()) {
    note_refusal("unnamed_parent", "the image has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  {
    ParentChain guard;
    if (open_image_as(st.backing, resolved.view(), true, FORMAT_QCOW) != OK)
      if (ErrorCode rc = open_flat(st.backing, resolved.view(), true, 0, st.geometry); rc != OK) return rc;
  }
  const DiskGeometry g = get_geometry(st.backing);
  if (g.total_sectors != st.geometry.total_sectors || g.bytes_per_sector != st.geometry.bytes_per_sector) {
    close_image(st.backing);
    return ERR_BAD_FORMAT;
  }
  return OK;
}

ErrorCode qcow_open(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  QcowImage& st = qcow(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  QcowHeader h;
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&h), sizeof h))) return ERR_READ;
  if (ErrorCode rc = check_header(h); rc != OK) return rc;
  st.size = h.size;
  if (st.size / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  st.cluster_bits = h.cluster_bits;
  st.span_bits = h.cluster_bits + h.l2_bits;
  st.l2_entries = uint64_t{1} << h.l2_bits;
  st.geometry = DiskGeometry{static_cast<uint32_t>(st.size / kSectorSize), 16, 63, kSectorSize};
  if (!st.file.length(st.file_length)) return ERR_FILE_SIZE;
  if (ErrorCode rc = read_l1(st, h); rc != OK) return rc;
  if (h.backing_name_offset != 0)
    if (ErrorCode rc = open_backing(st, h, path); rc != OK) return rc;
  return OK;
}

DiskGeometry qcow_geometry(const DriverState& s) { return qcow(s).geometry; }

// The L2 entry of the cluster that holds disk byte `offset`; 0 when it is not allocated.
ErrorCode cluster_entry(QcowImage& st, uint64_t offset, uint64_t& entry) {
  const uint64_t table = st.l1[static_cast<size_t>(offset >> st.span_bits)];
  entry = 0;
  if (table == 0) return OK;
  if (table != st.l2_offset) {
    st.l2_offset = kNoTable;
    // A fresh image is shorter than one table, so the cache is made on first use.
    if (!fits_in_file(st, table, st.l2_entries)) return ERR_READ;
    st.l2.resize(static_cast<size_t>(st.l2_entries));
    if (!st.file.read_at(table, std::span(reinterpret_cast<uint8_t*>(st.l2.data()), st.l2.size() * 8)))
      return ERR_READ;
    for (uint64_t& e : st.l2) e = swap64(e);
    st.l2_offset = table;
  }
  entry = st.l2[static_cast<size_t>((offset >> st.cluster_bits) & (st.l2_entries - 1))];
  return OK;
}

ErrorCode inflate_cluster(QcowImage& st, uint64_t entry) {
  if (entry == st.cluster_entry) return OK;
  st.cluster_entry = 0;
  const uint32_t shift = 63 - st.cluster_bits;
  const uint64_t at = entry & ((uint64_t{1} << shift) - 1);
  const uint64_t length = (entry & ~kCompressedFlag) >> shift;
  const uint64_t cluster = st.cluster_bytes();
  if (at > st.file_length || length > st.file_length - at) return ERR_READ;
  st.compressed.resize(static_cast<size_t>(cluster + 16));
  st.cluster.resize(static_cast<size_t>(cluster + 16));
  if (!st.file.read_at(at, std::span(st.compressed).first(static_cast<size_t>(length)))) return ERR_READ;
  z_stream z{};
  if (inflateInit2(&z, -12) != Z_OK) return ERR_READ;
  z.next_in = st.compressed.data();
  z.avail_in = static_cast<uInt>(length);
  z.next_out = st.cluster.data();
  z.avail_out = static_cast<uInt>(cluster);
  const int rc = inflate(&z, Z_FINISH);
  const bool whole = (rc == Z_STREAM_END || ((rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_out == 0)) &&
                     z.total_out == cluster;
  inflateEnd(&z);
  if (!whole) return ERR_READ;
  st.cluster_entry = entry;
  return OK;
}

// Reads part of one cluster (never crossing its end) whose L2 entry is known.
ErrorCode read_in_cluster(QcowImage& st, uint64_t entry, uint64_t offset, std::span<uint8_t> out) {
  const uint64_t within = offset & (st.cluster_bytes() - 1);
  if (entry & kCompressedFlag) {
    if (ErrorCode rc = inflate_cluster(st, entry); rc != OK) return rc;
    std::memcpy(out.data(), st.cluster.data() + within, out.size());
    return OK;
  }
  return st.file.read_at(entry + within, out) ? OK : ERR_READ;
}

// Reads [offset, offset + out.size()) of the disk, which the caller has checked. Uncompressed
// clusters that follow each other in the file are read in one piece.
ErrorCode read_disk(QcowImage& st, uint64_t offset, std::span<uint8_t> out) {
  uint64_t run_file = 0;  // file offset of the pending run of uncompressed clusters
  size_t run_at = 0, run_length = 0;
  const auto flush = [&]() -> ErrorCode {
    if (run_length == 0) return OK;
    const bool ok = st.file.read_at(run_file, out.subspan(run_at, run_length));
    run_length = 0;
    return ok ? OK : ERR_READ;
  };
  for (BlockSplit64 sp(st.cluster_bytes(), offset, out.size()); sp.more(); sp.next()) {
    const uint64_t at = sp.block * st.cluster_bytes() + sp.offset;
    const auto piece_at = static_cast<size_t>(at - offset);
    std::span<uint8_t> piece = out.subspan(piece_at, static_cast<size_t>(sp.piece));
    uint64_t entry = 0;
    if (ErrorCode rc = cluster_entry(st, at, entry); rc != OK) return rc;
    if (entry != 0 && !(entry & kCompressedFlag)) {
      const uint64_t file_at = entry + sp.offset;
      if (run_length != 0 && run_file + run_length == file_at) {
        run_length += piece.size();
        continue;
      }
      if (ErrorCode rc = flush(); rc != OK) return rc;
      run_file = file_at, run_at = piece_at, run_length = piece.size();
      continue;
    }
    if (ErrorCode rc = flush(); rc != OK) return rc;
    ErrorCode rc = OK;
    if (entry != 0) rc = read_in_cluster(st, entry, at, piece);
    else if (st.backing.is_open()) rc = read_bytes(st.backing, at, piece);
    else std::memset(piece.data(), 0, piece.size());
    if (rc != OK) return rc;
  }
  return flush();
}

ErrorCode qcow_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  return read_disk(qcow(s), offset, out);
}

// A run never crosses a cluster: unallocated ones leave the disk to the backing file.
ErrorCode qcow_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  QcowImage& st = qcow(s);
  const uint64_t at = uint64_t{first} * kSectorSize;
  const uint64_t cluster_sectors = st.cluster_bytes() / kSectorSize;
  uint64_t entry = 0;
  if (ErrorCode rc = cluster_entry(st, at, entry); rc != OK) return rc;
  out = LayerRun{};
  out.count = static_cast<uint32_t>(std::min<uint64_t>(count, cluster_sectors - first % cluster_sectors));
  if (entry & kCompressedFlag) {
    out.holding = LayerHolding::kOther;
  } else if (entry != 0) {
    out.holding = LayerHolding::kStored;
    out.file = &st.file;
    out.offset = entry + (at & (st.cluster_bytes() - 1));
  }
  return OK;
}

DiskImage* qcow_parent(DriverState& s) { return qcow(s).backing.is_open() ? &qcow(s).backing : nullptr; }

}  // namespace

const FormatDriver kQcowDriver = {
    .name = "qcow",
    .make_state = make_driver_state<QcowImage>,
    .open = qcow_open,
    .get_geometry = qcow_geometry,
    .read_bytes = qcow_read,
    .layer_status = qcow_layer_status,
    .parent = qcow_parent,
};

}  // namespace qx
