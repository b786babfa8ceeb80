#include "support/fat_volumes.hpp"

#include <filesystem>
#include <vector>

#include "support/file_patch.hpp"
#include "support/fs_support.hpp"

namespace qx::test {
namespace {

uint32_t le(const std::vector<uint8_t>& b, size_t at, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t{b[at + i]} << (8 * i);
  return v;
}

bool mtools(const std::string& args) {
  return run_command("MTOOLS_SKIP_CHECK=1 " + args + " >/dev/null 2>&1").status == 0;
}

}  // namespace

bool have_fat_tools() {
  return have_tool("mkfs.vfat") && have_tool("mcopy") && have_tool("mmd") && have_tool("mdel") &&
         have_tool("blkls");
}

bool make_fat_volume(const std::string& image, uint32_t mib, const std::string& mkfs_options) {
  make_dirty_file(image, uint64_t{mib} << 20);
  return run_command("mkfs.vfat " + mkfs_options + " " + shell_quote(image) + " >/dev/null 2>&1")
             .status == 0;
}

bool fill_fat_volume(const TempDir& dir, const std::string& image, uint32_t seed) {
  const uint64_t capacity = std::filesystem::file_size(image);
  const std::filesystem::path src = dir.path() / ("src" + std::to_string(seed));
  std::filesystem::create_directories(src);
  uint8_t pattern = static_cast<uint8_t>(seed);
  auto host = [&](const std::string& name, uint64_t size) {
    const std::string p = (src / name).string();
    std::vector<uint8_t> data(size);
    pattern = static_cast<uint8_t>(pattern + 29);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((pattern + i * 7) | 1);
    write_file(p, data);
    return shell_quote(p);
  };
  const std::string img = "-i " + shell_quote(image);

  const uint64_t sizes[] = {0, 1, 511, 512, 513, 2048, 4097, 20000, 65539, 300000, capacity / 8};
  std::string root_files;
  for (size_t i = 0; i < std::size(sizes); ++i)
    if (sizes[i] <= capacity / 6) root_files += " " + host("F" + std::to_string(i), sizes[i]);
  if (!mtools("mcopy " + img + root_files + " ::/")) return false;
  if (!mtools("mmd " + img + " ::DIR1 ::DIR1/SUB ::DIR2")) return false;
  // Enough entries (long names take several) to spread DIR1 over several clusters.
  std::string many;
  for (int i = 0; i < 60; ++i)
    many += " " + host("a_rather_long_file_name_number_" + std::to_string(i) + ".data",
                       static_cast<uint64_t>(100 + i * 37));
  if (!mtools("mcopy " + img + many + " ::DIR1/")) return false;
  if (!mtools("mcopy " + img + " " + host("deep", 7000) + " " + host("deeper", capacity / 20) +
              " ::DIR1/SUB/"))
    return false;
  if (!mtools("mdel " + img + " ::F3 ::F7 ::F9 ::DIR1/a_rather_long_file_name_number_5.data" +
              " ::DIR1/a_rather_long_file_name_number_17.data ::DIR1/SUB/deeper"))
    return false;
  return mtools("mcopy " + img + " " + host("late", capacity / 30) + " ::DIR2/LATE");
}

FatBootGeometry fat_boot_geometry(const std::string& image) {
  const std::vector<uint8_t> b = read_range(image, 0, 90);
  FatBootGeometry g;
  g.bytes_per_sector = le(b, 11, 2);
  const uint32_t spc = b[13];
  const uint64_t reserved = le(b, 14, 2);
  g.fat_count = b[16];
  const uint64_t root_sectors = (le(b, 17, 2) * 32 + g.bytes_per_sector - 1) / g.bytes_per_sector;
  const uint64_t total = le(b, 19, 2) ? le(b, 19, 2) : le(b, 32, 4);
  const uint64_t spf = le(b, 22, 2) ? le(b, 22, 2) : le(b, 36, 4);
  const uint64_t first = reserved + spf * g.fat_count + root_sectors;
  g.fat_offset = reserved * g.bytes_per_sector;
  g.fat_bytes = spf * g.bytes_per_sector;
  g.cluster_count = (total - first) / spc;
  const uint32_t scale = g.bytes_per_sector / 512;
  g.data_first_sector = first * scale;
  g.data_end_sector = (first + g.cluster_count * spc) * scale;
  return g;
}

}  // namespace qx::test
