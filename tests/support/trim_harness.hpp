// What writers' tests share: maps that call chosen sectors used, a progress log that can cancel,
// and one trim run through the format's own table entry, committed or discarded as the command
// line does.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image/error.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {

// Every sector used.
UsageMap whole_disk_map(uint32_t total);
// Sector i used when bit i of `used` is set (bitmap layout of the map, sectors beyond it free).
UsageMap bitmap_map(uint32_t total, std::vector<uint8_t> used);

struct ProgressLog {
  std::vector<std::pair<uint32_t, uint32_t>> calls;
  size_t cancel_at = SIZE_MAX;  // answer false on this call (0 = the first)
};
bool log_progress(uint32_t done, uint32_t total, void* user);

struct Trimmed {
  ErrorCode rc = ERR_UNSUPPORTED;
  bool temp_created = false;
  uint64_t temp_size = 0;
};
// Opens by detection, trims with the map (whole disk when null), then commits keeping the
// backup, or discards.
Trimmed trim_image(const std::string& path, const UsageMap* map = nullptr, ProgressLog* log = nullptr);

}  // namespace qx::test
