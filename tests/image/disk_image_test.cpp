#include <gtest/gtest.h>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

DiskGeometry geometry(uint32_t sectors) { return DiskGeometry{sectors, 16, 63, 512}; }

TEST(DiskImage, ClosingAFreshHandleOnlyResetsTheId) {
  DiskImage image;
  EXPECT_EQ(image.format, FORMAT_NONE);
  close_image(image);
  EXPECT_EQ(image.format, 0);
  EXPECT_FALSE(image.is_open());
}

TEST(DiskImage, OpenAsRefusesIdsOutsideTheTable) {
  DiskImage image;
  EXPECT_EQ(open_image_as(image, "/nonexistent", true, kFormatTableSize), ERR_UNSUPPORTED);
  EXPECT_EQ(open_image_as(image, "/nonexistent", true, -1), ERR_UNSUPPORTED);
  EXPECT_EQ(open_image_as(image, "/nonexistent", true, -5), ERR_UNSUPPORTED);
}

TEST(DiskImage, QueriesOnAnUnopenedHandleAreRefused) {
  DiskImage image;
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(read_bytes(image, 0, buf), ERR_UNSUPPORTED);
  bool free = true;
  EXPECT_EQ(is_range_free(image, nullptr, 0, 1, free, nullptr), ERR_UNSUPPORTED);
  EXPECT_FALSE(can_trim(image));
  EXPECT_FALSE(needs_layer_local_trim(image));
  EXPECT_EQ(is_range_free_in_layer(image, nullptr, 0, 1, free), ERR_UNSUPPORTED);
}

TEST(FlatImage, LengthMustCoverOffsetPlusSize) {
  test::TempDir dir;
  const std::string path = dir.file("disk.raw");
  test::make_sparse_file(path, 100 + 2048 * 512 - 1);
  DiskImage image;
  EXPECT_EQ(open_flat(image, path, true, 100, geometry(2048)), ERR_BAD_FORMAT);
  EXPECT_FALSE(image.is_open());
  test::make_sparse_file(path, 100 + 2048 * 512);
  ASSERT_EQ(open_flat(image, path, true, 100, geometry(2048)), OK);
  EXPECT_EQ(image.format, FORMAT_FLAT);
  EXPECT_EQ(get_geometry(image).total_sectors, 2048u);
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(read_bytes(image, 2047 * 512, buf), OK);
  EXPECT_EQ(read_bytes(image, 2047 * 512 + 1, buf), ERR_UNSUPPORTED);
  EXPECT_FALSE(can_trim(image));
  bool free = false;
  EXPECT_EQ(is_range_free_in_layer(image, nullptr, 0, 1, free), ERR_UNSUPPORTED);
  // All zeros and no map: free; one byte set: not.
  EXPECT_EQ(is_range_free(image, nullptr, 0, 2048, free, nullptr), OK);
  EXPECT_TRUE(free);
  close_image(image);
  test::fill_pattern(path, 100 + 1000 * 512 + 7, 1);
  ASSERT_EQ(open_flat(image, path, true, 100, geometry(2048)), OK);
  EXPECT_EQ(is_range_free(image, nullptr, 0, 2048, free, nullptr), OK);
  EXPECT_FALSE(free);
  EXPECT_EQ(is_range_free(image, nullptr, 1001, 1047, free, nullptr), OK);
  EXPECT_TRUE(free);
  EXPECT_EQ(is_range_free(image, nullptr, 2000, 49, free, nullptr), ERR_UNSUPPORTED);
}

TEST(FlatImage, ZeroGeometryAndMissingFile) {
  test::TempDir dir;
  const std::string path = dir.file("disk.raw");
  test::make_sparse_file(path, 4096);
  DiskImage image;
  EXPECT_EQ(open_flat(image, path, true, 0, DiskGeometry{8, 0, 63, 512}), ERR_UNSUPPORTED);
  EXPECT_EQ(open_flat(image, dir.file("none"), true, 0, geometry(8)), ERR_OPEN);
}

TEST(WindowImage, ReadsZerosAndCountsFreeBeyondTheInnerDisk) {
  test::TempDir dir;
  const std::string path = dir.file("disk.raw");
  test::make_sparse_file(path, 600 * 512);
  test::fill_pattern(path, 0, 600 * 512);
  DiskImage inner;
  ASSERT_EQ(open_flat(inner, path, true, 0, geometry(600)), OK);
  DiskImage window;
  ASSERT_EQ(open_window(window, std::move(inner), 1000), OK);
  EXPECT_EQ(window.format, FORMAT_WINDOW);
  EXPECT_EQ(get_geometry(window).total_sectors, 1000u);
  EXPECT_EQ(get_geometry(window).heads, 16u);
  std::vector<uint8_t> buf(20 * 512);
  ASSERT_EQ(read_bytes(window, 590 * 512, buf), OK);
  const auto raw = test::read_file(path);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 10 * 512, raw.begin() + 590 * 512));
  EXPECT_TRUE(std::all_of(buf.begin() + 10 * 512, buf.end(), [](uint8_t b) { return b == 0; }));
  bool free = false;
  EXPECT_EQ(is_range_free(window, nullptr, 600, 400, free, nullptr), OK);
  EXPECT_TRUE(free);
  EXPECT_EQ(is_range_free(window, nullptr, 590, 20, free, nullptr), OK);
  EXPECT_FALSE(free);
  EXPECT_EQ(is_range_free(window, nullptr, 990, 20, free, nullptr), ERR_UNSUPPORTED);
  EXPECT_EQ(read_bytes(window, 999 * 512, std::span(buf).first(1024)), ERR_UNSUPPORTED);
}

TEST(ProgressRelay, CountsAndForwardsTheAnswer) {
  struct Seen {
    uint32_t calls = 0;
  } seen;
  ProgressRelay relay;
  relay.callback = [](uint32_t done, uint32_t total, void* user) {
    ++static_cast<Seen*>(user)->calls;
    return done < total;
  };
  relay.user = &seen;
  relay.done = 5;
  relay.total = 10;
  EXPECT_TRUE(check_in_callback()(7, &relay));
  relay.done = 10;
  EXPECT_FALSE(check_in_callback()(3, &relay));
  EXPECT_EQ(relay.examined, 10u);
  EXPECT_EQ(seen.calls, 2u);
  EXPECT_TRUE(relay_check_in(1, nullptr));
}

}  // namespace
}  // namespace qx
