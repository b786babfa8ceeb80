// The image handle: a format id plus the owned state of that format's driver, with every disk
// operation dispatched through the driver table.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "image/error.hpp"
#include "image/layer.hpp"

namespace qx {

class SectorUse;
struct TrimJob;

// A format's number in the driver table (formats/format_ids.hpp lists them); negative numbers
// name drivers outside the table. The image layer itself only knows its building blocks.
using FormatId = int32_t;
inline constexpr FormatId FORMAT_FLAT = -1;
inline constexpr FormatId FORMAT_WINDOW = -5;
inline constexpr FormatId FORMAT_NONE = INT32_MIN;  // a freshly initialised handle

struct DiskGeometry {
  uint32_t total_sectors = 0;
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
  uint32_t bytes_per_sector = 0;

  uint64_t size_bytes() const noexcept { return uint64_t{total_sectors} * bytes_per_sector; }
};

// Long loops report (done, total) here; answering false cancels the work.
using ProgressCallback = bool (*)(uint32_t done, uint32_t total, void* user);

// What a walk hands to the range questions so that a long check can still report progress, and
// where it keeps the answers of the asked image's own layer (image/layer.hpp).
struct ProgressRelay {
  ProgressCallback callback = nullptr;
  void* user = nullptr;
  uint32_t done = 0;
  uint32_t total = 0;
  uint64_t examined = 0;
  std::vector<LayerAnswer>* answers = nullptr;
};

// The check-in adapter: counts examined sectors and asks the relay's callback whether to go on.
// A missing relay always goes on.
using CheckInCallback = bool (*)(uint32_t examined, ProgressRelay* relay);
bool relay_check_in(uint32_t examined, ProgressRelay* relay) noexcept;
inline CheckInCallback check_in_callback() noexcept { return &relay_check_in; }

struct FormatDriver;

// Base of every driver's state, so that a handle can own it without knowing its type.
struct DriverState {
  virtual ~DriverState() = default;
  // Whether a read of the state's files, or of the images it reads through, failed since it was
  // opened. Answers that a driver gave despite it (a structure taken for a foreign one, a block
  // kept) lose nothing, but a run that reads data must not succeed on them.
  virtual bool read_failed() const noexcept { return false; }
  // The row that serves this state, set when a handle takes it.
  const FormatDriver* driver = nullptr;
  LayerScratch layer_scratch;
};

// A trim of a trimmable format (formats/trim_walk.hpp): OK, CANCELLED or an error.
using TrimFunction = ErrorCode (*)(struct DiskImage& image, TrimJob& job);

// What a differencing child recorded of the disk it was made over, and what a parent says of
// itself: the VHD footer's unique id, the VHDX data write GUID of the current header, or the VMDK
// descriptor's CID (its 4 bytes first, the rest zero). Formats that carry no identity answer NONE.
struct ImageIdentity {
  enum Kind : uint8_t { NONE, VHD_UNIQUE_ID, VHDX_DATA_WRITE_GUID, VMDK_CID };
  Kind kind = NONE;
  uint8_t bytes[16] = {};

  bool operator==(const ImageIdentity&) const = default;
};

// One row of the driver table. Empty entries are null. The dispatcher checks every range against
// the disk before a driver sees it, and answers the free-range questions of a row that leaves them
// null from its layer question (image/layer.hpp).
struct FormatDriver {
  const char* name = nullptr;
  std::unique_ptr<DriverState> (*make_state)() noexcept = nullptr;  // makes null when memory runs out
  ErrorCode (*open)(DriverState& state, std::string_view path, bool read_only) = nullptr;
  void (*close)(DriverState& state) = nullptr;
  DiskGeometry (*get_geometry)(const DriverState& state) = nullptr;
  ErrorCode (*read_bytes)(DriverState& state, uint64_t offset, std::span<uint8_t> out) = nullptr;
  ErrorCode (*is_range_free)(DriverState& state, const SectorUse* map, uint32_t first,
                             uint32_t count, bool& free, ProgressRelay* relay) = nullptr;
  bool (*can_trim)(const DriverState& state) = nullptr;
  TrimFunction trim = nullptr;
  // Gives the free space back inside the image itself, never writing a second file; null for
  // formats that cannot. CANCELLED leaves the image consistent, with what was given back so far.
  TrimFunction trim_in_place = nullptr;
  // Null when the format carries no identity of its own.
  bool (*identity)(const DriverState& state, ImageIdentity& out) = nullptr;
  // OK, or ERR_BAD_FORMAT when some link of the parent chain is not the disk its child was made
  // over, or ERR_UNSUPPORTED when some link holds writes not yet applied (a VHDX log to replay).
  // Null for formats without parents or pending writes.
  ErrorCode (*chain_status)(const DriverState& state) = nullptr;
  // What the image's own layer holds from `first` on (image/layer.hpp); the dispatcher has checked
  // the range. Null for formats that answer the free-range rows themselves.
  ErrorCode (*layer_status)(DriverState& state, uint32_t first, uint32_t count, LayerRun& out) = nullptr;
  // The image whose data shows where this layer holds nothing; null when there is none.
  DiskImage* (*parent)(DriverState& state) = nullptr;
};

// The table row of a non-negative id, or null for an empty slot or an id beyond the table. The
// table lives with the formats.
const FormatDriver* format_driver(int32_t id) noexcept;
// The driver of a negative id (the building blocks here, and the formats outside the table), or null.
const FormatDriver* format_special_driver(int32_t id) noexcept;

struct DiskImage {
  FormatId format = FORMAT_NONE;
  std::unique_ptr<DriverState> state;

