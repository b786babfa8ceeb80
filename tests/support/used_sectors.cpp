#include "support/used_sectors.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "image/disk_image.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {

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

}  // namespace qx::test
