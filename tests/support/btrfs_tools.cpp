#include "support/btrfs_tools.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "image/crc32c.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

constexpr uint64_t kUnit = 4096;
constexpr uint64_t kMiB = 1024 * 1024;

struct OracleChunk {
  uint64_t logical = 0;
  uint64_t length = 0;
  std::vector<uint64_t> stripes;
};

// The decimal number behind the first `marker` of the text (blanks skipped); false without one.
bool number_after(const std::string& text, const std::string& marker, uint64_t& out) {
  size_t at = text.find(marker);
  if (at == std::string::npos) return false;
  at = text.find_first_not_of(" \t", at + marker.size());
  if (at == std::string::npos || text[at] < '0' || text[at] > '9') return false;
  out = std::stoull(text.substr(at));
  return true;
}

// The logical address of a dump-tree block line ("leaf N ..." or "node N ..."), and whether it is
// a leaf.
bool block_line(const std::string& line, uint64_t& logical, bool& leaf) {
  leaf = line.rfind("leaf ", 0) == 0;
  return (leaf || line.rfind("node ", 0) == 0) && number_after(line, " ", logical) &&
         (line.find(" items ") != std::string::npos || line.find(" level ") != std::string::npos);
}

std::vector<OracleChunk> read_chunks(const std::string& path) {
  const CommandResult r = run_command("btrfs inspect-internal dump-tree -t chunk " + shell_quote(path) + " 2>/dev/null");
  std::vector<OracleChunk> chunks;
  std::istringstream in(r.output);
  std::string line;
  uint64_t n = 0;
  while (std::getline(in, line)) {
    if (number_after(line, "key (FIRST_CHUNK_TREE CHUNK_ITEM ", n)) chunks.push_back({n, 0, {}});
    else if (chunks.empty()) continue;
    else if (line.find("stripe_len") != std::string::npos && number_after(line, "length ", n)) chunks.back().length = n;
    else if (line.find("stripe ") != std::string::npos && number_after(line, " offset ", n)) chunks.back().stripes.push_back(n);
  }
  return chunks;
}

void mark(std::vector<char>& state, uint64_t first, uint64_t length) {
  for (uint64_t u = first / kUnit; u < (first + length + kUnit - 1) / kUnit && u < state.size(); ++u) state[u] = 'a';
}

}  // namespace

bool have_btrfs_tools() {
  if (!have_tool("mkfs.btrfs") || !have_tool("btrfs") || geteuid() != 0) return false;
  static const bool mounts = [] {
    TempDir dir;
    const std::string v = dir.file("probe.btrfs");
    make_sparse_file(v, 128 * kMiB);
    const std::string m = dir.file("m");
    std::filesystem::create_directory(m);
    return run_command("mkfs.btrfs -q -f " + shell_quote(v) + " >/dev/null 2>&1 && mount -o loop " + shell_quote(v) +
                       " " + shell_quote(m) + " 2>/dev/null && umount " + shell_quote(m))
               .status == 0;
  }();
  return mounts;
}

std::string make_btrfs_volume(const std::string& path, uint64_t size, const std::string& mkfs_options,
                              const std::string& mount_options) {
  make_dirty_file(path, size, 0xB7);
  const CommandResult made = run_command("mkfs.btrfs -q -K -f " + mkfs_options + " " + shell_quote(path) + " 2>&1");
  if (made.status != 0) return "mkfs.btrfs failed: " + made.output;
  return fill_btrfs(path, 0, size, mount_options);
}

std::string fill_btrfs(const std::string& file, uint64_t offset, uint64_t size, const std::string& mount_options) {
  const std::string mnt = file + ".mnt";
  std::filesystem::create_directories(mnt);
  const CommandResult mounted =
      run_command("mount -o loop,offset=" + std::to_string(offset) + ",sizelimit=" + std::to_string(size) + "," +
                  mount_options + " " + shell_quote(file) + " " + shell_quote(mnt) + " 2>&1");
  if (mounted.status != 0) return "mount failed: " + mounted.output;
  // Files of a few KiB to a few MiB, half of them compressible; a tenth of the volume each way.
  const std::string script = R"(
import os, sys, subprocess
m, budget = sys.argv[1], int(sys.argv[2]) // 10
def sh(*a): subprocess.run(a, check=True, stdout=subprocess.DEVNULL)
def fill(d, seed):
    os.makedirs(d, exist_ok=True)
    n, i = 0, 0
    while n < budget:
        size = 3000 + (i * 7919 + seed * 104729) % (2 << 20)
        data = os.urandom(size) if i % 2 else (b'quorvex %d ' % i) * (size // 10)
        with open('%s/f%d' % (d, i), 'wb') as f: f.write(data)
        n, i = n + size, i + 1
    return i
sh('btrfs', 'subvolume', 'create', m + '/home')
sh('btrfs', 'subvolume', 'create', m + '/root')
a = fill(m + '/home/docs', 1)
b = fill(m + '/root/usr', 2)
sh('sync')
sh('btrfs', 'subvolume', 'snapshot', '-r', m + '/home', m + '/home-snap')
fill(m + '/scratch', 3)
for i in range(0, a, 2): os.remove('%s/home/docs/f%d' % (m, i))
for i in range(1, b, 2): os.remove('%s/root/usr/f%d' % (m, i))
sh('rm', '-rf', m + '/scratch')
with open(m + '/root/prealloc', 'wb') as f: os.posix_fallocate(f.fileno(), 0, 3 << 20)
with open(m + '/root/log', 'ab') as f:
    for i in range(200): f.write(os.urandom(700)); f.flush(); os.fsync(f.fileno())
)";
  const std::string py = file + ".fill.py";
  write_file(py, std::vector<uint8_t>(script.begin(), script.end()));
  const CommandResult filled = run_command("python3 " + shell_quote(py) + " " + shell_quote(mnt) + " " +
                                           std::to_string(size) + " 2>&1");
  const CommandResult unmounted = run_command("umount " + shell_quote(mnt) + " 2>&1");
  std::filesystem::remove(py);
  std::filesystem::remove(mnt);
  if (filled.status != 0) return "filling failed: " + filled.output;
  if (unmounted.status != 0) return "umount failed: " + unmounted.output;
  return "";
}

