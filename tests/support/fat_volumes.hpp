// Real FAT volumes for reader tests: mkfs.vfat over dirty space, files and folders added and
// deleted with mtools, and the boot sector's own account of where the data area lies.
#pragma once

#include <cstdint>
#include <string>

#include "support/test_support.hpp"

namespace qx::test {

bool have_fat_tools();
// Dirty file of `mib` MiB formatted by mkfs.vfat with the given options (e.g. "-F 16 -s 2").
bool make_fat_volume(const std::string& image, uint32_t mib, const std::string& mkfs_options);
// Adds files of many sizes and folders (one spanning several clusters), deletes some, and adds
// one more into the freed space. Sizes follow the volume's size.
bool fill_fat_volume(const TempDir& dir, const std::string& image, uint32_t seed);

struct FatBootGeometry {
  uint32_t bytes_per_sector = 0;
  uint32_t fat_count = 0;
  uint64_t fat_offset = 0;         // bytes
  uint64_t fat_bytes = 0;          // one copy
  uint64_t cluster_count = 0;
  uint64_t data_first_sector = 0;  // 512-byte sectors
  uint64_t data_end_sector = 0;    // behind the last whole cluster
};
FatBootGeometry fat_boot_geometry(const std::string& image);

}  // namespace qx::test
