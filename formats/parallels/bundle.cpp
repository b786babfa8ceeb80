#include "formats/parallels/bundle.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/parallels/expanding_image.hpp"
#include "formats/trim_walk.hpp"
#include "image/file.hpp"
#include "image/file_guard.hpp"
#include "image/primitives.hpp"
#include "text/paths.hpp"
#include "text/text_ops.hpp"
#include "text/xml.hpp"

namespace qx {
namespace {

constexpr uint64_t kShortestDescriptor = 128;
constexpr uint64_t kLongestDescriptor = 1u << 20;
constexpr TextView kRootParent = "{00000000-0000-0000-0000-000000000000}";

struct Storage {
  uint32_t start = 0;
  uint32_t length = 0;
  bool plain = false;
  ExpandingImage image;  // "Compressed"
  File raw;              // "Plain"
  PathBuffer<4096> path;
};

struct BundleState : DriverState {
  DiskGeometry geometry;
  uint32_t padding = 0;
  bool single_snapshot = false;
  std::vector<std::unique_ptr<Storage>> storages;  // in disk order

  bool read_failed() const noexcept override {
    for (const auto& s : storages)
      if (s && (s->image.file.read_failed() || s->raw.read_failed())) return true;
    return false;
  }
};

BundleState& bundle(DriverState& s) { return static_cast<BundleState&>(s); }
const BundleState& bundle(const DriverState& s) { return static_cast<const BundleState&>(s); }

bool number(TextView text, uint32_t& out) { return parse_decimal(text, TextEncoding::Utf8, out); }

// A folder stands for the descriptor inside it.
ErrorCode read_descriptor(std::string_view path, PathString& descriptor, std::vector<char>& text) {
  const bool folder = is_directory(path);
  if (!descriptor.assign(path) ||
      (folder && !descriptor.append(descriptor.view().ends_with('/') ? "" : "/", kBundleDescriptorName)))
    return ERR_UNSUPPORTED;
  File file = File::open_existing(descriptor.view(), true);
  if (!file) return folder ? ERR_BAD_FORMAT : ERR_OPEN;
  uint64_t length = 0;
  if (!file.length(length)) return folder ? ERR_BAD_FORMAT : ERR_FILE_SIZE;
  if (length < kShortestDescriptor || length > kLongestDescriptor) return ERR_BAD_FORMAT;
  text.resize(static_cast<size_t>(length));
  if (!file.read_at(0, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size()))) return ERR_READ;
  const TextView view(text.data(), text.size());
  return view.starts_with("<Parallels_disk_image") || view.starts_with("<?xml") ? OK : ERR_BAD_FORMAT;
}

struct Descriptor {
  const XmlNode* root = nullptr;
  const XmlNode* snapshots = nullptr;
  const XmlNode* storage_data = nullptr;
  uint32_t disk_size = 0, heads = 0, sectors = 0, padding = 0;
};

// Every element the open relies on, present and well formed.
ErrorCode check_descriptor(const XmlNode& doc, Descriptor& d) {
  d.root = xml_child(doc, "Parallels_disk_image");
  if (!d.root) return ERR_BAD_FORMAT;
  const XmlNode* params = xml_child(*d.root, "Disk_Parameters");
  TextView size, heads, sectors, padding;
  if (!params || !xml_child_text(*params, "Disk_size", size) || !number(size, d.disk_size) ||
      !xml_child_text(*params, "Heads", heads) || !number(heads, d.heads) ||
      !xml_child_text(*params, "Sectors", sectors) || !number(sectors, d.sectors) ||
      !xml_child_text(*params, "Padding", padding) || !number(padding, d.padding))
    return ERR_BAD_FORMAT;
  d.snapshots = xml_child(*d.root, "Snapshots");
  if (!d.snapshots) return ERR_BAD_FORMAT;
  TextView t;
  uint32_t shots = 0;
  for (const auto& c : d.snapshots->children) {
    if (c->kind != XmlNode::ELEMENT || c->name != "Shot") continue;
    if (!xml_child_text(*c, "GUID", t) || !xml_child_text(*c, "ParentGUID", t)) return ERR_BAD_FORMAT;
    ++shots;
  }
  if (shots == 0) return ERR_NO_MEMORY;
  d.storage_data = xml_child(*d.root, "StorageData");
  if (!d.storage_data) return ERR_BAD_FORMAT;
  uint32_t storages = 0;
  for (const auto& c : d.storage_data->children) {
    if (c->kind != XmlNode::ELEMENT || c->name != "Storage") continue;
    if (!xml_child_text(*c, "Start", t) || !xml_child_text(*c, "End", t)) return ERR_BAD_FORMAT;
    ++storages;
  }
  return storages == 0 ? ERR_NO_MEMORY : OK;
}

// The one snapshot this driver opens: a single Shot over nothing.
ErrorCode snapshot_guid(const Descriptor& d, TextView& guid) {
  const XmlNode* shot = nullptr;
  for (const auto& c : d.snapshots->children) {
    if (c->kind != XmlNode::ELEMENT || c->name != "Shot") continue;
    if (shot) return ERR_BAD_FORMAT;
    shot = c.get();
  }
  TextView parent;
  if (!xml_child_text(*shot, "ParentGUID", parent) || parent != kRootParent ||
      !xml_child_text(*shot, "GUID", guid))
    return ERR_BAD_FORMAT;
  return OK;
}

// The storages from sector 0 on, each found by the Start text that repeats the previous End text.
ErrorCode order_storages(const Descriptor& d, std::vector<const XmlNode*>& order) {
  std::vector<const XmlNode*> all;
  for (const auto& c : d.storage_data->children)
    if (c->kind == XmlNode::ELEMENT && c->name == "Storage") all.push_back(c.get());
  TextView next = "0";
  for (size_t found = 0; found < all.size(); ++found) {
    const XmlNode* hit = nullptr;
    TextView start, end;
    for (const XmlNode* s : all)
      if (xml_child_text(*s, "Start", start) && start == next &&
          std::find(order.begin(), order.end(), s) == order.end()) {
        hit = s;
        break;
      }
    if (!hit || !xml_child_text(*hit, "End", end)) return ERR_BAD_FORMAT;
    order.push_back(hit);
    next = end;
  }
  return OK;
}

// The storage's image of the snapshot, a bare file name in the bundle's folder.
ErrorCode image_of_storage(const XmlNode& storage, TextView guid, TextView folder, TextView& type,
                           PathString& path) {
  for (const auto& c : storage.children) {
    TextView g, file;
    if (c->kind != XmlNode::ELEMENT || c->name != "Image" || !xml_child_text(*c, "GUID", g) || g != guid)
      continue;
    if (!xml_child_text(*c, "Type", type) || !xml_child_text(*c, "File", file) || file.empty() ||
        file == "." || file == ".." || !is_valid_stored_name(file, TextEncoding::Utf8))
      return ERR_BAD_FORMAT;
    if (!path.assign(folder, file)) return ERR_UNSUPPORTED;
    return OK;
  }
  return ERR_BAD_FORMAT;
}

ErrorCode open_storage(Storage& s, TextView type, uint32_t padding) {
  if (type == "Compressed") {
    // Held before its first byte is read, as the file a trim would rewrite.
    if (ErrorCode rc = guard_replaced_file(s.path.view()); rc != OK) return rc;
    const ErrorCode rc = open_expanding(s.image, s.path.view(), ExpandingRules{true, padding, s.start});
    if (rc == ERR_OPEN) return ERR_BAD_FORMAT;
    if (rc != OK) return rc;
    // Sectors of the storage beyond the image's own disk could not be read.
    return s.image.geometry.total_sectors < s.length ? ERR_BAD_FORMAT : OK;
  }
  if (type != "Plain") return ERR_BAD_FORMAT;
  s.plain = true;
  s.raw = File::open_existing(s.path.view(), true);
  uint64_t length = 0;
  if (!s.raw || !s.raw.length(length) || length != uint64_t{s.length} * kSectorSize) return ERR_BAD_FORMAT;
  return OK;
}

ErrorCode open_storages(BundleState& st, const Descriptor& d, TextView guid, TextView folder) {
  std::vector<const XmlNode*> order;
  if (ErrorCode rc = order_storages(d, order); rc != OK) return rc;
  for (const XmlNode* node : order) {
    TextView start_text, end_text, type;
    uint32_t start = 0, end = 0;
    if (!xml_child_text(*node, "Start", start_text) || !xml_child_text(*node, "End", end_text) ||
        !number(start_text, start) || !number(end_text, end) || start >= end)
      return ERR_BAD_FORMAT;
    auto s = std::make_unique<Storage>();
    s->start = start;
    s->length = end - start;
    if (ErrorCode rc = image_of_storage(*node, guid, folder, type, s->path); rc != OK) return rc;
    // Two storages in one file would both be rewritten into the same "_TEMP".
    for (const auto& other : st.storages)
      if (other->path.view() == s->path.view()) return ERR_BAD_FORMAT;
    if (ErrorCode rc = open_storage(*s, type, d.padding); rc != OK) return rc;
    st.storages.push_back(std::move(s));
  }
  // The storages must make up the disk, no more and no less.
  const Storage& last = *st.storages.back();
  return last.start + last.length == d.disk_size ? OK : ERR_BAD_FORMAT;
}

// The descriptor read and checked, with the one snapshot this driver opens and the folder its
// files are in (views into the text).
struct ReadBundle {
  PathBuffer<4096> descriptor;
  std::vector<char> text;
  std::unique_ptr<XmlNode> doc;
  Descriptor d;
  TextView guid, folder;
};

ErrorCode read_bundle(std::string_view path, ReadBundle& b) {
  if (ErrorCode rc = read_descriptor(path, b.descriptor, b.text); rc != OK) return rc;
  b.doc = xml_parse(TextView(b.text.data(), b.text.size()));
  if (!b.doc) return ERR_BAD_FORMAT;
  if (ErrorCode rc = check_descriptor(*b.doc, b.d); rc != OK) return rc;
  if (ErrorCode rc = snapshot_guid(b.d, b.guid); rc != OK) return rc;
  TextView name;
  split_host_dir(b.descriptor.view(), b.folder, name);
  return OK;
}

ErrorCode bundle_open(DriverState& s, std::string_view path, bool) {
  BundleState& st = bundle(s);
  ReadBundle b;
  if (ErrorCode rc = read_bundle(path, b); rc != OK) return rc;
  st.single_snapshot = true;
  if (ErrorCode rc = open_storages(st, b.d, b.guid, b.folder); rc != OK) return rc;
  st.padding = b.d.padding;
  st.geometry = DiskGeometry{b.d.disk_size, b.d.heads, b.d.sectors, kSectorSize};
  return OK;
}

DiskGeometry bundle_geometry(const DriverState& s) { return bundle(s).geometry; }

// The storage holding the sector: the one with the greatest start not above it.
Storage& storage_at(BundleState& st, uint32_t sector) {
  auto it = std::upper_bound(st.storages.begin(), st.storages.end(), sector,
                             [](uint32_t s, const auto& storage) { return s < storage->start; });
  return **(it - 1);
}

// Calls piece(storage, first sector in it, sectors) for the parts of the range, in order.
template <typename Piece>
ErrorCode for_each_piece(BundleState& st, uint64_t first, uint64_t count, Piece&& piece) {
  while (count) {
    Storage& s = storage_at(st, static_cast<uint32_t>(first));
    const uint64_t local = first - s.start;
    const uint64_t n = std::min<uint64_t>(count, s.length - local);
    if (ErrorCode rc = piece(s, static_cast<uint32_t>(local), static_cast<uint32_t>(n)); rc != OK) return rc;
    first += n;
    count -= n;
  }
  return OK;
}

ErrorCode bundle_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  BundleState& st = bundle(s);
  // Whole sectors are split between storages; the partial ones at the ends go through a sector.
  while (!out.empty()) {
    const uint64_t sector = offset / kSectorSize;
    const uint64_t in_sector = offset % kSectorSize;
    Storage& storage = storage_at(st, static_cast<uint32_t>(sector));
    const uint64_t local = (sector - storage.start) * kSectorSize + in_sector;
    const uint64_t n = std::min<uint64_t>(out.size(), uint64_t{storage.length} * kSectorSize - local);
    const auto piece = out.first(static_cast<size_t>(n));
    if (storage.plain) {
      if (!storage.raw.read_at(local, piece)) return ERR_READ;
    } else if (ErrorCode rc = read_expanding(storage.image, local, piece); rc != OK) {
      return rc;
    }
    out = out.subspan(piece.size());
    offset += n;
  }
  return OK;
}

