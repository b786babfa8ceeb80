// The one shape of every trim: one walk over the disk's blocks decides which to keep, then hands
// them to the format in disk order. What it writes goes to the sink its caller passed in (new files
// beside the image, or a count of their bytes), kept data moves through the shared copier, and what
// the decide pass found can be kept for a later run over the same image. A format says where a kept
// block lands and writes its own tables; the walk owns everything else.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "image/file_copy.hpp"
#include "image/replacement.hpp"
#include "image/sector_use.hpp"

namespace qx {

// ---- where a trim writes ----

// Where the files of a trim go, one at a time: a FileSink writes each beside the file it replaces,
// a CountingSink counts where its bytes would land. Each file is named after the one it replaces
// in a writer record (which holds that file from then on, as the swap asks).
class TrimSink {
 public:
  virtual ~TrimSink() = default;
  // An image of several files: the next `files` opens fill the record's list.
  [[nodiscard]] ErrorCode expect_files(uint32_t files);
  // Starts the file that replaces `target`, kept data copied from `source` (which outlives it).
  [[nodiscard]] ErrorCode open(TextView target, File& source);
  WriterRecord& record() noexcept { return *record_; }
  // The file that copies come from.
  const File* source() const noexcept { return source_; }

  [[nodiscard]] virtual ErrorCode write(uint64_t at, std::span<const uint8_t> data) = 0;
  // Zeros at [from, to) of bytes never written before: a long run stays a hole, and only its last
  // piece is written so that the file reaches `to`.
  [[nodiscard]] ErrorCode write_zeros(uint64_t from, uint64_t to);
  // Bytes of the source file, through the shared copier (shared, copied in the kernel or through
  // a buffer); the copy may happen at a later call.
  [[nodiscard]] virtual ErrorCode copy(uint64_t from, uint64_t to, uint64_t length) = 0;
  // Disk sectors [first, first + count) as the image reads them, to byte `to`.
  [[nodiscard]] virtual ErrorCode put_read(DiskImage& image, uint32_t first, uint32_t count, uint64_t to) = 0;
  // Carries out the copies asked for; before reading the file's length, or writing over a copied
  // range.
  [[nodiscard]] virtual ErrorCode finish_copies() { return OK; }
  [[nodiscard]] virtual ErrorCode length(uint64_t& out) = 0;
  [[nodiscard]] virtual ErrorCode set_length(uint64_t length) = 0;
  // Everything on the disk, then closed: the rename that follows must not publish a file whose
  // data never reached it.
  [[nodiscard]] virtual ErrorCode close() = 0;
  // After a failure: lets go of the file as it is.
  virtual void abandon() noexcept {}

 protected:
  explicit TrimSink(WriterRecord& record) noexcept : record_(&record) {}
  [[nodiscard]] virtual ErrorCode create(const ReplacementEntry& names) = 0;
  [[nodiscard]] virtual ErrorCode put_zeros(uint64_t from, uint64_t to) = 0;
  File* source_ = nullptr;

 private:
  WriterRecord* record_;
  bool several_ = false;
};

// New files beside the image, named in the caller's record, which commits or discards them.
class FileSink final : public TrimSink {
 public:
  explicit FileSink(WriterRecord& record) noexcept : TrimSink(record) {}
  ErrorCode write(uint64_t at, std::span<const uint8_t> data) override;
  ErrorCode copy(uint64_t from, uint64_t to, uint64_t length) override;
  ErrorCode put_read(DiskImage& image, uint32_t first, uint32_t count, uint64_t to) override;
  ErrorCode finish_copies() override;
  ErrorCode length(uint64_t& out) override;
  ErrorCode set_length(uint64_t length) override;
  ErrorCode close() override;
  void abandon() noexcept override;

 private:
  ErrorCode create(const ReplacementEntry& names) override;
  ErrorCode put_zeros(uint64_t from, uint64_t to) override;
  void written(uint64_t end);

