#include "image/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
}  // namespace

FileRecorder g_recorder = nullptr;

bool failed_call(FileCall call) noexcept {
  g_last_failure = FileFailure{call, errno};
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


namespace {

using detail::CPath;
using detail::failed_call;
using detail::file_call_allowed;
using detail::record_change;
using detail::recording;

bool fits_off_t(uint64_t offset, uint64_t length) noexcept {
  return offset <= static_cast<uint64_t>(INT64_MAX) && length <= static_cast<uint64_t>(INT64_MAX) - offset;
}

FileInfo info_of(const struct stat& st) noexcept {
  FileInfo i;
  i.device = static_cast<uint64_t>(st.st_dev);
  i.inode = static_cast<uint64_t>(st.st_ino);
  i.size = static_cast<uint64_t>(st.st_size);
  i.links = static_cast<uint64_t>(st.st_nlink);
  i.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
  i.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  i.type_and_mode = static_cast<uint32_t>(st.st_mode);
  i.owner = static_cast<uint32_t>(st.st_uid);
  i.group = static_cast<uint32_t>(st.st_gid);
  i.allocated = static_cast<uint64_t>(st.st_blocks) * 512;
  i.block_size = static_cast<uint32_t>(st.st_blksize);
  return i;
}

// Closes a descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    writable_ = other.writable_;
    read_failed_ = other.read_failed_;
    other.fd_ = -1;
  }
  return *this;
}

File File::open_existing(std::string_view path, bool read_only) noexcept {
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen)) return File();
  int fd;
  do fd = ::open(p.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) failed_call(FileCall::kOpen);
  return File(fd, fd >= 0 && !read_only);
}

File File::create(std::string_view path) noexcept {
  CPath p(path);
  if (!p.ok() || !remove_stale_file(path) || !file_call_allowed(FileCall::kOpen)) return File();
  const int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) failed_call(FileCall::kOpen);
  if (fd >= 0 && recording()) record_change({FileChange::kCreate, fd, path, {}, 0, 0, {}});
  return File(fd, fd >= 0);
}

bool File::close() noexcept {
  if (fd_ < 0) return true;
  // Some file systems report a write that failed late only here.
  const bool allowed = !writable_ || file_call_allowed(FileCall::kWrite);
  const bool ok = ::close(fd_) == 0 || failed_call(FileCall::kWrite);
  fd_ = -1;
  return ok && allowed;
}

bool File::length(uint64_t& out) noexcept {
  if (fd_ < 0) return false;
  // Not fstat: a block device has its length only at its end.
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0) return false;
  out = static_cast<uint64_t>(end);
  return true;
}

bool File::read_at(uint64_t offset, std::span<uint8_t> out) noexcept {
  if (fd_ < 0 || !fits_off_t(offset, out.size())) return false;
  if (!file_call_allowed(FileCall::kRead)) {
    read_failed_ = true;
    return false;
  }
  for (size_t done = 0; done < out.size();) {
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // The end of the file is an answer; an error of the device is not.
    if (n < 0) read_failed_ = true;
    return n < 0 ? failed_call(FileCall::kRead) : false;
  }
  return true;
}

bool File::write_at(uint64_t offset, std::span<const uint8_t> data) noexcept {
  if (fd_ < 0 || !fits_off_t(offset, data.size())) return false;
  if (!file_call_allowed(FileCall::kWrite)) return false;
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n > 0) {
      if (recording())
        record_change({FileChange::kWrite, fd_, {}, {}, offset + done, static_cast<uint64_t>(n),
                       data.subspan(done, static_cast<size_t>(n))});
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return failed_call(FileCall::kWrite);
  }
  return true;
}

bool File::preallocate(uint64_t offset, uint64_t length) noexcept {
  if (fd_ < 0 || !file_call_allowed(FileCall::kWrite)) return false;
  if (fits_off_t(offset, length) &&
      ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0 &&
      recording())
    record_change({FileChange::kReserve, fd_, {}, {}, offset, length, {}});
  return true;
}

bool File::info(FileInfo& out) noexcept {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  out = info_of(st);
  return true;
}

bool File::punch_hole(uint64_t offset, uint64_t length, bool& unsupported) noexcept {
  unsupported = false;
  if (fd_ < 0 || !writable_ || length == 0 || !fits_off_t(offset, length)) return false;
  if (file_call_allowed(FileCall::kWrite) &&
      ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                  static_cast<off_t>(length)) == 0)
    return true;
  unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
  return false;
}

