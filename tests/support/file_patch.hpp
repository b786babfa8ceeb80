// In-place edits of test image files: patch or read a byte range without loading the whole file.
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

// Fields of an image being built in memory, `bytes` wide; out-of-range writes throw.
void put_be(std::vector<uint8_t>& b, uint64_t at, uint64_t value, int bytes);
void put_le(std::vector<uint8_t>& b, uint64_t at, uint64_t value, int bytes);

}  // namespace qx::test
