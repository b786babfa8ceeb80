#include "support/swap_tools.hpp"

#include "support/fs_support.hpp"
#include "support/test_support.hpp"

namespace qx::test {

bool have_swap_tools() { return have_tool("mkswap") && have_tool("swaplabel"); }

bool make_swap_area(const std::string& path, uint64_t bytes, uint32_t page_size,
                    uint64_t area_bytes) {
  make_dirty_file(path, bytes, 0x77);
  std::string cmd = "mkswap -f -L qxswap -p " + std::to_string(page_size) + " " + shell_quote(path);
  if (area_bytes) cmd += " " + std::to_string(area_bytes / 1024);
  return run_command(cmd + " >/dev/null 2>&1").status == 0;
}

bool swap_area_readable(const std::string& path) {
  const CommandResult r = run_command("swaplabel " + shell_quote(path) + " 2>&1");
  return r.status == 0 && r.output.find("LABEL: qxswap") != std::string::npos;
}

}  // namespace qx::test
