#include "support/ntfs_tools.hpp"

#include <cstdio>
#include <sstream>

#include "support/fs_support.hpp"
#include "support/test_support.hpp"

namespace qx::test {

bool have_ntfs_tools() {
  return have_tool("mkntfs") && have_tool("ntfscp") && have_tool("ntfsls") && have_tool("ntfstruncate");
}

bool make_ntfs_volume(const std::string& path, uint64_t size, uint32_t cluster_size) {
  make_dirty_file(path, size);
  const std::string cmd = "mkntfs --fast --force --quiet -c " + std::to_string(cluster_size) + " " +
                          shell_quote(path) + " >/dev/null 2>&1";
  return run_command(cmd).status == 0;
}

bool ntfs_add_file(const std::string& volume, const std::string& name, uint64_t size, uint8_t seed) {
  const std::string host = volume + ".in";
  write_file(host, {});
  make_sparse_file(host, size);
  if (size) fill_pattern(host, 0, size, seed);
  const CommandResult r = run_command("ntfscp --force " + shell_quote(volume) + " " + shell_quote(host) +
                                      " " + shell_quote(name) + " >/dev/null 2>&1");
  std::remove(host.c_str());
  return r.status == 0;
}

bool ntfs_put_file(const std::string& volume, const std::string& name, const std::vector<uint8_t>& content) {
  const std::string host = volume + ".in";
  write_file(host, content);
  const CommandResult r = run_command("ntfscp --force " + shell_quote(volume) + " " + shell_quote(host) +
                                      " " + shell_quote(name) + " >/dev/null 2>&1");
  std::remove(host.c_str());
  return r.status == 0;
}

bool ntfs_empty_file(const std::string& volume, const std::string& name) {
  const CommandResult list = run_command("ntfsls --inode " + shell_quote(volume) + " 2>/dev/null");
  if (list.status != 0) return false;
  std::istringstream in(list.output);
  std::string inode, listed;
  while (in >> inode >> listed) {
    if (listed != name) continue;
    return run_command("ntfstruncate " + shell_quote(volume) + " " + inode + " 0 >/dev/null 2>&1").status == 0;
  }
  return false;
}

}  // namespace qx::test
