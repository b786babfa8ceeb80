// CHD v3/v4: every hunk type, and the map entries a damaged file may hold.
#include <gtest/gtest.h>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/emulator_images.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::Bytes;

constexpr uint32_t kHunk = 4096;
constexpr size_t kDiskBytes = 99 * kHunk + 3 * 512;  // 100 hunks, the last one partly used

// By hunk number: zeros, an 8-byte pattern, a repeat of hunk 2, incompressible, compressible.
Bytes mixed_disk() {
  Bytes d(kDiskBytes, 0);
  uint32_t x = 12345;
  for (size_t i = 0; i < d.size(); ++i) {
    const size_t h = i / kHunk, k = h % 10;
    x = x * 1103515245u + 12345u;
    if (k == 1) d[i] = static_cast<uint8_t>(0x10 + i % 8);
    else if (k == 2) d[i] = static_cast<uint8_t>((i % kHunk) * 3 + 1);
    else if (k == 3) d[i] = static_cast<uint8_t>(x >> 16);
    else if (k != 0) d[i] = static_cast<uint8_t>("quorvex"[i % 7] + h);
  }
  return d;
}

class Chd : public ::testing::Test {
 protected:
  void SetUp() override { file_ = test::wrap_chd(disk_, 4, kHunk); }
  uint8_t& type(uint32_t hunk) { return file_[test::chd_map_offset(4) + hunk * 16 + 15]; }
  void set_value(uint32_t hunk, uint64_t v) {
    for (int i = 0; i < 8; ++i) file_[test::chd_map_offset(4) + hunk * 16 + i] = static_cast<uint8_t>(v >> (56 - 8 * i));
  }
  ErrorCode reopen() {
    close_image(image_);
    test::write_file(path_, file_);
    return open_image_as(image_, path_, true, FORMAT_CHD);
  }
  ErrorCode read_hunk(uint32_t hunk) {
    Bytes b(kHunk);
    return read_bytes(image_, uint64_t{hunk} * kHunk, b);
  }
  test::TempDir dir_;
  std::string path_ = dir_.file("disk.chd");
  Bytes disk_ = mixed_disk();
  Bytes file_;
  DiskImage image_;
};

TEST_F(Chd, EveryHunkTypeReadsBack) {
  for (uint32_t version : {3u, 4u}) {
    test::write_file(path_, test::wrap_chd(disk_, version, kHunk));
    int32_t format = 0;
    EXPECT_TRUE(test::read_image_disk(path_, &format) == disk_) << version;
    EXPECT_EQ(format, FORMAT_CHD);
  }
  ASSERT_EQ(reopen(), OK);
  EXPECT_EQ(get_geometry(image_).total_sectors, kDiskBytes / 512);
  const uint8_t expected[] = {3, 3, 1, 2, 1, 1, 1, 1, 1, 1};
  for (uint32_t h = 0; h < 10; ++h) EXPECT_EQ(type(h), expected[h]) << h;
  EXPECT_EQ(type(12), 4);
}

TEST_F(Chd, FreeRangesAreJudgedByTheBytes) {
  ASSERT_EQ(reopen(), OK);
  bool free = false;
  ASSERT_EQ(is_range_free(image_, nullptr, 0, 8, free, nullptr), OK);  // pattern 0
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free(image_, nullptr, 4, 5, free, nullptr), OK);  // into the pattern 0x10...
  EXPECT_FALSE(free);
  EXPECT_EQ(is_range_free(image_, nullptr, kDiskBytes / 512 - 1, 2, free, nullptr), ERR_UNSUPPORTED);
}

TEST_F(Chd, DamagedEntriesAreRefusedOnUse) {
  const auto refused = [&](const char* what, auto damage, uint32_t hunk) {
    SetUp();
    damage();
    ASSERT_EQ(reopen(), OK) << what;
    EXPECT_EQ(read_hunk(hunk), ERR_BAD_FORMAT) << what;
    bool free = false;
    EXPECT_EQ(is_range_free(image_, nullptr, hunk * 8, 8, free, nullptr), ERR_BAD_FORMAT) << what;
    EXPECT_EQ(read_hunk(hunk + 2), OK) << what;
  };
  refused("self copy", [&] { type(5) = 4; set_value(5, 5); }, 5);
  refused("copies in a circle", [&] { type(5) = 4; set_value(5, 6); type(6) = 4; set_value(6, 5); }, 5);
  refused("copy beyond the map", [&] { type(5) = 4; set_value(5, 1u << 20); }, 5);
  refused("unknown type", [&] { type(5) = 7; }, 5);
  refused("stored length over twice the hunk", [&] {
    file_[test::chd_map_offset(4) + 5 * 16 + 12] = (2 * kHunk + 1) >> 8;
    file_[test::chd_map_offset(4) + 5 * 16 + 13] = 1;
  }, 5);
  refused("deflate data cut short", [&] { file_[test::chd_map_offset(4) + 5 * 16 + 13] -= 40; }, 5);
}

TEST_F(Chd, HeadersThatAreRefused) {
  const auto field = [&](size_t at, uint32_t v) {
    SetUp();
    for (int i = 0; i < 4; ++i) file_[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    return reopen();
  };
  EXPECT_EQ(field(24, 1u << 30), ERR_BAD_FORMAT);  // more hunks than the file has map for
  EXPECT_EQ(field(24, 99), ERR_BAD_FORMAT);       // fewer hunks than the disk needs
  EXPECT_EQ(field(44, 4000), ERR_BAD_FORMAT);     // hunk bytes not whole sectors
  EXPECT_EQ(field(44, 4u << 20), ERR_UNSUPPORTED);
  EXPECT_EQ(field(8, 120), ERR_BAD_FORMAT);       // a version 3 length in a version 4 header
  EXPECT_EQ(field(12, 5), ERR_BAD_FORMAT);
  EXPECT_EQ(field(32, 1000), ERR_BAD_FORMAT);     // logical bytes not whole sectors
}

}  // namespace
}  // namespace qx
