#include "support/map_disk.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "image/disk_image.hpp"
#include "support/disk_builder.hpp"
#include "support/file_patch.hpp"
#include "support/fs_support.hpp"
#include "support/test_support.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx::test {

uint32_t make_mbr_disk(const std::string& disk, const std::string& volume, uint32_t start,
                       uint8_t type, uint32_t tail) {
  const uint32_t count = static_cast<uint32_t>(std::filesystem::file_size(volume) / 512);
  const std::vector<uint8_t> bytes = read_range(volume, 0, size_t{count} * 512);
  const uint32_t total = start + count + tail;
  make_dirty_file(disk, uint64_t{total} * 512, 0x6B);
  write_boot_sector(disk, 0, {MbrSlot{type, start, count}});
  write_at(disk, uint64_t{start} * 512, bytes);
  return total;
}

DiskMap map_disk_file(const std::string& disk) {
  DiskMap out;
  const uint32_t sectors = static_cast<uint32_t>(std::filesystem::file_size(disk) / 512);
  DiskImage image;
  out.error = open_flat(image, disk, true, 0, DiskGeometry{sectors, 255, 63, 512});
  if (out.error != OK) return out;
  uint32_t recognised = 0;
  std::unique_ptr<UsageMap> map = build_usage_map(image, out.error, recognised);
  if (map) {
    for (const VolumeEntry& e : map->volumes)
      out.regions.push_back({e.start, e.length, e.kind, e.reason.key});
    out.used.assign(bitmap_bytes(sectors), 0);
    out.error = query_used(*map, 0, sectors, out.used);
    destroy_usage_map(*map);
  }
  close_image(image);
  return out;
}

void expect_partition_answers_alone(const std::string& disk, const std::string& volume,
                                    uint8_t type, int32_t kind, const ReaderResult& alone) {
  const uint32_t total = make_mbr_disk(disk, volume, 2048, type, 100);
  const DiskMap m = map_disk_file(disk);
  ASSERT_EQ(m.error, OK);
  ASSERT_EQ(m.regions.size(), 3u);
  EXPECT_EQ(m.regions[0].kind, KIND_GAP);
  EXPECT_EQ(m.regions[1].start, 2048u);
  EXPECT_EQ(m.regions[1].length, alone.sectors);
  EXPECT_EQ(m.regions[1].kind, kind);
  EXPECT_EQ(m.regions[1].reason_key, "");
  EXPECT_EQ(m.regions[2].kind, KIND_GAP);
  EXPECT_EQ(m.regions[2].reason_key, "outside_partitions");
  for (uint32_t s = 0; s < total; ++s) {
    const bool expected = s < 2048 || s >= 2048 + alone.sectors || alone.used(s - 2048);
    ASSERT_EQ(m.sector_used(s), expected) << "sector " << s;
  }
}

void expect_kept_whole(const std::string& disk, const std::string& volume, uint8_t type,
                       const char* key) {
  const uint32_t total = make_mbr_disk(disk, volume, 2048, type, 64);
  const DiskMap m = map_disk_file(disk);
  ASSERT_EQ(m.error, OK);
  ASSERT_EQ(m.regions.size(), 3u);
  EXPECT_EQ(m.regions[1].start, 2048u);
  EXPECT_EQ(m.regions[1].kind, KIND_UNRECOGNISED);
  EXPECT_NE(m.regions[1].reason_key, "");
  if (key) {
    EXPECT_EQ(m.regions[1].reason_key, key);
  }
  for (uint32_t s = 0; s < total; ++s) ASSERT_TRUE(m.sector_used(s)) << s;
}

}  // namespace qx::test
