#include "image/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qx {
namespace detail {

CPath::CPath(std::string_view path) noexcept {
  if (path.size() > kMaxPathBytes || path.find('\0') != std::string_view::npos) return;
  std::memcpy(buf_, path.data(), path.size());
  buf_[path.size()] = '\0';
  ok_ = true;
}

namespace {
FileCallHook g_hook = nullptr;
FileFailure g_last_failure;
char g_refused_path[kMaxPathBytes];
size_t g_refused_length = 0;
uint32_t g_refused_type = 0;
}  // namespace

FileRecorder g_recorder = nullptr;

bool failed_call(FileCall call) noexcept {
  g_last_failure = FileFailure{call, errno};
  return false;
}

bool refused_file(std::string_view path, uint32_t type) noexcept {
  g_refused_length = std::min(path.size(), sizeof g_refused_path);
  std::memcpy(g_refused_path, path.data(), g_refused_length);
  g_refused_type = type;
  g_last_failure = FileFailure{FileCall::kOpen, type == platform::kTypeFolder ? EISDIR : EINVAL, type};
  errno = g_last_failure.error;
  return false;
}

bool file_call_allowed(FileCall call) noexcept {
  if (!g_hook) return true;
  if (const int error = g_hook(call); error != 0) {
    errno = error;
    return failed_call(call);
  }
  return true;
}

}  // namespace detail

void set_file_call_hook(FileCallHook hook) noexcept { detail::g_hook = hook; }
void set_file_recorder(FileRecorder recorder) noexcept { detail::g_recorder = recorder; }
FileFailure last_file_failure() noexcept { return detail::g_last_failure; }
void clear_file_failure() noexcept { detail::g_last_failure = FileFailure{}; }
uint32_t refused_file_type() noexcept { return detail::g_refused_type; }
std::string_view refused_file_path() noexcept {
  return std::string_view(detail::g_refused_path, detail::g_refused_length);
}
void clear_refused_file() noexcept {
  detail::g_refused_type = 0;
  detail::g_refused_length = 0;
}

const char* file_type_words(uint32_t type) noexcept {
  switch (type & platform::kTypeMask) {
    case platform::kTypeFifo: return "a FIFO";
    case platform::kTypeCharDevice:
    case platform::kTypeBlockDevice: return "a device";
    case platform::kTypeFolder: return "a folder";
    case platform::kTypeSocket: return "a socket";
    case platform::kTypeLink: return "a link";
    default: return "no regular file";
  }
}


namespace {

using detail::CPath;
using detail::failed_call;
using detail::file_call_allowed;
using detail::record_change;
using detail::recording;

bool fits_off_t(uint64_t offset, uint64_t length) noexcept {
  return offset <= static_cast<uint64_t>(INT64_MAX) && length <= static_cast<uint64_t>(INT64_MAX) - offset;
}

// Closes a handle on every path out.
class Handle {
 public:
  explicit Handle(platform::Handle h) noexcept : h_(h) {}
  ~Handle() {
    if (h_ != platform::kNoHandle) (void)platform::close(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  platform::Handle get() const noexcept { return h_; }

 private:
  platform::Handle h_;
};

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    writable_ = other.writable_;
    read_failed_ = other.read_failed_;
    other.fd_ = platform::kNoHandle;
  }
  return *this;
}

File File::open_existing(std::string_view path, bool read_only) noexcept {
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen)) return File();
  const platform::Handle fd = platform::open_existing(p.c_str(), read_only);
  if (fd == platform::kNoHandle) {
    if (errno == EISDIR) detail::refused_file(path, platform::kTypeFolder);
    else failed_call(FileCall::kOpen);
    return File();
  }
  // Anything but a regular file could block a read, or change under it: no part of an image.
  FileInfo info;
  if (!platform::handle_info(fd, info) || !info.regular()) {
    const int error = errno;
    (void)platform::close(fd);
    if (const uint32_t type = info.type_and_mode & platform::kTypeMask; type != 0) {
      detail::refused_file(path, type);
    } else {
      errno = error;
      failed_call(FileCall::kOpen);
    }
    return File();
  }
  return File(fd, !read_only);
}

