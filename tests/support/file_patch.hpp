// In-place edits of test image files (patch or read a byte range without loading the whole file),
// and the fields of images built in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

void patch_file(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
void patch_byte(const std::string& path, uint64_t offset, uint8_t value);
std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, size_t length);
void patch_file_le16(const std::string& path, uint64_t offset, uint16_t value);
void patch_file_le32(const std::string& path, uint64_t offset, uint32_t value);
void patch_file_le64(const std::string& path, uint64_t offset, uint64_t value);

// Fields of an image being built in memory, `bytes` wide; out-of-range writes and reads throw.
void put_be(std::vector<uint8_t>& b, uint64_t at, uint64_t value, int bytes);
void put_le(std::vector<uint8_t>& b, uint64_t at, uint64_t value, int bytes);
uint64_t get_le(const std::vector<uint8_t>& b, uint64_t at, int bytes);
inline void put16(std::vector<uint8_t>& b, uint64_t at, uint16_t v) { put_le(b, at, v, 2); }
inline void put32(std::vector<uint8_t>& b, uint64_t at, uint32_t v) { put_le(b, at, v, 4); }
inline void put64(std::vector<uint8_t>& b, uint64_t at, uint64_t v) { put_le(b, at, v, 8); }
inline void put16_be(std::vector<uint8_t>& b, uint64_t at, uint16_t v) { put_be(b, at, v, 2); }
inline void put32_be(std::vector<uint8_t>& b, uint64_t at, uint32_t v) { put_be(b, at, v, 4); }
inline void put64_be(std::vector<uint8_t>& b, uint64_t at, uint64_t v) { put_be(b, at, v, 8); }
inline uint16_t get16(const std::vector<uint8_t>& b, uint64_t at) { return static_cast<uint16_t>(get_le(b, at, 2)); }
inline uint32_t get32(const std::vector<uint8_t>& b, uint64_t at) { return static_cast<uint32_t>(get_le(b, at, 4)); }
inline uint64_t get64(const std::vector<uint8_t>& b, uint64_t at) { return get_le(b, at, 8); }
// Little-endian fields at `p`, inside a buffer the caller sized.
void put32(uint8_t* p, uint32_t v);
void put64(uint8_t* p, uint64_t v);

constexpr uint64_t round_up(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

}  // namespace qx::test
