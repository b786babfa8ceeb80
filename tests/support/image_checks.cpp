#include "support/image_checks.hpp"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>

#include "image/file.hpp"

namespace qx::test {

#ifdef _WIN32
// Without SEEK_DATA: the files are read whole through the file primitives.
int64_t first_used_difference_in_files(const std::string& a, const std::string& b,
                                       const UsedSectors& used) {
  constexpr uint64_t kPiece = 16384;  // sectors
  if (std::filesystem::file_size(a) != std::filesystem::file_size(b)) return 0;
  File fa = File::open_existing(a, true), fb = File::open_existing(b, true);
  if (!fa || !fb) return 0;
  std::vector<uint8_t> pa(kPiece * 512), pb(kPiece * 512);
  for (uint64_t first = 0; first < used.total; first += kPiece) {
    const uint64_t n = std::min<uint64_t>(kPiece, used.total - first);
    const auto len = static_cast<size_t>(n * 512);
    if (!fa.read_at(first * 512, std::span(pa).first(len)) || !fb.read_at(first * 512, std::span(pb).first(len)))
      return static_cast<int64_t>(first);
    for (uint64_t i = 0; i < n; ++i)
      if (used.used(first + i) && std::memcmp(pa.data() + i * 512, pb.data() + i * 512, 512) != 0)
        return static_cast<int64_t>(first + i);
  }
  return -1;
}
#else
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
#endif

}  // namespace qx::test
