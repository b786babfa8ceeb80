#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "formats/format_ids.hpp"
#include "formats/split_raw/split_raw.hpp"
#include "image/detect.hpp"
#include "support/disk_builder.hpp"
#include "support/split_raw_builder.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr uint32_t kSectors = 64;

std::vector<uint8_t> pattern_disk(uint32_t sectors = kSectors) {
  std::vector<uint8_t> d(size_t{sectors} * 512);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>((i * 7 + i / 512) | 1);
  return d;
}

void write_text(const std::string& path, const std::string& text) {
  test::write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// Reads the whole disk through the image in odd-sized pieces that cross part boundaries.
std::vector<uint8_t> read_all(DiskImage& image) {
  const uint64_t size = get_geometry(image).size_bytes();
  std::vector<uint8_t> out(static_cast<size_t>(size));
  for (uint64_t pos = 0; pos < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(3000, size - pos));
    EXPECT_EQ(read_bytes(image, pos, std::span(out).subspan(static_cast<size_t>(pos), n)), OK);
    pos += n;
  }
  return out;
}

class SplitRawTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
  // Three parts named by a description.
  std::string described(const std::string& extra = "") {
    const std::vector<uint64_t> sizes = {10000, 512, kSectors * 512 - 10512};
    headers_ = test::write_split_raw_parts({path("one.bin"), path("two.bin"), path("three.bin")},
                                           disk_, sizes);
    write_text(path("disk.txt"),
               "; split raw disk\n"
               "file = \"one.bin\"\nmax_size = 10000\n\n"
               "file=two.bin ; the small one\nmax_size=512 bytes\n"
               "other = ignored\n"
               "file = \"three.bin\"\r\nmax_size = \"2G\"\n" +
                   extra);
    return path("disk.txt");
  }
  ErrorCode open(const std::string& p, DiskImage& image) { return open_image(image, p, true); }

  test::TempDir dir_;
  std::vector<uint8_t> disk_ = pattern_disk();
  std::vector<test::SplitRawHeader> headers_;
};

TEST_F(SplitRawTest, DescriptionJoinsItsParts) {
  DiskImage image;
  ASSERT_EQ(open(described(), image), OK);
  EXPECT_EQ(image.format, FORMAT_SPLIT_RAW);
  const DiskGeometry g = get_geometry(image);
  EXPECT_EQ(g.total_sectors, kSectors);
  EXPECT_EQ(g.heads, 16u);
  EXPECT_EQ(g.sectors_per_track, 63u);
  EXPECT_EQ(g.bytes_per_sector, 512u);
  EXPECT_EQ(read_all(image), disk_);
  std::vector<uint8_t> one(1);
  EXPECT_EQ(read_bytes(image, kSectors * 512, one), ERR_UNSUPPORTED);
  EXPECT_EQ(read_bytes(image, kSectors * 512, {}), OK);
}

TEST_F(SplitRawTest, FreeRangesFollowTheMapAndTheData) {
  // Zeros from sector 20 on; the disk has no partition table, so every sector counts as used.
  std::fill(disk_.begin() + 20 * 512, disk_.end(), 0);
  DiskImage image;
  ASSERT_EQ(open(described(), image), OK);
  ErrorCode rc = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, rc, recognised);
  ASSERT_TRUE(map);
  bool free = true;
  ASSERT_EQ(is_range_free(image, map.get(), 0, 21, free, nullptr), OK);
  EXPECT_FALSE(free);
  ASSERT_EQ(is_range_free(image, map.get(), 20, kSectors - 20, free, nullptr), OK);
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free(image, nullptr, 19, 1, free, nullptr), OK);
  EXPECT_FALSE(free);
  EXPECT_EQ(is_range_free(image, nullptr, kSectors - 1, 2, free, nullptr), ERR_UNSUPPORTED);
}

TEST_F(SplitRawTest, StoredNamesResolveAgainstTheDescription) {
  std::filesystem::create_directory(dir_.path() / "sub");
  const std::vector<uint64_t> sizes = {kSectors * 256, kSectors * 256};
  test::write_split_raw_parts({path("sub/a.bin"), path("b.bin")}, disk_, sizes);
  write_text(path("sub/d.txt"),
             "file = a.bin\nmax_size = 1\n"
             "file = ../b.bin\nmax_size = 1\n");
  DiskImage image;
  ASSERT_EQ(open(path("sub/d.txt"), image), OK);
  EXPECT_EQ(read_all(image), disk_);
  // A stored path that leads nowhere falls back to its bare name beside the description.
  write_text(path("sub/d.txt"), "file = /nowhere/a.bin\nmax_size = 1\nfile = " + path("b.bin") +
                                    "\nmax_size = 1\n");
  DiskImage again;
  ASSERT_EQ(open(path("sub/d.txt"), again), OK);
  EXPECT_EQ(read_all(again), disk_);
}

