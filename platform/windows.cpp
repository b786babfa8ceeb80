// The Windows side of the platform layer: Win32 calls on wide paths with the long-path prefix.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "platform/file_ops.hpp"
#include "platform/stop_signals.hpp"

namespace qx::platform {
namespace {

// Not in every SDK's headers.
constexpr DWORD kDuplicateExtentsToFile = 0x00098344;  // FSCTL_DUPLICATE_EXTENTS_TO_FILE
constexpr DWORD kSupportsBlockRefcounting = 0x08000000;  // FILE_SUPPORTS_BLOCK_REFCOUNTING
struct DuplicateExtentsData {
  HANDLE file;
  LARGE_INTEGER source_offset;
  LARGE_INTEGER target_offset;
  LARGE_INTEGER byte_count;
};
constexpr DWORD kDiskQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED
// A clone request is kept well under the 4 GiB that one call may cover.
constexpr uint64_t kCloneStep = uint64_t{1} << 30;
// One ReadFile or WriteFile moves at most a DWORD's worth.
constexpr size_t kTransferStep = size_t{1} << 30;

HANDLE win(Handle h) noexcept { return reinterpret_cast<HANDLE>(h); }
Handle ours(HANDLE h) noexcept {
  return h == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(h);
}

int errno_of(DWORD error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CANT_ACCESS_FILE: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_CALL_NOT_IMPLEMENTED: return EOPNOTSUPP;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case kDiskQuotaExceeded: return EDQUOT;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

// Sets errno from the last Win32 error; returns the value of its argument for tail calls.
template <typename T>
T failed(T value) noexcept {
  errno = errno_of(GetLastError());
  return value;
}

bool utf8_to_wide(std::string_view in, std::wstring& out) {
  out.clear();
  if (in.empty()) return true;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out.data(), n) == n;
}

bool wide_to_utf8(std::wstring_view in, std::string& out) {
  out.clear();
  if (in.empty()) return true;
  const int n = WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr, nullptr) == n;
}

bool starts_with(std::wstring_view s, std::wstring_view prefix) noexcept {
  return s.substr(0, prefix.size()) == prefix;
}

// A path as Win32 takes it beyond 260 characters: absolute, backslashes only, with "\\?\" (or
// "\\?\UNC\" for a share) in front, so that nothing further is parsed from it.
bool long_path(const char* path, std::wstring& out) noexcept {
  try {
    std::wstring wide;
    if (!utf8_to_wide(path, wide) || wide.empty()) {
      errno = ENOENT;
      return false;
    }
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (starts_with(wide, L"\\\\?\\")) {
      out = std::move(wide);
      return true;
    }
    const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (need == 0) return failed(false);
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return failed(false);
    full.resize(got);
    if (starts_with(full, L"\\\\.\\")) out = std::move(full);  // a device: taken as it is
    else if (starts_with(full, L"\\\\")) out = L"\\\\?\\UNC\\" + full.substr(2);
    else out = L"\\\\?\\" + full;
    return true;
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
}

Handle open_wide(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) noexcept {
  std::wstring wide;
  if (!long_path(path, wide)) return kNoHandle;
  const HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return failed(kNoHandle);
  return ours(h);
}

FileInfo info_of(const BY_HANDLE_FILE_INFORMATION& b) noexcept {
  FileInfo i;
  i.device = b.dwVolumeSerialNumber;
  i.inode = (uint64_t{b.nFileIndexHigh} << 32) | b.nFileIndexLow;
  i.size = (uint64_t{b.nFileSizeHigh} << 32) | b.nFileSizeLow;
  i.links = b.nNumberOfLinks;
  const uint64_t ticks = (uint64_t{b.ftLastWriteTime.dwHighDateTime} << 32) | b.ftLastWriteTime.dwLowDateTime;
  i.mtime_sec = static_cast<int64_t>(ticks / 10000000);
  i.mtime_nsec = static_cast<int64_t>(ticks % 10000000 * 100);
  // A reparse point is a link here, whatever it points at.
  const uint32_t type = (b.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? kTypeLink
                        : (b.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? kTypeFolder
                                                                             : kTypeRegular;
  i.type_and_mode = type | ((b.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444u : 0644u);
  return i;
}

// The cluster size of the volume that holds an open file; 0 when the system does not tell.
uint32_t cluster_bytes(HANDLE h) noexcept {
  try {
    std::wstring name(32768, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), VOLUME_NAME_DOS);
    if (n == 0 || n >= name.size()) return 0;
    name.resize(n);
    std::wstring root(name.size() + 1, L'\0');
    if (!GetVolumePathNameW(name.c_str(), root.data(), static_cast<DWORD>(root.size()))) return 0;
    DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceW(root.c_str(), &sectors, &bytes, &free_clusters, &clusters)) return 0;
    return sectors * bytes;
  } catch (...) {
    return 0;
  }
}

bool extend_to(HANDLE h, uint64_t end) noexcept {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) return failed(false);
  if (static_cast<uint64_t>(size.QuadPart) >= end) return true;
  FILE_END_OF_FILE_INFO eof;
  eof.EndOfFile.QuadPart = static_cast<LONGLONG>(end);
  return SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof) || failed(false);
}

// Set for a trim in place; see ReadOpensShareWrites.
std::atomic<bool> g_read_opens_share_writes{false};

DWORD read_open_sharing() noexcept {
  return g_read_opens_share_writes.load() ? FILE_SHARE_WRITE : 0;
}

}  // namespace

