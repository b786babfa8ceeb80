#include "image/disk_image.hpp"

#include "image/primitives.hpp"
#include "platform/file_ops.hpp"
#include "text/path_string.hpp"

namespace qx {
namespace {

const FormatDriver* driver_of(int32_t id) noexcept {
  return id >= 0 ? format_driver(id) : format_special_driver(id);
}

// Every request is checked against the disk here, once, before any driver sees it.
bool inside(const DiskImage& image, const FormatDriver& driver, uint64_t offset, uint64_t length) noexcept {
  const uint64_t size = driver.get_geometry ? driver.get_geometry(*image.state).size_bytes() : 0;
  return offset <= size && length <= size - offset;
}

}  // namespace

bool relay_check_in(uint32_t examined, ProgressRelay* relay) noexcept {
  if (!relay) return true;
  relay->examined += examined;
  if (!relay->callback) return true;
  return relay->callback(relay->done, relay->total, relay->user);
}

DiskImage::~DiskImage() { close_image(*this); }

DiskImage::DiskImage(DiskImage&& other) noexcept
    : format(other.format), state(std::move(other.state)) {
  other.format = FORMAT_NONE;
}

DiskImage& DiskImage::operator=(DiskImage&& other) noexcept {
  if (this != &other) {
    close_image(*this);
    format = other.format;
    state = std::move(other.state);
    other.format = FORMAT_NONE;
  }
  return *this;
}

void adopt_state(DiskImage& image, FormatId id, std::unique_ptr<DriverState> state) noexcept {
  close_image(image);
  image.format = id;
  image.state = std::move(state);
  if (image.state) image.state->driver = driver_of(id);
}

ErrorCode open_image_as(DiskImage& image, std::string_view path, bool read_only, int32_t id) {
  // Windows paths come with "\" too; the formats resolve stored names against "/".
  PathBuffer<4096> portable;
  if (platform::kBackslashSeparates && path.find('\\') != std::string_view::npos) {
    if (!portable.assign(path)) return ERR_UNSUPPORTED;
    for (uint32_t i = 0; i < portable.length(); ++i)
      if (portable.data()[i] == '\\') portable.data()[i] = '/';
    path = portable.view();
  }
  const FormatDriver* driver = id >= 0 ? format_driver(id) : nullptr;
  if (!driver || !driver->open) return ERR_UNSUPPORTED;
  std::unique_ptr<DriverState> state = driver->make_state();
  if (!state) return ERR_NO_MEMORY;
  const ErrorCode rc = guard_no_memory([&] { return driver->open(*state, path, read_only); });
  if (rc != OK) {
    // The opener releases what it acquired; the state itself goes here. A file that could not
    // be read is no sign of another format.
    return state->read_failed() ? ERR_READ : rc;
  }
  adopt_state(image, static_cast<FormatId>(id), std::move(state));
  return OK;
}

void close_image(DiskImage& image) noexcept {
  if (image.state) {
    const FormatDriver* driver = driver_of(image.format);
    if (driver && driver->close) driver->close(*image.state);
    image.state.reset();
  }
  image.format = 0;  // a closed handle holds id 0 and no state
}

DiskGeometry get_geometry(const DiskImage& image) noexcept {
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  if (!driver || !driver->get_geometry) return DiskGeometry{};
  return driver->get_geometry(*image.state);
}

bool image_read_failed(const DiskImage& image) noexcept {
  return image.state && image.state->read_failed();
}

ErrorCode read_bytes(DiskImage& image, uint64_t offset, std::span<uint8_t> out) {
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  if (!driver || !driver->read_bytes || out.size() > UINT32_MAX ||
      !inside(image, *driver, offset, out.size()))
    return ERR_UNSUPPORTED;
  return guard_no_memory([&] { return driver->read_bytes(*image.state, offset, out); });
}

ErrorCode is_range_free(DiskImage& image, const SectorUse* map, uint32_t first, uint32_t count,
                        bool& free, ProgressRelay* relay) {
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  const auto ask = driver && driver->is_range_free ? driver->is_range_free
                   : driver && driver->layer_status ? layered_is_range_free
                                                    : nullptr;
  if (!ask || !inside(image, *driver, uint64_t{first} * kSectorSize, uint64_t{count} * kSectorSize))
    return ERR_UNSUPPORTED;
  return guard_no_memory([&] { return ask(*image.state, map, first, count, free, relay); });
}

bool can_trim(const DiskImage& image) noexcept {
  const FormatDriver* driver = image.state ? format_driver(image.format) : nullptr;
  return driver && driver->can_trim && driver->can_trim(*image.state);
}

ImageIdentity image_identity(const DiskImage& image) noexcept {
  ImageIdentity out;
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  if (!driver || !driver->identity || !driver->identity(*image.state, out)) return ImageIdentity{};
  return out;
}

ErrorCode parent_chain_status(const DiskImage& image) noexcept {
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  if (!driver || !driver->chain_status) return OK;
  return driver->chain_status(*image.state);
}

bool needs_layer_local_trim(DiskImage& image) noexcept {
  return image.format >= 0 && image_parent(image) != nullptr;
}

ErrorCode layer_status(DiskImage& image, uint32_t first, uint32_t count, LayerRun& out) {
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  if (!driver || !driver->layer_status || count == 0 ||
      !inside(image, *driver, uint64_t{first} * kSectorSize, uint64_t{count} * kSectorSize))
    return ERR_UNSUPPORTED;
  if (ErrorCode rc = guard_no_memory([&] { return driver->layer_status(*image.state, first, count, out); });
      rc != OK)
    return rc;
  return check_layer_run(out, count);
}

DiskImage* image_parent(DiskImage& image) noexcept {
  const FormatDriver* driver = image.state ? driver_of(image.format) : nullptr;
  return driver && driver->parent ? driver->parent(*image.state) : nullptr;
}

ErrorCode layer_use(DiskImage& image, const SectorUse* map, uint32_t first, uint32_t count,
                    bool zeros_too, LayerUse& use, ProgressRelay* relay) {
  const FormatDriver* driver = image.state ? format_driver(image.format) : nullptr;
  if (!driver || !inside(image, *driver, uint64_t{first} * kSectorSize, uint64_t{count} * kSectorSize))
    return ERR_UNSUPPORTED;
  if (!driver->layer_status) {
    use = LayerUse{true, false};
    return OK;
  }
  return guard_no_memory([&] { return layered_use(*image.state, map, first, count, zeros_too, use, relay); });
}

ErrorCode is_range_free_in_layer(DiskImage& image, const SectorUse* map, uint32_t first,
                                 uint32_t count, bool& free, ProgressRelay* relay) {
  LayerUse use;
  const ErrorCode rc = layer_use(image, map, first, count, false, use, relay);
  if (rc == OK) free = !use.used;
  return rc;
}

}  // namespace qx
