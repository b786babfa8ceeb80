// One byte-order mechanism for the whole tree: endian-typed fields for on-disk structures and
// bounds-checked loads for fields taken out of raw buffers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace qx {

static_assert(std::endian::native == std::endian::little, "the host must be little-endian");

constexpr uint16_t swap16(uint16_t v) noexcept { return __builtin_bswap16(v); }
constexpr uint32_t swap32(uint32_t v) noexcept { return __builtin_bswap32(v); }
constexpr uint64_t swap64(uint64_t v) noexcept { return __builtin_bswap64(v); }

template <typename T>
constexpr T byte_swap(T v) noexcept {
  static_assert(std::is_unsigned_v<T>);
  if constexpr (sizeof(T) == 1) return v;
  else if constexpr (sizeof(T) == 2) return swap16(v);
  else if constexpr (sizeof(T) == 4) return swap32(v);
  else return swap64(v);
}

template <typename T>
inline T load_le(const uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
inline T load_be(const uint8_t* p) noexcept {
  return byte_swap(load_le<T>(p));
}
template <typename T>
inline void store_le(uint8_t* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}
template <typename T>
inline void store_be(uint8_t* p, T v) noexcept {
  store_le<T>(p, byte_swap(v));
}

inline uint16_t le16(const uint8_t* p) noexcept { return load_le<uint16_t>(p); }
inline uint32_t le32(const uint8_t* p) noexcept { return load_le<uint32_t>(p); }
inline uint64_t le64(const uint8_t* p) noexcept { return load_le<uint64_t>(p); }
inline uint16_t be16(const uint8_t* p) noexcept { return load_be<uint16_t>(p); }
inline uint32_t be32(const uint8_t* p) noexcept { return load_be<uint32_t>(p); }
inline uint64_t be64(const uint8_t* p) noexcept { return load_be<uint64_t>(p); }

// Bounds-checked field access: false when the field does not lie wholly inside the buffer.
template <typename T>
[[nodiscard]] inline bool read_le(std::span<const uint8_t> buf, size_t offset, T& out) noexcept {
  if (offset > buf.size() || buf.size() - offset < sizeof(T)) return false;
  out = load_le<T>(buf.data() + offset);
  return true;
}
template <typename T>
[[nodiscard]] inline bool read_be(std::span<const uint8_t> buf, size_t offset, T& out) noexcept {
  if (offset > buf.size() || buf.size() - offset < sizeof(T)) return false;
  out = load_be<T>(buf.data() + offset);
  return true;
}

// A field of an on-disk structure stored in a fixed byte order; alignment 1, so structures built of
// these need no packing pragmas and their size can be asserted.
template <typename T, std::endian E>
struct EndianField {
  uint8_t bytes[sizeof(T)];

  T get() const noexcept {
    return E == std::endian::little ? load_le<T>(bytes) : load_be<T>(bytes);
  }
  void set(T v) noexcept {
    if constexpr (E == std::endian::little) store_le<T>(bytes, v);
    else store_be<T>(bytes, v);
  }
  operator T() const noexcept { return get(); }
  EndianField& operator=(T v) noexcept {
    set(v);
    return *this;
  }
};

using le16_t = EndianField<uint16_t, std::endian::little>;
using le32_t = EndianField<uint32_t, std::endian::little>;
using le64_t = EndianField<uint64_t, std::endian::little>;
using be16_t = EndianField<uint16_t, std::endian::big>;
using be32_t = EndianField<uint32_t, std::endian::big>;
using be64_t = EndianField<uint64_t, std::endian::big>;

static_assert(sizeof(le64_t) == 8 && alignof(be32_t) == 1);

// The bytes of an on-disk structure, to read into or write out whole.
template <typename S>
std::span<const uint8_t> bytes_of(const S& s) noexcept {
  static_assert(std::is_trivially_copyable_v<S>);
  return {reinterpret_cast<const uint8_t*>(&s), sizeof(S)};
}
template <typename S>
std::span<uint8_t> bytes_of(S& s) noexcept {
  static_assert(std::is_trivially_copyable_v<S>);
  return {reinterpret_cast<uint8_t*>(&s), sizeof(S)};
}

// Copies a structure of endian fields out of a buffer; false when the buffer is too short.
template <typename S>
[[nodiscard]] inline bool read_struct(std::span<const uint8_t> buf, size_t offset, S& out) noexcept {
  static_assert(std::is_trivially_copyable_v<S>);
  if (offset > buf.size() || buf.size() - offset < sizeof(S)) return false;
  std::memcpy(&out, buf.data() + offset, sizeof(S));
  return true;
}

}  // namespace qx
