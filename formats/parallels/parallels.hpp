// The Parallels expanding image on its own (format 15): its reader and its trimming writer.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kParallelsDriver;

// What open worked out about the file; for the inspection tool and tests.
struct ParallelsLayout {
  bool cluster_entries = false;  // the current signature
  uint32_t cluster_sectors = 0;
  uint32_t table_entries = 0;
  uint64_t data_start = 0;       // bytes
  bool in_use = false;
};
// False when the handle is not an opened format 15 image.
bool parallels_layout(const DiskImage& image, ParallelsLayout& out) noexcept;

}  // namespace qx
