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

std::string make_aged_ntfs_volume(const std::string& path) {
  if (!have_tool("ntfs-3g") || !have_tool("ntfsresize") || !have_tool("python3") ||
      !have_tool("setfattr"))
    return "";
  if (!make_ntfs_volume(path, 48u << 20, 4096)) return "mkntfs failed";
  const std::string q = shell_quote(path), mnt = shell_quote(path + ".mnt");
  // ntfsresize leaves the volume marked for a check; ntfsfix clears that as Windows would.
  if (run_command("truncate -s 64M " + q + " && echo y | ntfsresize -f -s 64M " + q +
                  " >/dev/null 2>&1 && ntfsfix -d " + q + " >/dev/null 2>&1")
          .status != 0)
    return "ntfsresize failed";
  if (run_command("mkdir -p " + mnt + " && ntfs-3g -o streams_interface=windows " + q + " " + mnt +
                  " >/dev/null 2>&1")
          .status != 0)
    return "";
  const std::string script = R"(
import os, sys
m = sys.argv[1]
with open(m + '/sparse.bin', 'wb') as f:
    f.write(b'head' * 1024); f.seek(8 << 20); f.write(b'tail' * 1024)
with open(m + '/plain.txt', 'wb') as f: f.write(os.urandom(20000))
with open(m + '/plain.txt:extra', 'wb') as f: f.write(os.urandom(30000))
os.mkdir(m + '/c')
os.system("setfattr -n system.ntfs_attrib_be -v 0x00000800 '%s/c'" % m)
with open(m + '/c/z.bin', 'wb') as f: f.write(b'abc' * 50000)
os.mkdir(m + '/a')
block = os.urandom(4096)
n = 0
try:
    while True:
        with open('%s/a/f%d' % (m, n), 'wb') as f: f.write(block)
        n += 1
except OSError:
    pass
for i in range(0, n, 2): os.remove('%s/a/f%d' % (m, i))
os.mkdir(m + '/b')
for i in range(14000): open('%s/b/e%d' % (m, i), 'w').close()
)";
  write_file(path + ".py", std::vector<uint8_t>(script.begin(), script.end()));
  const CommandResult aged = run_command("python3 " + shell_quote(path + ".py") + " " + mnt + " 2>&1");
  const CommandResult unmounted = run_command("umount " + mnt + " 2>&1; rmdir " + mnt);
  std::remove((path + ".py").c_str());
  if (aged.status != 0) return "aging failed: " + aged.output;
  if (unmounted.status != 0) return "umount failed: " + unmounted.output;
  return "ok";
}

}  // namespace qx::test