// The storage that holds `first` answers, up to its own end; a "Plain" storage is its file.
ErrorCode bundle_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  Storage& storage = storage_at(bundle(s), first);
  const uint32_t local = first - storage.start;
  const uint32_t n = std::min(count, storage.length - local);
  if (!storage.plain) return expanding_layer_status(storage.image, local, n, out);
  out = LayerRun{LayerHolding::kStored, n, &storage.raw, uint64_t{local} * kSectorSize};
  return OK;
}

bool bundle_can_trim(const DriverState& s) {
  const BundleState& st = bundle(s);
  if (!st.single_snapshot) return false;
  for (const auto& storage : st.storages)
    if (storage->plain || !expanding_trimmable(storage->image)) return false;
  return true;
}

ErrorCode trim_storage(Storage& s, DiskImage& image, TrimJob& job) {
  ExpandingImage& img = s.image;
  const uint64_t words = uint64_t{img.rules.padding} * 128 + img.bat.size();
  const uint64_t k = ceil_div_u64(words * 4 + 64, img.cluster_bytes);
  ExpandingTrimPlan plan;
  plan.disk_first = s.start;
  plan.visible_sectors = s.length;
  plan.data_start = k * img.cluster_bytes;
  plan.entry_bias = img.cluster_entries ? 0 : img.rules.padding;
  // The copied header must say where the clusters now begin.
  plan.set_data_offset = img.header.data_offset != k * img.cluster_sectors;
  if (plan.data_start / kSectorSize > UINT32_MAX) return ERR_UNSUPPORTED;
  plan.layer_local = needs_layer_local_trim(image);
  return trim_expanding(img, image, job, s.path.view(), plan);
}

