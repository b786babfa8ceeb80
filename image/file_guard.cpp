#include "image/file_guard.hpp"

#include "platform/file_ops.hpp"

namespace qx {
namespace {

FileGuard* g_active = nullptr;

}  // namespace

FileGuard::~FileGuard() {
  for (Held& h : held_)
    if (h.fd != platform::kNoHandle) (void)platform::close(h.fd);
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
  bool in_use = false;
  h.fd = platform::open_held(p.c_str(), in_use);
  if (h.fd == platform::kNoHandle) {
    // Windows refuses the open itself while another process writes the file.
    saw_in_use_ = saw_in_use_ || in_use;
    return in_use ? HoldResult::kInUse : HoldResult::kCannotOpen;
  }
  FileInfo opened;
  HoldResult result = HoldResult::kCannotOpen;
  if (platform::handle_info(h.fd, opened) && opened.regular() && file_info(path, h.info) &&
      h.info.same_file(opened))
    result = platform::take_image_locks(h.fd) ? HoldResult::kHeld : HoldResult::kInUse;
  else if (const uint32_t type = opened.type_and_mode & platform::kTypeMask; type && !opened.regular())
    detail::refused_file(path, type);
  if (result == HoldResult::kHeld) {
    try {
      held_.push_back(h);
      return result;
    } catch (...) {
      result = HoldResult::kCannotOpen;
    }
  }
  (void)platform::close(h.fd);
  if (result == HoldResult::kInUse) saw_in_use_ = true;
  return result;
}

bool FileGuard::unchanged(std::string_view path) const noexcept {
  const Held* h = find(path);
  FileInfo held, now;
  if (!h || !platform::handle_info(h->fd, held) || !file_info(path, now)) return false;
  // The name must still lead to the held file, and the file must not have been written.
  return now.same_file(h->info) && held.same_state(h->info);
}

void FileGuard::release(std::string_view path) noexcept {
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (it->path.view() != path) continue;
    if (it->fd != platform::kNoHandle) (void)platform::close(it->fd);
    held_.erase(it);
    return;
  }
}

ActiveGuard::ActiveGuard(FileGuard& guard) noexcept : previous_(g_active) { g_active = &guard; }

ActiveGuard::~ActiveGuard() { g_active = previous_; }

ErrorCode guard_replaced_file(std::string_view path) noexcept {
  if (!g_active) return OK;
  return g_active->hold(path) == HoldResult::kHeld ? OK : ERR_OPEN;
}

void release_replaced_file(std::string_view path) noexcept {
  if (g_active) g_active->release(path);
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