  File out_;
  std::optional<FileCopier> copier_;
  std::vector<uint8_t> zeros_, buffer_;
  uint64_t written_back_ = 0;  // the file up to here is on its way to the disk
};

// What a counting run found: every file the trim would write, as the name it would replace, its
// new length and the length it has now; and the bytes the host would have to find for them
// (holes cost nothing; data copied from the source is counted, as the host may not share it).
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

// Every file counted into the forecast; nothing is created.
class CountingSink final : public TrimSink {
 public:
  explicit CountingSink(TrimForecast& forecast) noexcept : TrimSink(names_), forecast_(forecast) {
    forecast_ = TrimForecast{};
  }
  ErrorCode write(uint64_t at, std::span<const uint8_t> data) override { return count(at, data.size()); }
  ErrorCode copy(uint64_t, uint64_t to, uint64_t length) override { return count(to, length); }
  ErrorCode put_read(DiskImage&, uint32_t, uint32_t count, uint64_t to) override;
  ErrorCode length(uint64_t& out) override;
  ErrorCode set_length(uint64_t length) override;
  ErrorCode close() override;

 private:
  ErrorCode create(const ReplacementEntry& names) override;
  ErrorCode put_zeros(uint64_t from, uint64_t to) override { return count(from, to - from); }
  [[nodiscard]] ErrorCode count(uint64_t at, uint64_t length);

  WriterRecord names_;
  TrimForecast& forecast_;
  std::map<uint64_t, uint64_t> counted_;  // start -> end of the bytes written, disjoint
  uint64_t length_ = 0;
};

// ---- what the walk decides ----

// Where the walk goes: blocks of `block_sectors` from `first` on, the last one possibly shorter.
struct TrimSpan {
  uint32_t first = 0;
  uint32_t sectors = 0;
  uint32_t block_sectors = 0;
  // A child keeps the blocks of its own layer that hold used sectors; a disk without a parent
  // keeps those whose used sectors are not all zero.
  bool layered = false;

  bool operator==(const TrimSpan&) const = default;
};

// What becomes of a block: dropped (kDropBlock, 0), kept (kKeepBlock), or a format's own kind of
// either; kinds of keep carry the kKept bit.
using BlockFate = uint8_t;
inline constexpr BlockFate kKept = 0x80;
inline constexpr BlockFate kDropBlock = 0;
inline constexpr BlockFate kKeepBlock = kKept;
constexpr bool is_kept(BlockFate fate) noexcept { return (fate & kKept) != 0; }

// What the decide pass over one span found: every block's fate, what the format noted of some
// blocks for their keep or drop, and what the image's own layer answered for the sectors of the
// kept blocks (so that writing them asks it nothing again).
struct WalkDecisions {
  TrimSpan span;
  std::vector<BlockFate> fates;
  uint64_t kept = 0;
  std::vector<std::pair<uint32_t, uint32_t>> notes;  // block, note; by block
  std::vector<LayerAnswer> answers;                  // by sector, disjoint
};

class TrimDecisions;

// One run of a format's trim: the image's path, the map, where the files go (null in place),
// whom progress is told, and what the decide passes keep or take over.
struct TrimJob {
  std::string_view path;
  const SectorUse& map;
  TrimSink* sink = nullptr;
  ProgressCallback progress = nullptr;
  void* user = nullptr;
  TrimDecisions* decisions = nullptr;
};

// The trim of the image's format into `sink`: ERR_UNSUPPORTED unless its row trims and can_trim
// says this image may be rewritten. `decisions`, when given, keeps what the walks decide, or
// holds the decisions of a counting run over the same image and map to take over. Returns OK,
// CANCELLED or an error; a file sink's record names what was written.
ErrorCode trim_image(DiskImage& image, std::string_view path, const SectorUse& map, TrimSink& sink,
                     ProgressCallback progress, void* user, TrimDecisions* decisions = nullptr);
// Gives the free space back inside the image itself, never writing a second file. Returns OK,
// CANCELLED (the image consistent, what was given back so far stays) or an error;
// ERR_UNSUPPORTED with a refusal note for formats that cannot.
ErrorCode trim_image_in_place(DiskImage& image, std::string_view path, const SectorUse& map,
                              ProgressCallback progress, void* user);

// The decisions of every walk of one run, in walk order (an image of several files walks each).
// A counting run keeps them here; the trim of the same open image over the same map that follows
// takes them over instead of deciding again, as long as the files it rewrites are held and
// unchanged since.
class TrimDecisions {
  friend class TrimWalk;
  friend ErrorCode trim_image(DiskImage&, std::string_view, const SectorUse&, TrimSink&, ProgressCallback,
                              void*, TrimDecisions*);
  // The decisions the next walk over `span` takes over, or the place where it keeps its own; null
  // when it decides for itself alone.
  WalkDecisions* next(const TrimSpan& span);

