#include "support/split_raw_builder.hpp"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "support/test_support.hpp"

namespace qx::test {
namespace {

template <typename T>
void put(std::vector<uint8_t>& b, size_t off, T v) {
  std::memcpy(b.data() + off, &v, sizeof v);
}

}  // namespace

std::vector<uint8_t> split_raw_header(const SplitRawHeader& h) {
  std::vector<uint8_t> b(104, 0);
  put<uint16_t>(b, 0, 0xAA55);
  put<uint16_t>(b, 2, h.version);
  put<uint64_t>(b, 8, h.data_offset);
  put<uint64_t>(b, 16, h.data_length);
  put<uint32_t>(b, 24, h.part_number);
  put<uint32_t>(b, 28, h.flags);
  put<uint64_t>(b, 32, h.link);
  put<uint64_t>(b, 40, h.previous_link);
  put<uint32_t>(b, 48, h.total_sectors);
  put<uint32_t>(b, 52, h.heads);
  put<uint32_t>(b, 56, h.sectors_per_track);
  put<uint32_t>(b, 60, h.bytes_per_sector);
  put<uint16_t>(b, 102, 0xAA55);
  reseal_split_raw_header(b);
  return b;
}

void reseal_split_raw_header(std::vector<uint8_t>& b) {
  put<uint32_t>(b, 4, 0);
  put<uint32_t>(b, 4, static_cast<uint32_t>(::crc32(0, b.data(), static_cast<uInt>(b.size()))));
}

void write_split_raw_part(const std::string& path, const SplitRawHeader& h,
                          const std::vector<uint8_t>& data) {
  std::vector<uint8_t> file = split_raw_header(h);
  file.insert(file.end(), data.begin(), data.end());
  write_file(path, file);
}

std::vector<SplitRawHeader> write_split_raw_parts(const std::vector<std::string>& paths,
                                                  const std::vector<uint8_t>& disk,
                                                  const std::vector<uint64_t>& sizes) {
  if (paths.size() != sizes.size() || disk.size() % 512) throw std::invalid_argument("parts");
  std::vector<SplitRawHeader> headers;
  uint64_t offset = 0, link = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    SplitRawHeader h;
    h.data_offset = offset;
    h.data_length = sizes[i];
    h.part_number = static_cast<uint32_t>(i);
    h.flags = i + 1 == paths.size() ? 1 : 0;
    h.previous_link = link;
    h.link = 0x1234567800000000ull + i * 977 + 1;
    h.total_sectors = static_cast<uint32_t>(disk.size() / 512);
    const auto from = disk.begin() + static_cast<long>(std::min<uint64_t>(offset, disk.size()));
    const auto to = disk.begin() + static_cast<long>(std::min<uint64_t>(offset + sizes[i], disk.size()));
    write_split_raw_part(paths[i], h, std::vector<uint8_t>(from, to));
    headers.push_back(h);
    offset += sizes[i];
    link = h.link;
  }
  return headers;
}

}  // namespace qx::test
