// Sparse extents built to exact shapes: what open refuses, how grains read, and what the trim
// keeps, where it puts it and what a refused or cancelled trim leaves behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "formats/format_ids.hpp"
#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "support/file_patch.hpp"
#include "support/image_checks.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vmdk_builder.hpp"
#include "image/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;

std::string mono_descriptor(uint32_t sectors, const std::string& parent = "", const std::string& parent_cid = "ffffffff") {
  return test::vmdk_descriptor("monolithicSparse", {test::sparse_extent_line(sectors, "m.vmdk")}, parent,
                               "12345678", parent_cid);
}

test::VmdkExtentShape mono_shape(uint32_t sectors, const std::string& parent = "") {
  return test::vmdk_shape(sectors, mono_descriptor(sectors, parent, parent.empty() ? "ffffffff" : "12345678"));
}

// A map whose one volume calls sectors [0, used) used and the rest unused, answered by a reader
// that stands in for a file system's.
uint32_t g_used_end = 0;
ErrorCode mark_below(const ReaderState&, uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                     uint32_t bit) {
  for (uint32_t i = 0; i < count; ++i) put_bit(bitmap, bit + i, first + i < g_used_end);
  return OK;
}
const FsReader kUsedBelow = {"used below", nullptr, mark_below};

// Declares the whole volume its own, so that mark() alone decides.
struct UsedBelowState : ReaderState {
  uint64_t declared_sectors() const noexcept override { return UINT64_MAX; }
};

struct Map {
  UsageMap map;
  Map(uint32_t total, uint32_t used) {
    g_used_end = used;
    override_fs_reader(0, &kUsedBelow);
    map.volumes.push_back(VolumeEntry{0, total, 0, std::make_unique<UsedBelowState>()});
  }
  ~Map() { override_fs_reader(0, nullptr); }
};

// Trims over a map that calls [0, used_sectors) used, then commits or discards as the command line does.
ErrorCode trim(const std::string& path, uint32_t used_sectors = UINT32_MAX, test::ProgressLog* log = nullptr) {
  uint32_t total = 0;
  {
    DiskImage image;
    if (ErrorCode rc = open_image(image, path, true); rc != OK) return rc;
    total = get_geometry(image).total_sectors;
  }
  Map m(total, std::min(total, used_sectors));
  return test::trim(path, log, &m.map).rc;
}

std::vector<std::string> names_in(const test::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(VmdkExtentOpen, DamagedExtentsAreRefused) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentBuilder b(mono_shape(4096));
  b.fill(0, 1, 1);
  b.fill(600, 3, 2);
  const auto good = b.bytes();
  const uint64_t table0 = (b.rgd() + 1) * 512;  // the redundant directory's first table
  const struct {
    const char* name;
    std::function<void()> damage;
    ErrorCode rc;
  } cases[] = {
      {"one byte too long", [&] { auto f = good; f.push_back(0); test::write_file(path, f); }, ERR_BAD_FORMAT},
      {"unclean shutdown", [&] { test::patch_byte(path, test::kVmdkUncleanOffset, 1); }, ERR_BAD_FORMAT},
      {"grain size 0", [&] { test::patch_file_le64(path, test::kVmdkGrainSizeOffset, 0); }, ERR_BAD_FORMAT},
      {"grain size 2^32", [&] { test::patch_file_le64(path, test::kVmdkGrainSizeOffset, 1ull << 32); }, ERR_BAD_FORMAT},
      {"huge grain", [&] { test::patch_file_le64(path, test::kVmdkGrainSizeOffset, 1u << 24); }, ERR_BAD_FORMAT},
      {"tables differ", [&] { test::patch_file_le32(path, table0, 7); }, ERR_BAD_FORMAT},
      {"redundant entry 0", [&] { test::patch_file_le32(path, b.rgd() * 512, 0); }, ERR_READ},
      {"directory 0", [&] { test::patch_file_le64(path, test::kVmdkGdOffset, 0); }, ERR_BAD_FORMAT},
      {"directory beyond the file", [&] { test::patch_file_le64(path, test::kVmdkGdOffset, 1u << 30); }, ERR_BAD_FORMAT},
      {"truncated", [&] { auto f = good; f.resize(f.size() - 512); test::write_file(path, f); }, ERR_BAD_FORMAT},
      // No header: the file is taken for a text, and is too long for one.
      {"bad magic", [&] { test::patch_byte(path, 0, 'X'); }, ERR_BAD_FORMAT},
  };
  for (const auto& c : cases) {
    test::write_file(path, good);
    c.damage();
    DiskImage image;
    const ErrorCode rc = open_image_as(image, path, true, FORMAT_VMDK);
    EXPECT_EQ(rc, c.rc) << c.name;
  }
}

