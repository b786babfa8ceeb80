// Window (id -5): another image presented with a different total sector count.
#include <algorithm>
#include <cstring>

#include "image/primitives.hpp"
#include "image/special_drivers.hpp"

namespace qx {
namespace {

struct WindowState : DriverState {
  DiskImage owned;               // set when the window owns its inner image
  DiskImage* inner = nullptr;    // the image read through the window
  DiskGeometry inner_geometry;
  uint32_t total_sectors = 0;

  bool read_failed() const noexcept override { return inner && image_read_failed(*inner); }
};

WindowState& window(DriverState& s) { return static_cast<WindowState&>(s); }

DiskGeometry window_geometry(const DriverState& s) {
  const auto& st = static_cast<const WindowState&>(s);
  DiskGeometry g = st.inner_geometry;
  g.total_sectors = st.total_sectors;
  return g;
}

ErrorCode window_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  WindowState& st = window(s);
  const uint64_t inner_size = st.inner_geometry.size_bytes();
  size_t inside = 0;
  if (offset < inner_size)
    inside = static_cast<size_t>(std::min<uint64_t>(out.size(), inner_size - offset));
  if (inside)
    if (ErrorCode rc = read_bytes(*st.inner, offset, out.first(inside)); rc != OK) return rc;
  std::memset(out.data() + inside, 0, out.size() - inside);
  return OK;
}

ErrorCode window_is_range_free(DriverState& s, const SectorUse* map, uint32_t first,
                               uint32_t count, bool& free, ProgressRelay* relay) {
  WindowState& st = window(s);
  const uint64_t end = uint64_t{first} + count;
  if (end > st.total_sectors) return ERR_UNSUPPORTED;
  const uint32_t inner_total = st.inner_geometry.total_sectors;
  if (first >= inner_total) {
    free = true;
    return OK;
  }
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end, inner_total) - first);
  return is_range_free(*st.inner, map, first, n, free, relay);
}

// A window changes only the size: the disk behind it keeps its identity and its chain.
bool window_identity(const DriverState& s, ImageIdentity& out) {
  out = image_identity(*static_cast<const WindowState&>(s).inner);
  return out.kind != ImageIdentity::NONE;
}

ErrorCode window_chain_status(const DriverState& s) {
  return parent_chain_status(*static_cast<const WindowState&>(s).inner);
}

ErrorCode open_window_impl(DiskImage& image, DiskImage* borrowed, DiskImage* owned,
                           uint32_t total_sectors) {
  return guard_no_memory([&]() -> ErrorCode {
    auto state = std::make_unique<WindowState>();
    if (owned) {
      state->owned = std::move(*owned);
      state->inner = &state->owned;
    } else {
      state->inner = borrowed;
    }
    state->inner_geometry = get_geometry(*state->inner);
    state->total_sectors = total_sectors;
    adopt_state(image, FORMAT_WINDOW, std::move(state));
    return OK;
  });
}

}  // namespace

const FormatDriver kWindowDriver = {
    .name = "window",
    .make_state = make_driver_state<WindowState>,
    .open = nullptr,  // opened through open_window
    .get_geometry = window_geometry,
    .read_bytes = window_read,
    .is_range_free = window_is_range_free,
    .identity = window_identity,
    .chain_status = window_chain_status,
};

ErrorCode open_window(DiskImage& image, DiskImage&& inner, uint32_t total_sectors) {
  return open_window_impl(image, nullptr, &inner, total_sectors);
}

ErrorCode open_window(DiskImage& image, DiskImage& inner_borrowed, uint32_t total_sectors) {
  return open_window_impl(image, &inner_borrowed, nullptr, total_sectors);
}

}  // namespace qx
