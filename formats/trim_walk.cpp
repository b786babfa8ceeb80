#include "formats/trim_walk.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "image/file_guard.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

constexpr size_t kZeroChunk = 1u << 20;
constexpr size_t kCopyChunk = 4u << 20;
// Free stretches of about this size are passed over in one question.
constexpr uint32_t kGroupSectors = 1u << 16;
// A decide pass tells where it stands (and may be cancelled) once per this many sectors examined.
constexpr uint64_t kCheckInSectors = 1u << 18;
// The layer's answers the walks of a run keep for their kept blocks, at most (32 bytes each): past
// these, writing a block asks the image again.
constexpr size_t kMaxKeptAnswers = 1u << 20;

// Whether `b` goes on where `a` ends, as one answer would.
bool continues(const LayerAnswer& a, const LayerAnswer& b) noexcept {
  return a.end() == b.first && a.run.holding == b.run.holding && a.run.file == b.run.file &&
         uint64_t{a.run.count} + b.run.count <= UINT32_MAX &&
         (a.run.holding != LayerHolding::kStored ||
          a.run.offset + uint64_t{a.run.count} * kSectorSize == b.run.offset);
}

}  // namespace

// ---- sinks ----

ErrorCode TrimSink::expect_files(uint32_t files) {
  several_ = true;
  record_->single = Replacement{};
  return reserve_replacement_list(record_->list, files) ? OK : ERR_NO_MEMORY;
}

ErrorCode TrimSink::open(TextView target, File& source) {
  source_ = &source;
  if (!several_) {
    if (set_replacement_names(record_->single.entry, target) != OK) return ERR_UNSUPPORTED;
    return create(record_->single.entry);
  }
  ReplacementList& list = record_->list;
  if (list.count >= list.entries.size()) return ERR_UNSUPPORTED;
  // Counted before its file exists, so that a failure from then on removes it.
  ReplacementEntry& entry = list.entries[list.count++];
  if (set_replacement_names(entry, target) != OK || !entry.temporary.append_terminator()) return ERR_UNSUPPORTED;
  return create(entry);
}

ErrorCode TrimSink::write_zeros(uint64_t from, uint64_t to) {
  if (to > from && to - from > kHoleBytes) from = to - kZeroChunk;
  return to > from ? put_zeros(from, to) : OK;
}

ErrorCode FileSink::create(const ReplacementEntry& names) {
  if (ErrorCode rc = guard_no_memory([&] {
        zeros_.assign(kZeroChunk, 0);
        return OK;
      });
      rc != OK)
    return rc;
  copier_.reset();
  written_back_ = 0;
  out_ = File::create(names.temporary.view());
  // The record of a one-file image becomes active once the file exists, so that a failure from
  // there on removes it.
  if (&names == &record().single.entry) record().single.active = out_.is_open();
  if (!out_) return ERR_CREATE;
  copier_.emplace(*source_, out_);
  return copier_->is_open() ? OK : ERR_CREATE;
}

void FileSink::written(uint64_t end) {
  if (end <= written_back_ || end - written_back_ < kWritebackStep) return;
  (void)out_.start_writeback(written_back_, end - written_back_);
  written_back_ = end;
}

ErrorCode FileSink::write(uint64_t at, std::span<const uint8_t> data) {
  if (!out_.write_at(at, data)) return ERR_WRITE;
  written(at + data.size());
  return OK;
}

ErrorCode FileSink::put_zeros(uint64_t from, uint64_t to) {
  while (from < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, zeros_.size()));
    if (ErrorCode rc = write(from, std::span(zeros_).first(n)); rc != OK) return rc;
    from += n;
  }
  return OK;
}

ErrorCode FileSink::copy(uint64_t from, uint64_t to, uint64_t length) {
  if (copier_->copy(from, to, length)) return OK;
  return copier_->failure() != OK ? copier_->failure() : ERR_WRITE;
}