TEST(VmdkExtentOpen, ZeroDirectoryEntriesWithoutACopyAreAbsentTables) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentShape shape = mono_shape(3 * 16384);
  shape.grain = 32;
  shape.redundant = false;
  test::VmdkExtentBuilder b(shape);
  b.fill(2 * 16384 + 5, 1, 9);
  b.write_to(path);
  test::patch_file_le32(path, b.gd() * 512 + 4, 0);  // table 1 never allocated
  const auto disk = test::read_whole_disk(path);
  EXPECT_EQ(disk[(2 * 16384 + 5) * 512], 9);
  ASSERT_EQ(trim(path), OK);
  EXPECT_EQ(test::read_whole_disk(path), disk);
}

TEST(VmdkExtentRead, CompressedGrainsInflate) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentShape shape = mono_shape(2048);
  shape.compressed = true;
  test::VmdkExtentBuilder b(shape);
  std::vector<uint8_t> data(3 * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  b.write(126, data);  // across two grains
  b.write_to(path);
  const auto disk = test::read_whole_disk(path);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin() + 126 * 512));
  // Compressed extents are read, never rewritten.
  const auto bytes = test::read_file(path);
  EXPECT_EQ(trim(path), ERR_UNSUPPORTED);
  EXPECT_EQ(test::read_file(path), bytes);
  EXPECT_EQ(names_in(dir), std::vector<std::string>{"m.vmdk"});
  // A marker that names another grain is damage.
  const uint32_t entry = test::vmdk_grain_entry(bytes, b.gd(), 0, 0);
  test::patch_file_le64(path, uint64_t{entry} * 512, 128);
  DiskImage image;
  ASSERT_EQ(open_image(image, path, true), OK);
  std::vector<uint8_t> s(512);
  EXPECT_EQ(read_bytes(image, 126 * 512, s), ERR_BAD_FORMAT);
}

TEST(VmdkExtentRead, StreamTailGivesTheDirectory) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentShape shape = mono_shape(70000);
  shape.compressed = shape.directory_at_end = true;
  shape.redundant = false;
  test::VmdkExtentBuilder b(shape);
  b.fill(66000, 2, 0x42);  // in the second table
  b.write_to(path);
  EXPECT_EQ(test::read_whole_disk(path)[66001 * 512], 0x42);
  // The directory marker names the directory's sectors; another marker there is damage.
  const uint64_t marker = std::filesystem::file_size(path) / 512 - 5;
  test::patch_file_le32(path, marker * 512 + 12, 3);
  DiskImage image;
  EXPECT_EQ(open_image_as(image, path, true, FORMAT_VMDK), ERR_BAD_FORMAT);
}

TEST(VmdkTrim, UnusedHalfLeavesOverheadAndTheKeptGrains) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentBuilder b(mono_shape(8192));
  b.fill(0, 1, 1);         // grain 0
  b.allocate(1);           // zeros: dropped from a base
  b.fill(2 * 128 + 127, 1, 3);  // grain 2, last sector
  b.fill(5000, 4, 4);      // unused half
  b.write_to(path);
  const auto before = test::read_file(path);
  const auto disk = test::read_whole_disk(path);
  ASSERT_EQ(trim(path, 4096), OK);
  const auto after = test::read_file(path);
  const auto h = test::read_vmdk_header(after);
  EXPECT_EQ(after.size(), (b.overhead() + 2 * 128) * 512);
  // Header, embedded descriptor and the directories stay where they were.
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 21 * 512, before.begin()));
  EXPECT_EQ(h.rgd, b.rgd());
  EXPECT_EQ(h.gd, b.gd());
  for (uint64_t d : {h.rgd, h.gd}) {
    EXPECT_EQ(test::vmdk_grain_entry(after, d, 0, 0), b.overhead());
    EXPECT_EQ(test::vmdk_grain_entry(after, d, 0, 1), 0u);
    EXPECT_EQ(test::vmdk_grain_entry(after, d, 0, 2), b.overhead() + 128);
    EXPECT_EQ(test::vmdk_grain_entry(after, d, 0, 39), 0u);
  }
  auto expected = disk;
  std::fill(expected.begin() + 5000 * 512, expected.begin() + 5004 * 512, 0);
  EXPECT_EQ(test::read_whole_disk(path), expected);
  EXPECT_EQ(test::read_file(path + "_DEL"), before);
}

TEST(VmdkTrim, ShortLastGrainIsWrittenWholeAndZeroPadded) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentBuilder b(mono_shape(1000));
  b.fill(999, 1, 0xEE);
  b.write_to(path);
  const auto disk = test::read_whole_disk(path);
  ASSERT_EQ(trim(path), OK);
  EXPECT_EQ(test::read_whole_disk(path), disk);
  const auto after = test::read_file(path);
  EXPECT_EQ(after.size(), (b.overhead() + 128) * 512);
  EXPECT_EQ(after[(b.overhead() + 999 % 128) * 512], 0xEE);
  EXPECT_TRUE(std::all_of(after.end() - (128 - 999 % 128 - 1) * 512, after.end(), [](uint8_t v) { return v == 0; }));
}

