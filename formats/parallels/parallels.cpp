// Format 15: one expanding image file is the whole disk.
#include "formats/parallels/parallels.hpp"

#include "formats/format_ids.hpp"
#include "formats/parallels/bundle.hpp"
#include "formats/parallels/expanding_image.hpp"
#include "formats/trim_walk.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

struct ParallelsState : DriverState {
  ExpandingImage img;

  bool read_failed() const noexcept override { return img.file.read_failed(); }
};

ExpandingImage& image_of(DriverState& s) { return static_cast<ParallelsState&>(s).img; }
const ExpandingImage& image_of(const DriverState& s) { return static_cast<const ParallelsState&>(s).img; }

ErrorCode parallels_open(DriverState& s, std::string_view path, bool) {
  return open_expanding(image_of(s), path, ExpandingRules{});
}

DiskGeometry parallels_geometry(const DriverState& s) { return image_of(s).geometry; }

ErrorCode parallels_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  return read_expanding(image_of(s), offset, out);
}

ErrorCode parallels_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  return expanding_layer_status(image_of(s), first, count, out);
}

bool parallels_can_trim(const DriverState& s) { return expanding_trimmable(image_of(s)); }

// A storage of a bundle is read through its descriptor (which may pad every entry); rewritten
// on its own it could come out as another disk.
bool belongs_to_bundle(std::string_view path) {
  TextView folder, name;
  split_host_dir(path, folder, name);
  PathBuffer<4096> descriptor;
  return !descriptor.assign(folder, kBundleDescriptorName) || file_exists(descriptor.view());
}

ErrorCode parallels_trim(DiskImage& image, TrimJob& job) {
  if (belongs_to_bundle(job.path)) return ERR_UNSUPPORTED;
  ExpandingImage& img = image_of(*image.state);
  ExpandingTrimPlan plan;
  plan.visible_sectors = img.geometry.total_sectors;
  plan.data_start = img.data_start;
  plan.fill_words = !img.cluster_entries;
  return trim_expanding(img, image, job, job.path, plan);
}

}  // namespace

bool parallels_layout(const DiskImage& image, ParallelsLayout& out) noexcept {
  if (image.format != FORMAT_PARALLELS || !image.state) return false;
  const ExpandingImage& img = image_of(*image.state);
  out.cluster_entries = img.cluster_entries;
  out.cluster_sectors = img.cluster_sectors;
  out.table_entries = static_cast<uint32_t>(img.bat.size());
  out.data_start = img.data_start;
  out.in_use = img.header.in_use == kParallelsInUse;
  return true;
}

const FormatDriver kParallelsDriver = {
    .name = "parallels",
    .make_state = make_driver_state<ParallelsState>,
    .open = parallels_open,
    .get_geometry = parallels_geometry,
    .read_bytes = parallels_read,
    .can_trim = parallels_can_trim,
    .trim = parallels_trim,
    .layer_status = parallels_layer_status,
};

}  // namespace qx