File File::open_to_punch(std::string_view path, bool& in_use) noexcept {
  in_use = false;
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen)) return File();
  const platform::Handle fd = platform::open_to_punch(p.c_str(), in_use);
  if (fd == platform::kNoHandle) failed_call(FileCall::kOpen);
  return File(fd, fd != platform::kNoHandle);
}

File File::create(std::string_view path) noexcept {
  CPath p(path);
  if (!p.ok() || !remove_stale_file(path) || !file_call_allowed(FileCall::kOpen)) return File();
  const platform::Handle fd = platform::create_new(p.c_str());
  if (fd == platform::kNoHandle) failed_call(FileCall::kOpen);
  if (fd != platform::kNoHandle && recording()) record_change({FileChange::kCreate, fd, path, {}, 0, 0, {}});
  return File(fd, fd != platform::kNoHandle);
}

bool File::close() noexcept {
  if (!is_open()) return true;
  // Some file systems report a write that failed late only here.
  const bool allowed = !writable_ || file_call_allowed(FileCall::kWrite);
  const bool ok = platform::close(fd_) || failed_call(FileCall::kWrite);
  fd_ = platform::kNoHandle;
  return ok && allowed;
}

bool File::length(uint64_t& out) noexcept { return is_open() && platform::end_offset(fd_, out); }

bool File::read_at(uint64_t offset, std::span<uint8_t> out) noexcept {
  if (!is_open() || !fits_off_t(offset, out.size())) return false;
  if (!file_call_allowed(FileCall::kRead)) {
    read_failed_ = true;
    return false;
  }
  for (size_t done = 0; done < out.size();) {
    const int64_t n = platform::read_at(fd_, out.data() + done, out.size() - done, offset + done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    // The end of the file is an answer; an error of the device is not.
    if (n < 0) read_failed_ = true;
    return n < 0 ? failed_call(FileCall::kRead) : false;
  }
  return true;
}

bool File::write_at(uint64_t offset, std::span<const uint8_t> data) noexcept {
  if (!is_open() || !fits_off_t(offset, data.size())) return false;
  if (!file_call_allowed(FileCall::kWrite)) return false;
  for (size_t done = 0; done < data.size();) {
    const int64_t n = platform::write_at(fd_, data.data() + done, data.size() - done, offset + done);
    if (n <= 0) return failed_call(FileCall::kWrite);
    if (recording())
      record_change({FileChange::kWrite, fd_, {}, {}, offset + done, static_cast<uint64_t>(n),
                     data.subspan(done, static_cast<size_t>(n))});
    done += static_cast<size_t>(n);
  }
  return true;
}

bool File::preallocate(uint64_t offset, uint64_t length) noexcept {
  if (!is_open() || !file_call_allowed(FileCall::kWrite)) return false;
  if (platform::preallocate(fd_, offset, length) && recording())
    record_change({FileChange::kReserve, fd_, {}, {}, offset, length, {}});
  return true;
}

bool File::info(FileInfo& out) noexcept { return is_open() && platform::handle_info(fd_, out); }

bool File::punch_hole(uint64_t offset, uint64_t length, bool& unsupported) noexcept {
  unsupported = false;
  if (!is_open() || !writable_ || length == 0 || !fits_off_t(offset, length)) return false;
  if (file_call_allowed(FileCall::kWrite) && platform::punch_hole(fd_, offset, length)) {
    if (recording()) record_change({FileChange::kPunch, fd_, {}, {}, offset, length, {}});
    return true;
  }
  unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
  return false;
}

bool File::can_punch_holes(uint64_t block, bool& unsupported) noexcept {
  unsupported = false;
  uint64_t end = 0;
  if (block == 0 || !length(end) || end > UINT64_MAX - block) return false;
  return punch_hole((end + block - 1) / block * block, block, unsupported);
}

bool File::set_length(uint64_t length) noexcept {
  if (!is_open() || length > static_cast<uint64_t>(INT64_MAX) || !file_call_allowed(FileCall::kWrite))
    return false;
  if (!platform::set_length(fd_, length)) return failed_call(FileCall::kWrite);
  if (recording()) record_change({FileChange::kSetLength, fd_, {}, {}, 0, length, {}});
  return true;
}

bool File::start_writeback(uint64_t offset, uint64_t length) noexcept {
  if (!is_open() || !file_call_allowed(FileCall::kWrite)) return false;
  platform::start_writeback(fd_, offset, length);
  return true;
}

bool File::sync() noexcept {
  if (!is_open() || !file_call_allowed(FileCall::kSync)) return false;
  if (!platform::sync(fd_)) return failed_call(FileCall::kSync);
  if (recording()) record_change({FileChange::kSync, fd_, {}, {}, 0, 0, {}});
  return true;
}


bool file_exists(std::string_view path) noexcept {
  CPath p(path);
  FileInfo info;
  return p.ok() && platform::path_info(p.c_str(), true, info);
}

bool is_directory(std::string_view path) noexcept {
  CPath p(path);
  FileInfo info;
  return p.ok() && platform::path_info(p.c_str(), true, info) &&
         (info.type_and_mode & platform::kTypeMask) == platform::kTypeFolder;
}

bool file_info(std::string_view path, FileInfo& out) noexcept {
  CPath p(path);
  return p.ok() && platform::path_info(p.c_str(), false, out);
}

bool file_rename(std::string_view from, std::string_view to) noexcept {
  CPath a(from), b(to);
  if (!a.ok() || !b.ok() || !file_call_allowed(FileCall::kRename)) return false;
  if (!platform::rename(a.c_str(), b.c_str())) return failed_call(FileCall::kRename);
  if (recording()) record_change({FileChange::kRename, platform::kNoHandle, from, to, 0, 0, {}});
  return true;
}

bool file_remove(std::string_view path) noexcept {
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kRemove) || !platform::remove(p.c_str())) return false;
  if (recording()) record_change({FileChange::kRemove, platform::kNoHandle, path, {}, 0, 0, {}});
  return true;
}

