#include "support/exfat_volumes.hpp"

#include "support/fs_support.hpp"
#include "support/test_support.hpp"

namespace qx::test {

bool have_exfat_tools() { return have_tool("mkfs.exfat") && have_tool("blkls"); }

bool make_exfat_volume(const std::string& image, uint32_t mib, const std::string& mkfs_options) {
  make_dirty_file(image, uint64_t{mib} << 20);
  return run_command("mkfs.exfat " + mkfs_options + " " + shell_quote(image) + " >/dev/null 2>&1")
             .status == 0;
}

ExfatContents fill_exfat_volume(ExfatEditor& ed, uint32_t seed) {
  const uint64_t cb = ed.bytes_per_cluster();
  const uint64_t capacity = uint64_t{ed.cluster_count()} * cb;
  const uint64_t sizes[] = {0,           1,  cb - 1,         cb,    cb + 1, 3 * cb + 5,
                            capacity / 20, 20000, capacity / 12, 100000};
  std::vector<std::string> names;
  auto add = [&](const std::string& name, uint64_t size, bool fragmented) {
    if (ed.add_file(name, size, fragmented, static_cast<uint8_t>(seed + names.size())))
      names.push_back(name);
  };
  for (size_t i = 0; i < std::size(sizes); ++i)
    add("F" + std::to_string(i), sizes[i], i % 2 == 1);
  add("A_NAME_LONG_ENOUGH_FOR_THREE_NAME_ENTRIES_" + std::to_string(seed), 5000, true);
  // Many small files: the root directory grows past its first cluster.
  const uint64_t root_slots = cb / 32;
  for (uint64_t i = 0; i < root_slots / 3 + 8; ++i) add("S" + std::to_string(i), 300 + i * 11, i % 3 == 0);

  ExfatContents out;
  for (size_t i = 0; i < names.size(); i += 3) {
    const std::vector<uint32_t> clusters = ed.file_clusters(names[i]);
    if (ed.delete_file(names[i]))
      out.deleted_clusters.insert(out.deleted_clusters.end(), clusters.begin(), clusters.end());
  }
  std::vector<std::string> live;
  for (size_t i = 0; i < names.size(); ++i)
    if (i % 3 != 0) live.push_back(names[i]);
  names.clear();
  add("LATE1", 2 * cb + 3, true);
  add("LATE2", 7 * cb, false);
  live.insert(live.end(), names.begin(), names.end());
  for (const std::string& n : live) out.kept[n] = ed.file_clusters(n);
  return out;
}

bool exfat_volume_is_clean(const std::string& image) {
  if (!have_tool("fsck.exfat")) return true;
  return run_command("fsck.exfat -n " + shell_quote(image) + " >/dev/null 2>&1").status == 0;
}

}  // namespace qx::test
