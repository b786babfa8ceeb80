// Helpers for allocation-reader tests: dirty volume files, the Sleuth Kit oracle, and the map of
// one reader over a whole volume file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/error.hpp"

namespace qx::test {

// Creates a file of `size` bytes filled with a non-zero pattern, so that free space is dirty.
void make_dirty_file(const std::string& path, uint64_t size, uint8_t seed = 0x5C);

// What `blkls -l -e` says of every unit: 'a' allocated or 'f' free, indexed by unit address.
struct OracleAllocation {
  std::string unit;            // TSK's unit name ("Sector", "Cluster", "Block")
  std::vector<char> state;     // empty when the tool failed
};
// fs_type is passed as -f when not empty; offset_sectors as -o.
OracleAllocation run_blkls(const std::string& path, const std::string& fs_type = "",
                           uint64_t offset_sectors = 0);

// Probes the reader of `kind` over the whole file (a flat image of size / 512 sectors) and, on
// success, returns the used bitmap of every sector (bit i for sector i, 1 = used).
struct ReaderResult {
  ErrorCode probe = ERR_UNSUPPORTED;
  ErrorCode mark = ERR_UNSUPPORTED;
  uint32_t sectors = 0;
  std::vector<uint8_t> bitmap;
  bool used(uint64_t sector) const { return (bitmap[sector / 8] >> (sector % 8)) & 1; }
};
ReaderResult map_volume_file(const std::string& path, int32_t kind);

}  // namespace qx::test
