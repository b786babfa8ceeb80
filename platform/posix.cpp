// The POSIX (Linux) side of the platform layer.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/file_ops.hpp"
#include "platform/stop_signals.hpp"

namespace qx::platform {
namespace {

int fd_of(Handle h) noexcept { return static_cast<int>(h); }

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

// Errors that say the files cannot share or copy in the kernel at all, rather than that a read or
// a write went wrong.
bool refused(int error) noexcept {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == ENOTSUP || error == ENOTTY || error == EBADF || error == EPERM;
}

}  // namespace

Handle open_existing(const char* path, bool read_only) noexcept {
  int fd;
  // Without O_NONBLOCK the open of a FIFO waits for a writer, forever.
  do fd = ::open(path, (read_only ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return fd;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

ReadOpensShareWrites::ReadOpensShareWrites(bool on) noexcept : on_(on) {}
ReadOpensShareWrites::~ReadOpensShareWrites() { (void)on_; }

// The image's locks, taken by its hold, keep QEMU and its kin off.
Handle open_to_punch(const char* path, bool& in_use) noexcept {
  in_use = false;
  return open_existing(path, false);
}

Handle create_new(const char* path) noexcept {
  return ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

Handle open_held(const char* path, bool& in_use) noexcept {
  in_use = false;
  return ::open(path, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

Handle open_to_seal(const char* path) noexcept {
  bool in_use = false;
  return open_held(path, in_use);
}

bool close(Handle h) noexcept { return ::close(fd_of(h)) == 0; }

int64_t read_at(Handle h, void* out, size_t length, uint64_t offset) noexcept {
  if (!fits_off_t(offset, length)) return -1;
  ssize_t n;
  do n = ::pread(fd_of(h), out, length, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t write_at(Handle h, const void* data, size_t length, uint64_t offset) noexcept {
  if (!fits_off_t(offset, length)) return -1;
  ssize_t n;
  do n = ::pwrite(fd_of(h), data, length, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  return n;
}

bool end_offset(Handle h, uint64_t& out) noexcept {
  const off_t end = ::lseek(fd_of(h), 0, SEEK_END);
  if (end < 0) return false;
  out = static_cast<uint64_t>(end);
  return true;
}

bool set_length(Handle h, uint64_t length) noexcept {
  if (length > static_cast<uint64_t>(INT64_MAX)) return false;
  int rc;
  do rc = ::ftruncate(fd_of(h), static_cast<off_t>(length));
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool sync(Handle h) noexcept { return ::fsync(fd_of(h)) == 0; }

bool handle_info(Handle h, FileInfo& out) noexcept {
  struct stat st;
  if (::fstat(fd_of(h), &st) != 0) return false;
  out = info_of(st);
  return true;
}

bool preallocate(Handle h, uint64_t offset, uint64_t length) noexcept {
  return fits_off_t(offset, length) &&
         ::fallocate(fd_of(h), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0;
}

bool punch_hole(Handle h, uint64_t offset, uint64_t length) noexcept {
  if (!fits_off_t(offset, length)) {
    errno = EINVAL;
    return false;
  }
  return ::fallocate(fd_of(h), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length)) == 0;
}

void advise_sequential(Handle h) noexcept { (void)::posix_fadvise(fd_of(h), 0, 0, POSIX_FADV_SEQUENTIAL); }

void advise_will_need(Handle h, uint64_t offset, uint64_t length) noexcept {
  if (fits_off_t(offset, length))
    (void)::posix_fadvise(fd_of(h), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

void start_writeback(Handle h, uint64_t offset, uint64_t length) noexcept {
  if (fits_off_t(offset, length))
    (void)::sync_file_range(fd_of(h), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                            SYNC_FILE_RANGE_WRITE);
}

void settle_writeback(Handle h, uint64_t offset, uint64_t length) noexcept {
  if (!fits_off_t(offset, length)) return;
  (void)::sync_file_range(fd_of(h), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  (void)::posix_fadvise(fd_of(h), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
}

uint64_t clone_block_size(Handle from, Handle to) noexcept {
  struct stat a {}, b {};
  struct statfs fs {};
  if (::fstat(fd_of(from), &a) == 0 && ::fstat(fd_of(to), &b) == 0 && a.st_dev == b.st_dev &&
      ::fstatfs(fd_of(to), &fs) == 0 && fs.f_bsize > 0)
    return static_cast<uint64_t>(fs.f_bsize);
  return 0;
}

CopyResult clone_range(Handle from, uint64_t from_offset, Handle to, uint64_t to_offset,
                       uint64_t length) noexcept {
  struct file_clone_range request {};
  request.src_fd = fd_of(from);
  request.src_offset = from_offset;
  request.src_length = length;
  request.dest_offset = to_offset;
  int rc;
  do rc = ::ioctl(fd_of(to), FICLONERANGE, &request);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) return CopyResult::kDone;
  return refused(errno) ? CopyResult::kRefused : CopyResult::kFailed;
}

int64_t kernel_copy(Handle from, uint64_t from_offset, Handle to, uint64_t to_offset, size_t length,
                    bool& refused_here) noexcept {
  refused_here = false;
  if (!fits_off_t(from_offset, length) || !fits_off_t(to_offset, length)) return -1;
  off64_t in = static_cast<off64_t>(from_offset), out = static_cast<off64_t>(to_offset);
  ssize_t n;
  do n = ::copy_file_range(fd_of(from), &in, fd_of(to), &out, length, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) refused_here = refused(errno);
  return n;
}

namespace {

// QEMU's lock bytes: one per permission a user holds from 100 on, one per permission it does not
// let others have from 200 on (read, write, unchanged write, resize, graph change). A trim reads
// the file and lets nobody else have anything, since the file is going to be replaced.
constexpr off_t kPermissionBase = 100;
constexpr off_t kUnsharedBase = 200;
constexpr off_t kPermissions = 5;

int lock_range(int fd, int command, short type, off_t start, off_t length, short& found) noexcept {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  if (::fcntl(fd, command, &fl) != 0) return errno;
  found = fl.l_type;
  return 0;
}

// File systems without record locks have nobody to hold them either, QEMU included.
bool locks_unsupported(int error) noexcept {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

}  // namespace

// Our shared locks first, then the test for anybody else's, as QEMU does: of two processes that
// race, each sees the other.
bool take_image_locks(Handle h) noexcept {
  const int fd = fd_of(h);
  short found = F_UNLCK;
  int error = lock_range(fd, F_OFD_SETLK, F_RDLCK, kPermissionBase, 1, found);
  if (error == 0) error = lock_range(fd, F_OFD_SETLK, F_RDLCK, kUnsharedBase, kPermissions, found);
  if (error != 0) return locks_unsupported(error);
  for (const auto& [start, length] : {std::pair{kPermissionBase, kPermissions}, std::pair{kUnsharedBase, off_t{1}}}) {
    found = F_UNLCK;
    error = lock_range(fd, F_OFD_GETLK, F_WRLCK, start, length, found);
    if (error != 0 && !locks_unsupported(error)) return false;
    if (error == 0 && found != F_UNLCK) return false;
  }
  return true;
}

int64_t read_next(Handle h, void* out, size_t length) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd_of(h), out, length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

Handle standard_input() noexcept { return STDIN_FILENO; }

// Linux's memfd: never on a disk, gone with the process however it ends.
Handle open_memory_file(const char* name, std::string& path) noexcept {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return kNoHandle;
  try {
    path = "/proc/self/fd/" + std::to_string(fd);
  } catch (...) {
    ::close(fd);
    errno = ENOMEM;
    return kNoHandle;
  }
  return fd;
}

bool path_info(const char* path, bool follow, FileInfo& out) noexcept {
  struct stat st;
  if ((follow ? ::stat(path, &st) : ::lstat(path, &st)) != 0) return false;
  out = info_of(st);
  return true;
}

bool rename(const char* from, const char* to) noexcept { return ::rename(from, to) == 0; }

bool remove(const char* path) noexcept { return ::unlink(path) == 0; }

bool link(const char* from, const char* to, bool& unsupported) noexcept {
  unsupported = false;
  if (::link(from, to) == 0) return true;
  unsupported = errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS;
  return false;
}

bool sync_folder(const char* folder) noexcept {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // Some file systems cannot sync a folder at all; their names are as durable as they get.
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

bool folder_free_bytes(const char* folder, uint64_t& out) noexcept {
  struct statvfs vfs {};
  if (::statvfs(folder, &vfs) != 0) return false;
  out = uint64_t{vfs.f_bavail} * vfs.f_frsize;
  return true;
}

bool copy_owner(Handle h, const FileInfo& like) noexcept {
  // Whoever could use the old file must be able to use the new one, and nobody else. An owner
  // we may not give stays ours; the permissions are then still those of the old file.
  const int fd = fd_of(h);
  if (::fchown(fd, like.owner, like.group) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), like.group);
  return ::fchmod(fd, static_cast<mode_t>(like.type_and_mode) & 07777) == 0;
}

size_t last_separator(std::string_view path) noexcept { return path.rfind('/'); }

std::string_view folder_of(std::string_view path, size_t at) noexcept {
  return at == std::string_view::npos ? std::string_view(".") : path.substr(0, at ? at : 1);
}

bool resolve_path(const char* path, std::string& out) {
  char resolved[PATH_MAX];
  if (!::realpath(path, resolved)) return false;
  out = resolved;
  return true;
}

bool output_is_terminal() noexcept { return ::isatty(STDOUT_FILENO) != 0; }

bool open_capture(TextCapture& capture) noexcept {
  capture.stream = ::open_memstream(&capture.buffer, &capture.size);
  return capture.stream != nullptr;
}

std::string close_capture(TextCapture& capture) {
  if (capture.stream) std::fclose(capture.stream);
  capture.stream = nullptr;
  std::string text(capture.buffer ? capture.buffer : "");
  std::free(capture.buffer);
  capture.buffer = nullptr;
  return text;
}

std::vector<std::string> utf8_arguments(int argc, const char* const* argv) {
  return std::vector<std::string>(argv, argv + argc);
}

namespace {
constexpr size_t kStops = 3;
constexpr int kSignals[kStops + 1] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
struct sigaction g_saved[kStops + 1];
}  // namespace

void install_stop_handlers(void (*note)(int)) noexcept {
  struct sigaction stop {};
  stop.sa_handler = note;
  stop.sa_flags = SA_RESTART;
  sigemptyset(&stop.sa_mask);
  for (size_t i = 0; i < kStops; ++i) ::sigaction(kSignals[i], &stop, &g_saved[i]);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &g_saved[kStops]);
}

void restore_stop_handlers() noexcept {
  for (size_t i = 0; i <= kStops; ++i) ::sigaction(kSignals[i], &g_saved[i], nullptr);
}

}  // namespace qx::platform
