// VMDK (format 0): the image over its extents and parent, and the extent-by-extent trim.
#include "formats/vmdk/vmdk.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/trim_walk.hpp"
#include "formats/vmdk/vmdk_descriptor.hpp"
#include "formats/vmdk/vmdk_extent.hpp"
#include "image/parent_chain.hpp"
#include "image/primitives.hpp"
#include "text/charset.hpp"
#include "text/paths.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {
namespace {


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
  bool read_failed() const noexcept override {
    for (const SparseExtent& e : sparse)
      if (e.file.read_failed()) return true;
    for (const FlatExtent& e : flat)
      if (e.file.read_failed()) return true;
    return image_read_failed(parent);
  }
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

// The extent that holds `first` answers, up to its own end.
ErrorCode vmdk_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  VmdkImage& st = vmdk(s);
  const uint32_t i = extent_of(st, first);
  const uint32_t in = first - st.starts[i];
  const uint32_t n = std::min(count, extent_size(st, i) - in);
  return st.is_flat() ? flat_layer_status(st.flat[i], in, n, out)
                      : sparse_layer_status(st.sparse[i], in, n, out);
}

DiskImage* vmdk_parent(DriverState& s) { return vmdk(s).has_parent ? &vmdk(s).parent : nullptr; }

bool has_compressed_extent(const VmdkImage& st) noexcept {
  return std::any_of(st.sparse.begin(), st.sparse.end(), [](const SparseExtent& e) { return e.compressed; });
}

// Compressed (stream-optimized) extents are not rewritten: their header describes compressed
// grains, which the trim does not write.
bool vmdk_can_trim(const DriverState& s) {
  const VmdkImage& st = vmdk(s);
  return !st.is_flat() && !has_compressed_extent(st);
}

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

// One extent file: the source's head and directory sets where they were, then the kept grains
// packed from `overhead` in disk order, each grain table written once its span is done.
class ExtentWriter : public BlockWriter {
 public:
  ExtentWriter(SparseExtent& extent, const TrimLayout& t, std::span<const uint8_t> head)
      : extent_(extent), t_(t), head_(head) {}

  ErrorCode begin(TrimWalk& walk) override {
    TrimSink& out = walk.out();
    const SparseExtentHeader& h = extent_.header;
    if (ErrorCode rc = out.write(0, head_); rc != OK) return rc;
    uint64_t last = 0;
    for (uint64_t p : {h.rgd_offset.get(), h.gd_offset.get(), t_.extra}) {
      if (p == 0) continue;
      if (ErrorCode rc = write_directory_set(out, p); rc != OK) return rc;
      last = p;
    }
    if (last + t_.set_sectors < h.overhead)
      if (ErrorCode rc = out.write_zeros((last + t_.set_sectors) * kSectorSize, h.overhead * kSectorSize); rc != OK)
        return rc;
    next_ = h.overhead;
    return OK;
  }

  ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) override {
    if (ErrorCode rc = reach_table(walk.out(), block / kTableEntries); rc != OK) return rc;
    if (next_ + t_.grain > UINT32_MAX) return ERR_UNSUPPORTED;
    table_[block % kTableEntries] = static_cast<uint32_t>(next_);
    table_used_ = true;
    const uint64_t to = next_ * kSectorSize;
    next_ += t_.grain;
    // Past the extent's end, the output grain is zeros whatever the source holds there.
    return walk.put_sectors(first, n, to, uint64_t{t_.grain} * kSectorSize);
  }

  ErrorCode drop(TrimWalk& walk, uint32_t block, uint32_t, uint32_t, BlockFate) override {
    return reach_table(walk.out(), block / kTableEntries);
  }

  ErrorCode finish(TrimWalk& walk) override { return write_table(walk.out()); }

 private:
  ErrorCode write_directory_set(TrimSink& out, uint64_t p) {
    std::vector<uint8_t> dir(static_cast<size_t>(t_.dir_sectors * kSectorSize), 0);
    for (uint64_t i = 0; i < t_.tables; ++i)
      store_le<uint32_t>(dir.data() + i * 4, static_cast<uint32_t>(p + t_.dir_sectors + i * kTableSectors));
    if (ErrorCode rc = out.write(p * kSectorSize, dir); rc != OK) return rc;
    const uint64_t tables_at = (p + t_.dir_sectors) * kSectorSize;
    return out.write_zeros(tables_at, tables_at + t_.tables * kTableSectors * kSectorSize);
  }

  // Grain table k is the one being filled: the one before it is written.
  ErrorCode reach_table(TrimSink& out, uint32_t k) {
    if (k == table_index_) return OK;
    if (ErrorCode rc = write_table(out); rc != OK) return rc;
    table_index_ = k;
    table_.fill(0);
    return OK;
  }

  // A table whose grains were all dropped stays as written: zeros.
  ErrorCode write_table(TrimSink& out) {
    if (!table_used_) return OK;
    table_used_ = false;
    std::array<uint8_t, kTableEntries * 4> bytes;
    for (uint32_t i = 0; i < kTableEntries; ++i) store_le<uint32_t>(bytes.data() + i * 4, table_[i]);
    const SparseExtentHeader& h = extent_.header;
    for (uint64_t p : {h.rgd_offset.get(), h.gd_offset.get(), t_.extra})
      if (p != 0)
        if (ErrorCode rc = out.write((p + t_.dir_sectors + uint64_t{table_index_} * kTableSectors) * kSectorSize, bytes);
            rc != OK)
          return rc;
    return OK;
  }

  SparseExtent& extent_;
  const TrimLayout& t_;
  std::span<const uint8_t> head_;
  uint64_t next_ = 0;  // next free sector of the output
  uint32_t table_index_ = 0;
  bool table_used_ = false;
  std::array<uint32_t, kTableEntries> table_{};
};

