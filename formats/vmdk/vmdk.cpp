// VMDK (format 0): the image over its extents and parent, and the extent-by-extent trim.
#include "formats/vmdk/vmdk.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/replacement.hpp"
#include "formats/vmdk/vmdk_descriptor.hpp"
#include "formats/vmdk/vmdk_extent.hpp"
#include "image/file_copy.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/charset.hpp"
#include "text/paths.hpp"
#include "volume/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr size_t kZeroChunk = 1u << 20;
constexpr size_t kScanBytes = 1u << 20;
constexpr size_t kFirstScanBytes = 4u << 10;

struct VmdkImage : DriverState {
  DiskGeometry geometry;
  VmdkDescriptor descriptor;
  std::vector<char> text;
  std::vector<SparseExtent> sparse;
  std::vector<FlatExtent> flat;
  std::vector<uint32_t> starts;  // first disk sector of every extent
  DiskImage parent;
  bool has_parent = false;
  z_stream stream{};
  PathBuffer<4096> path;

  uint32_t extent_count() const noexcept { return static_cast<uint32_t>(starts.size()); }
  bool is_flat() const noexcept { return descriptor.is_flat != 0; }
};

VmdkImage& vmdk(DriverState& s) { return static_cast<VmdkImage&>(s); }
const VmdkImage& vmdk(const DriverState& s) { return static_cast<const VmdkImage&>(s); }

voidpf z_alloc(voidpf, uInt count, uInt size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return std::malloc(size_t{count} * size);
}
void z_free(voidpf, voidpf p) { std::free(p); }

// A file name stored in the descriptor, made into a path beside the image.
bool resolve_name(TextView name, TextEncoding enc, std::string_view image_path, PathString& out) {
  PathBuffer<4096> utf8, work;
  return append_converted(utf8, TextEncoding::Utf8, name, enc) &&
         is_valid_stored_name(utf8.view(), TextEncoding::Utf8) &&
         resolve_stored_name(utf8.view(), TextEncoding::Utf8, image_path, TextEncoding::Utf8, work,
                             out, TextEncoding::Utf8, PathStyle::Unix) &&
         out.append_terminator();
}

ErrorCode open_parent(VmdkImage& st, std::string_view own_path, uint32_t total,
                      PathString& resolved) {
  if (!ParentChain::may_descend()) return ERR_BAD_FORMAT;
  const VmdkDescriptor& d = st.descriptor;
  if (!resolve_name(d.parent_file_name_hint, d.hint_encoding, own_path, resolved) ||
      resolved.view() == own_path)
    return ERR_BAD_FORMAT;
  if (ErrorCode rc = open_sized_parent(st.parent, resolved.view(), total); rc != OK) return rc;
  st.has_parent = true;
  return OK;
}

bool is_vmdk(const DiskImage& image) noexcept {
  return image.state && image.format >= FORMAT_VMDK && image.format <= FORMAT_VMDK_SPLIT_SPARSE_HINT;
}

// The files that the VMDK images down a parent chain read (as far as the chain is made of VMDK
// images seen directly), and the first parent's own path whatever its format.
void chain_files(const VmdkImage& st, TextView parent_path, std::vector<TextView>& out) {
  out.push_back(parent_path);
  for (const DiskImage* p = st.has_parent ? &st.parent : nullptr; p && is_vmdk(*p);) {
    const VmdkImage& parent = vmdk(*p->state);
    out.push_back(parent.path.view());
    for (const SparseExtent& e : parent.sparse) out.push_back(e.path.view());
    for (const FlatExtent& e : parent.flat) out.push_back(e.path.view());
    p = parent.has_parent ? &parent.parent : nullptr;
  }
}

