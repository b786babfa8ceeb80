// The one shape of every trim: a new file written beside the image, one walk over the disk's blocks
// that decides which to keep, and kept data moved by the shared copier. A format says where a kept
// block lands and writes its own tables; the walk owns everything else.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/replacement.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "image/file_copy.hpp"
#include "image/sector_use.hpp"

namespace qx {

// What a trim would write, found by running it without writing (forecast_trim): every file it
// would write, as the name it would replace, its new length and the length it has now; and the
// bytes the host would have to find for them (holes cost nothing; data copied from the source
// is counted, as the host may not share it).
struct ForecastFile {
  std::string path;
  uint64_t bytes = 0;
  uint64_t current_bytes = 0;
};
struct TrimForecast {
  std::vector<ForecastFile> files;
  uint64_t host_bytes = 0;
  uint64_t bytes() const noexcept;
  uint64_t current_bytes() const noexcept;
};

// Runs the trim of the image's format with every output counted instead of written: nothing is
// created. ERR_UNSUPPORTED when the image may not be trimmed; CANCELLED when progress says stop.
[[nodiscard]] ErrorCode forecast_trim(DiskImage& image, std::string_view path, const SectorUse& map,
                                      TrimForecast& out, ProgressCallback progress, void* user);

// Opens the image itself for a trim in place, through a second descriptor that must find the file
// as `source` did (and as the running trim held it), and finds out before anything changes that
// its host can punch holes of `block` bytes; ERR_UNSUPPORTED (with the reason noted) when it
// cannot. ERR_OPEN with the key "in_use" or "changed" noted when another program writes the image
// or wrote it.
[[nodiscard]] ErrorCode open_to_punch(std::string_view path, File& source, uint64_t block, File& target);

// The new file of one trim and the ways data gets into it.
class TrimOutput {
 public:
  // Names the "_TEMP" file beside `target` in `entry` and creates it (never through a link); kept
  // data is copied from `source`, which outlives the output.
  [[nodiscard]] ErrorCode create(ReplacementEntry& entry, TextView target, File& source);
  // The same for the single file of a one-file image: the record becomes active once the file
  // exists, so that a failure from there on removes it.
  [[nodiscard]] ErrorCode create(Replacement& record, TextView target, File& source);
  // The file that copies come from.
  const File* source() const noexcept { return source_; }

  File& file() noexcept { return out_; }
  [[nodiscard]] ErrorCode write(uint64_t at, std::span<const uint8_t> data);
  // Zeros at [from, to) of bytes never written before: a long run stays a hole, and only its last
  // piece is written so that the file reaches `to`.
  [[nodiscard]] ErrorCode write_zeros(uint64_t from, uint64_t to);
  // Bytes of the source file, through the shared copier (shared, copied in the kernel or through
  // a buffer); the copy may happen at a later call.
  [[nodiscard]] ErrorCode copy(uint64_t from, uint64_t to, uint64_t length);
  // Carries out the copies asked for; before reading the output's length, or writing over a
  // copied range.
  [[nodiscard]] ErrorCode finish_copies();
  [[nodiscard]] ErrorCode length(uint64_t& out);
  [[nodiscard]] ErrorCode set_length(uint64_t length);
  // Everything on the disk, then closed: the rename that follows must not publish a file whose
  // data never reached it.
  [[nodiscard]] ErrorCode close();
  // True in a forecast: nothing is written, the bytes are counted.
  bool dry() const noexcept { return forecast_ != nullptr; }
  // Counts bytes written at [at, at + length) in a forecast.
  [[nodiscard]] ErrorCode count(uint64_t at, uint64_t length);

 private:
  [[nodiscard]] ErrorCode open(std::string_view temporary, std::string_view target, File& source);
  void written(uint64_t end);

  TrimForecast* forecast_ = nullptr;
  size_t forecast_file_ = 0;
  std::map<uint64_t, uint64_t> counted_;  // start -> end of the bytes written, disjoint
  uint64_t counted_length_ = 0;