TEST_F(SplitRawTest, DescriptionsThatAreRefused) {
  described();
  DiskImage image;
  auto refused = [&](const std::string& text, const char* what) {
    write_text(path("d.txt"), text);
    EXPECT_NE(open_split_raw_description(image, path("d.txt"), true), OK) << what;
    EXPECT_FALSE(image.is_open()) << what;
  };
  refused("file = one.bin\nfile = two.bin\nfile = three.bin\nmax_size = 1\n", "counts differ");
  refused("max_size = 1\n", "no file");
  refused("", "empty");
  refused("file = one.bin\nmax_size = 1\nfile = two.bin\nmax_size = 1\nfile = three.bin\n"
          "max_size = x\n",
          "size without digits");
  refused("file = one.bin\nmax_size = 1\nthis line has no equals sign\n", "not key = value");
  refused("file = \"one.bin\nmax_size = 1\n", "open quote");
  refused(std::string("file = one.bin\0\nmax_size = 1\n", 29), "NUL");
  refused("file = one.bin\xFF\nmax_size = 1\n", "not UTF-8");
  refused("file = one.bin\nmax_size = 1\nfile = two.bin\nmax_size = 1\n", "parts short of the disk");
  refused("file = one.bin\nmax_size = 1\nfile = two.bin\nmax_size = 1\nfile = missing.bin\n"
          "max_size = 1\n",
          "missing part");
  refused("file = two.bin\nmax_size = 1\nfile = one.bin\nmax_size = 1\nfile = three.bin\n"
          "max_size = 1\n",
          "parts out of order");
  // The longest description, and one byte more.
  std::string big = "file = one.bin\nmax_size = 1\nfile = two.bin\nmax_size = 1\n"
                    "file = three.bin\nmax_size = 1\n;";
  big += std::string(655360 - big.size() - 1, 'x') + "\n";
  ASSERT_EQ(big.size(), 655360u);
  write_text(path("d.txt"), big);
  EXPECT_EQ(open_split_raw_description(image, path("d.txt"), true), OK);
  close_image(image);
  write_text(path("d.txt"), big + "\n");
  EXPECT_EQ(open_split_raw_description(image, path("d.txt"), true), ERR_BAD_FORMAT);
  // More part lines than parts may have: refused before any part is opened.
  std::string many;
  for (int i = 0; i < 65537; ++i) many += "file=x\n";
  write_text(path("d.txt"), many);
  EXPECT_EQ(open_split_raw_description(image, path("d.txt"), true), ERR_BAD_FORMAT);
  EXPECT_EQ(open_split_raw_description(image, path("absent.txt"), true), ERR_OPEN);
}