ErrorCode open_extents(VmdkImage& st, std::string_view own_path, bool read_only,
                       TextView parent_path) {
  const VmdkDescriptor& d = st.descriptor;
  const size_t n = d.extents.size();
  if (d.is_flat) st.flat.resize(n);
  else st.sparse.resize(n);
  st.starts.resize(n);
  std::vector<PathBuffer<4096>> paths(n);
  // Two extents in one file, or an extent that a parent reads too, would be rewritten under each
  // other by the trim.
  std::vector<TextView> taken;
  chain_files(st, parent_path, taken);
  uint32_t first = 0;
  for (size_t i = 0; i < n; ++i) {
    const VmdkExtentEntry& entry = d.extents[i];
    st.starts[i] = first;
    PathString& path = paths[i];
    if (d.extent_is_own_file()) {
      if (!path.assign(own_path)) return ERR_BAD_FORMAT;
    } else if (!resolve_name(entry.file_name, entry.name_encoding, own_path, path)) {
      return ERR_BAD_FORMAT;
    }
    if (std::find(taken.begin(), taken.end(), path.view()) != taken.end()) return ERR_BAD_FORMAT;
    taken.push_back(path.view());
    ErrorCode rc;
    if (d.is_flat) {
      if (entry.offset > UINT64_MAX / 512) return ERR_BAD_FORMAT;
      rc = open_flat_extent(st.flat[i], path.view(), read_only, entry.offset * 512, first, entry.size);
    } else {
      rc = open_sparse_extent(st.sparse[i], path.view(), read_only, d.is_split != 0,
                              st.has_parent ? &st.parent : nullptr, &st.stream, first, entry.size);
    }
    if (rc != OK) return rc;
    first += entry.size;
  }
  return OK;
}

ErrorCode vmdk_open(DriverState& s, std::string_view path, bool read_only) {
  if (ParentChain::exhausted) return ERR_BAD_FORMAT;
  VmdkImage& st = vmdk(s);
  {
    File file = File::open_existing(path, read_only);
    if (!file) return ERR_OPEN;
    if (ErrorCode rc = read_vmdk_descriptor(file, st.descriptor, st.text); rc != OK) return rc;
  }
  const VmdkDescriptor& d = st.descriptor;
  uint64_t total = 0;
  for (const VmdkExtentEntry& e : d.extents) total += e.size;
  // Sector numbers of the disk are 32-bit.
  if (total > UINT32_MAX) return ERR_UNSUPPORTED;
  PathBuffer<4096> parent_path;
  if (d.is_child)
    if (ErrorCode rc = open_parent(st, path, static_cast<uint32_t>(total), parent_path); rc != OK)
      return rc;
  st.stream.zalloc = z_alloc;
  st.stream.zfree = z_free;
  st.stream.opaque = nullptr;
  if (ErrorCode rc = open_extents(st, path, read_only, parent_path.view()); rc != OK) return rc;
  if (d.is_child) {
    st.geometry = get_geometry(st.parent);
    if (st.geometry.total_sectors != total) return ERR_BAD_FORMAT;
  } else {
    st.geometry = DiskGeometry{static_cast<uint32_t>(total), d.heads, d.sectors, kSectorSize};
  }
  if (!st.path.assign(path)) return ERR_UNSUPPORTED;
  return OK;
}

void vmdk_close(DriverState& s) {
  VmdkImage& st = vmdk(s);
  std::vector<SparseExtent>().swap(st.sparse);
  std::vector<FlatExtent>().swap(st.flat);
  st.starts = {};
  close_image(st.parent);
  st.has_parent = false;
  st.text = {};
  st.descriptor = VmdkDescriptor{};
}

DiskGeometry vmdk_geometry(const DriverState& s) { return vmdk(s).geometry; }

// The extent that holds a disk sector.
uint32_t extent_of(const VmdkImage& st, uint32_t sector) noexcept {
  const auto it = std::upper_bound(st.starts.begin(), st.starts.end(), sector);
  return static_cast<uint32_t>(it - st.starts.begin()) - 1;
}

uint32_t extent_size(const VmdkImage& st, uint32_t i) noexcept {
  return st.descriptor.extents[i].size;
}

