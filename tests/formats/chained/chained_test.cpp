// Chained block images: the parent found by the generation digit, its size, the block size.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/emulator_images.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::Bytes;

constexpr uint32_t kBlock = 4096;

Bytes disk_filled(uint8_t value, size_t blocks = 16) { return Bytes(blocks * kBlock, value); }

class Chained : public ::testing::Test {
 protected:
  // One generation: every block of its disk holds `value`; the file stores the blocks `hold` picks.
  void write_generation(const std::string& name, uint8_t value, std::function<bool(uint32_t)> hold,
                        size_t blocks = 16) {
    test::write_file(dir_.file(name), test::wrap_chained(disk_filled(value, blocks), kBlock, hold));
  }
  test::TempDir dir_;
};

TEST_F(Chained, GenerationsStackByTheirDigit) {
  write_generation("disk.im1", 1, [](uint32_t) { return true; });
  write_generation("disk.im2", 2, [](uint32_t b) { return b % 2 == 0; });
  write_generation("disk.im3", 3, [](uint32_t b) { return b % 4 == 0; });
  int32_t format = 0;
  const Bytes disk = test::read_image_disk(dir_.file("disk.im3"), &format);
  EXPECT_EQ(format, FORMAT_CHAINED);
  ASSERT_EQ(disk.size(), 16 * kBlock);
  for (uint32_t b = 0; b < 16; ++b)
    EXPECT_EQ(disk[b * kBlock + 7], b % 4 == 0 ? 3 : b % 2 == 0 ? 2 : 1) << b;
  // Without generation 1 the odd blocks of generation 2 are zeros; nothing lies below im0 or img.
  std::filesystem::remove(dir_.file("disk.im1"));
  EXPECT_EQ(test::read_image_disk(dir_.file("disk.im3"))[kBlock], 0);
  write_generation("disk.im0", 9, [](uint32_t b) { return b == 0; });
  write_generation("disk.img", 9, [](uint32_t b) { return b == 0; });
  for (const char* name : {"disk.im0", "disk.img"}) {
    DiskImage image;
    ASSERT_EQ(open_image(image, dir_.file(name), true), OK);
    bool free = false;
    ASSERT_EQ(is_range_free(image, nullptr, 8, 8, free, nullptr), OK);
    EXPECT_TRUE(free) << name;
    ASSERT_EQ(is_range_free(image, nullptr, 7, 2, free, nullptr), OK);
    EXPECT_FALSE(free) << name;
  }
}

TEST_F(Chained, FreeRangesAskTheParentForBlocksNotHeld) {
  write_generation("disk.im1", 0, [](uint32_t b) { return b < 8; });
  write_generation("disk.im2", 2, [](uint32_t b) { return b == 3; });
  DiskImage image;
  ASSERT_EQ(open_image(image, dir_.file("disk.im2"), true), OK);
  bool free = false;
  ASSERT_EQ(is_range_free(image, nullptr, 0, 24, free, nullptr), OK);  // blocks 0..2: held zeros
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free(image, nullptr, 0, 25, free, nullptr), OK);
  EXPECT_FALSE(free);
  close_image(image);
  // A parent whose data are not zero makes its blocks not free.
  write_generation("disk.im1", 5, [](uint32_t b) { return b == 10; });
  ASSERT_EQ(open_image(image, dir_.file("disk.im2"), true), OK);
  ASSERT_EQ(is_range_free(image, nullptr, 72, 8, free, nullptr), OK);
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free(image, nullptr, 72, 16, free, nullptr), OK);
  EXPECT_FALSE(free);
}

TEST_F(Chained, RefusedShapes) {
  write_generation("disk.im1", 1, [](uint32_t) { return true; }, 15);
  write_generation("disk.im2", 2, [](uint32_t) { return false; });
  DiskImage image;
  EXPECT_EQ(open_image_as(image, dir_.file("disk.im2"), true, FORMAT_CHAINED), ERR_BAD_FORMAT);
  Bytes file = test::read_file(dir_.file("disk.im1"));
  for (uint32_t size : {3000u, 256u}) {
    file[8] = static_cast<uint8_t>(size);
    file[9] = static_cast<uint8_t>(size >> 8);
    test::write_file(dir_.file("x.bin"), file);
    EXPECT_EQ(open_image_as(image, dir_.file("x.bin"), true, FORMAT_CHAINED), ERR_BAD_FORMAT) << size;
  }
  // More blocks than the file has table entries for.
  file = test::read_file(dir_.file("disk.im1"));
  file[14] = 0x40;
  test::write_file(dir_.file("x.bin"), file);
  EXPECT_EQ(open_image_as(image, dir_.file("x.bin"), true, FORMAT_CHAINED), ERR_BAD_FORMAT);
}

}  // namespace
}  // namespace qx
