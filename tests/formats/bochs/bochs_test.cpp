// Bochs redologs built from the published layout, checked against qemu-img's own reader.
#include <gtest/gtest.h>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/emulator_images.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::Bytes;

// 300 KiB: zero extents, extents with some zero sectors, a partial last extent.
Bytes pattern_disk() {
  Bytes d(300 * 1024, 0);
  for (size_t i = 0; i < d.size(); ++i)
    if ((i / 512) % 5 != 1 && (i / 65536) != 2) d[i] = static_cast<uint8_t>(i * 13 + i / 512 + 1);
  return d;
}

class Bochs : public ::testing::Test {
 protected:
  ErrorCode open(const Bytes& file) {
    test::write_file(path_, file);
    return open_image(image_, path_, true);
  }
  test::TempDir dir_;
  std::string path_ = dir_.file("disk.img");
  DiskImage image_;
  Bytes disk_ = pattern_disk();
};

TEST_F(Bochs, QemuImgReadsWhatTheBuilderWrites) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::write_file(path_, test::wrap_bochs(disk_));
  const auto r = test::run_command("qemu-img convert -f bochs -O raw " + test::shell_quote(path_) + " " +
                                   test::shell_quote(dir_.file("out.raw")) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(test::read_file(dir_.file("out.raw")) == disk_);
  int32_t format = 0;
  EXPECT_TRUE(test::read_image_disk(path_, &format) == disk_);
  EXPECT_EQ(format, FORMAT_BOCHS);
}

TEST_F(Bochs, SubtypesAndBothSizeFields) {
  for (const char* subtype : {"Growing", "Undoable"}) {
    for (bool at_84 : {true, false}) {
      ASSERT_EQ(open(test::wrap_bochs(disk_, {.subtype = subtype, .size_at_84 = at_84})), OK) << subtype;
      EXPECT_EQ(get_geometry(image_).total_sectors, disk_.size() / 512);
      EXPECT_TRUE(test::read_image_disk(path_) == disk_) << subtype;
    }
  }
  test::write_file(path_, test::wrap_bochs(disk_, {.subtype = "Volatile"}));
  EXPECT_EQ(open_image_as(image_, path_, true, FORMAT_BOCHS), ERR_BAD_FORMAT);
}

TEST_F(Bochs, FreeRangesFollowTheBitmaps) {
  ASSERT_EQ(open(test::wrap_bochs(disk_)), OK);
  const Bytes file = test::read_file(path_);
  // Extent 2 holds only zeros: its catalog entry stays unallocated.
  EXPECT_EQ(file[test::kBochsCatalogOffset + 8], 0xFF);
  bool free = false;
  ASSERT_EQ(is_range_free(image_, nullptr, 256, 128, free, nullptr), OK);
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free(image_, nullptr, 6, 1, free, nullptr), OK);  // sector 6 is absent
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free(image_, nullptr, 6, 2, free, nullptr), OK);
  EXPECT_FALSE(free);
  EXPECT_EQ(is_range_free(image_, nullptr, 599, 2, free, nullptr), ERR_UNSUPPORTED);
}

TEST_F(Bochs, HeaderFieldsCheckedAgainstTheFile) {
  const Bytes good = test::wrap_bochs(disk_);
  const auto refused = [&](size_t at, uint32_t value) {
    Bytes b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    test::write_file(path_, b);
    return open_image_as(image_, path_, true, FORMAT_BOCHS);
  };
  EXPECT_EQ(refused(72, 0x40000000), ERR_BAD_FORMAT);  // catalog beyond the file
  EXPECT_EQ(refused(76, 0x7FFFFFFF), ERR_BAD_FORMAT);  // bitmap larger than the file
  EXPECT_EQ(refused(80, 8192 * 512), ERR_BAD_FORMAT);  // 4096 bits for 8192 sectors
  EXPECT_EQ(refused(80, 0), ERR_BAD_FORMAT);
  EXPECT_EQ(refused(84, 600 * 1024), ERR_BAD_FORMAT);  // larger than the catalog covers
  EXPECT_EQ(refused(64, 0x00020000), ERR_BAD_FORMAT);
}

}  // namespace
}  // namespace qx