// Calls part(extent, first sector in it, count) for each extent the range touches, in order,
// until one answers something other than OK or sets `stop`.
template <typename Part>
ErrorCode for_each_part(const VmdkImage& st, uint32_t first, uint32_t count, Part&& part) {
  if (count == 0) return OK;
  bool stop = false;
  for (uint32_t i = extent_of(st, first); count && i < st.extent_count() && !stop; ++i) {
    const uint32_t in = first - st.starts[i];
    const uint32_t n = std::min(count, extent_size(st, i) - in);
    if (n == 0) continue;
    if (ErrorCode rc = part(i, in, n, stop); rc != OK) return rc;
    first += n;
    count -= n;
  }
  return OK;
}

ErrorCode vmdk_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  VmdkImage& st = vmdk(s);
  const uint64_t size = st.geometry.size_bytes();
  if (offset > size || out.size() > size - offset) return ERR_UNSUPPORTED;
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t at = offset + done;
    const uint32_t i = extent_of(st, static_cast<uint32_t>(at / kSectorSize));
    const uint64_t in = at - uint64_t{st.starts[i]} * kSectorSize;
    const uint64_t n = std::min<uint64_t>(out.size() - done, uint64_t{extent_size(st, i)} * kSectorSize - in);
    const std::span<uint8_t> piece = out.subspan(done, static_cast<size_t>(n));
    const ErrorCode rc = st.is_flat() ? read_flat_extent(st.flat[i], in, piece)
                                      : read_sparse_extent(st.sparse[i], in, piece);
    if (rc != OK) return rc;
    done += piece.size();
  }
  return OK;
}