bool File::set_length(uint64_t length) noexcept {
  if (fd_ < 0 || length > static_cast<uint64_t>(INT64_MAX) || !file_call_allowed(FileCall::kWrite))
    return false;
  int rc;
  do rc = ::ftruncate(fd_, static_cast<off_t>(length));
  while (rc != 0 && errno == EINTR);
  if (rc != 0) return failed_call(FileCall::kWrite);
  if (recording()) record_change({FileChange::kSetLength, fd_, {}, {}, 0, length, {}});
  return true;
}

bool File::start_writeback(uint64_t offset, uint64_t length) noexcept {
  if (fd_ < 0 || !file_call_allowed(FileCall::kWrite)) return false;
  if (fits_off_t(offset, length))
    (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                            SYNC_FILE_RANGE_WRITE);
  return true;
}

bool File::sync() noexcept {
  if (fd_ < 0 || !file_call_allowed(FileCall::kSync)) return false;
  if (::fsync(fd_) != 0) return failed_call(FileCall::kSync);
  if (recording()) record_change({FileChange::kSync, fd_, {}, {}, 0, 0, {}});
  return true;
}


bool FileInfo::regular() const noexcept { return S_ISREG(static_cast<mode_t>(type_and_mode)); }

bool file_exists(std::string_view path) noexcept {
  CPath p(path);
  struct stat st;
  return p.ok() && ::stat(p.c_str(), &st) == 0;
}

bool is_directory(std::string_view path) noexcept {
  CPath p(path);
  struct stat st;
  return p.ok() && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool file_info(std::string_view path, FileInfo& out) noexcept {
  CPath p(path);
  struct stat st;
  if (!p.ok() || ::lstat(p.c_str(), &st) != 0) return false;
  out = info_of(st);
  return true;
}

bool file_rename(std::string_view from, std::string_view to) noexcept {
  CPath a(from), b(to);
  if (!a.ok() || !b.ok() || !file_call_allowed(FileCall::kRename)) return false;
  if (::rename(a.c_str(), b.c_str()) != 0) return failed_call(FileCall::kRename);
  if (recording()) record_change({FileChange::kRename, -1, from, to, 0, 0, {}});
  return true;
}

bool file_remove(std::string_view path) noexcept {
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kRemove) || ::unlink(p.c_str()) != 0) return false;
  if (recording()) record_change({FileChange::kRemove, -1, path, {}, 0, 0, {}});
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
  if (file_call_allowed(FileCall::kLink) && ::link(a.c_str(), b.c_str()) == 0) {
    if (recording()) record_change({FileChange::kLink, -1, from, to, 0, 0, {}});
    return true;
  }
  unsupported = errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS;
  return false;
}

bool sync_parent_folder(std::string_view path) noexcept {
  const size_t slash = path.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? std::string_view(".") : path.substr(0, slash ? slash : 1);
  CPath p(folder);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen)) return false;
  Fd fd(::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || !file_call_allowed(FileCall::kSync)) return false;
  // Some file systems cannot sync a folder at all; their names are as durable as they get.
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return false;
  if (recording()) record_change({FileChange::kSyncFolder, -1, folder, {}, 0, 0, {}});
  return true;
}

bool seal_new_file(std::string_view path, const FileInfo* like, FileInfo& out, bool sync) noexcept {
  CPath p(path);
  if (!p.ok() || !file_call_allowed(FileCall::kOpen)) return false;
  Fd fd(::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
    return false;
  if (like) {
    // Whoever could use the old file must be able to use the new one, and nobody else. An owner
    // we may not give stays ours; the permissions are then still those of the old file.
    if (::fchown(fd.get(), like->owner, like->group) != 0)
      (void)::fchown(fd.get(), static_cast<uid_t>(-1), like->group);
    if (::fchmod(fd.get(), static_cast<mode_t>(like->type_and_mode) & 07777) != 0) return false;
  }
  if (sync) {
    if (!file_call_allowed(FileCall::kSync) || ::fsync(fd.get()) != 0) return false;
    if (recording()) record_change({FileChange::kSync, fd.get(), path, {}, 0, 0, {}});
  }
  if (::fstat(fd.get(), &st) != 0) return false;
  out = info_of(st);
  return true;
}

}  // namespace qx
