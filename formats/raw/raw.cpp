// Raw disk image (format 29).
#include "formats/raw/raw.hpp"

#include <algorithm>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/trim_walk.hpp"
#include "image/detect.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

// The walk's step; free stretches inside a kept step are found host block by host block.
constexpr uint32_t kStepSectors = 2048;
constexpr uint32_t kHeads = 255;
constexpr uint32_t kSectorsPerTrack = 63;

struct RawImage : DriverState {
  File file;
  DiskGeometry geometry;

  bool read_failed() const noexcept override { return file.read_failed(); }
};

RawImage& raw(DriverState& s) { return static_cast<RawImage&>(s); }

// Set while the user's -f raw opens the image: the name then says nothing either way.
bool g_named_raw = false;

// Anything but a disk (text, random bytes, a table cut short) stays refused: the name alone says
// nothing, so the content must show a layout the map can be built from.
ErrorCode raw_open(DriverState& s, std::string_view path, bool read_only) {
  RawImage& st = raw(s);
  if (!g_named_raw && !raw_disk_name(path)) return ERR_UNSUPPORTED;
  st.file = File::open_existing(path, read_only);
  uint64_t length = 0;
  if (!st.file || !st.file.length(length)) return ERR_UNSUPPORTED;
  if (length == 0 || length % kSectorSize != 0 || length / kSectorSize > UINT32_MAX)
    return ERR_UNSUPPORTED;
  st.geometry = DiskGeometry{static_cast<uint32_t>(length / kSectorSize), kHeads, kSectorsPerTrack,
                             kSectorSize};
  DiskImage probe;
  if (open_flat(probe, path, true, 0, st.geometry) != OK || !holds_known_layout(probe))
    return ERR_UNSUPPORTED;
  return OK;
}

DiskGeometry raw_geometry(const DriverState& s) { return static_cast<const RawImage&>(s).geometry; }

ErrorCode raw_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  RawImage& st = raw(s);
  return st.file.read_at(offset, out) ? OK : ERR_READ;
}

ErrorCode raw_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  RawImage& st = raw(s);
  out = LayerRun{LayerHolding::kStored, count, &st.file, uint64_t{first} * kSectorSize};
  return OK;
}

bool raw_can_trim(const DriverState&) { return true; }

// Sectors of one host block: the host's own block where it is a sane power of two, else the step.
uint32_t host_block_sectors(File& file) noexcept {
  FileInfo info;
  if (!file.info(info)) return kStepSectors;
  const uint32_t b = info.block_size;
  if (b < kSectorSize || b > kStepSectors * kSectorSize || !is_power_of_two(b)) return kStepSectors;
  return b / kSectorSize;
}

// One writer for both modes. The walk drops free stretches of whole steps on its own; a kept step
// is read once and cut into host blocks, each free one left out (a hole) of the new file or
// punched out of the image itself. Runs of neighbouring blocks go to the host as one call.
class RawWriter : public BlockWriter {
 public:
  RawWriter(uint32_t host_sectors, File* punch_into) : host_(host_sectors), punch_into_(punch_into) {}

  // Whole steps are decided by the walk's grouped question; the rest is sorted out in keep().
  ErrorCode decide(TrimWalk&, uint32_t, uint32_t, uint32_t, BlockFate& fate) override {
    fate = kKeepBlock;
    return OK;
  }

  ErrorCode keep(TrimWalk& walk, uint32_t, uint32_t first, uint32_t n) override {
    if (ErrorCode rc = walk.read_sectors(first, n, data_); rc != OK) return rc;
    for (uint32_t at = first, end = first + n; at < end;) {
      const uint32_t piece = std::min(host_ - at % host_, end - at);
      bool free = false;
      const auto bytes = std::span<const uint8_t>(data_).subspan(size_t{at - first} * kSectorSize,
                                                                 size_t{piece} * kSectorSize);
      if (ErrorCode rc = is_block_droppable(walk.map(), at, piece, free, bytes); rc != OK) return rc;
      if (ErrorCode rc = free ? freed(walk, at, piece) : used(walk, at, piece); rc != OK) return rc;
      at += piece;
    }
    return OK;
  }

  ErrorCode drop(TrimWalk& walk, uint32_t, uint32_t first, uint32_t n, BlockFate) override {
    return freed(walk, first, n);
  }

