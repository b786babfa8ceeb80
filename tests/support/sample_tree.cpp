#include "support/sample_tree.hpp"

#include <filesystem>
#include <fstream>
#include <vector>

namespace qx::test {
namespace {

std::vector<char> pattern(uint64_t size, uint32_t seed) {
  std::vector<char> data(size);
  uint32_t v = seed * 2654435761u + 1;
  for (auto& c : data) {
    v = v * 1103515245u + 12345u;
    c = static_cast<char>((v >> 16) | 1);
  }
  return data;
}

uint64_t put_file(const std::filesystem::path& path, uint64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::vector<char> data = pattern(size, seed);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return size;
}

}  // namespace

uint64_t make_sample_tree(const std::string& dir, uint32_t seed) {
  namespace fs = std::filesystem;
  const fs::path root(dir);
  fs::create_directories(root / "docs" / "deep" / "deeper");
  fs::create_directories(root / "many");
  fs::create_directories(root / "empty_dir");
  uint64_t total = 0;
  const uint64_t sizes[] = {0, 1, 511, 512, 1023, 1024, 1025, 2048, 4095, 4096, 4097, 12288,
                            70000, 300000};
  uint32_t n = 0;
  for (uint64_t size : sizes) {
    total += put_file(root / ("file_" + std::to_string(size)), size, seed + n++);
  }
  total += put_file(root / "docs" / "big.bin", 1200000, seed + 100);
  total += put_file(root / "docs" / "deep" / "mid.bin", 150000, seed + 101);
  total += put_file(root / "docs" / "deep" / "deeper" / "note.txt", 77, seed + 102);
  // Enough entries that the folder spans several blocks.
  for (int i = 0; i < 150; ++i)
    total += put_file(root / "many" / ("entry_with_a_longish_name_" + std::to_string(i)),
                      static_cast<uint64_t>(i) * 37, seed + 200 + static_cast<uint32_t>(i));
  // A file with a hole between two islands of data.
  {
    const fs::path holey = root / "holey.bin";
    std::ofstream out(holey, std::ios::binary | std::ios::trunc);
    const std::vector<char> island = pattern(8192, seed + 300);
    out.write(island.data(), static_cast<std::streamsize>(island.size()));
    out.seekp(1 << 20);
    out.write(island.data(), static_cast<std::streamsize>(island.size()));
    total += 2 * island.size();
  }
  std::error_code ec;
  fs::create_symlink("docs/deep/deeper/note.txt", root / "short_link", ec);
  std::string long_target(200, 'x');
  long_target += "/target";  // built in place: GCC 12 warns falsely of a temporary's bounds
  fs::create_symlink(long_target, root / "long_link", ec);
  return total;
}

}  // namespace qx::test