  File out_;
  const File* source_ = nullptr;
  std::optional<FileCopier> copier_;
  std::vector<uint8_t> zeros_;
  uint64_t written_back_ = 0;  // the output up to here is on its way to the disk
};

// Where the walk goes: blocks of `block_sectors` from `first` on, the last one possibly shorter.
struct TrimSpan {
  uint32_t first = 0;
  uint32_t sectors = 0;
  uint32_t block_sectors = 0;
  // A child keeps the blocks of its own layer that hold used sectors; a disk without a parent
  // keeps those whose used sectors are not all zero.
  bool layered = false;
};

class TrimWalk;

// What becomes of a block: dropped (the default, 0), kept (1), or a format's own kind of drop.
using BlockFate = uint8_t;
inline constexpr BlockFate kDropBlock = 0;
inline constexpr BlockFate kKeepBlock = 1;

// What a format tells the walk. The walk first decides every block, then lets the format place
// what it keeps knowing how much that is, then hands it the blocks one by one in disk order.
class BlockWriter {
 public:
  virtual ~BlockWriter() = default;
  // The block [first, first + n); by default the image is asked (its own layer for a child, the
  // whole disk otherwise).
  [[nodiscard]] virtual ErrorCode decide(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n,
                                         BlockFate& fate);
  // Whether free stretches of several blocks may be passed over in one question with the default
  // decision (each of their blocks is then dropped without asking decide()).
  virtual bool groups_with_default_decision() const noexcept { return true; }
  // Every block is decided (walk.kept_blocks() tells how many are kept); nothing of the blocks
  // has been written yet.
  [[nodiscard]] virtual ErrorCode plan(TrimWalk& walk);
  [[nodiscard]] virtual ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) = 0;
  [[nodiscard]] virtual ErrorCode drop(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n,
                                       BlockFate fate);
};

class TrimWalk {
 public:
  // Progress is reported as (disk sector reached, progress_total).
  TrimWalk(DiskImage& image, const SectorUse& map, TrimOutput& out, ProgressCallback progress,
           void* user, uint32_t progress_total) noexcept
      : image_(image), map_(map), out_(out), progress_(progress), user_(user), total_(progress_total) {}

  // Walks the span: decides every block (progress stays at the span's start, long checks may
  // still cancel), then keeps or drops each, reporting after each one; the copies are finished
  // before the last report. CANCELLED when the callback asked to stop.
  [[nodiscard]] ErrorCode run(const TrimSpan& span, BlockWriter& writer);

  DiskImage& image() noexcept { return image_; }
  const SectorUse& map() const noexcept { return map_; }
  TrimOutput& out() noexcept { return out_; }
  const TrimSpan& span() const noexcept { return span_; }
  uint64_t kept_blocks() const noexcept { return kept_; }

  // The default decision for [first, first + n).
  [[nodiscard]] ErrorCode is_free(uint32_t first, uint32_t n, bool& free);
  // Disk sectors [first, first + n) to byte `to` of the output: what the image's own layer keeps
  // in the source file is copied from there, everything else read through the image and written
  // (taken from `read` when the caller has read the sectors already). `whole` bytes are written
  // in all; past the sectors, zeros.
  [[nodiscard]] ErrorCode put_sectors(uint32_t first, uint32_t n, uint64_t to, uint64_t whole,
                                      std::span<const uint8_t> read = {});
  // Disk sectors read through the image into `buffer` (sized to fit them).
  [[nodiscard]] ErrorCode read_sectors(uint32_t first, uint32_t n, std::vector<uint8_t>& buffer);

 private:
  bool report(uint32_t reached) const;
  [[nodiscard]] ErrorCode decide_all(BlockWriter& writer);
  [[nodiscard]] ErrorCode write_all(BlockWriter& writer);
  uint32_t block_first(uint64_t block) const noexcept;
  uint32_t block_length(uint64_t block) const noexcept;

  DiskImage& image_;
  const SectorUse& map_;
  TrimOutput& out_;
  ProgressCallback progress_;
  void* user_;
  uint32_t total_;
  TrimSpan span_;
  uint64_t blocks_ = 0;
  uint64_t kept_ = 0;
  std::vector<BlockFate> fates_;
  std::vector<uint8_t> buffer_;
};

}  // namespace qx
