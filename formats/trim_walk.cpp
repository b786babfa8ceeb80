#include "formats/trim_walk.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "image/file_guard.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

constexpr size_t kZeroChunk = 1u << 20;
// Longer runs of zeros stay a hole.
constexpr uint64_t kHoleThreshold = 1u << 20;
// Written data is handed to the disk in pieces of this size while the walk goes on.
constexpr uint64_t kWritebackStep = 32u << 20;
// Free stretches of about this size are passed over in one question.
constexpr uint32_t kGroupSectors = 1u << 16;
constexpr size_t kCopyChunk = 4u << 20;
// Host file systems find space in blocks of this size.
constexpr uint64_t kHostBlock = 4096;

thread_local TrimForecast* t_forecast = nullptr;

}  // namespace

// ---- the forecast ----

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

ErrorCode forecast_trim(DiskImage& image, std::string_view path, const SectorUse& map,
                        TrimForecast& out, ProgressCallback progress, void* user) {
  out = TrimForecast{};
  TrimForecast* const outer = t_forecast;
  t_forecast = &out;
  WriterRecord record;
  const ErrorCode rc = trim_image(image, path, map, record, progress, user);
  t_forecast = outer;
  // Nothing was created: the record only holds names.
  return rc;
}

ErrorCode TrimOutput::count(uint64_t at, uint64_t length) {
  if (!forecast_ || length == 0) return OK;
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
    counted_length_ = std::max(counted_length_, at + length);
    return OK;
  });
}

// ---- the output ----

ErrorCode TrimOutput::open(std::string_view temporary, std::string_view target, File& source) {
  if (ErrorCode rc = guard_no_memory([&] {
        if (t_forecast) {
          FileInfo now;
          t_forecast->files.push_back({std::string(target), 0, file_info(target, now) ? now.size : 0});
          forecast_file_ = t_forecast->files.size() - 1;
          forecast_ = t_forecast;
          source_ = &source;
          return OK;
        }
        zeros_.assign(kZeroChunk, 0);
        return OK;
      });
      rc != OK || forecast_)
    return rc;
  out_ = File::create(temporary);
  if (!out_) return ERR_CREATE;
  source_ = &source;
  copier_.emplace(source, out_);
  return copier_->is_open() ? OK : ERR_CREATE;
}

ErrorCode TrimOutput::create(ReplacementEntry& entry, TextView target, File& source) {
  if (set_replacement_names(entry, target) != OK || !entry.temporary.append_terminator())
    return ERR_UNSUPPORTED;
  return open(entry.temporary.view(), entry.target.view(), source);
}

ErrorCode TrimOutput::create(Replacement& record, TextView target, File& source) {
  if (set_replacement_names(record.entry, target) != OK) return ERR_UNSUPPORTED;
  const ErrorCode rc = open(record.entry.temporary.view(), record.entry.target.view(), source);
  record.active = out_.is_open();
  return rc;
}

void TrimOutput::written(uint64_t end) {
  if (end <= written_back_ || end - written_back_ < kWritebackStep) return;
  (void)out_.start_writeback(written_back_, end - written_back_);
  written_back_ = end;
}

ErrorCode TrimOutput::write(uint64_t at, std::span<const uint8_t> data) {
  if (forecast_) return count(at, data.size());
  if (!out_.write_at(at, data)) return ERR_WRITE;
  written(at + data.size());
  return OK;
}

ErrorCode TrimOutput::write_zeros(uint64_t from, uint64_t to) {
  if (to > from && to - from > kHoleThreshold) from = to - kZeroChunk;
  if (forecast_) return count(from, to > from ? to - from : 0);
  while (from < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, zeros_.size()));
    if (ErrorCode rc = write(from, std::span(zeros_).first(n)); rc != OK) return rc;
    from += n;
  }
  return OK;
}

ErrorCode TrimOutput::copy(uint64_t from, uint64_t to, uint64_t length) {
  if (forecast_) return count(to, length);
  if (copier_->copy(from, to, length)) return OK;
  return copier_->failure() != OK ? copier_->failure() : ERR_WRITE;
}

