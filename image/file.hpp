// Files with 64-bit offsets and all-or-nothing positioned reads and writes on one descriptor, plus
// the name operations that a swap of files is built from. New files are only ever created, never
// opened through a link.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/file_ops.hpp"

namespace qx {

// Longest path (in bytes, without terminator) that the file functions accept; names are built in
// buffers of this size plus one.
inline constexpr size_t kMaxPathBytes = platform::kMaxPathBytes;

// What the system says of a name itself (a link is described, not followed).
using platform::FileInfo;

class File {
 public:
  File() noexcept = default;
  ~File() { close(); }
  File(File&& other) noexcept
      : fd_(other.fd_), writable_(other.writable_), read_failed_(other.read_failed_) {
    other.fd_ = platform::kNoHandle;
  }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opened for reading, or for reading and writing. Only a regular file opens: a FIFO, a device or
  // a folder is refused (without waiting for a FIFO's writer) and noted as the last failure.
  [[nodiscard]] static File open_existing(std::string_view path, bool read_only) noexcept;
  // For reading and writing, to punch holes into an image in place; `in_use` tells that another
  // process may write it (Windows, where this handle then keeps writers off).
  [[nodiscard]] static File open_to_punch(std::string_view path, bool& in_use) noexcept;
  // A new, empty file readable by its owner alone. A regular file left under the name by an
  // earlier run is removed first; a link, folder or anything else there is refused, so that the
  // output can never land in some other file.
  [[nodiscard]] static File create(std::string_view path) noexcept;

  bool is_open() const noexcept { return fd_ != platform::kNoHandle; }
  explicit operator bool() const noexcept { return is_open(); }

  // False when the system reports a write that failed late (data may not have reached the file).
  bool close() noexcept;
  [[nodiscard]] bool length(uint64_t& out) noexcept;
  // Succeed only when exactly the whole span was transferred; the file has no position of its own.
  [[nodiscard]] bool read_at(uint64_t offset, std::span<uint8_t> out) noexcept;
  // Whether a read of this file failed (its end aside) since it was opened, closed or not: a
  // reader may take an unreadable structure for a foreign one, but a run over a file it could
  // not read whole has nothing to vouch for it.
  bool read_failed() const noexcept { return read_failed_; }
  [[nodiscard]] bool write_at(uint64_t offset, std::span<const uint8_t> data) noexcept;
  // Nothing is buffered here: true while the file is open.
  [[nodiscard]] bool flush() noexcept { return is_open(); }
  // Asks the file system to set aside [offset, offset + length) without changing the length, so
  // that the writes that follow cost less. Only a hint: false only when the file is not usable.
  [[nodiscard]] bool preallocate(uint64_t offset, uint64_t length) noexcept;
  // Gives [offset, offset + length) back to the host without changing the length; the range then
  // reads as zeros. `unsupported` tells a host that cannot do it at all from a failure.
  [[nodiscard]] bool punch_hole(uint64_t offset, uint64_t length, bool& unsupported) noexcept;
  // Whether punch_hole works on this file's host, found out before anything is changed: a hole of
  // `block` bytes just past the end changes nothing where it works.
  [[nodiscard]] bool can_punch_holes(uint64_t block, bool& unsupported) noexcept;
  // What the system says of the open file.
  [[nodiscard]] bool info(FileInfo& out) noexcept;
  // Cuts or extends the file to exactly `length` bytes, dropping whatever was set aside beyond.
  [[nodiscard]] bool set_length(uint64_t length) noexcept;
  // Asks the system to start writing [offset, offset + length) to the disk now, so that a later
  // sync finds less to wait for. Only a hint: false only when the file is not usable.
  [[nodiscard]] bool start_writeback(uint64_t offset, uint64_t length) noexcept;
  // Asks the system to put the data on the disk before a rename relies on it.
  [[nodiscard]] bool sync() noexcept;