  DiskImage() = default;
  ~DiskImage();
  DiskImage(DiskImage&& other) noexcept;
  DiskImage& operator=(DiskImage&& other) noexcept;
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  bool is_open() const noexcept { return state != nullptr; }
};

// Opens through the table slot of one id; ids beyond the table and negative ids are ERR_UNSUPPORTED.
ErrorCode open_image_as(DiskImage& image, std::string_view path, bool read_only, int32_t id);
// Format detection: tries the drivers that own the extension, then the fixed probing order.
ErrorCode open_image(DiskImage& image, std::string_view path, bool read_only);
void close_image(DiskImage& image) noexcept;

DiskGeometry get_geometry(const DiskImage& image) noexcept;
// Whether a read of the image (any file of it, any image below it) failed since it was opened.
// The runs that vouch for data (the map, the forecast, the trims) then end in ERR_READ.
bool image_read_failed(const DiskImage& image) noexcept;
ErrorCode read_bytes(DiskImage& image, uint64_t offset, std::span<uint8_t> out);
ErrorCode is_range_free(DiskImage& image, const SectorUse* map, uint32_t first, uint32_t count,
                        bool& free, ProgressRelay* relay);
bool can_trim(const DiskImage& image) noexcept;
// The image's own identity; kind NONE when its format carries none.
ImageIdentity image_identity(const DiskImage& image) noexcept;
// OK when every child of the chain was made over the parent it now finds; a mismatch anywhere
// (checked link by link) is ERR_BAD_FORMAT, a link whose stored state still waits for writes of
// its log is ERR_UNSUPPORTED, and nothing may then be trimmed or mapped.
ErrorCode parent_chain_status(const DiskImage& image) noexcept;
// A trim of an image over a parent keeps what its own layer holds under used sectors.
bool needs_layer_local_trim(DiskImage& image) noexcept;
// The layer question of the image's format, asked of a range inside the disk; the answer is
// checked (check_layer_run). ERR_UNSUPPORTED for formats that do not answer it.
ErrorCode layer_status(DiskImage& image, uint32_t first, uint32_t count, LayerRun& out);
// The image below, or null.
DiskImage* image_parent(DiskImage& image) noexcept;
// What the image's own layer holds of the used sectors of a range (formats without the layer
// question hold them all, as data). ERR_UNSUPPORTED for the image layer's own building blocks.
ErrorCode layer_use(DiskImage& image, const SectorUse* map, uint32_t first, uint32_t count,
                    bool zeros_too, LayerUse& use, ProgressRelay* relay);
// Free in the layer when the layer holds none of the used sectors: leaving it out changes nothing
// the file systems own.
ErrorCode is_range_free_in_layer(DiskImage& image, const SectorUse* map, uint32_t first,
                                 uint32_t count, bool& free, ProgressRelay* relay = nullptr);

// A plain file holding the disk's sectors from data_offset on (id -1).
ErrorCode open_flat(DiskImage& image, std::string_view path, bool read_only, uint32_t data_offset,
                    const DiskGeometry& geometry);
// Another image presented with a different total sector count (id -5); beyond the inner disk it
// reads as zeros and counts as free.
ErrorCode open_window(DiskImage& image, DiskImage&& inner, uint32_t total_sectors);
ErrorCode open_window(DiskImage& image, DiskImage& inner_borrowed, uint32_t total_sectors);

// Installs an opened state under an id; used by openers of the special drivers.
void adopt_state(DiskImage& image, FormatId id, std::unique_ptr<DriverState> state) noexcept;

// Helper for drivers: allocates a state without throwing.
template <typename S>
std::unique_ptr<DriverState> make_driver_state() noexcept {
  try {
    return std::make_unique<S>();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace qx
