// Raw disks of gigabytes compared on their used sectors, a piece at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/trim_run.hpp"

namespace qx::test {

// First used sector whose content differs between two raw disk files of any size, read a piece at
// a time (holes in both are skipped), or -1.
int64_t first_used_difference_in_files(const std::string& a, const std::string& b,
                                       const UsedSectors& used);

}  // namespace qx::test
