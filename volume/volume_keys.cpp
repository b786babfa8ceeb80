#include "volume/volume_keys.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qx {

void wipe_bytes(void* data, size_t length) noexcept {
  if (!data || !length) return;
  std::memset(data, 0, length);
  // The memory is taken as read after the store, so that the store stays.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

Secret::Secret(size_t capacity) : bytes_(new uint8_t[capacity ? capacity : 1]), capacity_(capacity) {}

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    clear();
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.size_ = other.capacity_ = 0;
  }
  return *this;
}

void Secret::resize(size_t length) noexcept {
  length = std::min(length, capacity_);
  if (length < size_) wipe_bytes(bytes_.get() + length, size_ - length);
  size_ = length;
}

void Secret::clear() noexcept {
  if (bytes_) wipe_bytes(bytes_.get(), capacity_);
  size_ = 0;
}

namespace {

bool is_uuid(std::string_view s) noexcept {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool is_number(std::string_view s) noexcept {
  return !s.empty() && s.size() <= 4 && s[0] != '0' &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool is_volume_selector(std::string_view text) noexcept { return is_number(text) || is_uuid(text); }

bool key_selects(std::string_view selector, uint32_t partition_number, std::string_view uuid) noexcept {
  if (is_number(selector)) {
    uint32_t n = 0;
    for (const char c : selector) n = n * 10 + static_cast<uint32_t>(c - '0');
    return partition_number != 0 && n == partition_number;
  }
  return is_uuid(selector) && selector.size() == uuid.size() &&
         std::equal(selector.begin(), selector.end(), uuid.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace qx
