#include "image/file_copy.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "image/file.hpp"
#include "image/sizes.hpp"
#include "platform/file_ops.hpp"

namespace qx {
namespace {

constexpr size_t kBufferBytes = 4u << 20;
// Runs at least this long are data; formats' own tables are shorter.
constexpr uint64_t kDataRun = 256u << 10;
// A queued run is read ahead of its end by this much: writers look at the start of the blocks
// that follow before they queue them, and a cold source answers many small reads slowly.
constexpr uint64_t kReadAhead = 8u << 20;
// Runs this close after the last one count as following it: writers put small tables of their own
// (a VHD block's bitmap) between copied runs.
constexpr uint64_t kWriteBehindGap = 64u << 10;

CopyPath g_limit = CopyPath::kClone;
CopyCounts g_counts;

bool fits_off_t(uint64_t offset, uint64_t length) noexcept {
  return offset <= static_cast<uint64_t>(INT64_MAX) && length <= static_cast<uint64_t>(INT64_MAX) - offset;
}

// Errors that can only come from the target's side of a kernel copy or clone.
bool target_error(int error) noexcept {
  return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
}

}  // namespace

void set_copy_path_limit(CopyPath limit) noexcept { g_limit = limit; }

CopyCounts copy_counts() noexcept { return g_counts; }

FileCopier::FileCopier(File& from, File& to) noexcept : from_(from), to_(to) {
  if (!is_open()) return;
  platform::advise_sequential(from_.fd_);
  in_kernel_ = g_limit >= CopyPath::kKernel;
  if (g_limit >= CopyPath::kClone) {
    clone_block_ = platform::clone_block_size(from_.fd_, to_.fd_);
    clone_ = clone_block_ != 0;
  }
}

bool FileCopier::is_open() const noexcept { return from_.is_open() && to_.is_open(); }

// The first cause found is the one reported; later steps of a failed copy add nothing to it.
bool FileCopier::fail(ErrorCode why) noexcept {
  if (failure_ == OK) failure_ = why;
  return false;
}

bool FileCopier::copy(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  if (!is_open() || failed_) return false;
  if (!fits_off_t(from_offset, length)) return fail(ERR_READ);
  if (!fits_off_t(to_offset, length)) return fail(ERR_WRITE);
  if (length == 0) return true;
  if (pending_length_ != 0 && from_offset == pending_from_ + pending_length_ &&
      to_offset == pending_to_ + pending_length_) {
    pending_length_ += length;
    read_ahead(from_offset + length);
    return true;
  }
  if (pending_length_ != 0 && !run(pending_from_, pending_to_, pending_length_)) {
    failed_ = true;
    pending_length_ = 0;
    return false;
  }
  pending_from_ = from_offset;
  pending_to_ = to_offset;
  pending_length_ = length;
  read_ahead(from_offset + length);
  return true;
}

// Only a hint; kept data is mostly followed by more kept data in the source. Shared blocks are
// never read, so nothing is asked for while sharing works.
void FileCopier::read_ahead(uint64_t end) noexcept {
  if (clone_) return;
  if (end >= read_ahead_from_ && end + kReadAhead / 2 <= read_ahead_to_) return;
  const uint64_t from = end >= read_ahead_from_ && end < read_ahead_to_ ? read_ahead_to_ : end;
  if (!fits_off_t(end, kReadAhead)) return;
  platform::advise_will_need(from_.fd_, from, end + kReadAhead - from);
  read_ahead_from_ = end;
  read_ahead_to_ = end + kReadAhead;
}

bool FileCopier::finish() noexcept {
  if (!is_open()) return false;
  if (!failed_ && pending_length_ != 0 && !run(pending_from_, pending_to_, pending_length_))
    failed_ = true;
  pending_length_ = 0;
  if (started_end_ < dirty_end_)
    platform::start_writeback(to_.fd_, started_end_, dirty_end_ - started_end_);
  dirty_begin_ = started_end_ = dirty_end_;
  return !failed_;
}

// Shared where the file system can: the range's whole blocks, when both files put them at the
// same place within a block; the ragged ends are copied.
bool FileCopier::run(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  if (clone_ && from_offset % clone_block_ == to_offset % clone_block_ && length >= clone_block_) {
    const uint64_t head = (clone_block_ - from_offset % clone_block_) % clone_block_;
    const uint64_t middle = (length - head) / clone_block_ * clone_block_;
    if (middle != 0) {
      if (!copy_range(from_offset, to_offset, head)) return false;
      if (!detail::file_call_allowed(FileCall::kWrite)) return fail(ERR_WRITE);
      if (clone_range(from_offset + head, to_offset + head, middle))
        return copy_range(from_offset + head + middle, to_offset + head + middle, length - head - middle);
      if (!clone_) return copy_range(from_offset + head, to_offset + head, length - head);
      return fail(target_error(errno) ? ERR_WRITE : ERR_READ);
    }
  }
  // A file system that shares blocks copies ranges that sit differently within their blocks more
  // slowly in the kernel than through a buffer; and the kernel's copy of ranges that sit differently
  // within their pages writes every page of the output in two pieces (a VHD's data lies 512 bytes
  // past its bitmap in qemu-img's images, on page boundaries in ours), slower than a buffer too.
  if ((clone_ && from_offset % clone_block_ != to_offset % clone_block_) ||
      from_offset % kHostBlock != to_offset % kHostBlock) {
    // Data, not a table, that lies differently: the source's blocks are not where the output's
    // are, and the few that match by chance are not worth sharing between buffered copies (each
    // share makes the file system write out and wait): the rest goes through the buffer too.
    if (length >= kDataRun) clone_ = in_kernel_ = false;
    return copy_through_buffer(from_offset, to_offset, length);
  }
  return copy_range(from_offset, to_offset, length);
}

// True when shared; false with cloning switched off when the files cannot share, false with it
// left on when the file system failed.
bool FileCopier::clone_range(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  switch (platform::clone_range(from_.fd_, from_offset, to_.fd_, to_offset, length)) {
    case platform::CopyResult::kDone:
      if (detail::recording()) detail::record_change({FileChange::kCopy, to_.fd_, {}, {}, to_offset, length, {}});
      g_counts.cloned += length;
      return true;
    case platform::CopyResult::kRefused: clone_ = false; return false;
    case platform::CopyResult::kFailed: break;
  }
  return false;
}

bool FileCopier::copy_range(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  while (length && in_kernel_) {
    if (!detail::file_call_allowed(FileCall::kWrite)) return fail(ERR_WRITE);
    // The kernel's copy reads in small pieces; asking for this step and the next one up front keeps
    // a cold source streaming as a large sequential read would.
    const uint64_t step = std::min(length, kWritebackStep);
    platform::advise_will_need(from_.fd_, from_offset, std::min(length, 2 * step));
    bool refused = false;
    const int64_t n =
        platform::kernel_copy(from_.fd_, from_offset, to_.fd_, to_offset, static_cast<size_t>(step), refused);
    if (n > 0) {
      if (detail::recording())
        detail::record_change({FileChange::kCopy, to_.fd_, {}, {}, to_offset, static_cast<uint64_t>(n), {}});
      write_behind(to_offset, static_cast<uint64_t>(n));
      g_counts.in_kernel += static_cast<uint64_t>(n);
      from_offset += static_cast<uint64_t>(n);
      to_offset += static_cast<uint64_t>(n);
      length -= static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) return fail(ERR_READ);  // the source ends early
    if (!refused) {
      const bool target = target_error(errno);
      (void)detail::failed_call(target ? FileCall::kWrite : FileCall::kRead);
      return fail(target ? ERR_WRITE : ERR_READ);
    }
    in_kernel_ = false;
  }
  return length == 0 || copy_through_buffer(from_offset, to_offset, length);
}

bool FileCopier::copy_through_buffer(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  try {
    if (buffer_.empty()) buffer_.resize(kBufferBytes);
  } catch (...) {
    return fail(ERR_NO_MEMORY);
  }
  while (length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer_.size()));
    if (!detail::file_call_allowed(FileCall::kRead)) return fail(ERR_READ);
    const int64_t got = platform::read_at(from_.fd_, buffer_.data(), want, from_offset);
    if (got < 0) (void)detail::failed_call(FileCall::kRead);
    if (got <= 0) return fail(ERR_READ);
    for (size_t done = 0; done < static_cast<size_t>(got);) {
      if (!detail::file_call_allowed(FileCall::kWrite)) return fail(ERR_WRITE);
      const int64_t put = platform::write_at(to_.fd_, buffer_.data() + done, static_cast<size_t>(got) - done,
                                             to_offset + done);
      if (put <= 0) {
        (void)detail::failed_call(FileCall::kWrite);
        return fail(ERR_WRITE);
      }
      if (detail::recording())
        detail::record_change({FileChange::kWrite, to_.fd_, {}, {}, to_offset + done, static_cast<uint64_t>(put),
                               std::span<const uint8_t>(buffer_).subspan(done, static_cast<size_t>(put))});
      done += static_cast<size_t>(put);
    }
    write_behind(to_offset, static_cast<uint64_t>(got));
    g_counts.buffered += static_cast<uint64_t>(got);
    from_offset += static_cast<uint64_t>(got);
    to_offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  return true;
}

// Only hints to the system: the final sync of the caller is what vouches for the data. A step
// sent on its way is waited for and dropped from the page cache once the next one follows it.
void FileCopier::write_behind(uint64_t to_offset, uint64_t length) noexcept {
  if (to_offset < dirty_end_ || to_offset - dirty_end_ > kWriteBehindGap) {
    if (started_end_ < dirty_end_) platform::start_writeback(to_.fd_, started_end_, dirty_end_ - started_end_);
    dirty_begin_ = started_end_ = to_offset;
  }
  dirty_end_ = to_offset + length;
  if (dirty_end_ - started_end_ < kWritebackStep) return;
  platform::start_writeback(to_.fd_, started_end_, dirty_end_ - started_end_);
  started_end_ = dirty_end_;
  if (started_end_ - dirty_begin_ < 2 * kWritebackStep) return;
  const uint64_t settled = started_end_ - kWritebackStep;
  platform::settle_writeback(to_.fd_, dirty_begin_, settled - dirty_begin_);
  dirty_begin_ = settled;
}

}  // namespace qx
