#include "support/file_patch.hpp"

#include <fstream>
#include <stdexcept>

namespace qx::test {

void patch_file(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f) throw std::runtime_error("cannot open " + path);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void patch_byte(const std::string& path, uint64_t offset, uint8_t value) {
  patch_file(path, offset, {value});
}

std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, size_t length) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> out(length);
  f.seekg(static_cast<std::streamoff>(offset));
  f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
  if (!f) throw std::runtime_error("cannot read " + path);
  return out;
}

namespace {
template <typename T>
void patch_le(const std::string& path, uint64_t offset, T value) {
  std::vector<uint8_t> b(sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  patch_file(path, offset, b);
}
}  // namespace

void patch_file_le16(const std::string& path, uint64_t offset, uint16_t value) { patch_le(path, offset, value); }
void patch_file_le32(const std::string& path, uint64_t offset, uint32_t value) { patch_le(path, offset, value); }
void patch_file_le64(const std::string& path, uint64_t offset, uint64_t value) { patch_le(path, offset, value); }

void put_be(std::vector<uint8_t>& b, uint64_t at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    b.at(at + static_cast<uint64_t>(i)) = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

void put_le(std::vector<uint8_t>& b, uint64_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    b.at(at + static_cast<uint64_t>(i)) = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

uint64_t get_le(const std::vector<uint8_t>& b, uint64_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<uint64_t>(i));
  return v;
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace qx::test
