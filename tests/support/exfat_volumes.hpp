// Real exFAT volumes for reader tests: mkfs.exfat over dirty space, filled through ExfatEditor
// (no mount needed), and fsck.exfat's verdict on the result.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/exfat_builder.hpp"

namespace qx::test {

bool have_exfat_tools();
// Dirty file of `mib` MiB formatted by mkfs.exfat with the given options (e.g. "-c 512").
bool make_exfat_volume(const std::string& image, uint32_t mib, const std::string& mkfs_options);

struct ExfatContents {
  std::map<std::string, std::vector<uint32_t>> kept;  // live files and their clusters
  std::vector<uint32_t> deleted_clusters;             // clusters of files deleted since
};
// Adds contiguous and fragmented files of many sizes (enough to grow the root directory past
// its first cluster), deletes every third, then adds a few more into the freed space.
ExfatContents fill_exfat_volume(ExfatEditor& editor, uint32_t seed);
// fsck.exfat -n finds nothing to repair (true when the tool is missing).
bool exfat_volume_is_clean(const std::string& image);

}  // namespace qx::test