ErrorCode FileSink::put_read(DiskImage& image, uint32_t first, uint32_t count, uint64_t to) {
  for (uint32_t done = 0; done < count;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(count - done, kCopyChunk / kSectorSize));
    if (ErrorCode rc = guard_no_memory([&] {
          buffer_.resize(size_t{n} * kSectorSize);
          return OK;
        });
        rc != OK)
      return rc;
    if (ErrorCode rc = read_bytes(image, uint64_t{first + done} * kSectorSize, buffer_); rc != OK) return rc;
    if (ErrorCode rc = write(to + uint64_t{done} * kSectorSize, buffer_); rc != OK) return rc;
    done += n;
  }
  return OK;
}

ErrorCode FileSink::finish_copies() {
  if (!copier_ || copier_->finish()) return OK;
  return copier_->failure() != OK ? copier_->failure() : ERR_WRITE;
}

ErrorCode FileSink::length(uint64_t& out) {
  if (ErrorCode rc = finish_copies(); rc != OK) return rc;
  return out_.length(out) ? OK : ERR_FILE_SIZE;
}

ErrorCode FileSink::set_length(uint64_t length) {
  if (ErrorCode rc = finish_copies(); rc != OK) return rc;
  return out_.set_length(length) ? OK : ERR_WRITE;
}

ErrorCode FileSink::close() {
  if (ErrorCode rc = finish_copies(); rc != OK) return rc;
  if (!out_.sync()) return ERR_WRITE;
  return out_.close() ? OK : ERR_WRITE;
}

void FileSink::abandon() noexcept {
  copier_.reset();
  (void)out_.close();
}

uint64_t TrimForecast::bytes() const noexcept {
  uint64_t n = 0;
  for (const ForecastFile& f : files) n += f.bytes;
  return n;
}

uint64_t TrimForecast::current_bytes() const noexcept {
  uint64_t n = 0;
  for (const ForecastFile& f : files) n += f.current_bytes;
  return n;
}

ErrorCode CountingSink::create(const ReplacementEntry& names) {
  counted_.clear();
  length_ = 0;
  return guard_no_memory([&] {
    FileInfo now;
    const std::string_view target = names.target.view();
    forecast_.files.push_back({std::string(target), 0, file_info(target, now) ? now.size : 0});
    return OK;
  });
}

ErrorCode CountingSink::count(uint64_t at, uint64_t length) {
  if (length == 0) return OK;
  return guard_no_memory([&] {
    uint64_t start = at, end = at + length;
    auto it = counted_.upper_bound(start);
    if (it != counted_.begin() && std::prev(it)->second >= start) --it;
    while (it != counted_.end() && it->first <= end) {
      start = std::min(start, it->first);
      end = std::max(end, it->second);
      it = counted_.erase(it);
    }
    counted_.emplace(start, end);
    length_ = std::max(length_, at + length);
    return OK;
  });
}

ErrorCode CountingSink::put_read(DiskImage&, uint32_t, uint32_t count, uint64_t to) {
  return this->count(to, uint64_t{count} * kSectorSize);
}

ErrorCode CountingSink::length(uint64_t& out) {
  out = length_;
  return OK;
}

// What lies beyond is cut off, as ftruncate does.
ErrorCode CountingSink::set_length(uint64_t length) {
  auto it = counted_.lower_bound(length);
  if (it != counted_.begin() && std::prev(it)->second > length) std::prev(it)->second = length;
  counted_.erase(it, counted_.end());
  length_ = length;
  return OK;
}

ErrorCode CountingSink::close() {
  forecast_.files.back().bytes = length_;
  uint64_t last_block = UINT64_MAX;
  for (const auto& [start, end] : counted_) {
    // Whole host blocks, each counted once.
    uint64_t first = start / kHostBlock;
    if (first == last_block) ++first;
    last_block = (end - 1) / kHostBlock;
    if (last_block >= first) forecast_.host_bytes += (last_block - first + 1) * kHostBlock;
  }
  return OK;
}

// ---- the runs ----

WalkDecisions* TrimDecisions::next(const TrimSpan& span) {
  const size_t i = next_++;
  if (replay_) return i < walks_.size() && walks_[i].span == span ? &walks_[i] : nullptr;
  walks_.emplace_back();
  return &walks_.back();
}

