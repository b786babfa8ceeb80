// What the end-to-end tests of every image format check: the command line's run, qemu-img's
// conversions, and the used sectors of a disk compared before and after a trim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace qx::test {

// quorvex with the arguments given (already quoted), standard error merged.
CommandResult run_quorvex(const std::string& args);
// qemu-img convert with options; fails the test when it does not exit with 0.
void qemu_convert(const std::string& from, const std::string& to, const std::string& options);

bool ends_with(const std::string& s, const std::string& tail);
size_t count_of(const std::string& s, const std::string& needle);

// The whole virtual disk of an image, read through its driver.
std::vector<uint8_t> read_image_disk(const std::string& path);

// The map of an image as the command line builds it: which sectors hold used data.
struct UsedSectors {
  uint32_t total = 0;
  uint32_t recognised = 0;
  size_t volumes = 0;  // partitions and file systems, gaps left out
  std::vector<uint8_t> bits;
  bool used(uint64_t s) const;
};
UsedSectors used_sectors(const std::string& path);

// First used sector whose content differs, or -1.
int64_t first_used_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                              const UsedSectors& used);

// The same for two raw disk files of any size, read a piece at a time.
int64_t first_used_difference_in_files(const std::string& a, const std::string& b,
                                       const UsedSectors& used);

}  // namespace qx::test
