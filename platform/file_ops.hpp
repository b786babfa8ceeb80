// The operating system's file calls, the one place that knows whether they are POSIX or Win32.
// Paths are UTF-8. Failures leave an errno value in errno (Win32 errors are mapped), so that the
// layers above judge them alike on every system. The layers above also own the test seam: nothing
// here asks it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// MinGW's C library has no quota error; Win32's is mapped to this number.
#ifndef EDQUOT
#define EDQUOT 122
#endif

namespace qx::platform {

// A descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// The type bits of type_and_mode, as POSIX numbers them on every system.
inline constexpr uint32_t kTypeMask = 0170000;
inline constexpr uint32_t kTypeRegular = 0100000;
inline constexpr uint32_t kTypeFolder = 0040000;
inline constexpr uint32_t kTypeLink = 0120000;
inline constexpr uint32_t kTypeFifo = 0010000;
inline constexpr uint32_t kTypeCharDevice = 0020000;
inline constexpr uint32_t kTypeBlockDevice = 0060000;
inline constexpr uint32_t kTypeSocket = 0140000;

// What the system says of a name itself (a link is described, not followed).
struct FileInfo {
  uint64_t device = 0;  // the volume's serial number on Windows
  uint64_t inode = 0;   // the file's index on Windows
  uint64_t size = 0;
  uint64_t links = 0;
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  uint32_t type_and_mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
  uint64_t allocated = 0;   // bytes the file takes on its host
  uint32_t block_size = 0;  // the host's preferred block for it

  bool regular() const noexcept { return (type_and_mode & kTypeMask) == kTypeRegular; }
  bool same_file(const FileInfo& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
  // Same file, same size, same modification time.
  bool same_state(const FileInfo& other) const noexcept {
    return same_file(other) && size == other.size && mtime_sec == other.mtime_sec &&
           mtime_nsec == other.mtime_nsec;
  }
};

// Windows separates names with "\" as well as "/"; the names that images store are resolved
// against "/"-separated paths, which Win32 takes as they are.
// Windows also refuses to rename a file over a name whose file anybody holds open.
#ifdef _WIN32
inline constexpr bool kBackslashSeparates = true;
inline constexpr bool kReplacedFilesMustBeClosed = true;
#else
inline constexpr bool kBackslashSeparates = false;
inline constexpr bool kReplacedFilesMustBeClosed = false;
#endif

// Longest path (in bytes, without terminator) that the file functions accept.
inline constexpr size_t kMaxPathBytes = 4095;

// Following links; Windows shares reads only, so that a file another process writes cannot be
// opened and one opened here cannot be written by others. A FIFO or device is opened without
// waiting for it (its type is for the caller to check); a folder fails with EISDIR.
[[nodiscard]] Handle open_existing(const char* path, bool read_only) noexcept;
// For a trim in place, which punches through a second handle of the image: while a guard that is
// on lives, read-only opens (open_existing, open_held) let others write too, so that this
// process's own handle that punches (open_to_punch) can be opened beside them, and that handle
// keeps writers off instead. POSIX opens share everything anyway: nothing changes there.
class ReadOpensShareWrites {
 public:
  explicit ReadOpensShareWrites(bool on) noexcept;
  ~ReadOpensShareWrites();
  ReadOpensShareWrites(const ReadOpensShareWrites&) = delete;
  ReadOpensShareWrites& operator=(const ReadOpensShareWrites&) = delete;