 private:
  friend class FileCopier;  // borrows the descriptor of its source and of its target
  File(platform::Handle fd, bool writable) noexcept : fd_(fd), writable_(writable) {}
  platform::Handle fd_ = platform::kNoHandle;
  bool writable_ = false;
  bool read_failed_ = false;
};

[[nodiscard]] bool file_exists(std::string_view path) noexcept;
// True when the path names a folder (following links).
[[nodiscard]] bool is_directory(std::string_view path) noexcept;
// False when nothing has that name.
[[nodiscard]] bool file_info(std::string_view path, FileInfo& out) noexcept;
// Replaces whatever `to` names (a link there is replaced, never followed).
[[nodiscard]] bool file_rename(std::string_view from, std::string_view to) noexcept;
// Removes a name; never a folder, never what a link points at.
[[nodiscard]] bool file_remove(std::string_view path) noexcept;
// True when nothing is left under the name: absent already, or a regular file that was removed.
[[nodiscard]] bool remove_stale_file(std::string_view path) noexcept;
// A second name for a file; `to` must be free. `unsupported` tells a file system that cannot
// make links at all from a failure.
[[nodiscard]] bool file_link(std::string_view from, std::string_view to, bool& unsupported) noexcept;
// Makes the names created, renamed or removed in the folder that holds `path` durable.
[[nodiscard]] bool sync_parent_folder(std::string_view path) noexcept;
// Readies a finished new file to take the place of `like` (when given): it must be a regular file
// with no other name; it gets the owner and permissions of `like` and is put on the disk. `out`
// describes it afterwards.
// `sync` false is for tests alone, which show that a crash sweep catches a missing sync.
[[nodiscard]] bool seal_new_file(std::string_view path, const FileInfo* like, FileInfo& out,
                                 bool sync = true) noexcept;


// Test seam: when set, asked before every system call of the file primitives; a non-zero answer
// is the errno with which that call fails without being made.
enum class FileCall : uint8_t { kOpen, kRead, kWrite, kSync, kLink, kRename, kRemove };
using FileCallHook = int (*)(FileCall call) noexcept;
void set_file_call_hook(FileCallHook hook) noexcept;

// Test seam beside it: when set, told after every change that a file primitive made, so that a
// test can rebuild what a crash of the whole machine could leave at any point. `fd` is the open
// file changed (-1 for changes of names); `data` is given for buffered writes only (copies and
// clones are read back from the file).
enum class FileChange : uint8_t {
  kCreate,      // path: a new empty file, open as fd
  kWrite,       // fd: data at offset
  kCopy,        // fd: length bytes at offset, copied by the kernel or shared with the source
  kSetLength,   // fd: cut or extended to length
  kReserve,     // fd: space set aside, length unchanged
  kSync,        // fd: data and length on the disk
  kLink,        // path: a second name `to`
  kRename,      // path: renamed to `to`
  kRemove,      // path
  kSyncFolder,  // path: the folder whose names are now on the disk
  kPunch,       // fd: [offset, offset + length) given back to the host, reading as zeros
};
struct FileChangeRecord {
  FileChange change = FileChange::kWrite;
  platform::Handle fd = platform::kNoHandle;
  std::string_view path, to;
  uint64_t offset = 0, length = 0;
  std::span<const uint8_t> data;
};
using FileRecorder = void (*)(const FileChangeRecord& record) noexcept;
void set_file_recorder(FileRecorder recorder) noexcept;
// The last call of the file primitives that failed, with the system's errno, so that a failed run
// can quote the system's own words; error 0 when none failed since the last clear.
struct FileFailure {
  FileCall call = FileCall::kOpen;
  int error = 0;
  // Not 0: the open found something other than a regular file, of this type (platform::kType*).
  uint32_t file_type = 0;
};
[[nodiscard]] FileFailure last_file_failure() noexcept;
void clear_file_failure() noexcept;
// The last file an open refused for not being a regular file, kept until cleared (format detection
// clears the failure above between its attempts): its type (platform::kType*, 0 for none) and path.
[[nodiscard]] uint32_t refused_file_type() noexcept;
[[nodiscard]] std::string_view refused_file_path() noexcept;
void clear_refused_file() noexcept;
// "a FIFO", "a device", "a folder"... for a file type (platform::kType*).
[[nodiscard]] const char* file_type_words(uint32_t type) noexcept;

namespace detail {
extern FileRecorder g_recorder;
inline bool recording() noexcept { return g_recorder != nullptr; }
// Only behind recording(), so that nothing is built while no recorder is set.
inline void record_change(const FileChangeRecord& record) noexcept { g_recorder(record); }
// False (errno set) when the seam fails the call.
[[nodiscard]] bool file_call_allowed(FileCall call) noexcept;
// Notes errno as the failure of a call; always false.
bool failed_call(FileCall call) noexcept;
// Notes that `path` is no regular file but of `type` as the failure of an open; always false.
bool refused_file(std::string_view path, uint32_t type) noexcept;

// Copies a path into a terminated stack buffer; not ok when it does not fit or holds a NUL.
class CPath {
 public:
  explicit CPath(std::string_view path) noexcept;
  bool ok() const noexcept { return ok_; }
  const char* c_str() const noexcept { return buf_; }

 private:
  char buf_[kMaxPathBytes + 1];
  bool ok_ = false;
};
}  // namespace detail

}  // namespace qx