ErrorCode trim_image(DiskImage& image, std::string_view path, const SectorUse& map, TrimSink& sink,
                     ProgressCallback progress, void* user, TrimDecisions* decisions) {
  const FormatDriver* driver = image.state ? format_driver(image.format) : nullptr;
  if (!driver || !driver->trim || !can_trim(image)) return ERR_UNSUPPORTED;
  if (!sink.record().image.assign(path)) return ERR_UNSUPPORTED;
  if (decisions) {
    TrimDecisions& d = *decisions;
    // The decisions stand for the files as the counting run read them: the trim that takes them
    // over holds those files, and none may have changed since.
    d.replay_ = d.complete_ && d.image_ == image.state.get() && d.map_ == &map &&
                std::all_of(d.files_.begin(), d.files_.end(),
                            [](const std::string& f) { return check_replaced_file(f) == OK; });
    if (!d.replay_) d = TrimDecisions{};
    d.image_ = image.state.get();
    d.map_ = &map;
    d.next_ = 0;
  }
  TrimJob job{path, map, &sink, progress, user, decisions};
  ErrorCode rc = guard_no_memory([&] { return driver->trim(image, job); });
  if (rc == OK && image_read_failed(image)) rc = ERR_READ;
  if (decisions && !decisions->replay_ && rc == OK)
    rc = guard_no_memory([&] {
      const WriterRecord& record = sink.record();
      if (!record.single.entry.target.empty()) decisions->files_.emplace_back(record.single.entry.target.view());
      for (uint32_t i = 0; i < record.list.count; ++i)
        decisions->files_.emplace_back(record.list.entries[i].target.view());
      decisions->complete_ = true;
      return OK;
    });
  return rc;
}

ErrorCode trim_image_in_place(DiskImage& image, std::string_view path, const SectorUse& map,
                              ProgressCallback progress, void* user) {
  const FormatDriver* driver = image.state ? format_driver(image.format) : nullptr;
  if (!driver || !driver->trim_in_place) {
    note_refusal("in_place_refused", "only raw and QCOW2 images are trimmed in place; trim this one without --in-place");
    return ERR_UNSUPPORTED;
  }
  if (!can_trim(image)) return ERR_UNSUPPORTED;
  TrimJob job{path, map, nullptr, progress, user, nullptr};
  const ErrorCode rc = guard_no_memory([&] { return driver->trim_in_place(image, job); });
  return rc == OK && image_read_failed(image) ? ERR_READ : rc;
}

ErrorCode trim_file(DiskImage& image, TrimJob& job, TextView target, File& source, const TrimSpan& span,
                    BlockWriter& writer) {
  ErrorCode rc = job.sink->open(target, source);
  if (rc == OK) rc = TrimWalk(image, job).run(span, writer);
  if (rc == OK) return job.sink->close();
  job.sink->abandon();
  return rc;
}

ErrorCode open_to_punch(std::string_view path, File& source, uint64_t block, File& target) {
  bool in_use = false;
  target = File::open_to_punch(path, in_use);
  if (in_use) note_refusal("in_use", "another program has the image open for writing");
  FileInfo opened, reopened;
  if (!target || !source.info(opened) || !target.info(reopened) || !opened.same_state(reopened))
    return ERR_OPEN;
  // Where the hold let writers in (Windows, in place), one that came and went before this handle
  // shut them out leaves the image changed since it was held.
  if (check_replaced_file(path) != OK) {
    note_refusal("changed", "the image changed while it was read");
    return ERR_OPEN;
  }
  bool unsupported = false;
  if (target.can_punch_holes(block, unsupported)) return OK;
  if (!unsupported) return ERR_WRITE;
  note_refusal("no_holes", "the host file system cannot punch holes into the image; trim it without --in-place");
  return ERR_UNSUPPORTED;
}

// ---- the walk ----

ErrorCode BlockWriter::decide(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n, BlockFate& fate) {
  bool free = false;
  if (ErrorCode rc = walk.is_free(first, n, free); rc != OK) return rc;
  if (free) return decide_free(walk, block, n, fate);
  fate = kKeepBlock;
  return OK;
}

