// Split raw images built in code: part files with their 104-byte headers, and description texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

struct SplitRawHeader {
  uint64_t data_offset = 0;
  uint64_t data_length = 0;
  uint32_t part_number = 0;
  uint32_t flags = 0;  // 1 last part, 2 compressed
  uint64_t link = 0;
  uint64_t previous_link = 0;
  uint32_t total_sectors = 0;
  uint32_t heads = 16;
  uint32_t sectors_per_track = 63;
  uint32_t bytes_per_sector = 512;
  uint16_t version = 2;
};

// The 104 header bytes with a valid CRC.
std::vector<uint8_t> split_raw_header(const SplitRawHeader& h);
// Recomputes the CRC after a test changed the bytes.
void reseal_split_raw_header(std::vector<uint8_t>& header);

// Cuts `disk` (whole sectors) into part files at `paths`, part i holding sizes[i] bytes, with a
// consistent chain of headers; returns the headers written so that tests can alter one.
std::vector<SplitRawHeader> write_split_raw_parts(const std::vector<std::string>& paths,
                                                  const std::vector<uint8_t>& disk,
                                                  const std::vector<uint64_t>& sizes);
// Writes one part file from a header and its data.
void write_split_raw_part(const std::string& path, const SplitRawHeader& h,
                          const std::vector<uint8_t>& data);

}  // namespace qx::test