// An output never created has nothing to copy (a walk that changes the image in place).
ErrorCode TrimOutput::finish_copies() {
  if (forecast_ || !copier_) return OK;
  if (copier_->finish()) return OK;
  return copier_->failure() != OK ? copier_->failure() : ERR_WRITE;
}

ErrorCode TrimOutput::length(uint64_t& out) {
  if (forecast_) {
    out = counted_length_;
    return OK;
  }
  if (ErrorCode rc = finish_copies(); rc != OK) return rc;
  return out_.length(out) ? OK : ERR_FILE_SIZE;
}

ErrorCode TrimOutput::set_length(uint64_t length) {
  if (forecast_) {
    // What lies beyond is cut off, as ftruncate does.
    auto it = counted_.lower_bound(length);
    if (it != counted_.begin() && std::prev(it)->second > length) std::prev(it)->second = length;
    counted_.erase(it, counted_.end());
    counted_length_ = length;
    return OK;
  }
  if (ErrorCode rc = finish_copies(); rc != OK) return rc;
  return out_.set_length(length) ? OK : ERR_WRITE;
}

ErrorCode TrimOutput::close() {
  if (forecast_) {
    ForecastFile& file = forecast_->files[forecast_file_];
    file.bytes = counted_length_;
    uint64_t last_block = UINT64_MAX;
    for (const auto& [start, end] : counted_) {
      // Whole host blocks, each counted once.
      uint64_t first = start / kHostBlock;
      if (first == last_block) ++first;
      last_block = (end - 1) / kHostBlock;
      if (last_block >= first) forecast_->host_bytes += (last_block - first + 1) * kHostBlock;
    }
    forecast_ = nullptr;
    return OK;
  }
  if (ErrorCode rc = finish_copies(); rc != OK) return rc;
  if (!out_.sync()) return ERR_WRITE;
  return out_.close() ? OK : ERR_WRITE;
}

// ---- the walk ----

ErrorCode BlockWriter::decide(TrimWalk& walk, uint32_t, uint32_t first, uint32_t n, BlockFate& fate) {
  bool free = false;
  if (ErrorCode rc = walk.is_free(first, n, free); rc != OK) return rc;
  fate = free ? kDropBlock : kKeepBlock;
  return OK;
}

ErrorCode BlockWriter::plan(TrimWalk&) { return OK; }

ErrorCode BlockWriter::drop(TrimWalk&, uint32_t, uint32_t, uint32_t, BlockFate) { return OK; }

bool TrimWalk::report(uint32_t reached) const {
  return !progress_ || progress_(reached, total_, user_);
}

uint32_t TrimWalk::block_first(uint64_t block) const noexcept {
  return static_cast<uint32_t>(span_.first + block * span_.block_sectors);
}

uint32_t TrimWalk::block_length(uint64_t block) const noexcept {
  const uint64_t end = uint64_t{span_.first} + span_.sectors;
  return static_cast<uint32_t>(std::min<uint64_t>(span_.block_sectors, end - block_first(block)));
}

ErrorCode TrimWalk::is_free(uint32_t first, uint32_t n, bool& free) {
  if (span_.layered) return is_range_free_in_layer(image_, &map_, first, n, free);
  ProgressRelay relay{progress_, user_, span_.first, total_, 0};
  return is_range_free(image_, &map_, first, n, free, &relay);
}

ErrorCode TrimWalk::decide_all(BlockWriter& writer) {
  const uint64_t per_group = writer.groups_with_default_decision()
                                 ? std::max<uint64_t>(1, kGroupSectors / span_.block_sectors)
                                 : 1;
  for (uint64_t block = 0; block < blocks_;) {
    const uint64_t end_block = std::min(blocks_, block + per_group);
    // A free stretch of several blocks costs one question: each of its blocks is free too.
    bool free = false;
    if (end_block - block > 1) {
      const uint32_t first = block_first(block);
      const uint32_t n = block_first(end_block - 1) + block_length(end_block - 1) - first;
      if (ErrorCode rc = is_free(first, n, free); rc != OK) return rc;
    }
    for (; block < end_block; ++block) {
      BlockFate& fate = fates_[static_cast<size_t>(block)];
      fate = kDropBlock;
      if (!free)
        if (ErrorCode rc = writer.decide(*this, static_cast<uint32_t>(block), block_first(block),
                                         block_length(block), fate);
            rc != OK)
          return rc;
      if (fate == kKeepBlock) ++kept_;
    }
  }
  return OK;
}