  const DriverState* image_ = nullptr;
  const SectorUse* map_ = nullptr;
  std::vector<std::string> files_;  // those the counting run named
  std::vector<WalkDecisions> walks_;
  size_t answers_ = 0;  // kept by all walks so far
  bool complete_ = false;
  bool replay_ = false;
  size_t next_ = 0;
};

// Opens the image itself for a trim in place, through a second descriptor that must find the file
// as `source` did (and as the running trim held it), and finds out before anything changes that
// its host can punch holes of `block` bytes; ERR_UNSUPPORTED (with the reason noted) when it
// cannot. ERR_OPEN with the key "in_use" or "changed" noted when another program writes the image
// or wrote it.
[[nodiscard]] ErrorCode open_to_punch(std::string_view path, File& source, uint64_t block, File& target);

class TrimWalk;

// What a format tells the walk: hooks around and inside it. The walk first decides every block,
// then lets the format plan what it keeps knowing how much that is, then hands it the blocks one
// by one in disk order.
class BlockWriter {
 public:
  virtual ~BlockWriter() = default;
  // Before anything is decided: what goes ahead of the blocks.
  [[nodiscard]] virtual ErrorCode begin(TrimWalk&) { return OK; }
  // The block [first, first + n); by default the image is asked (walk.is_free), and a free block
  // goes on to decide_free().
  [[nodiscard]] virtual ErrorCode decide(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n,
                                         BlockFate& fate);
  // A block whose used sectors hold nothing worth keeping (the walk may have learned so of a whole
  // stretch at once): dropped by default.
  [[nodiscard]] virtual ErrorCode decide_free(TrimWalk&, uint32_t block, uint32_t n, BlockFate& fate);
  // Every block is decided (walk.fate(), walk.kept_blocks()); nothing of the blocks has been
  // written yet.
  [[nodiscard]] virtual ErrorCode plan(TrimWalk&) { return OK; }
  [[nodiscard]] virtual ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) = 0;
  [[nodiscard]] virtual ErrorCode drop(TrimWalk&, uint32_t, uint32_t, uint32_t, BlockFate) { return OK; }
  // After the last block: the tables and whatever follows the blocks.
  [[nodiscard]] virtual ErrorCode finish(TrimWalk&) { return OK; }
};

class TrimWalk {
 public:
  // Writes to the job's sink; without one (in place) the writer changes the image itself.
  // Progress is reported as (disk sector reached, the disk's sectors).
  TrimWalk(DiskImage& image, TrimJob& job) noexcept;

  // The writer's begin, every block decided (or the decisions of a counting run taken over),
  // plan, the blocks kept or dropped with a report after each (the copies finished before the
  // last one), finish. CANCELLED when the callback asked to stop.
  [[nodiscard]] ErrorCode run(const TrimSpan& span, BlockWriter& writer);

