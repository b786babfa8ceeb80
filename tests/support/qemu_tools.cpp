#include "support/qemu_tools.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/trim_run.hpp"

namespace qx::test {

void sh(const std::string& command) {
  const auto r = run_command(command + " 2>&1");
  ASSERT_EQ(r.status, 0) << command << "\n" << r.output;
}

CommandResult qemu_check(const std::string& image, const std::string& format, bool quiet) {
  return run_command(std::string("qemu-img check ") + (quiet ? "-q " : "") + (format.empty() ? "" : "-f " + format + " ") +
                     shell_quote(image) + " 2>&1");
}

bool qemu_check_passes(const CommandResult& check, bool leaks_allowed) {
  return check.status == 0 || (leaks_allowed && check.status == 3);
}

std::vector<uint8_t> qemu_guest_disk(const std::string& image, const std::string& raw) {
  std::filesystem::remove(raw);
  qemu_convert(image, raw, "-O raw");
  return read_file(raw);
}

}  // namespace qx::test