ErrorCode TrimWalk::write_all(BlockWriter& writer) {
  for (uint64_t block = 0; block < blocks_; ++block) {
    const uint32_t first = block_first(block), n = block_length(block);
    const auto index = static_cast<uint32_t>(block);
    const BlockFate fate = fates_[static_cast<size_t>(block)];
    if (ErrorCode rc = fate == kKeepBlock ? writer.keep(*this, index, first, n)
                                          : writer.drop(*this, index, first, n, fate);
        rc != OK)
      return rc;
    // The last report says the data is all there.
    if (block + 1 == blocks_)
      if (ErrorCode rc = out_.finish_copies(); rc != OK) return rc;
    if (!report(first + n)) return CANCELLED;
  }
  return out_.finish_copies();
}

ErrorCode TrimWalk::run(const TrimSpan& span, BlockWriter& writer) {
  span_ = span;
  kept_ = 0;
  if (span.block_sectors == 0) return ERR_UNSUPPORTED;
  blocks_ = ceil_div_u64(span.sectors, span.block_sectors);
  if (ErrorCode rc = guard_no_memory([&] {
        fates_.assign(static_cast<size_t>(blocks_), kDropBlock);
        return OK;
      });
      rc != OK)
    return rc;
  if (!report(span.first)) return CANCELLED;
  if (ErrorCode rc = decide_all(writer); rc != OK) return rc;
  if (ErrorCode rc = writer.plan(*this); rc != OK) return rc;
  return write_all(writer);
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

ErrorCode TrimWalk::put_sectors(uint32_t first, uint32_t n, uint64_t to, uint64_t whole,
                                std::span<const uint8_t> read) {
  const uint64_t data = uint64_t{n} * kSectorSize;
  if (!read.empty() && read.size() < data) return ERR_UNSUPPORTED;
  for (uint32_t pos = first, end = first + n; pos < end;) {
    LayerRun run;
    ErrorCode rc = layer_status(image_, pos, end - pos, run);
    if (rc == ERR_UNSUPPORTED) run = LayerRun{LayerHolding::kOther, end - pos, nullptr, 0};
    else if (rc != OK) return rc;
    const uint64_t at = to + uint64_t{pos - first} * kSectorSize;
    if (run.holding == LayerHolding::kStored && run.file == out_.source()) {
      if (ErrorCode copy_rc = out_.copy(run.offset, at, uint64_t{run.count} * kSectorSize); copy_rc != OK)
        return copy_rc;
    } else if (out_.dry()) {
      // A forecast only needs to know where the bytes go.
      if (ErrorCode count_rc = out_.count(at, uint64_t{run.count} * kSectorSize); count_rc != OK)
        return count_rc;
    } else if (!read.empty()) {
      const auto from = static_cast<size_t>(uint64_t{pos - first} * kSectorSize);
      if (ErrorCode write_rc = out_.write(at, read.subspan(from, size_t{run.count} * kSectorSize)); write_rc != OK)
        return write_rc;
    } else {
      for (uint32_t done = 0; done < run.count;) {
        const auto len = static_cast<uint32_t>(std::min<uint64_t>(run.count - done, kCopyChunk / kSectorSize));
        if (ErrorCode read_rc = read_sectors(pos + done, len, buffer_); read_rc != OK) return read_rc;
        if (ErrorCode write_rc = out_.write(at + uint64_t{done} * kSectorSize, buffer_); write_rc != OK)
          return write_rc;
        done += len;
      }
    }
    pos += run.count;
  }
  return whole > data ? out_.write_zeros(to + data, to + whole) : OK;
}

}  // namespace qx
