#include "image/file_guard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qx {
namespace {

// QEMU's lock bytes: one per permission a user holds from 100 on, one per permission it does not
// let others have from 200 on (read, write, unchanged write, resize, graph change). A trim reads
// the file and lets nobody else have anything, since the file is going to be replaced.
constexpr off_t kPermissionBase = 100;
constexpr off_t kUnsharedBase = 200;
constexpr off_t kPermissions = 5;

FileGuard* g_active = nullptr;

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

// Our shared locks first, then the test for anybody else's, as QEMU does: of two processes that
// race, each sees the other.
HoldResult take_locks(int fd) noexcept {
  short found = F_UNLCK;
  int error = lock_range(fd, F_OFD_SETLK, F_RDLCK, kPermissionBase, 1, found);
  if (error == 0) error = lock_range(fd, F_OFD_SETLK, F_RDLCK, kUnsharedBase, kPermissions, found);
  if (error != 0) return locks_unsupported(error) ? HoldResult::kHeld : HoldResult::kInUse;
  for (const auto& [start, length] : {std::pair{kPermissionBase, kPermissions}, std::pair{kUnsharedBase, off_t{1}}}) {
    found = F_UNLCK;
    error = lock_range(fd, F_OFD_GETLK, F_WRLCK, start, length, found);
    if (error != 0 && !locks_unsupported(error)) return HoldResult::kInUse;
    if (error == 0 && found != F_UNLCK) return HoldResult::kInUse;
  }
  return HoldResult::kHeld;
}

}  // namespace

FileGuard::~FileGuard() {
  for (Held& h : held_)
    if (h.fd >= 0) ::close(h.fd);
}

const FileGuard::Held* FileGuard::find(std::string_view path) const noexcept {
  for (const Held& h : held_)
    if (h.path.view() == path) return &h;
  return nullptr;
}

bool FileGuard::holds(std::string_view path) const noexcept { return find(path) != nullptr; }

HoldResult FileGuard::hold(std::string_view path) noexcept {
  if (holds(path)) return HoldResult::kHeld;
  Held h;
  detail::CPath p(path);
  if (!h.path.assign(path) || !p.ok() || !detail::file_call_allowed(FileCall::kOpen))
    return HoldResult::kCannotOpen;
  h.fd = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (h.fd < 0) return HoldResult::kCannotOpen;
  struct stat st;
  HoldResult result = HoldResult::kCannotOpen;
  if (::fstat(h.fd, &st) == 0 && S_ISREG(st.st_mode) && file_info(path, h.info) &&
      h.info.inode == static_cast<uint64_t>(st.st_ino))
    result = take_locks(h.fd);
  if (result == HoldResult::kHeld) {
    try {
      held_.push_back(h);
      return result;
    } catch (...) {
      result = HoldResult::kCannotOpen;
    }
  }
  ::close(h.fd);
  if (result == HoldResult::kInUse) saw_in_use_ = true;
  return result;
}

bool FileGuard::unchanged(std::string_view path) const noexcept {
  const Held* h = find(path);
  struct stat st;
  FileInfo now;
  if (!h || ::fstat(h->fd, &st) != 0 || !file_info(path, now)) return false;
  // The name must still lead to the held file, and the file must not have been written.
  return now.same_file(h->info) && static_cast<uint64_t>(st.st_size) == h->info.size &&
         st.st_mtim.tv_sec == h->info.mtime_sec && st.st_mtim.tv_nsec == h->info.mtime_nsec;
}

ActiveGuard::ActiveGuard(FileGuard& guard) noexcept : previous_(g_active) { g_active = &guard; }

ActiveGuard::~ActiveGuard() { g_active = previous_; }

ErrorCode guard_replaced_file(std::string_view path) noexcept {
  if (!g_active) return OK;
  return g_active->hold(path) == HoldResult::kHeld ? OK : ERR_OPEN;
}

ErrorCode check_replaced_file(std::string_view path) noexcept {
  if (!g_active) return OK;
  if (g_active->holds(path)) return g_active->unchanged(path) ? OK : ERR_CREATE;
  // A file that the trim adds has nothing to hold yet.
  FileInfo info;
  if (!file_info(path, info)) return OK;
  return g_active->hold(path) == HoldResult::kHeld ? OK : ERR_CREATE;
}

}  // namespace qx