TEST_F(SplitRawTest, DamagedPartHeadersAreRefused) {
  const std::string desc = described();
  auto refused_with = [&](size_t part, const std::function<void(test::SplitRawHeader&)>& change,
                          ErrorCode expected, const char* what) {
    described();
    test::SplitRawHeader h = headers_[part];
    change(h);
    const std::vector<std::string> names = {"one.bin", "two.bin", "three.bin"};
    auto bytes = test::read_file(path(names[part]));
    const auto header = test::split_raw_header(h);
    std::copy(header.begin(), header.end(), bytes.begin());
    test::write_file(path(names[part]), bytes);
    DiskImage image;
    EXPECT_EQ(open_split_raw_description(image, desc, true), expected) << what;
    EXPECT_FALSE(image.is_open());
  };
  refused_with(1, [](auto& h) { h.previous_link ^= 1; }, ERR_BAD_FORMAT, "link");
  refused_with(0, [](auto& h) { h.previous_link = 5; }, ERR_BAD_FORMAT, "first part's link");
  refused_with(2, [](auto& h) { h.data_offset += 512; }, ERR_BAD_FORMAT, "offset");
  refused_with(1, [](auto& h) { h.part_number = 2; }, ERR_BAD_FORMAT, "number");
  refused_with(1, [](auto& h) { h.data_length = 1024; }, ERR_BAD_FORMAT, "length");
  refused_with(1, [](auto& h) { h.flags = 1; }, ERR_BAD_FORMAT, "last part in the middle");
  refused_with(2, [](auto& h) { h.flags = 0; }, ERR_BAD_FORMAT, "no last part");
  refused_with(1, [](auto& h) { h.flags = 2; }, ERR_UNSUPPORTED, "compressed");
  refused_with(1, [](auto& h) { h.flags = 8; }, ERR_BAD_FORMAT, "unknown flag");
  refused_with(1, [](auto& h) { h.version = 1; }, ERR_BAD_FORMAT, "version");
  refused_with(2, [](auto& h) { h.heads = 255; }, ERR_BAD_FORMAT, "geometry differs");
  refused_with(0, [](auto& h) { h.bytes_per_sector = 4096; }, ERR_BAD_FORMAT, "sector size");
  refused_with(0, [](auto& h) { h.total_sectors = kSectors + 1; }, ERR_BAD_FORMAT, "disk size");

  // A CRC or signature that does not match.
  described();
  auto bytes = test::read_file(path("two.bin"));
  bytes[50] ^= 1;
  test::write_file(path("two.bin"), bytes);
  DiskImage image;
  EXPECT_EQ(open_split_raw_description(image, desc, true), ERR_BAD_FORMAT);
  described();
  bytes = test::read_file(path("two.bin"));
  bytes[103] = 0;
  std::vector<uint8_t> header(bytes.begin(), bytes.begin() + 104);
  test::reseal_split_raw_header(header);
  std::copy(header.begin(), header.end(), bytes.begin());
  test::write_file(path("two.bin"), bytes);
  EXPECT_EQ(open_split_raw_description(image, desc, true), ERR_BAD_FORMAT);
  // A part shorter than its header.
  described();
  test::write_file(path("two.bin"), std::vector<uint8_t>(50, 0x55));
  EXPECT_EQ(open_split_raw_description(image, desc, true), ERR_BAD_FORMAT);
}

TEST_F(SplitRawTest, PartFileGivenDirectly) {
  const std::vector<uint64_t> sizes = {8192, 8192, kSectors * 512 - 16384};
  test::write_split_raw_parts({path("disk.p00"), path("disk.p01"), path("disk.p02")}, disk_, sizes);
  for (const char* given : {"disk.p00", "disk.p01", "disk.p02"}) {
    DiskImage image;
    ASSERT_EQ(open(path(given), image), OK) << given;
    EXPECT_EQ(image.format, FORMAT_SPLIT_RAW);
    EXPECT_EQ(read_all(image), disk_) << given;
  }
  // A first part under another name carries its own name; the rest follow its stem.
  std::filesystem::rename(path("disk.p00"), path("disk.first"));
  DiskImage image;
  ASSERT_EQ(open(path("disk.first"), image), OK);
  EXPECT_EQ(read_all(image), disk_);
  // A later part whose first part is missing, or a chain with a hole.
  DiskImage none;
  EXPECT_EQ(open_split_raw_part(none, path("disk.p01"), true), ERR_BAD_FORMAT);
  std::filesystem::rename(path("disk.first"), path("disk.p00"));
  std::filesystem::remove(path("disk.p01"));
  EXPECT_EQ(open_split_raw_part(none, path("disk.p00"), true), ERR_BAD_FORMAT);
  EXPECT_EQ(open_split_raw_part(none, path("disk.p05"), true), ERR_OPEN);
}

TEST_F(SplitRawTest, PartNamesPastNinetyNine) {
  constexpr uint32_t kParts = 102;
  disk_ = pattern_disk(kParts);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < kParts; ++i) {
    char n[32];
    std::snprintf(n, sizeof n, i < 100 ? "big.p%02u" : "big.p%u", i);
    names.push_back(path(n));
  }
  test::write_split_raw_parts(names, disk_, std::vector<uint64_t>(kParts, 512));
  DiskImage image;
  ASSERT_EQ(open(path("big.p101"), image), OK);
  EXPECT_EQ(read_all(image), disk_);
}

TEST_F(SplitRawTest, OtherFilesAreNotParts) {
  DiskImage image;
  write_text(path("notes.txt"), "hello = world\n");
  EXPECT_NE(open_split_raw_part(image, path("notes.txt"), true), OK);
  EXPECT_NE(open_split_raw_description(image, path("notes.txt"), true), OK);
  EXPECT_EQ(open(path("notes.txt"), image), ERR_UNSUPPORTED);
}

}  // namespace
}  // namespace qx
