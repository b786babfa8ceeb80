// Checks of what a trim kept that go beyond one raw disk in memory: the virtual disk read through
// the image's own driver, and raw disks of gigabytes compared on their used sectors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/trim_run.hpp"

namespace qx::test {

// The whole virtual disk of an image, read through its driver.
std::vector<uint8_t> read_image_disk(const std::string& path);

// First used sector whose content differs between two raw disk files of any size, read a piece at
// a time (holes in both are skipped), or -1.
int64_t first_used_difference_in_files(const std::string& a, const std::string& b,
                                       const UsedSectors& used);

}  // namespace qx::test
