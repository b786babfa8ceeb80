// Bounded text buffers over caller storage: appends either fit whole or change nothing.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "text/encoding.hpp"
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
  // Appends the first n bytes of v.
  [[nodiscard]] bool append_bytes(TextView v, uint32_t n) noexcept {
    if (n > v.size()) return false;
    return append(v.substr(0, n));
  }
  // Appends a text that ends in the encoding's NUL (the NUL is not copied).
  [[nodiscard]] bool append_terminated(const char* text, TextEncoding enc) noexcept {
    return append(view_of_terminated(text, enc));
  }
  // Inserts v at byte position pos (at most the length); the content behind moves up.
  [[nodiscard]] bool insert(uint32_t pos, TextView v) noexcept {
    if (pos > length_ || v.size() > free_space()) return false;
    if (v.empty()) return true;
    const auto n = static_cast<uint32_t>(v.size());
    // v may lie inside this buffer: copy it out of the way of the move first when it does.
    const char* src = v.data();
    const auto at = reinterpret_cast<std::uintptr_t>(src);
    const auto base = reinterpret_cast<std::uintptr_t>(data_);
    const bool inside = at >= base && at < base + capacity_;
    if (inside) {
      std::memmove(data_ + pos + n, data_ + pos, length_ - pos);
      // Bytes at or behind pos moved up by n.
      if (src >= data_ + pos) src += n;
      else if (src + n > data_ + pos) {
        // v straddles pos: its head stays, its tail moved up.
        const uint32_t head = static_cast<uint32_t>(data_ + pos - src);
        std::memmove(data_ + pos, src, head);
        std::memmove(data_ + pos + head, data_ + pos + n, n - head);
        length_ += n;
        return true;
      }
      std::memmove(data_ + pos, src, n);
    } else {
      std::memmove(data_ + pos + n, data_ + pos, length_ - pos);
      std::memcpy(data_ + pos, src, n);
    }
    length_ += n;
    return true;
  }
  // Fills the free tail with one byte value; the content then covers the whole storage
  // (used to pad fixed-size fields).
  void fill_tail(char value) noexcept {
    if (free_space() != 0) std::memset(data_ + length_, value, free_space());
    length_ = capacity_;
  }
  // Appends one ASCII character as a single code unit of the encoding.
  [[nodiscard]] bool append_ascii(char c, TextEncoding enc) noexcept {
    const EncodingOps& ops = encoding_ops(enc);
    if (static_cast<unsigned char>(c) >= 0x80 || ops.unit > free_space()) return false;
    ops.write_unit(data_ + length_, static_cast<unsigned char>(c));
    length_ += ops.unit;
    return true;
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