ErrorCode trim_sparse_extent(DiskImage& image, TrimJob& job, SparseExtent& e, bool layered) {
  TrimLayout t;
  if (ErrorCode rc = plan_layout(e, t); rc != OK) return rc;
  std::vector<uint8_t> head;
  if (ErrorCode rc = guard_no_memory([&] {
        head.resize(static_cast<size_t>(t.head_sectors * kSectorSize));
        return OK;
      });
      rc != OK)
    return rc;
  if (!e.file.read_at(0, head)) return ERR_READ;
  ExtentWriter writer(e, t, head);
  return trim_file(image, job, e.path.view(), e.file, TrimSpan{e.first_sector, e.size, t.grain, layered}, writer);
}

// Every sparse extent file is rewritten beside itself.
ErrorCode trim_vmdk(DiskImage& image, TrimJob& job) {
  VmdkImage& st = vmdk(*image.state);
  const uint32_t n = st.extent_count();
  if (ErrorCode rc = job.sink->expect_files(n); rc != OK) return rc;
  const bool layered = needs_layer_local_trim(image);
  for (uint32_t i = 0; i < n; ++i)
    if (ErrorCode rc = trim_sparse_extent(image, job, st.sparse[i], layered); rc != OK) return rc;
  return OK;
}

}  // namespace

ErrorCode vmdk_files(std::string_view path, std::vector<std::string>& out) {
  out.clear();
  return guard_no_memory([&] {
    VmdkDescriptor d;
    std::vector<char> text;
    File file = File::open_existing(path, true);
    if (!file) return ERR_OPEN;
    if (ErrorCode rc = read_vmdk_descriptor(file, d, text); rc != OK) return rc;
    out.assign(1, std::string(path));
    if (d.extent_is_own_file()) return OK;
    for (const VmdkExtentEntry& e : d.extents) {
      PathBuffer<4096> extent;
      if (!resolve_name(e.file_name, e.name_encoding, path, extent)) return ERR_BAD_FORMAT;
      out.emplace_back(extent.view());
    }
    return OK;
  });
}

const FormatDriver kVmdkDriver = {
    .name = "vmdk",
    .make_state = make_driver_state<VmdkImage>,
    .open = vmdk_open,
    .get_geometry = vmdk_geometry,
    .read_bytes = vmdk_read,
    .can_trim = vmdk_can_trim,
    .trim = trim_vmdk,
    .identity = vmdk_identity,
    .chain_status = vmdk_chain_status,
    .layer_status = vmdk_layer_status,
    .parent = vmdk_parent,
};

}  // namespace qx
