// Map-level checks for allocation readers: a volume file put into a disk file as an MBR
// partition, and the used-sector map that the whole pipeline builds over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/error.hpp"
#include "support/fs_support.hpp"

namespace qx::test {

// A fresh dirty disk file holding `volume` as its only MBR partition of type `type` at sector
// `start`, with `tail` sectors behind it. Returns the disk's sector count.
uint32_t make_mbr_disk(const std::string& disk, const std::string& volume, uint32_t start,
                       uint8_t type, uint32_t tail);

struct DiskMapRegion {
  uint32_t start = 0;
  uint32_t length = 0;
  int32_t kind = 0;
  std::string reason_key;  // why the region is kept whole, if it is
};
struct DiskMap {
  ErrorCode error = ERR_UNSUPPORTED;
  std::vector<DiskMapRegion> regions;
  std::vector<uint8_t> used;  // bit i for disk sector i, 1 = used
  bool sector_used(uint64_t s) const { return (used[s / 8] >> (s % 8)) & 1; }
};
// Opens the file as a flat disk, builds the map and queries every sector.
DiskMap map_disk_file(const std::string& disk);

// Puts the volume into a partition of type `type` on a fresh disk file and checks that the map
// keeps that partition, and the whole disk, as used: an unrecognised volume between two gaps.
// Puts the volume into a partition of type `type` at sector 2048 of a fresh disk file and checks
// that the map recognises it as `kind` and answers exactly as the reader did over the volume
// alone, with the gaps around it used.
void expect_partition_answers_alone(const std::string& disk, const std::string& volume,
                                    uint8_t type, int32_t kind, const ReaderResult& alone);

// The partition must also say why it is kept whole (with `key`, when given).
void expect_kept_whole(const std::string& disk, const std::string& volume, uint8_t type,
                       const char* key = nullptr);

}  // namespace qx::test
