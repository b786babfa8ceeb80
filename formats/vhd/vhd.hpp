// VHD (format 10): dynamic and differencing images, their reader and their trimming writer.
#pragma once

#include <cstdint>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVhdDriver;

// What open worked out about the file's layout; for the inspection tool and tests.
struct VhdLayout {
  uint32_t footer_length = 0;     // 511 or 512
  uint32_t block_sectors = 0;
  uint32_t bitmap_bytes = 0;      // per block, a whole number of sectors
  uint32_t table_entries = 0;     // blocks of the virtual disk
  uint32_t max_table_entries = 0;
  uint64_t lowest_entry = 0;      // first block's sector, or the footer's when none is allocated
  uint64_t metadata_end = 0;      // first sector after the BAT (and the parent locators)
  uint32_t alignment_mode = 0;
  uint32_t gap_sectors = 0;
  uint32_t padding_sectors = 0;
  bool differencing = false;
};
// False when the handle is not an opened VHD.
bool vhd_layout(const DiskImage& image, VhdLayout& out) noexcept;

}  // namespace qx
