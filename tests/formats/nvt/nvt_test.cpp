// NVT differencing files: what the tables lead to, the parent, and names that cannot be built.
#include <gtest/gtest.h>

#include <filesystem>

#include "formats/format_ids.hpp"
#include "formats/nvt/nvt.hpp"
#include "image/detect.hpp"
#include "image/disk_image.hpp"
#include "support/emulator_images.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::Bytes;

constexpr uint32_t kSectors = 1024;  // 512 KiB: eight chunks

class Nvt : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_.resize(size_t{kSectors} * 512 + 1000);
    for (size_t i = 0; i < parent_.size(); ++i) parent_[i] = static_cast<uint8_t>(i * 31 + 7);
    test::write_file(dir_.file("base.bin"), parent_);
    parent_.erase(parent_.begin(), parent_.begin() + 1000);  // the flat parent's data start at 1000
  }
  ErrorCode write_and_open(const Bytes& file, const std::string& name = "disk.nvt") {
    test::write_file(dir_.file(name), file);
    return open_nvt_image(image_, dir_.file(name), true);
  }
  test::TempDir dir_;
  Bytes parent_;
  DiskImage image_;
  const test::NvtFlatParent flat_{1000, kSectors, 4, 8, 512};
};

TEST_F(Nvt, ZeroTablesReadLikeTheParent) {
  ASSERT_EQ(write_and_open(test::nvt_file("base.bin", flat_, {})), OK);
  EXPECT_EQ(image_.format, FORMAT_NVT);
  const DiskGeometry g = get_geometry(image_);
  EXPECT_EQ(g.total_sectors, kSectors);
  EXPECT_EQ(g.heads, 4u);
  close_image(image_);
  EXPECT_TRUE(test::read_image_disk(dir_.file("disk.nvt")) == parent_);
}

TEST_F(Nvt, StoredChunksHideTheParent) {
  Bytes chunk(65536);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i / 3);
  ASSERT_EQ(write_and_open(test::nvt_file("base.bin", flat_, {{1, chunk}, {6, Bytes(65536, 0)}})), OK);
  Bytes b(100);
  ASSERT_EQ(read_bytes(image_, 70000, b), OK);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), chunk.begin() + 4464));
  // A read across chunk borders takes each piece from where it lies.
  Bytes all(size_t{kSectors} * 512);
  ASSERT_EQ(read_bytes(image_, 0, all), OK);
  Bytes expected = parent_;
  std::copy(chunk.begin(), chunk.end(), expected.begin() + 65536);
  std::fill_n(expected.begin() + 6 * 65536, 65536, 0);
  EXPECT_TRUE(all == expected);
  EXPECT_EQ(read_bytes(image_, kSectors * 512 - 10, std::span(b).first(11)), ERR_UNSUPPORTED);
  bool free = false;
  EXPECT_EQ(is_range_free(image_, nullptr, 0, 1, free, nullptr), ERR_UNSUPPORTED);
}

TEST_F(Nvt, ParentsFoundByDetection) {
  test::write_file(dir_.file("base.bochs"), test::wrap_bochs(parent_));
  ASSERT_EQ(write_and_open(test::nvt_file("base.bochs", std::nullopt, {})), OK);
  close_image(image_);
  EXPECT_TRUE(test::read_image_disk(dir_.file("disk.nvt")) == parent_);
  // A file that names itself ends in an error, not in endless opens.
  EXPECT_EQ(write_and_open(test::nvt_file("self.nvt", std::nullopt, {}), "self.nvt"), ERR_UNSUPPORTED);
}

TEST_F(Nvt, RefusedFiles) {
  Bytes file = test::nvt_file("base.bin", flat_, {});
  EXPECT_EQ(write_and_open(Bytes(file.begin(), file.begin() + 2047)), ERR_BAD_FORMAT);
  EXPECT_EQ(write_and_open(test::nvt_file("missing.bin", flat_, {})), ERR_OPEN);
  EXPECT_EQ(write_and_open(test::nvt_file("missing.bin", std::nullopt, {})), ERR_OPEN);
  EXPECT_EQ(write_and_open(test::nvt_file("", flat_, {})), ERR_BAD_FORMAT);
  file[4] = 1;
  EXPECT_EQ(write_and_open(file), ERR_BAD_FORMAT);
  // A folder and a stored name that together do not fit a path are refused, not cut short.
  std::string deep = dir_.path().string();
  while (deep.size() < 3700) deep += "/" + std::string(200, 'd');
  std::filesystem::create_directories(deep);
  test::write_file(deep + "/disk.nvt", test::nvt_file(std::string(500, 'n'), flat_, {}));
  EXPECT_EQ(open_nvt_image(image_, deep + "/disk.nvt", true), ERR_UNSUPPORTED);
}

}  // namespace
}  // namespace qx