ErrorCode vmdk_is_range_free(DriverState& s, const UsageMap* map, uint32_t first, uint32_t count,
                             bool& free, ProgressRelay* relay) {
  VmdkImage& st = vmdk(s);
  if (uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  return for_each_part(st, first, count, [&](uint32_t i, uint32_t in, uint32_t n, bool& stop) {
    const ErrorCode rc = st.is_flat() ? flat_range_free(st.flat[i], map, in, n, free)
                                      : sparse_range_free(st.sparse[i], map, in, n, free, relay);
    stop = !free;
    return rc;
  });
}

ErrorCode vmdk_is_range_free_in_layer(DriverState& s, const UsageMap* map, uint32_t first,
                                      uint32_t count, bool& free) {
  VmdkImage& st = vmdk(s);
  if (st.is_flat() || uint64_t{first} + count > st.geometry.total_sectors) return ERR_UNSUPPORTED;
  free = true;
  return for_each_part(st, first, count, [&](uint32_t i, uint32_t in, uint32_t n, bool& stop) {
    const ErrorCode rc = sparse_range_free_in_layer(st.sparse[i], map, in, n, free);
    stop = !free;
    return rc;
  });
}

bool has_compressed_extent(const VmdkImage& st) noexcept {
  return std::any_of(st.sparse.begin(), st.sparse.end(), [](const SparseExtent& e) { return e.compressed; });
}

// Compressed (stream-optimized) extents are not rewritten: their header describes compressed
// grains, which the trim does not write.
bool vmdk_can_trim(const DriverState& s) {
  const VmdkImage& st = vmdk(s);
  return !st.is_flat() && !has_compressed_extent(st);
}

bool vmdk_needs_layer_local_trim(const DriverState& s) { return vmdk(s).has_parent; }

bool cid_identity(TextView cid, ImageIdentity& out) noexcept {
  uint32_t value = 0;
  if (!parse_cid(cid, value)) return false;
  out = ImageIdentity{};
  out.kind = ImageIdentity::VMDK_CID;
  store_le<uint32_t>(out.bytes, value);
  return true;
}

bool vmdk_identity(const DriverState& s, ImageIdentity& out) {
  return cid_identity(vmdk(s).descriptor.cid, out);
}

ErrorCode vmdk_chain_status(const DriverState& s) {
  const VmdkImage& st = vmdk(s);
  if (!st.has_parent) return OK;
  const ImageIdentity parent = image_identity(st.parent);
  if (parent.kind == ImageIdentity::VMDK_CID) {
    ImageIdentity recorded;
    if (!cid_identity(st.descriptor.parent_cid, recorded) || !(recorded == parent))
      return ERR_BAD_FORMAT;
  }
  return parent_chain_status(st.parent);
}

// ---- trim ----

struct TrimLayout {
  uint32_t grain = 0;          // sectors
  uint32_t per_table = 0;      // sectors
  uint64_t tables = 0;         // table count
  uint64_t dir_sectors = 0;
  uint64_t set_sectors = 0;    // directory and its tables
  uint64_t extra = 0;          // position of a third set, 0 for none
  uint64_t head_sectors = 0;   // header and embedded descriptor
};

constexpr uint64_t kTableSectors = kTableEntries * 4 / kSectorSize;

bool sets_overlap(uint64_t a, uint64_t b, uint64_t len) noexcept { return a < b + len && b < a + len; }

// The new file keeps the old one's positions: every directory set must lie between the head and
// the first grain, apart from the others, or the grains written at `overhead` would land on them.
ErrorCode plan_layout(const SparseExtent& e, TrimLayout& t) {
  const SparseExtentHeader& h = e.header;
  t.grain = e.grain_sectors();
  t.per_table = e.sectors_per_table();
  t.tables = ceil_div_u64(h.capacity, t.per_table);
  t.dir_sectors = ceil_div_u64(t.tables, kSectorSize / 4);
  t.set_sectors = t.dir_sectors + t.tables * kTableSectors;
  t.head_sectors = 1 + uint64_t{h.descriptor_size_sectors()};
  if (t.head_sectors > t.grain) return ERR_UNSUPPORTED;
  const uint64_t gd = h.gd_offset, rgd = h.rgd_offset, overhead = h.overhead;
  t.extra = rgd == 0 && gd + 2 * t.set_sectors <= overhead ? gd + t.set_sectors : 0;
  if (overhead >= UINT32_MAX || t.tables < e.tables) return ERR_UNSUPPORTED;
  const uint64_t sets[] = {rgd, gd, t.extra};
  for (size_t i = 0; i < 3; ++i) {
    if (sets[i] == 0) continue;
    if (sets[i] < t.head_sectors || sets[i] > overhead || overhead - sets[i] < t.set_sectors)
      return ERR_UNSUPPORTED;
    for (size_t j = 0; j < i; ++j)
      if (sets[j] != 0 && sets_overlap(sets[i], sets[j], t.set_sectors)) return ERR_UNSUPPORTED;
  }
  return OK;
}

struct ExtentWriter {
  DiskImage& image;
  SparseExtent& extent;
  const UsageMap& map;
  const TrimLayout& t;
  bool layered;
  uint32_t total;
  ProgressCallback progress;
  void* user;
  File out;
  FileCopier* copier = nullptr;  // grains that lie as they are in the extent file
  uint64_t source_length = 0;    // of the extent file, bytes
  uint64_t next = 0;             // next free sector of the output
  std::vector<uint8_t> grain{};  // a grain kept through a read, sized at the first
  std::vector<uint8_t> scan{};   // used sectors looked at for a non-zero byte
  std::vector<uint8_t> zeros{};
  std::vector<uint8_t> used{};

  ErrorCode write_zeros(uint64_t sector, uint64_t sectors) {
    for (uint64_t at = sector * kSectorSize, left = sectors * kSectorSize; left;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
      if (!out.write_at(at, std::span(zeros).first(n))) return ERR_WRITE;
      at += n;
      left -= n;
    }
    return OK;
  }

  ErrorCode write_directory_set(uint64_t p) {
    std::vector<uint8_t> dir(static_cast<size_t>(t.dir_sectors * kSectorSize), 0);
    for (uint64_t i = 0; i < t.tables; ++i)
      store_le<uint32_t>(dir.data() + i * 4, static_cast<uint32_t>(p + t.dir_sectors + i * kTableSectors));
    if (!out.write_at(p * kSectorSize, dir)) return ERR_WRITE;
    return write_zeros(p + t.dir_sectors, t.tables * kTableSectors);
  }

  // The end of the extent is reported by run(), once the copies have landed.
  bool report(uint32_t at) const {
    return !progress || at >= extent.first_sector + extent.size || progress(at, total, user);
  }

  ErrorCode place(uint32_t j, std::vector<uint32_t>& table) {
    if (next + t.grain > UINT32_MAX) return ERR_UNSUPPORTED;
    table[j] = static_cast<uint32_t>(next);
    next += t.grain;
    return OK;
  }

  // The grain's first `sectors` sectors, at byte `at` of the extent file; the rest of the output
  // grain (past the extent's end) is zeros, whatever the source holds there.
  ErrorCode keep_stored(uint64_t at, uint32_t sectors, uint32_t j, std::vector<uint32_t>& table) {
    const uint64_t to = next;
    if (ErrorCode rc = place(j, table); rc != OK) return rc;
    if (!copier->copy(at, to * kSectorSize, uint64_t{sectors} * kSectorSize)) return ERR_READ;
    return sectors < t.grain ? write_zeros(to + sectors, t.grain - sectors) : OK;
  }

  // Reads the grain's first `sectors` sectors at disk sector `s` into `grain`, zeros after them.
  ErrorCode read_grain(uint32_t s, uint32_t sectors) {
    if (grain.empty())
      if (ErrorCode rc = guard_no_memory([&] { grain.resize(size_t{t.grain} * kSectorSize); return OK; }); rc != OK)
        return rc;
    const size_t n = size_t{sectors} * kSectorSize;
    std::memset(grain.data() + n, 0, grain.size() - n);
    return read_bytes(image, uint64_t{s} * kSectorSize, std::span(grain).first(n));
  }

  ErrorCode keep_read(uint32_t j, std::vector<uint32_t>& table) {
    const uint64_t to = next;
    if (ErrorCode rc = place(j, table); rc != OK) return rc;
    return out.write_at(to * kSectorSize, grain) ? OK : ERR_WRITE;
  }

  bool any_used(uint32_t from, uint32_t count) const noexcept {
    for (uint32_t i = from; i < from + count; ++i)
      if (test_bit(used, i)) return true;
    return false;
  }

  // Whether the sectors of [from, from + count) that `used` marks are all zero in the extent file
  // from byte `at` on. Pieces grow from a small first one, as data mostly starts at once.
  ErrorCode used_sectors_zero(uint64_t at, uint32_t from, uint32_t count, bool& zero) {
    zero = true;
    size_t limit = std::min(kFirstScanBytes, scan.size());
    for (uint32_t i = 0; i < count;) {
      if (!test_bit(used, from + i)) {
        ++i;
        continue;
      }
      uint32_t end = i + 1;
      while (end < count && test_bit(used, from + end)) ++end;
      for (uint64_t pos = at + uint64_t{i} * kSectorSize, left = uint64_t{end - i} * kSectorSize; left;) {
        const std::span<uint8_t> buf(scan.data(), static_cast<size_t>(std::min<uint64_t>(left, limit)));
        if (!extent.file.read_at(pos, buf)) return ERR_READ;
        if (!is_all_zero(buf)) {
          zero = false;
          return OK;
        }
        pos += buf.size();
        left -= buf.size();
        limit = std::min(limit * 2, scan.size());
      }
      i = end;
    }
    return OK;
  }

  // A span of a disk without a parent: the map is asked once for the whole span, and a grain that
  // holds a used sector is kept unless its used sectors are all zero.
  ErrorCode base_span(uint32_t first, uint32_t length, std::vector<uint32_t>& table) {
    used.resize(bitmap_bytes(length));
    if (ErrorCode rc = query_used(map, first, length, used); rc != OK) return rc;
    const uint32_t k = (first - extent.first_sector) / t.per_table;
    const uint32_t grains = ceil_div32(length, t.grain);
    for (uint32_t j = 0; j < grains; ++j) {
      const uint32_t from = j * t.grain, sectors = std::min(t.grain, length - from);
      if (!any_used(from, sectors)) continue;
      uint64_t at = 0;
      bool stored = false, zero = true;
      if (ErrorCode rc = stored_grain(extent, k, j, source_length, at, stored); rc != OK) return rc;
      if (stored) {
        if (ErrorCode rc = used_sectors_zero(at, from, sectors, zero); rc != OK) return rc;
        if (!zero)
          if (ErrorCode rc = keep_stored(at, sectors, j, table); rc != OK) return rc;
      } else {
        if (ErrorCode rc = read_grain(first + from, sectors); rc != OK) return rc;
        for (uint32_t i = 0; i < sectors && zero; ++i)
          if (test_bit(used, from + i)) zero = is_all_zero(std::span(grain).subspan(size_t{i} * kSectorSize, kSectorSize));
        if (!zero)
          if (ErrorCode rc = keep_read(j, table); rc != OK) return rc;
      }
      if (!report(first + from + sectors)) return CANCELLED;
    }
    return OK;
  }

  // A span of a child: a grain is kept when it is allocated here and holds a used sector.
  ErrorCode layer_span(uint32_t first, uint32_t length, std::vector<uint32_t>& table) {
    const uint32_t k = (first - extent.first_sector) / t.per_table;
    for (uint32_t j = 0, done = 0; done < length; ++j) {
      const uint32_t c = std::min(t.grain, length - done);
      const uint32_t s = first + done;
      bool free = false;
      if (ErrorCode rc = is_range_free_in_layer(image, &map, s, c, free); rc != OK) return rc;
      if (!free) {
        uint64_t at = 0;
        bool stored = false;
        if (ErrorCode rc = stored_grain(extent, k, j, source_length, at, stored); rc != OK) return rc;
        ErrorCode rc = OK;
        if (stored) rc = keep_stored(at, c, j, table);
        else if ((rc = read_grain(s, c)) == OK) rc = keep_read(j, table);
        if (rc != OK) return rc;
      }
      done += c;
      if (!report(s + c)) return CANCELLED;
    }
    return OK;
  }

  ErrorCode write_grain_table_span(uint32_t k, uint32_t length) {
    const uint32_t first = extent.first_sector + k * t.per_table;
    bool free = false;
    if (layered) {
      if (ErrorCode rc = is_range_free_in_layer(image, &map, first, length, free); rc != OK) return rc;
    } else {
      ProgressRelay relay{progress, user, first, total, 0};
      if (ErrorCode rc = is_range_free(image, &map, first, length, free, &relay); rc != OK) return rc;
    }
    if (free) return OK;
    std::vector<uint32_t> table(kTableEntries, 0);
    if (ErrorCode rc = layered ? layer_span(first, length, table) : base_span(first, length, table); rc != OK)
      return rc;
    for (uint32_t& v : table) store_le<uint32_t>(reinterpret_cast<uint8_t*>(&v), v);
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(table.data()), table.size() * 4);
    const SparseExtentHeader& h = extent.header;
    for (uint64_t p : {h.rgd_offset.get(), h.gd_offset.get(), t.extra})
      if (p != 0 && !out.write_at((p + t.dir_sectors + uint64_t{k} * kTableSectors) * kSectorSize, bytes))
        return ERR_WRITE;
    return OK;
  }

  ErrorCode run(std::span<const uint8_t> head) {
    const SparseExtentHeader& h = extent.header;
    if (!out.write_at(0, head)) return ERR_WRITE;
    uint64_t last = 0;
    for (uint64_t p : {h.rgd_offset.get(), h.gd_offset.get(), t.extra}) {
      if (p == 0) continue;
      if (ErrorCode rc = write_directory_set(p); rc != OK) return rc;
      last = p;
    }
    if (last + t.set_sectors < h.overhead)
      if (ErrorCode rc = write_zeros(last + t.set_sectors, h.overhead - last - t.set_sectors); rc != OK)
        return rc;
    next = h.overhead;
    for (uint32_t k = 0, done = 0; done < extent.size; ++k) {
      const uint32_t length = std::min(t.per_table, extent.size - done);
      if (ErrorCode rc = write_grain_table_span(k, length); rc != OK) return rc;
      done += length;
      if (done == extent.size && !copier->finish()) return ERR_READ;
      if (progress && !progress(extent.first_sector + done, total, user)) return CANCELLED;
    }
    if (!copier->finish()) return ERR_READ;
    // The rename that follows must not publish a file whose data never reached the disk.
    if (!out.sync()) return ERR_WRITE;
    return out.close() ? OK : ERR_WRITE;
  }
};