bool remove_stale_file(std::string_view path) noexcept {
  FileInfo info;
  if (!file_info(path, info)) return errno == ENOENT;
  if (info.regular()) return file_remove(path);
  // A link or folder under the name is never removed, nor written through.
  errno = EEXIST;
  return failed_call(FileCall::kRemove);
}

bool file_link(std::string_view from, std::string_view to, bool& unsupported) noexcept {
  unsupported = false;
  CPath a(from), b(to);
  if (!a.ok() || !b.ok()) return false;
  if (!file_call_allowed(FileCall::kLink)) {
    unsupported = errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS;
    return false;
  }
  if (!platform::link(a.c_str(), b.c_str(), unsupported)) return false;
  if (recording()) record_change({FileChange::kLink, platform::kNoHandle, from, to, 0, 0, {}});
  return true;
}

bool sync_parent_folder(std::string_view path) noexcept {
  const std::string_view folder = platform::folder_of(path, platform::last_separator(path));
  CPath p(folder);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen) || !file_call_allowed(FileCall::kSync)) return false;
  if (!platform::sync_folder(p.c_str())) return false;
  if (recording()) record_change({FileChange::kSyncFolder, platform::kNoHandle, folder, {}, 0, 0, {}});
  return true;
}

bool seal_new_file(std::string_view path, const FileInfo* like, FileInfo& out, bool sync) noexcept {
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen)) return false;
  Handle fd(platform::open_to_seal(p.c_str()));
  FileInfo now;
  if (fd.get() == platform::kNoHandle || !platform::handle_info(fd.get(), now) || !now.regular() ||
      now.links != 1)
    return false;
  if (like && !platform::copy_owner(fd.get(), *like)) return false;
  if (sync) {
    if (!file_call_allowed(FileCall::kSync) || !platform::sync(fd.get())) return false;
    if (recording()) record_change({FileChange::kSync, fd.get(), path, {}, 0, 0, {}});
  }
  if (!platform::handle_info(fd.get(), out)) return false;
  return true;
}

}  // namespace qx
