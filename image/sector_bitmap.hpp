// Sector bitmaps: bit i in byte i / 8 under mask 1 << (i % 8), 1 = used.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

namespace qx {

inline constexpr uint32_t bitmap_bytes(uint64_t bits) noexcept {
  return static_cast<uint32_t>((bits + 7) / 8);
}

inline bool test_bit(std::span<const uint8_t> bitmap, uint64_t i) noexcept {
  return (bitmap[i / 8] >> (i % 8)) & 1u;
}

inline void put_bit(std::span<uint8_t> bitmap, uint64_t i, bool value) noexcept {
  const uint8_t mask = static_cast<uint8_t>(1u << (i % 8));
  if (value) bitmap[i / 8] |= mask;
  else bitmap[i / 8] &= static_cast<uint8_t>(~mask);
}

// Sets or clears bits [from, from + n), a byte at a time where it can.
inline void put_bits(std::span<uint8_t> bitmap, uint64_t from, uint64_t n, bool value) noexcept {
  while (n && from % 8) {
    put_bit(bitmap, from++, value);
    --n;
  }
  if (n >= 8) {
    std::memset(bitmap.data() + from / 8, value ? 0xFF : 0x00, n / 8);
    from += n / 8 * 8;
    n %= 8;
  }
  while (n--) put_bit(bitmap, from++, value);
}

}  // namespace qx