ErrorCode BlockWriter::decide_free(TrimWalk&, uint32_t, uint32_t, BlockFate& fate) {
  fate = kDropBlock;
  return OK;
}

TrimWalk::TrimWalk(DiskImage& image, TrimJob& job) noexcept
    : image_(image), job_(job), total_(get_geometry(image).total_sectors) {
  relay_.callback = relay_report;
  relay_.user = this;
  relay_.total = total_;
}

bool TrimWalk::report(uint32_t reached) const {
  return !job_.progress || job_.progress(reached, total_, job_.user);
}

// The check-ins of long questions: where the walk stands, told now and then.
bool TrimWalk::relay_report(uint32_t, uint32_t, void* user) {
  TrimWalk& walk = *static_cast<TrimWalk*>(user);
  if (walk.relay_.examined - walk.reported_ < kCheckInSectors) return true;
  walk.reported_ = walk.relay_.examined;
  return walk.report(walk.relay_.done);
}

ErrorCode TrimWalk::check_in(uint64_t sectors) {
  relay_.examined += sectors;
  return relay_report(0, 0, this) ? OK : CANCELLED;
}

uint32_t TrimWalk::block_first(uint64_t block) const noexcept {
  return static_cast<uint32_t>(d_->span.first + block * d_->span.block_sectors);
}

uint32_t TrimWalk::block_length(uint64_t block) const noexcept {
  const uint64_t end = uint64_t{d_->span.first} + d_->span.sectors;
  return static_cast<uint32_t>(std::min<uint64_t>(d_->span.block_sectors, end - block_first(block)));
}

ErrorCode TrimWalk::is_free(uint32_t first, uint32_t n, bool& free) {
  if (d_->span.layered) return is_range_free_in_layer(image_, &job_.map, first, n, free, &relay_);
  return is_range_free(image_, &job_.map, first, n, free, &relay_);
}

ErrorCode TrimWalk::layer_use(uint32_t first, uint32_t n, bool zeros_too, LayerUse& use) {
  return qx::layer_use(image_, &job_.map, first, n, zeros_too, use, &relay_);
}

// Answers of the image below are not this layer's: they are not kept.
ErrorCode TrimWalk::is_free_below(uint32_t first, uint32_t n, bool& free) {
  DiskImage* below = image_parent(image_);
  free = true;
  if (!below) return OK;
  std::vector<LayerAnswer>* const answers = std::exchange(relay_.answers, nullptr);
  const ErrorCode rc = is_range_free(*below, &job_.map, first, n, free, &relay_);
  relay_.answers = answers;
  return rc;
}

ErrorCode TrimWalk::note(uint32_t value) {
  return guard_no_memory([&] {
    d_->notes.emplace_back(deciding_, value);
    return OK;
  });
}

uint32_t TrimWalk::noted(uint32_t block, uint32_t otherwise) const noexcept {
  const auto& notes = d_->notes;
  const auto it = std::lower_bound(notes.begin(), notes.end(), std::make_pair(block, uint32_t{0}));
  return it != notes.end() && it->first == block ? it->second : otherwise;
}

// The layer's answers for the sectors of a kept block, from the question about its stretch and
// from its own, each sector once.
ErrorCode TrimWalk::keep_answers(uint32_t first, uint32_t end) {
  std::vector<LayerAnswer>& kept = d_->answers;
  uint64_t from = kept.empty() ? first : std::max<uint64_t>(first, kept.back().end());
  const auto take = [&](const LayerAnswer& a) {
    const uint64_t lo = std::max<uint64_t>(from, a.first), hi = std::min<uint64_t>(end, a.end());
    if (lo >= hi) return;
    const LayerAnswer part = clip(a, static_cast<uint32_t>(lo), static_cast<uint32_t>(hi));
    if (!kept.empty() && continues(kept.back(), part)) kept.back().run.count += part.run.count;
    else if (kept.size() < answer_room_) kept.push_back(part);
    else return;
    from = hi;
  };
  return guard_no_memory([&] {
    for (; group_at_ < group_answers_.size() && group_answers_[group_at_].first < end; ++group_at_)
      take(group_answers_[group_at_]);
    // The last one may reach into the next block.
    if (group_at_ > 0 && group_answers_[group_at_ - 1].end() > end) --group_at_;
    for (const LayerAnswer& a : block_answers_) take(a);
    return OK;
  });
}

