// Flat image (id -1): a plain file holding the disk's sectors from a byte offset on.
#include <vector>

#include "image/file.hpp"
#include "image/primitives.hpp"
#include "image/special_drivers.hpp"

namespace qx {
namespace {


struct FlatState : DriverState {
  File file;
  uint64_t data_offset = 0;
  DiskGeometry geometry;

  bool read_failed() const noexcept override { return file.read_failed(); }
};

FlatState& flat(DriverState& s) { return static_cast<FlatState&>(s); }

DiskGeometry flat_geometry(const DriverState& s) { return static_cast<const FlatState&>(s).geometry; }

ErrorCode flat_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  FlatState& st = flat(s);
  return st.file.read_at(st.data_offset + offset, out) ? OK : ERR_READ;
}

// Every sector lies in the file, one after another.
ErrorCode flat_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  FlatState& st = flat(s);
  out = LayerRun{LayerHolding::kStored, count, &st.file, st.data_offset + uint64_t{first} * kSectorSize};
  return OK;
}

}  // namespace

const FormatDriver kFlatDriver = {
    .name = "flat",
    .make_state = make_driver_state<FlatState>,
    .open = nullptr,  // opened through open_flat, which takes the geometry
    .get_geometry = flat_geometry,
    .read_bytes = flat_read,
    .layer_status = flat_layer_status,
};

ErrorCode open_flat(DiskImage& image, std::string_view path, bool read_only, uint32_t data_offset,
                    const DiskGeometry& geometry) {
  return guard_no_memory([&]() -> ErrorCode {
    auto state = std::make_unique<FlatState>();
    state->file = File::open_existing(path, read_only);
    if (!state->file) return ERR_OPEN;
    if (!geometry.total_sectors || !geometry.heads || !geometry.sectors_per_track ||
        !geometry.bytes_per_sector)
      return ERR_UNSUPPORTED;
    uint64_t length = 0;
    if (!state->file.length(length)) return ERR_FILE_SIZE;
    if (length < uint64_t{data_offset} + geometry.size_bytes()) return ERR_BAD_FORMAT;
    state->data_offset = data_offset;
    state->geometry = geometry;
    adopt_state(image, FORMAT_FLAT, std::move(state));
    return OK;
  });
}

}  // namespace qx
