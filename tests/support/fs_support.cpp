#include "support/fs_support.hpp"

#include <filesystem>
#include <sstream>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"

namespace qx::test {

void make_dirty_file(const std::string& path, uint64_t size, uint8_t seed) {
  write_file(path, {});
  make_sparse_file(path, size);
  fill_pattern(path, 0, size, seed);
}

OracleAllocation run_blkls(const std::string& path, const std::string& fs_type,
                           uint64_t offset_sectors) {
  OracleAllocation result;
  std::string cmd = "blkls -l -e";
  if (!fs_type.empty()) cmd += " -f " + fs_type;
  if (offset_sectors) cmd += " -o " + std::to_string(offset_sectors);
  const CommandResult r = run_command(cmd + " " + shell_quote(path) + " 2>/dev/null");
  if (r.status != 0) return result;
  std::istringstream in(r.output);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (n == 2) {
      result.unit = line.substr(line.rfind('|') + 1);
      continue;
    }
    if (n <= 3) continue;
    const size_t bar = line.find('|');
    if (bar == std::string::npos || bar + 1 >= line.size()) continue;
    const uint64_t addr = std::stoull(line.substr(0, bar));
    if (addr >= result.state.size()) result.state.resize(addr + 1, '?');
    result.state[addr] = line[bar + 1];
  }
  return result;
}

ReaderResult map_volume_file(const std::string& path, int32_t kind) {
  ReaderResult result;
  const uint64_t size = std::filesystem::file_size(path);
  result.sectors = static_cast<uint32_t>(size / 512);
  DiskImage image;
  if (open_flat(image, path, true, 0, DiskGeometry{result.sectors, 255, 63, 512}) != OK) return result;
  std::unique_ptr<ReaderState> state;
  result.probe = fs_reader(kind).probe(image, 0, result.sectors, state);
  if (result.probe != OK || !state) return result;
  result.bitmap.assign(bitmap_bytes(result.sectors), 0xEE);
  result.mark = fs_reader(kind).mark(*state, 0, result.sectors, result.bitmap, 0);
  return result;
}

}  // namespace qx::test