ErrorCode TrimWalk::decide_all(BlockWriter& writer) {
  const uint64_t per_group = std::max<uint64_t>(1, kGroupSectors / d_->span.block_sectors);
  for (uint64_t block = 0; block < blocks_;) {
    const uint64_t end_block = std::min(blocks_, block + per_group);
    // A free stretch of several blocks costs one question: each of its blocks is free too.
    bool free = false;
    group_answers_.clear();
    group_at_ = 0;
    if (end_block - block > 1) {
      relay_.answers = &group_answers_;
      const uint32_t first = block_first(block);
      const uint32_t n = block_first(end_block - 1) + block_length(end_block - 1) - first;
      if (ErrorCode rc = is_free(first, n, free); rc != OK) return rc;
    }
    relay_.answers = &block_answers_;
    for (; block < end_block; ++block) {
      deciding_ = static_cast<uint32_t>(block);
      block_answers_.clear();
      const uint32_t first = block_first(block), n = block_length(block);
      BlockFate fate = kDropBlock;
      if (ErrorCode rc = free ? writer.decide_free(*this, deciding_, n, fate)
                              : writer.decide(*this, deciding_, first, n, fate);
          rc != OK)
        return rc;
      d_->fates[static_cast<size_t>(block)] = fate;
      if (!is_kept(fate)) continue;
      ++d_->kept;
      if (ErrorCode rc = keep_answers(first, first + n); rc != OK) return rc;
    }
  }
  relay_.answers = nullptr;
  return OK;
}

ErrorCode TrimWalk::write_all(BlockWriter& writer) {
  for (uint64_t block = 0; block < blocks_; ++block) {
    const uint32_t first = block_first(block), n = block_length(block);
    const auto index = static_cast<uint32_t>(block);
    const BlockFate fate = d_->fates[static_cast<size_t>(block)];
    if (ErrorCode rc = is_kept(fate) ? writer.keep(*this, index, first, n) : writer.drop(*this, index, first, n, fate);
        rc != OK)
      return rc;
    // The last report says the data is all there.
    if (block + 1 == blocks_ && job_.sink)
      if (ErrorCode rc = job_.sink->finish_copies(); rc != OK) return rc;
    if (!report(first + n)) return CANCELLED;
  }
  return job_.sink ? job_.sink->finish_copies() : OK;
}

ErrorCode TrimWalk::run(const TrimSpan& span, BlockWriter& writer) {
  if (span.block_sectors == 0) return ERR_UNSUPPORTED;
  TrimDecisions* const all = job_.decisions;
  if (all)
    if (ErrorCode rc = guard_no_memory([&] {
          if (WalkDecisions* d = all->next(span)) d_ = d;
          return OK;
        });
        rc != OK)
      return rc;
  const bool replay = d_ != &own_ && all->replay_;
  blocks_ = ceil_div_u64(span.sectors, span.block_sectors);
  if (!replay) {
    *d_ = WalkDecisions{};
    d_->span = span;
    if (ErrorCode rc = guard_no_memory([&] {
          d_->fates.assign(static_cast<size_t>(blocks_), kDropBlock);
          return OK;
        });
        rc != OK)
      return rc;
  }
  relay_.done = span.first;
  if (ErrorCode rc = writer.begin(*this); rc != OK) return rc;
  if (!report(span.first)) return CANCELLED;
  if (!replay) {
    // The answers kept are bounded over the whole run, whose walks' decisions may all be kept.
    const size_t before = d_ != &own_ ? all->answers_ : 0;
    answer_room_ = kMaxKeptAnswers - std::min(before, kMaxKeptAnswers);
    if (ErrorCode rc = decide_all(writer); rc != OK) return rc;
    if (d_ != &own_) all->answers_ = before + d_->answers.size();
  }
  if (ErrorCode rc = writer.plan(*this); rc != OK) return rc;
  if (ErrorCode rc = write_all(writer); rc != OK) return rc;
  return writer.finish(*this);
}

