// Bounded text buffers over caller storage: appends either fit whole or change nothing.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "text/text_view.hpp"

namespace qx {

// Bytes of the NUL character in an encoding: 1, 2 or 4.
constexpr uint32_t nul_size(TextEncoding enc) noexcept {
  switch (enc) {
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be: return 2;
    case TextEncoding::Utf32Le:
    case TextEncoding::Utf32Be: return 4;
    default: return 1;
  }
}

class PathString {
 public:
  PathString(char* data, uint32_t capacity) noexcept : data_(data), capacity_(capacity) {}
  explicit PathString(std::span<char> storage) noexcept
      : data_(storage.data()), capacity_(static_cast<uint32_t>(storage.size())) {}
  PathString(const PathString&) = delete;
  PathString& operator=(const PathString&) = delete;

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  uint32_t length() const noexcept { return length_; }
  uint32_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return length_ == 0; }
  TextView view() const noexcept { return TextView(data_, length_); }
  uint32_t free_space() const noexcept { return capacity_ - length_; }

  void clear() noexcept { length_ = 0; }
  // Shortens (never lengthens) the content.
  void truncate(uint32_t length) noexcept {
    if (length < length_) length_ = length;
  }

  [[nodiscard]] bool append(TextView v) noexcept {
    if (v.size() > free_space()) return false;
    if (!v.empty()) std::memmove(data_ + length_, v.data(), v.size());
    length_ += static_cast<uint32_t>(v.size());
    return true;
  }
  [[nodiscard]] bool assign(TextView v) noexcept {
    if (v.size() > capacity_) return false;
    length_ = 0;
    return append(v);
  }
  [[nodiscard]] bool append(TextView a, TextView b) noexcept {
    if (a.size() > free_space() || b.size() > free_space() - a.size()) return false;
    return append(a) && append(b);
  }
  [[nodiscard]] bool assign(TextView a, TextView b) noexcept {
    if (a.size() > capacity_ || b.size() > capacity_ - a.size()) return false;
    length_ = 0;
    return append(a, b);
  }
  // Writes the encoding's NUL just past the content without counting it.
  [[nodiscard]] bool append_terminator(TextEncoding enc = TextEncoding::Utf8) noexcept {
    const uint32_t n = nul_size(enc);
    if (n > free_space()) return false;
    std::memset(data_ + length_, 0, n);
    return true;
  }
  // Valid only after append_terminator succeeded for a narrow encoding.
  const char* c_str() const noexcept { return data_; }

  // A buffer over the free tail; fold_tail adds what was written there to this buffer's length.
  PathString tail() noexcept { return PathString(data_ + length_, free_space()); }
  void fold_tail(const PathString& tail) noexcept { length_ += tail.length(); }

 protected:
  void rebind(char* data) noexcept { data_ = data; }

 private:
  char* data_;
  uint32_t length_ = 0;
  uint32_t capacity_;
};

// A PathString with its own storage (4096 bytes for file names).
template <uint32_t N = 4096>
class PathBuffer : public PathString {
 public:
  PathBuffer() noexcept : PathString(nullptr, N) { rebind(storage_.data()); }
  PathBuffer(const PathBuffer& other) noexcept : PathBuffer() { (void)assign(other.view()); }
  PathBuffer& operator=(const PathBuffer& other) noexcept {
    if (this != &other) (void)assign(other.view());
    return *this;
  }

 private:
  std::array<char, N> storage_;
};

}  // namespace qx
