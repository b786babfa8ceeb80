#include "image/file_copy.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "image/file.hpp"

namespace qx {
namespace {

constexpr size_t kBufferBytes = 4u << 20;

// Never through a link, as the file primitives open nothing through one either.
int open_by_name(std::string_view path, int flags) noexcept {
  const detail::CPath name(path);
  if (!name.ok() || !detail::file_call_allowed(FileCall::kOpen)) return -1;
  return ::open(name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
}

bool fits_off_t(uint64_t offset, uint64_t length) noexcept {
  return offset <= static_cast<uint64_t>(INT64_MAX) && length <= static_cast<uint64_t>(INT64_MAX) - offset;
}

}  // namespace

FileCopier::FileCopier(std::string_view from, std::string_view to) noexcept
    : from_(open_by_name(from, O_RDONLY)), to_(open_by_name(to, O_WRONLY)) {}

FileCopier::~FileCopier() {
  if (from_ >= 0) ::close(from_);
  if (to_ >= 0) ::close(to_);
}

bool FileCopier::copy(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  if (!is_open() || !fits_off_t(from_offset, length) || !fits_off_t(to_offset, length)) return false;
  if (length == 0) return true;
  if (!copy_range(from_offset, to_offset, length)) return false;
  // Written back while the copying goes on, so that the final sync finds little left to do.
  (void)::sync_file_range(to_, static_cast<off64_t>(to_offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
  return true;
}

bool FileCopier::copy_range(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  while (length && in_kernel_) {
    if (!detail::file_call_allowed(FileCall::kWrite)) return false;
    off64_t in = static_cast<off64_t>(from_offset), out = static_cast<off64_t>(to_offset);
    const ssize_t n = ::copy_file_range(from_, &in, to_, &out, static_cast<size_t>(std::min<uint64_t>(length, 1u << 30)), 0);
    if (n > 0) {
      from_offset += static_cast<uint64_t>(n);
      to_offset += static_cast<uint64_t>(n);
      length -= static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) return false;  // the source ends early
    if (errno == EINTR) continue;
    // File systems or kernels without in-kernel copies between these files.
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTSUP)
      return false;
    in_kernel_ = false;
  }
  return length == 0 || copy_through_buffer(from_offset, to_offset, length);
}

bool FileCopier::copy_through_buffer(uint64_t from_offset, uint64_t to_offset, uint64_t length) noexcept {
  try {
    if (buffer_.empty()) buffer_.resize(kBufferBytes);
  } catch (...) {
    return false;
  }
  while (length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer_.size()));
    if (!detail::file_call_allowed(FileCall::kRead)) return false;
    const ssize_t got = ::pread(from_, buffer_.data(), want, static_cast<off_t>(from_offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (size_t done = 0; done < static_cast<size_t>(got);) {
      if (!detail::file_call_allowed(FileCall::kWrite)) return false;
      const ssize_t put = ::pwrite(to_, buffer_.data() + done, static_cast<size_t>(got) - done,
                                   static_cast<off_t>(to_offset + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += static_cast<size_t>(put);
    }
    from_offset += static_cast<uint64_t>(got);
    to_offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace qx
