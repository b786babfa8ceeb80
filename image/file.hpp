// Files with 64-bit offsets and all-or-nothing reads and writes, plus exists/rename/remove.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace qx {

// Longest path (in bytes, without terminator) that the file functions accept; names are built in
// buffers of this size plus one.
inline constexpr size_t kMaxPathBytes = 4095;

class File {
 public:
  File() noexcept = default;
  ~File() { close(); }
  File(File&& other) noexcept : stream_(other.stream_) { other.stream_ = nullptr; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Mode "rb" when read-only, "r+b" otherwise.
  [[nodiscard]] static File open_existing(std::string_view path, bool read_only) noexcept;
  // Mode "w+b": creates or truncates.
  [[nodiscard]] static File create(std::string_view path) noexcept;

  bool is_open() const noexcept { return stream_ != nullptr; }
  explicit operator bool() const noexcept { return is_open(); }

  // Closes the stream; false when the final flush failed (data may not have reached the file).
  bool close() noexcept;
  [[nodiscard]] bool length(uint64_t& out) noexcept;
  // Succeed only when exactly the whole span was transferred.
  [[nodiscard]] bool read_at(uint64_t offset, std::span<uint8_t> out) noexcept;
  [[nodiscard]] bool write_at(uint64_t offset, std::span<const uint8_t> data) noexcept;
  [[nodiscard]] bool flush() noexcept;
  // Flushes and asks the system to start writing [offset, offset + length) to the disk now, so
  // that a later sync finds less to wait for. Only a hint: false when the flush fails.
  [[nodiscard]] bool start_writeback(uint64_t offset, uint64_t length) noexcept;
  // Flushes and asks the system to put the data on the disk before a rename relies on it.
  [[nodiscard]] bool sync() noexcept;

 private:
  explicit File(std::FILE* stream) noexcept : stream_(stream) {}
  std::FILE* stream_ = nullptr;
};

[[nodiscard]] bool file_exists(std::string_view path) noexcept;
[[nodiscard]] bool file_rename(std::string_view from, std::string_view to) noexcept;
[[nodiscard]] bool file_remove(std::string_view path) noexcept;

}  // namespace qx