TEST(VmdkTrim, SplitImageGetsOneOutputPerExtentAndKeepsItsDescriptor) {
  test::TempDir dir;
  std::vector<std::string> lines;
  for (int i = 0; i < 3; ++i) {
    test::VmdkExtentBuilder b(test::vmdk_shape(2048));
    b.fill(static_cast<uint32_t>(100 * i), 2, static_cast<uint8_t>(i + 1));
    b.allocate(10);
    b.write_to(dir.file("s" + std::to_string(i) + ".vmdk"));
    lines.push_back(test::sparse_extent_line(2048, "s" + std::to_string(i) + ".vmdk"));
  }
  const std::string text = test::vmdk_descriptor("twoGbMaxExtentSparse", lines);
  test::write_file(dir.file("d.vmdk"), std::vector<uint8_t>(text.begin(), text.end()));
  const auto disk = test::read_whole_disk(dir.file("d.vmdk"));
  ASSERT_EQ(trim(dir.file("d.vmdk")), OK);
  EXPECT_EQ(test::read_whole_disk(dir.file("d.vmdk")), disk);
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"d.vmdk", "s0.vmdk", "s0.vmdk_DEL", "s1.vmdk",
                                                      "s1.vmdk_DEL", "s2.vmdk", "s2.vmdk_DEL"}));
  EXPECT_EQ(test::read_file(dir.file("d.vmdk")), std::vector<uint8_t>(text.begin(), text.end()));
  EXPECT_LT(fs::file_size(dir.file("s1.vmdk")), fs::file_size(dir.file("s1.vmdk_DEL")));
}

TEST(VmdkTrim, ChildKeepsZeroGrainsThatHideItsParent) {
  test::TempDir dir;
  test::VmdkExtentBuilder base(test::vmdk_shape(4096, test::vmdk_descriptor("monolithicSparse", {test::sparse_extent_line(4096, "b.vmdk")})));
  base.fill(0, 4096, 0x77);
  base.write_to(dir.file("b.vmdk"));
  test::VmdkExtentBuilder child(mono_shape(4096, "b.vmdk"));
  child.allocate(3);       // zeros over the parent's data
  child.fill(3000, 1, 0x55);
  child.write_to(dir.file("m.vmdk"));
  const auto base_bytes = test::read_file(dir.file("b.vmdk"));
  const auto disk = test::read_whole_disk(dir.file("m.vmdk"));
  ASSERT_EQ(disk[3 * 128 * 512], 0);
  ASSERT_EQ(trim(dir.file("m.vmdk"), 2048), OK);
  const auto after = test::read_whole_disk(dir.file("m.vmdk"));
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 2048 * 512, disk.begin()));
  // The allocated grain beyond the used part is dropped: the parent shows through.
  EXPECT_EQ(disk[3000 * 512], 0x55);
  EXPECT_EQ(after[3000 * 512], 0x77);
  EXPECT_EQ(test::read_file(dir.file("b.vmdk")), base_bytes);
}

TEST(VmdkTrim, RefusedAndCancelledTrimsLeaveNothing) {
  test::TempDir dir;
  const std::string path = dir.file("m.vmdk");
  test::VmdkExtentBuilder b(mono_shape(4096));
  b.fill(0, 4096, 1);
  b.write_to(path);
  const auto bytes = test::read_file(path);
  test::ProgressLog log;
  log.cancel_at = 1;
  EXPECT_EQ(trim(path, UINT32_MAX, &log), CANCELLED);
  EXPECT_EQ(test::read_file(path), bytes);
  EXPECT_EQ(names_in(dir), std::vector<std::string>{"m.vmdk"});
  // Grains written at the overhead would land on the directory.
  test::patch_file_le64(path, test::kVmdkOverheadOffset, b.gd() + 2);
  EXPECT_EQ(trim(path), ERR_UNSUPPORTED);
  EXPECT_EQ(names_in(dir), std::vector<std::string>{"m.vmdk"});
  // Flat images read but are not trimmed.
  test::make_sparse_file(dir.file("f.bin"), 4096 * 512);
  const std::string text = test::vmdk_descriptor("monolithicFlat", {test::flat_extent_line(4096, "f.bin")});
  test::write_file(dir.file("f.vmdk"), std::vector<uint8_t>(text.begin(), text.end()));
  EXPECT_EQ(trim(dir.file("f.vmdk")), ERR_UNSUPPORTED);
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"f.bin", "f.vmdk", "m.vmdk"}));
}

}  // namespace
}  // namespace qx