  DiskImage& image() noexcept { return image_; }
  const SectorUse& map() const noexcept { return job_.map; }
  TrimSink& out() noexcept { return *job_.sink; }
  const TrimSpan& span() const noexcept { return d_->span; }
  uint64_t blocks() const noexcept { return blocks_; }
  uint64_t kept_blocks() const noexcept { return d_->kept; }
  BlockFate fate(uint64_t block) const noexcept { return d_->fates[static_cast<size_t>(block)]; }

  // The questions a decide asks, with check-ins that may cancel and answers kept for the block:
  // the default decision for [first, first + n) (free in the layer for a layered span, free
  // through the whole chain otherwise); what the image's own layer holds there; and whether the
  // image below holds nothing used there.
  [[nodiscard]] ErrorCode is_free(uint32_t first, uint32_t n, bool& free);
  [[nodiscard]] ErrorCode layer_use(uint32_t first, uint32_t n, bool zeros_too, LayerUse& use);
  [[nodiscard]] ErrorCode is_free_below(uint32_t first, uint32_t n, bool& free);
  // A value of the block being decided, given back to its keep or drop by noted() (`otherwise`
  // for a block without one).
  [[nodiscard]] ErrorCode note(uint32_t value);
  uint32_t noted(uint32_t block, uint32_t otherwise) const noexcept;
  // Long work between blocks (a plan that copies much) checks in here, and may be cancelled.
  [[nodiscard]] ErrorCode check_in(uint64_t sectors);

  // Disk sectors [first, first + n) to byte `to` of the output: what the image's own layer keeps
  // in the source file is copied from there, everything else read through the image and written
  // (taken from `read` when the caller has read the sectors already). `whole` bytes are written
  // in all; past the sectors, zeros.
  [[nodiscard]] ErrorCode put_sectors(uint32_t first, uint32_t n, uint64_t to, uint64_t whole,
                                      std::span<const uint8_t> read = {});
  // The sectors of [first, first + n) that the map calls used, as the source file holds them from
  // byte `from` on (a block kept as it lies), to byte `to` of the output; gaps of unused sectors
  // shorter than a hole are copied along, longer ones never written.
  [[nodiscard]] ErrorCode copy_used(uint32_t first, uint32_t n, uint64_t from, uint64_t to);
  // Disk sectors read through the image into `buffer` (sized to fit them).
  [[nodiscard]] ErrorCode read_sectors(uint32_t first, uint32_t n, std::vector<uint8_t>& buffer);

 private:
  static bool relay_report(uint32_t, uint32_t, void* user);
  bool report(uint32_t reached) const;
  [[nodiscard]] ErrorCode decide_all(BlockWriter& writer);
  [[nodiscard]] ErrorCode write_all(BlockWriter& writer);
  [[nodiscard]] ErrorCode keep_answers(uint32_t first, uint32_t end);
  [[nodiscard]] ErrorCode answer(uint32_t pos, uint32_t count, LayerRun& run);
  uint32_t block_first(uint64_t block) const noexcept;
  uint32_t block_length(uint64_t block) const noexcept;

  DiskImage& image_;
  TrimJob& job_;
  uint32_t total_;
  WalkDecisions own_;
  WalkDecisions* d_ = &own_;
  uint64_t blocks_ = 0;
  uint32_t deciding_ = 0;
  ProgressRelay relay_;
  uint64_t reported_ = 0;  // sectors examined when the relay last reported
  size_t answer_room_ = 0;
  std::vector<LayerAnswer> group_answers_, block_answers_;
  size_t group_at_ = 0;
  std::vector<uint8_t> used_;
};

// A trim of one file: the sink opened for the one that replaces `target`, the walk over `span`,
// the file closed.
[[nodiscard]] ErrorCode trim_file(DiskImage& image, TrimJob& job, TextView target, File& source,
                                  const TrimSpan& span, BlockWriter& writer);

}  // namespace qx
