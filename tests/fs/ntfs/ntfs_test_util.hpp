// Shared pieces of the NTFS reader tests: byte patches and the expected answer of a bitmap.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "support/fs_support.hpp"

namespace qx::test {

inline void patch_file(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << path;
}

inline std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, size_t n) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> out(n);
  f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
  return f.gcount() == static_cast<std::streamsize>(n) ? out : std::vector<uint8_t>{};
}

inline void patch_le(const std::string& path, uint64_t offset, uint64_t value, size_t bytes) {
  std::vector<uint8_t> b(bytes);
  for (size_t i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  patch_file(path, offset, b);
}

// A sector is used when its cluster lies beyond `described` clusters or its bit is set.
inline void expect_follows_bitmap(const ReaderResult& r, uint32_t sectors_per_cluster,
                                  uint64_t described, const std::vector<uint8_t>& bitmap) {
  ASSERT_EQ(r.probe, OK);
  ASSERT_EQ(r.mark, OK);
  uint64_t wrong = 0, first_wrong = 0;
  for (uint64_t s = 0; s < r.sectors; ++s) {
    const uint64_t c = s / sectors_per_cluster;
    const bool expected = c >= described || c / 8 >= bitmap.size() || ((bitmap[c / 8] >> (c % 8)) & 1);
    if (r.used(s) != expected && wrong++ == 0) first_wrong = s;
  }
  EXPECT_EQ(wrong, 0u) << "first wrong sector " << first_wrong;
}

}  // namespace qx::test