Handle open_existing(const char* path, bool read_only) noexcept {
  const Handle h = open_wide(path, read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | (read_only ? read_open_sharing() : 0), OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL);
  // Win32 refuses a folder as "access denied": said as POSIX says it.
  FileInfo info;
  if (h == kNoHandle && errno == EACCES && path_info(path, true, info) &&
      (info.type_and_mode & kTypeMask) == kTypeFolder)
    errno = EISDIR;
  return h;
}

ReadOpensShareWrites::ReadOpensShareWrites(bool on) noexcept : on_(on) { g_read_opens_share_writes.store(on); }
ReadOpensShareWrites::~ReadOpensShareWrites() {
  if (on_) g_read_opens_share_writes.store(false);
}

// Our own read handles share writes (or this open fails as theirs would): only another process
// that may write makes it fail.
Handle open_to_punch(const char* path, bool& in_use) noexcept {
  const Handle h = open_wide(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  in_use = h == kNoHandle && errno == EBUSY;
  return h;
}

Handle create_new(const char* path) noexcept {
  const Handle h = open_wide(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == kNoHandle) return h;
  // Ranges the writers never write stay holes, as they do on Linux without asking.
  DWORD returned = 0;
  (void)DeviceIoControl(win(h), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  return h;
}

// Others may go on reading, and the swap may rename the file, but nobody may write it while it is
// held: an open of a file that a hypervisor writes fails, and tells us so. In place, the handle
// that punches does that instead.
Handle open_held(const char* path, bool& in_use) noexcept {
  const Handle h = open_wide(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE | read_open_sharing(),
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  in_use = h == kNoHandle && errno == EBUSY;
  return h;
}

Handle open_to_seal(const char* path) noexcept {
  // FlushFileBuffers wants a handle that may write.
  return open_wide(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

bool close(Handle h) noexcept { return CloseHandle(win(h)) || failed(false); }

int64_t read_at(Handle h, void* out, size_t length, uint64_t offset) noexcept {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (ReadFile(win(h), out, static_cast<DWORD>(std::min(length, kTransferStep)), &got, &at)) return got;
  if (GetLastError() == ERROR_HANDLE_EOF) return 0;
  return failed(int64_t{-1});
}

int64_t write_at(Handle h, const void* data, size_t length, uint64_t offset) noexcept {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD put = 0;
  if (WriteFile(win(h), data, static_cast<DWORD>(std::min(length, kTransferStep)), &put, &at)) return put;
  return failed(int64_t{-1});
}

bool end_offset(Handle h, uint64_t& out) noexcept {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(win(h), &size)) return failed(false);
  out = static_cast<uint64_t>(size.QuadPart);
  return true;
}

bool set_length(Handle h, uint64_t length) noexcept {
  FILE_END_OF_FILE_INFO eof;
  eof.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return SetFileInformationByHandle(win(h), FileEndOfFileInfo, &eof, sizeof eof) || failed(false);
}

bool sync(Handle h) noexcept { return FlushFileBuffers(win(h)) || failed(false); }

bool handle_info(Handle h, FileInfo& out) noexcept {
  // A pipe or a console is no file of a disk; what else it is does not matter here.
  if (const DWORD kind = GetFileType(win(h)); kind != FILE_TYPE_DISK) {
    if (kind == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return failed(false);
    out = FileInfo{};
    out.type_and_mode = kind == FILE_TYPE_PIPE ? kTypeFifo : kTypeCharDevice;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION b;
  if (!GetFileInformationByHandle(win(h), &b)) return failed(false);
  out = info_of(b);
  FILE_STANDARD_INFO standard;
  if (GetFileInformationByHandleEx(win(h), FileStandardInfo, &standard, sizeof standard))
    out.allocated = static_cast<uint64_t>(standard.AllocationSize.QuadPart);
  out.block_size = cluster_bytes(win(h));
  return true;
}

// The cache manager of Windows reads ahead and writes behind on its own.
bool preallocate(Handle, uint64_t, uint64_t) noexcept { return false; }

// A range given back must first be allowed to be a hole: the file is made sparse once.
bool punch_hole(Handle h, uint64_t offset, uint64_t length) noexcept {
  if (offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - offset) {
    errno = EINVAL;
    return false;
  }
  DWORD returned = 0;
  FILE_SET_SPARSE_BUFFER sparse{};
  sparse.SetSparse = TRUE;
  if (!DeviceIoControl(win(h), FSCTL_SET_SPARSE, &sparse, sizeof sparse, nullptr, 0, &returned, nullptr))
    return failed(false);
  FILE_ZERO_DATA_INFORMATION zero{};
  zero.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  zero.BeyondFinalZero.QuadPart = static_cast<LONGLONG>(offset + length);
  return DeviceIoControl(win(h), FSCTL_SET_ZERO_DATA, &zero, sizeof zero, nullptr, 0, &returned, nullptr) ||
         failed(false);
}
void advise_sequential(Handle) noexcept {}
void advise_will_need(Handle, uint64_t, uint64_t) noexcept {}
void start_writeback(Handle, uint64_t, uint64_t) noexcept {}
void settle_writeback(Handle, uint64_t, uint64_t) noexcept {}

// ReFS and Dev Drive share clusters between files of one volume.
uint64_t clone_block_size(Handle from, Handle to) noexcept {
  FileInfo a, b;
  DWORD flags = 0;
  if (!handle_info(from, a) || !handle_info(to, b) || a.device != b.device ||
      !GetVolumeInformationByHandleW(win(to), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
      !(flags & kSupportsBlockRefcounting))
    return 0;
  try {
    std::wstring path(32768, L'\0'), root(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(win(to), path.data(), static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= path.size()) return 0;
    path.resize(n);
    if (!GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) return 0;
    DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceW(root.c_str(), &sectors, &bytes, &free_clusters, &clusters)) return 0;
    return uint64_t{sectors} * bytes;
  } catch (...) {
    return 0;
  }
}

CopyResult clone_range(Handle from, uint64_t from_offset, Handle to, uint64_t to_offset,
                       uint64_t length) noexcept {
  // The target must already reach over the range that takes the clusters.
  if (!extend_to(win(to), to_offset + length)) return CopyResult::kFailed;
  for (uint64_t done = 0; done < length;) {
    const uint64_t step = std::min(length - done, kCloneStep);
    DuplicateExtentsData request{};
    request.file = win(from);
    request.source_offset.QuadPart = static_cast<LONGLONG>(from_offset + done);
    request.target_offset.QuadPart = static_cast<LONGLONG>(to_offset + done);
    request.byte_count.QuadPart = static_cast<LONGLONG>(step);
    DWORD returned = 0;
    if (!DeviceIoControl(win(to), kDuplicateExtentsToFile, &request, sizeof request, nullptr, 0, &returned,
                         nullptr)) {
      const DWORD error = GetLastError();
      errno = errno_of(error);
      // Only a refusal before anything was shared lets the caller copy instead.
      const bool refused = error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
                           error == ERROR_INVALID_PARAMETER;
      return refused && done == 0 ? CopyResult::kRefused : CopyResult::kFailed;
    }
    done += step;
  }
  return CopyResult::kDone;
}

// Windows copies in the kernel only whole files.
int64_t kernel_copy(Handle, uint64_t, Handle, uint64_t, size_t, bool& refused) noexcept {
  refused = true;
  errno = EOPNOTSUPP;
  return -1;
}

// The share modes of open_held keep writers off; of two holders (two trims), the second finds
// this byte locked. It lies far beyond any end of file, where no read ever meets the lock.
bool take_image_locks(Handle h) noexcept {
  OVERLAPPED at{};
  at.Offset = 0;
  at.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(win(h), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
  const DWORD error = GetLastError();
  // File systems without locks have nobody to hold them either.
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

int64_t read_next(Handle h, void* out, size_t length) noexcept {
  DWORD got = 0;
  if (ReadFile(win(h), out, static_cast<DWORD>(std::min(length, kTransferStep)), &got, nullptr)) return got;
  // A pipe whose writer closed ends like a file.
  if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) return 0;
  return failed(int64_t{-1});
}

Handle standard_input() noexcept {
  return reinterpret_cast<Handle>(GetStdHandle(STD_INPUT_HANDLE));
}

Handle open_memory_file(const char*, std::string&) noexcept {
  errno = ENOSYS;
  return kNoHandle;
}

bool path_info(const char* path, bool follow, FileInfo& out) noexcept {
  // Asking only for attributes conflicts with nobody's share mode.
  const Handle h = open_wide(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
  if (h == kNoHandle) return false;
  const bool ok = handle_info(h, out);
  CloseHandle(win(h));
  return ok;
}

bool rename(const char* from, const char* to) noexcept {
  std::wstring a, b;
  if (!long_path(from, a) || !long_path(to, b)) return false;
  return MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) || failed(false);
}

bool remove(const char* path) noexcept {
  std::wstring wide;
  return long_path(path, wide) && (DeleteFileW(wide.c_str()) || failed(false));
}

bool link(const char* from, const char* to, bool& unsupported) noexcept {
  unsupported = false;
  std::wstring a, b;
  if (!long_path(from, a) || !long_path(to, b)) return false;
  if (CreateHardLinkW(b.c_str(), a.c_str(), nullptr)) return true;
  const DWORD error = GetLastError();
  errno = errno_of(error);
  // FAT and exFAT, and shares that do not offer links.
  unsupported = error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
  return false;
}

// Renames are written through (MOVEFILE_WRITE_THROUGH), and a folder takes no flush without
// administrator rights: it only has to be there.
bool sync_folder(const char* folder) noexcept {
  FileInfo info;
  if (!path_info(folder, true, info)) return false;
  if ((info.type_and_mode & kTypeMask) == kTypeFolder) return true;
  errno = ENOTDIR;
  return false;
}

bool folder_free_bytes(const char* folder, uint64_t& out) noexcept {
  std::wstring wide;
  if (!long_path(folder, wide)) return false;
  try {
    if (wide.back() != L'\\') wide += L'\\';
  } catch (...) {
    return false;
  }
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return failed(false);
  out = available.QuadPart;
  return true;
}

// A new file takes the permissions of the folder it is made in, as the old one mostly did.
bool copy_owner(Handle, const FileInfo&) noexcept { return true; }

size_t last_separator(std::string_view path) noexcept { return path.find_last_of("/\\"); }

std::string_view folder_of(std::string_view path, size_t at) noexcept {
  if (at == std::string_view::npos) return ".";
  // "C:\x" lives in "C:\" (the root), not in "C:" (the current folder of drive C).
  if (at == 0 || path[at - 1] == ':') return path.substr(0, at + 1);
  return path.substr(0, at);
}

bool resolve_path(const char* path, std::string& out) {
  const Handle h = open_wide(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == kNoHandle) return false;
  std::wstring wide(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(win(h), wide.data(), static_cast<DWORD>(wide.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(win(h));
  // Where the system cannot name the file from its handle, the full path that opened it does.
  if (n == 0 || n >= wide.size()) {
    if (!long_path(path, wide)) return false;
  } else {
    wide.resize(n);
  }
  // Without the prefix, which long_path puts back, and with "/" between names: the names that
  // images store are resolved against it as on Linux, and Win32 takes "/" as "\".
  if (starts_with(wide, L"\\\\?\\UNC\\")) wide = L"\\\\" + wide.substr(8);
  else if (starts_with(wide, L"\\\\?\\")) wide = wide.substr(4);
  std::replace(wide.begin(), wide.end(), L'\\', L'/');
  return wide_to_utf8(wide, out);
}

bool output_is_terminal() noexcept { return _isatty(_fileno(stdout)) != 0; }

bool open_capture(TextCapture& capture) noexcept {
  capture = TextCapture{};
  wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"qx", 0, name) == 0) return false;
  const HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DeleteFileW(name);
    return false;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
  if (fd < 0) {
    CloseHandle(h);
    return false;
  }
  capture.stream = _fdopen(fd, "w+b");
  if (!capture.stream) _close(fd);
  return capture.stream != nullptr;
}

std::string close_capture(TextCapture& capture) {
  std::string text;
  if (!capture.stream) return text;
  std::rewind(capture.stream);
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, capture.stream)) > 0;) text.append(chunk, n);
  std::fclose(capture.stream);
  capture.stream = nullptr;
  return text;
}

std::vector<std::string> utf8_arguments(int argc, const char* const* argv) {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  try {
    for (int i = 0; i < n; ++i) {
      std::string a;
      if (!wide_to_utf8(wide[i], a)) a.clear();
      args.push_back(std::move(a));
    }
  } catch (...) {
    LocalFree(wide);
    throw;
  }
  LocalFree(wide);
  // What is printed is UTF-8 as well.
  SetConsoleOutputCP(CP_UTF8);
  return args;
}

namespace {
void (*g_note)(int) = nullptr;

BOOL WINAPI console_request(DWORD event) noexcept {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (g_note) g_note(SIGINT);
  return TRUE;
}
}  // namespace

void install_stop_handlers(void (*note)(int)) noexcept {
  g_note = note;
  SetConsoleCtrlHandler(console_request, TRUE);
}

void restore_stop_handlers() noexcept {
  SetConsoleCtrlHandler(console_request, FALSE);
  g_note = nullptr;
}

}  // namespace qx::platform