ErrorCode TrimWalk::read_sectors(uint32_t first, uint32_t n, std::vector<uint8_t>& buffer) {
  if (ErrorCode rc = guard_no_memory([&] {
        buffer.resize(size_t{n} * kSectorSize);
        return OK;
      });
      rc != OK)
    return rc;
  return read_bytes(image_, uint64_t{first} * kSectorSize, buffer);
}

// What the image's own layer holds from `pos` on: what the decide pass kept, or the image's
// answer, which never reaches into sectors answered before.
ErrorCode TrimWalk::answer(uint32_t pos, uint32_t count, LayerRun& run) {
  const std::vector<LayerAnswer>& kept = d_->answers;
  const auto next = std::upper_bound(kept.begin(), kept.end(), pos,
                                     [](uint32_t p, const LayerAnswer& a) { return p < a.first; });
  if (next != kept.begin() && pos < std::prev(next)->end()) {
    const LayerAnswer& a = *std::prev(next);
    run = clip(a, pos, static_cast<uint32_t>(std::min<uint64_t>(a.end(), uint64_t{pos} + count))).run;
    return OK;
  }
  if (next != kept.end()) count = std::min(count, next->first - pos);
  const ErrorCode rc = layer_status(image_, pos, count, run);
  if (rc != ERR_UNSUPPORTED) return rc;
  // A format without the layer question: its own read gives the sectors.
  run = LayerRun{LayerHolding::kOther, count, nullptr, 0};
  return OK;
}

ErrorCode TrimWalk::put_sectors(uint32_t first, uint32_t n, uint64_t to, uint64_t whole,
                                std::span<const uint8_t> read) {
  const uint64_t data = uint64_t{n} * kSectorSize;
  if (!read.empty() && read.size() < data) return ERR_UNSUPPORTED;
  for (uint32_t pos = first, end = first + n; pos < end;) {
    LayerRun run;
    if (ErrorCode rc = answer(pos, end - pos, run); rc != OK) return rc;
    const uint64_t at = to + uint64_t{pos - first} * kSectorSize;
    const uint64_t length = uint64_t{run.count} * kSectorSize;
    const ErrorCode rc =
        run.holding == LayerHolding::kStored && run.file == job_.sink->source() ? job_.sink->copy(run.offset, at, length)
        : !read.empty() ? job_.sink->write(at, read.subspan(static_cast<size_t>(uint64_t{pos - first} * kSectorSize),
                                                       static_cast<size_t>(length)))
                        : job_.sink->put_read(image_, pos, run.count, at);
    if (rc != OK) return rc;
    pos += run.count;
  }
  return whole > data ? job_.sink->write_zeros(to + data, to + whole) : OK;
}

ErrorCode TrimWalk::copy_used(uint32_t first, uint32_t n, uint64_t from, uint64_t to) {
  constexpr auto kHoleSectors = static_cast<uint32_t>(kHoleBytes / kSectorSize);
  if (ErrorCode rc = guard_no_memory([&] {
        used_.resize(bitmap_bytes(n));
        return OK;
      });
      rc != OK)
    return rc;
  if (ErrorCode rc = query_used(job_.map, first, n, used_); rc != OK) return rc;
  for (uint32_t i = 0; i < n;) {
    while (i < n && !test_bit(used_, i)) ++i;
    if (i == n) break;
    uint32_t end = i + 1, gap = 0;
    for (uint32_t j = end; j < n && gap < kHoleSectors; ++j) {
      if (test_bit(used_, j)) {
        end = j + 1;
        gap = 0;
      } else {
        ++gap;
      }
    }
    const uint64_t at = uint64_t{i} * kSectorSize, length = uint64_t{end - i} * kSectorSize;
    if (ErrorCode rc = job_.sink->copy(from + at, to + at, length); rc != OK) return rc;
    i = end;
  }
  return OK;
}

}  // namespace qx
