// qemu-img and the shell as the tests' oracles: commands that must succeed, qemu-img check's
// verdict, and the guest's disk of an image as qemu-img reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace qx::test {

// Runs a shell command with standard error merged; a failure fails the test with the output.
void sh(const std::string& command);
// `qemu-img check` of an image: quiet or not, the format named or probed (empty), output merged.
CommandResult qemu_check(const std::string& image, const std::string& format = {}, bool quiet = false);
// QEMU finds no corruption: the image is clean, or leaks clusters at most (status 3) when allowed.
bool qemu_check_passes(const CommandResult& check, bool leaks_allowed);
// The guest's disk of an image, converted by qemu-img into `raw` (replaced) and read back.
std::vector<uint8_t> qemu_guest_disk(const std::string& image, const std::string& raw);

}  // namespace qx::test