  // What is still gathered goes out; a new file keeps the disk's length.
  ErrorCode finish(TrimWalk& walk) override {
    if (ErrorCode rc = flush_copy(walk); rc != OK) return rc;
    if (ErrorCode rc = flush_punch(); rc != OK) return rc;
    return punch_into_ ? OK : walk.out().set_length(get_geometry(walk.image()).size_bytes());
  }

 private:
  ErrorCode freed(TrimWalk& walk, uint32_t first, uint32_t n) {
    if (!punch_into_) return flush_copy(walk);
    return gather(punch_, first, n) ? OK : flush_punch_then(punch_, first, n);
  }

  ErrorCode used(TrimWalk& walk, uint32_t first, uint32_t n) {
    if (punch_into_) return flush_punch();
    if (gather(copy_, first, n)) return OK;
    if (ErrorCode rc = flush_copy(walk); rc != OK) return rc;
    copy_ = Run{first, n};
    return OK;
  }

  struct Run {
    uint32_t first = 0;
    uint32_t n = 0;
  };

  static bool gather(Run& run, uint32_t first, uint32_t n) noexcept {
    if (run.n == 0) {
      run = Run{first, n};
      return true;
    }
    if (uint64_t{run.first} + run.n != first) return false;
    run.n += n;
    return true;
  }

  ErrorCode flush_punch_then(Run& run, uint32_t first, uint32_t n) {
    if (ErrorCode rc = flush_punch(); rc != OK) return rc;
    run = Run{first, n};
    return OK;
  }

  ErrorCode flush_copy(TrimWalk& walk) {
    const Run run = copy_;
    copy_ = Run{};
    if (run.n == 0) return OK;
    const uint64_t at = uint64_t{run.first} * kSectorSize;
    return walk.put_sectors(run.first, run.n, at, uint64_t{run.n} * kSectorSize);
  }

  ErrorCode flush_punch() {
    const Run run = punch_;
    punch_ = Run{};
    if (run.n == 0) return OK;
    bool unsupported = false;
    const bool punched =
        punch_into_->punch_hole(uint64_t{run.first} * kSectorSize, uint64_t{run.n} * kSectorSize, unsupported);
    return punched ? OK : ERR_WRITE;
  }

  uint32_t host_;
  File* punch_into_;
  Run copy_, punch_;
  std::vector<uint8_t> data_;
};

ErrorCode raw_trim(DiskImage& image, TrimJob& job) {
  RawImage& st = raw(*image.state);
  RawWriter writer(host_block_sectors(st.file), nullptr);
  return trim_file(image, job, job.path, st.file, TrimSpan{0, st.geometry.total_sectors, kStepSectors, false}, writer);
}

// The image was opened for reading; the holes go through a second descriptor of the same file.
// Punched holes need no sync to be safe: a hole lost in a crash is the old free data again.
ErrorCode raw_trim_in_place(DiskImage& image, TrimJob& job) {
  RawImage& st = raw(*image.state);
  const uint32_t host = host_block_sectors(st.file);
  File target;
  if (ErrorCode rc = open_to_punch(job.path, st.file, uint64_t{host} * kSectorSize, target); rc != OK) return rc;
  RawWriter writer(host, &target);
  TrimWalk walk(image, job);
  if (ErrorCode rc = walk.run(TrimSpan{0, st.geometry.total_sectors, kStepSectors, false}, writer); rc != OK) return rc;
  return target.close() ? OK : ERR_WRITE;
}

}  // namespace

bool raw_disk_name(std::string_view path) noexcept {
  std::string_view ext = path_extension(path);
  if (ext.size() != 3) return false;
  char lower[3];
  for (size_t i = 0; i < 3; ++i) lower[i] = static_cast<char>(ext[i] | 0x20);
  const std::string_view e(lower, 3);
  return e == "img" || e == "raw" || e == "bin";
}

ErrorCode open_raw_named(DiskImage& image, std::string_view path, bool read_only) {
  g_named_raw = true;
  const ErrorCode rc = open_image_as(image, path, read_only, FORMAT_RAW);
  g_named_raw = false;
  return rc;
}

const FormatDriver kRawDriver = {
    .name = "raw",
    .make_state = make_driver_state<RawImage>,
    .open = raw_open,
    .get_geometry = raw_geometry,
    .read_bytes = raw_read,
    .can_trim = raw_can_trim,
    .trim = raw_trim,
    .trim_in_place = raw_trim_in_place,
    .layer_status = raw_layer_status,
};

}  // namespace qx