// Every storage's image is rewritten into its own "_TEMP" file; a storage whose trim fails leaves
// no "_TEMP" of its own behind, those of the storages before it stay in the record.
ErrorCode parallels_bundle_trim(DiskImage& image, TrimJob& job) {
  BundleState& st = bundle(*image.state);
  if (ErrorCode rc = job.sink->expect_files(static_cast<uint32_t>(st.storages.size())); rc != OK) return rc;
  for (const auto& s : st.storages) {
    if (s->plain) return ERR_UNSUPPORTED;
    if (ErrorCode rc = trim_storage(*s, image, job); rc != OK) return rc;
  }
  return OK;
}

}  // namespace

ErrorCode parallels_bundle_files(std::string_view path, std::vector<std::string>& out) {
  out.clear();
  return guard_no_memory([&] {
    ReadBundle b;
    std::vector<const XmlNode*> order;
    if (ErrorCode rc = read_bundle(path, b); rc != OK) return rc;
    if (ErrorCode rc = order_storages(b.d, order); rc != OK) return rc;
    for (const XmlNode* node : order) {
      TextView type;
      PathBuffer<4096> file;
      if (ErrorCode rc = image_of_storage(*node, b.guid, b.folder, type, file); rc != OK) return rc;
      out.emplace_back(file.view());
    }
    return OK;
  });
}

const FormatDriver kParallelsBundleDriver = {
    .name = "parallels bundle",
    .make_state = make_driver_state<BundleState>,
    .open = bundle_open,
    .get_geometry = bundle_geometry,
    .read_bytes = bundle_read,
    .can_trim = bundle_can_trim,
    .trim = parallels_bundle_trim,
    .layer_status = bundle_layer_status,
};

}  // namespace qx