OracleAllocation read_btrfs_oracle(const std::string& path) {
  OracleAllocation oracle;
  oracle.unit = "4 KiB";
  const uint64_t size = std::filesystem::file_size(path);
  const CommandResult super = run_command("btrfs inspect-internal dump-super " + shell_quote(path) + " 2>/dev/null");
  uint64_t node_size = 0;
  if (!number_after(super.output, "\nnodesize", node_size)) return oracle;
  const std::vector<OracleChunk> chunks = read_chunks(path);
  if (chunks.empty()) return oracle;
  std::vector<char> state(size / kUnit, 'f');
  mark(state, 0, kMiB);
  for (uint64_t copy : std::initializer_list<uint64_t>{64 * 1024, 64 * kMiB, 256 * 1024 * kMiB}) mark(state, copy, 4096);
  auto mark_logical = [&](uint64_t logical, uint64_t length) {
    for (const OracleChunk& c : chunks)
      if (logical >= c.logical && logical < c.logical + c.length)
        for (uint64_t s : c.stripes) mark(state, s + (logical - c.logical), length);
  };
  // Every extent and tree block the extent tree lists, and every block any tree is made of.
  const CommandResult extents = run_command("btrfs inspect-internal dump-tree -t extent " + shell_quote(path) +
                                            " 2>/dev/null | grep -E 'key \\([0-9]+ (EXTENT|METADATA)_ITEM'");
  const CommandResult blocks = run_command("btrfs inspect-internal dump-tree " + shell_quote(path) +
                                           " 2>/dev/null | grep -E '^(leaf|node) [0-9]+ (items|level)'");
  std::istringstream e(extents.output), b(blocks.output);
  std::string line;
  size_t listed = 0;
  uint64_t logical = 0, length = 0;
  bool leaf = false;
  while (std::getline(e, line))
    if (number_after(line, "key (", logical)) {
      const bool data = number_after(line, " EXTENT_ITEM ", length);
      mark_logical(logical, data ? length : node_size);
      ++listed;
    }
  while (std::getline(b, line))
    if (block_line(line, logical, leaf)) mark_logical(logical, node_size);
  if (listed) oracle.state = std::move(state);
  return oracle;
}

std::string btrfs_check(const std::string& path) {
  const CommandResult r = run_command("btrfs check --readonly " + shell_quote(path) + " 2>&1");
  return r.status == 0 ? "" : r.output;
}

void reseal_btrfs_block(const std::string& path, uint64_t offset, uint32_t size) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  std::vector<uint8_t> block(size);
  f.seekg(static_cast<std::streamoff>(offset));
  f.read(reinterpret_cast<char*>(block.data()), size);
  const uint32_t crc = crc32c(std::span<const uint8_t>(block).subspan(32));
  f.seekp(static_cast<std::streamoff>(offset));
  for (int i = 0; i < 4; ++i) f.put(static_cast<char>(crc >> (8 * i)));
}

uint32_t btrfs_node_size(const std::string& path) {
  const CommandResult super = run_command("btrfs inspect-internal dump-super " + shell_quote(path) + " 2>/dev/null");
  uint64_t node_size = 0;
  return number_after(super.output, "\nnodesize", node_size) ? static_cast<uint32_t>(node_size) : 0;
}

uint64_t btrfs_tree_root(const std::string& path, const std::string& tree) {
  return btrfs_leaf_with(path, tree, "");
}

uint64_t btrfs_leaf_with(const std::string& path, const std::string& tree, const std::string& item_type) {
  const CommandResult r = run_command("btrfs inspect-internal dump-tree -t " + tree + " " + shell_quote(path) + " 2>/dev/null");
  std::istringstream in(r.output);
  std::string line;
  uint64_t current = 0, logical = 0;
  bool leaf = false;
  while (std::getline(in, line)) {
    if (block_line(line, logical, leaf)) {
      if (item_type.empty()) return logical;
      current = leaf ? logical : 0;
    } else if (current && line.find(" " + item_type + " ") != std::string::npos) {
      return current;
    }
  }
  return 0;
}

std::vector<uint64_t> btrfs_block_copies(const std::string& path, uint64_t logical) {
  std::vector<uint64_t> out;
  for (const OracleChunk& c : read_chunks(path))
    if (logical >= c.logical && logical < c.logical + c.length)
      for (uint64_t s : c.stripes) out.push_back(s + (logical - c.logical));
  return out;
}

}  // namespace qx::test
