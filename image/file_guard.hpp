// The files a trim is going to replace, held from before their first read until the swap is
// over: QEMU's own locks keep hypervisors and QEMU tools off them, and what each file looked like
// when it was taken shows at the swap whether anything changed it meanwhile.
#pragma once

#include <string_view>
#include <vector>

#include "image/error.hpp"
#include "image/file.hpp"
#include "text/path_string.hpp"

namespace qx {

enum class HoldResult : uint8_t { kHeld, kInUse, kCannotOpen };

class FileGuard {
 public:
  FileGuard() noexcept = default;
  ~FileGuard();  // the locks go with the descriptors
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;

  // Opens the regular file under path (never through a link), takes the locks and notes its
  // state. Holding a file twice is holding it once.
  [[nodiscard]] HoldResult hold(std::string_view path) noexcept;
  bool holds(std::string_view path) const noexcept;
  // True when path still names the held file, with the size and modification time it had.
  bool unchanged(std::string_view path) const noexcept;
  // Lets go of a held file, which then no longer counts as held.
  void release(std::string_view path) noexcept;
  // Some hold was refused because another process uses the file.
  bool saw_file_in_use() const noexcept { return saw_in_use_; }

 private:
  struct Held {
    PathBuffer<4096> path;
    platform::Handle fd = platform::kNoHandle;
    FileInfo info;
  };
  const Held* find(std::string_view path) const noexcept;
  std::vector<Held> held_;
  bool saw_in_use_ = false;
};

// Makes a guard the one of the running trim for as long as it lives.
class ActiveGuard {
 public:
  explicit ActiveGuard(FileGuard& guard) noexcept;
  ~ActiveGuard();
  ActiveGuard(const ActiveGuard&) = delete;
  ActiveGuard& operator=(const ActiveGuard&) = delete;

 private:
  FileGuard* previous_;
};

// The hook for images of several files: their formats call it, as they open them, for every
// file that the trim would rewrite. OK when no trim is running or the file is held; ERR_OPEN
// when it cannot be held (in use, or no regular file).
[[nodiscard]] ErrorCode guard_replaced_file(std::string_view path) noexcept;
// Where the system cannot rename over an open file: lets go of it once it has been checked, just
// before the names are swapped. Anybody who opens it in between makes the swap fail and roll back.
void release_replaced_file(std::string_view path) noexcept;
// Just before a file is swapped: OK when no trim is running, when the file is held and unchanged
// (still there), or when it is not held and can be held now (or does not exist: a file the trim
// adds); ERR_CREATE otherwise.
[[nodiscard]] ErrorCode check_replaced_file(std::string_view path) noexcept;

}  // namespace qx