ErrorCode trim_sparse_extent(DiskImage& image, SparseExtent& e, const UsageMap& map,
                             TextView temporary, bool layered, uint32_t total,
                             ProgressCallback progress, void* user) {
  TrimLayout t;
  if (ErrorCode rc = plan_layout(e, t); rc != OK) return rc;
  ExtentWriter w{image, e, map, t, layered, total, progress, user, File()};
  std::vector<uint8_t> head;
  if (ErrorCode rc = guard_no_memory([&] {
        head.resize(static_cast<size_t>(t.head_sectors * kSectorSize));
        w.scan.resize(std::min<size_t>(kScanBytes, size_t{t.grain} * kSectorSize));
        w.zeros.resize(kZeroChunk);
        return OK;
      });
      rc != OK)
    return rc;
  if (!e.file.read_at(0, head)) return ERR_READ;
  if (!e.file.length(w.source_length)) return ERR_FILE_SIZE;
  w.out = File::create(temporary);
  if (!w.out) return ERR_CREATE;
  FileCopier copier(e.file, w.out);
  w.copier = &copier;
  const ErrorCode rc = copier.is_open() ? w.run(head) : ERR_CREATE;
  if (rc != OK) {
    w.out.close();
    (void)file_remove(temporary);
  }
  return rc;
}

}  // namespace

