#include "support/image_checks.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "image/disk_image.hpp"
#include "volume/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {

CommandResult run_quorvex(const std::string& args) {
  return run_command(shell_quote(quorvex_binary()) + " " + args + " 2>&1");
}

void qemu_convert(const std::string& from, const std::string& to, const std::string& options) {
  const auto r = run_command("qemu-img convert " + options + " " + shell_quote(from) + " " +
                             shell_quote(to) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

size_t count_of(const std::string& s, const std::string& needle) {
  size_t n = 0;
  for (size_t at = s.find(needle); at != std::string::npos; at = s.find(needle, at + 1)) ++n;
  return n;
}

std::vector<uint8_t> read_image_disk(const std::string& path) {
  DiskImage image;
  EXPECT_EQ(open_image(image, path, true), OK);
  std::vector<uint8_t> out(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, out), OK);
  return out;
}

bool UsedSectors::used(uint64_t s) const { return test_bit(bits, s); }

UsedSectors used_sectors(const std::string& path) {
  UsedSectors u;
  DiskImage image;
  EXPECT_EQ(open_image(image, path, true), OK);
  ErrorCode error = OK;
  auto map = build_usage_map(image, error, u.recognised);
  EXPECT_TRUE(map) << error;
  if (!map) return u;
  u.total = get_geometry(image).total_sectors;
  for (const VolumeEntry& v : map->volumes) u.volumes += v.kind != KIND_GAP;
  u.bits.assign(bitmap_bytes(u.total), 0);
  constexpr uint32_t kStep = 1u << 16;
  std::vector<uint8_t> piece(bitmap_bytes(kStep));
  for (uint32_t first = 0; first < u.total; first += kStep) {
    const uint32_t n = std::min(kStep, u.total - first);
    EXPECT_EQ(query_used(*map, first, n, piece), OK);
    for (uint32_t i = 0; i < n; ++i)
      if (test_bit(piece, i)) put_bit(u.bits, uint64_t{first} + i, true);
  }
  return u;
}

int64_t first_used_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                              const UsedSectors& used) {
  for (uint64_t s = 0; s < used.total; ++s) {
    if (!used.used(s)) continue;
    const uint64_t at = s * 512;
    const bool in_a = at + 512 <= a.size(), in_b = at + 512 <= b.size();
    if (in_a != in_b) return static_cast<int64_t>(s);
    if (in_a && std::memcmp(a.data() + at, b.data() + at, 512) != 0)
      return static_cast<int64_t>(s);
  }
  return -1;
}

namespace {

// True when [offset, offset + length) of the file is a hole (or lies beyond its end).
bool is_hole(int fd, uint64_t offset, uint64_t length) {
  const off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  return data < 0 || static_cast<uint64_t>(data) >= offset + length;
}

}  // namespace

int64_t first_used_difference_in_files(const std::string& a, const std::string& b,
                                       const UsedSectors& used) {
  constexpr uint64_t kPiece = 16384;  // sectors
  if (std::filesystem::file_size(a) != std::filesystem::file_size(b)) return 0;
  const int fa = ::open(a.c_str(), O_RDONLY), fb = ::open(b.c_str(), O_RDONLY);
  int64_t result = fa < 0 || fb < 0 ? 0 : -1;
  std::vector<char> pa(kPiece * 512), pb(kPiece * 512);
  for (uint64_t first = 0; result < 0 && first < used.total; first += kPiece) {
    const uint64_t n = std::min<uint64_t>(kPiece, used.total - first);
    // Holes in both read as zeros in both; sparse disks of gigabytes compare in no time.
    if (is_hole(fa, first * 512, n * 512) && is_hole(fb, first * 512, n * 512)) continue;
    const auto len = static_cast<size_t>(n * 512);
    if (::pread(fa, pa.data(), len, static_cast<off_t>(first * 512)) != static_cast<ssize_t>(len) ||
        ::pread(fb, pb.data(), len, static_cast<off_t>(first * 512)) != static_cast<ssize_t>(len)) {
      result = static_cast<int64_t>(first);
      break;
    }
    for (uint64_t i = 0; i < n && result < 0; ++i)
      if (used.used(first + i) && std::memcmp(pa.data() + i * 512, pb.data() + i * 512, 512) != 0)
        result = static_cast<int64_t>(first + i);
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return result;
}

}  // namespace qx::test