 private:
  bool on_;
};
// Reading and writing, for punching holes into an image. Windows shares reads only: the open
// fails, `in_use`, while another process may write the file, and nobody else may write it while
// the handle is open.
[[nodiscard]] Handle open_to_punch(const char* path, bool& in_use) noexcept;
// Exclusively, never through a link; readable by the owner alone; sparse where that must be asked.
[[nodiscard]] Handle create_new(const char* path) noexcept;
// Read-only, never through a link; the name may be renamed or removed while it is open.
// `in_use` tells that another process holds the file in a way that forbids this open.
[[nodiscard]] Handle open_held(const char* path, bool& in_use) noexcept;
// As open_held, for a finished file of ours that is to be sealed: it must also take a sync.
[[nodiscard]] Handle open_to_seal(const char* path) noexcept;
bool close(Handle h) noexcept;

// Bytes moved, 0 at the end of the file, -1 on failure; interruptions are retried.
[[nodiscard]] int64_t read_at(Handle h, void* out, size_t length, uint64_t offset) noexcept;
[[nodiscard]] int64_t write_at(Handle h, const void* data, size_t length, uint64_t offset) noexcept;
// Not from the file's own record: a block device has its length only at its end.
[[nodiscard]] bool end_offset(Handle h, uint64_t& out) noexcept;
[[nodiscard]] bool set_length(Handle h, uint64_t length) noexcept;
[[nodiscard]] bool sync(Handle h) noexcept;
// A pipe or device handle on Windows is described by its type alone.
[[nodiscard]] bool handle_info(Handle h, FileInfo& out) noexcept;

// Hints: no answer, nothing changes if the system ignores them.
// Sets space aside without changing the length; true when the system did.
bool preallocate(Handle h, uint64_t offset, uint64_t length) noexcept;
void advise_sequential(Handle h) noexcept;
void advise_will_need(Handle h, uint64_t offset, uint64_t length) noexcept;
// Starts writing a range to the disk; `settle` waits for it and drops it from the cache.
void start_writeback(Handle h, uint64_t offset, uint64_t length) noexcept;
void settle_writeback(Handle h, uint64_t offset, uint64_t length) noexcept;

// Gives [offset, offset + length) back to the host, keeping the length; the range reads as zeros.
// errno EOPNOTSUPP or ENOSYS tells a host that cannot do it at all.
[[nodiscard]] bool punch_hole(Handle h, uint64_t offset, uint64_t length) noexcept;

// The block size at which `to` can share blocks of `from`, or 0 when they cannot share at all.
[[nodiscard]] uint64_t clone_block_size(Handle from, Handle to) noexcept;
enum class CopyResult : uint8_t { kDone, kRefused, kFailed };
// Whole blocks of `from` shared into `to`; kRefused when the files cannot share.
[[nodiscard]] CopyResult clone_range(Handle from, uint64_t from_offset, Handle to, uint64_t to_offset,
                                     uint64_t length) noexcept;
// A copy inside the kernel: bytes moved (0 at the source's end), or -1 with `refused` telling a
// system or file system that cannot do it from a failure.
[[nodiscard]] int64_t kernel_copy(Handle from, uint64_t from_offset, Handle to, uint64_t to_offset,
                                  size_t length, bool& refused) noexcept;

// Bytes read from the handle's current position (a pipe, a terminal, a file read from its start),
// 0 at its end, -1 on failure; interruptions are retried.
[[nodiscard]] int64_t read_next(Handle h, void* out, size_t length) noexcept;
// The process's standard input, not to be closed.
[[nodiscard]] Handle standard_input() noexcept;
// A file that lives in memory only and goes when its last handle closes, and a path by which
// another library opens it too; kNoHandle where the system has none.
[[nodiscard]] Handle open_memory_file(const char* name, std::string& path) noexcept;

// QEMU-style locks over an open image: false when another process holds the file.
[[nodiscard]] bool take_image_locks(Handle h) noexcept;

[[nodiscard]] bool path_info(const char* path, bool follow, FileInfo& out) noexcept;
// Replaces what `to` names; a link there is replaced, never followed.
[[nodiscard]] bool rename(const char* from, const char* to) noexcept;
[[nodiscard]] bool remove(const char* path) noexcept;
// `unsupported` (when false is returned) tells a file system that cannot make links at all.
[[nodiscard]] bool link(const char* from, const char* to, bool& unsupported) noexcept;
// Makes the names in a folder durable, where the system needs to be asked.
[[nodiscard]] bool sync_folder(const char* folder) noexcept;
// Bytes this user may still write in a folder; false when the system cannot tell.
[[nodiscard]] bool folder_free_bytes(const char* folder, uint64_t& out) noexcept;
// Gives a new file the owner and permissions of `like`, where the system has them.
[[nodiscard]] bool copy_owner(Handle h, const FileInfo& like) noexcept;

// The position of the last separator of folder names in a path, or npos.
[[nodiscard]] size_t last_separator(std::string_view path) noexcept;
// The folder of a path whose last separator is at `at` (npos: none): "/" for "/x", "C:\" for
// "C:\x", "." for "x".
[[nodiscard]] std::string_view folder_of(std::string_view path, size_t at) noexcept;
// An absolute path of an existing file with links resolved; false when there is none.
[[nodiscard]] bool resolve_path(const char* path, std::string& out);
// Whether standard output goes to a terminal (a console on Windows).
[[nodiscard]] bool output_is_terminal() noexcept;
// A stream whose text is kept for the program: in memory on POSIX, in a temporary file that goes
// away when closed on Windows.
struct TextCapture {
  std::FILE* stream = nullptr;
  char* buffer = nullptr;
  size_t size = 0;
};
[[nodiscard]] bool open_capture(TextCapture& capture) noexcept;
// Closes the stream and gives what was written to it.
[[nodiscard]] std::string close_capture(TextCapture& capture);
// The program's arguments in UTF-8 (Windows hands main() the ANSI code page).
[[nodiscard]] std::vector<std::string> utf8_arguments(int argc, const char* const* argv);
// What main() does with them: run(argc, argv) in UTF-8, or exit status 2 when they cannot be had.
template <typename Run>
int run_with_utf8_arguments(int argc, const char* const* argv, Run&& run) noexcept {
  std::vector<std::string> args;
  std::vector<const char*> views;
  try {
    args = utf8_arguments(argc, argv);
    for (const std::string& a : args) views.push_back(a.c_str());
  } catch (...) {
    return 2;
  }
  return run(static_cast<int>(views.size()), views.data());
}

}  // namespace qx::platform