ErrorCode trim_vmdk(std::string_view, DiskImage& image, const UsageMap& map, WriterRecord& record,
                    ProgressCallback progress, void* user) {
  record.single = Replacement{};
  record.list.entries.clear();
  record.list.count = 0;
  if (image.format != FORMAT_VMDK || !image.state || !can_trim(image)) return ERR_UNSUPPORTED;
  VmdkImage& st = vmdk(*image.state);
  const uint32_t n = st.extent_count();
  if (!reserve_replacement_list(record.list, n)) return ERR_NO_MEMORY;
  const bool layered = needs_layer_local_trim(image);
  for (uint32_t i = 0; i < n; ++i) {
    SparseExtent& e = st.sparse[i];
    ReplacementEntry& entry = record.list.entries[i];
    if (set_replacement_names(entry, e.path.view()) != OK || !entry.temporary.append_terminator())
      return ERR_UNSUPPORTED;
    if (ErrorCode rc = trim_sparse_extent(image, e, map, entry.temporary.view(), layered,
                                          st.geometry.total_sectors, progress, user);
        rc != OK)
      return rc;
    record.list.count = i + 1;
  }
  return OK;
}

const FormatDriver kVmdkDriver = {
    .name = "vmdk",
    .make_state = make_driver_state<VmdkImage>,
    .open = vmdk_open,
    .close = vmdk_close,
    .get_geometry = vmdk_geometry,
    .read_bytes = vmdk_read,
    .is_range_free = vmdk_is_range_free,
    .can_trim = vmdk_can_trim,
    .needs_layer_local_trim = vmdk_needs_layer_local_trim,
    .is_range_free_in_layer = vmdk_is_range_free_in_layer,
    .trim = trim_vmdk,
    .identity = vmdk_identity,
    .chain_status = vmdk_chain_status,
};

}  // namespace qx
