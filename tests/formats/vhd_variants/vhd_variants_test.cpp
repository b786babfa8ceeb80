// The read-only VHD variants: fixed VHDs made by qemu-img, and the strict and headed layouts
// that no tool here makes, built by the VHD builder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/test_support.hpp"
#include "support/vhd_builder.hpp"

namespace qx {
namespace {

using test::shell_quote;

// A disk with a pattern in a few places and zeros elsewhere.
std::vector<uint8_t> sample_disk(uint64_t sectors) {
  std::vector<uint8_t> disk(sectors * 512, 0);
  for (uint64_t s : {uint64_t{0}, uint64_t{7}, sectors / 2, sectors - 1})
    for (uint32_t i = 0; i < 512; ++i) disk[s * 512 + i] = static_cast<uint8_t>(s * 31 + i + 1);
  return disk;
}

bool range_free(DiskImage& image, uint32_t first, uint32_t count) {
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, first, count, free, nullptr), OK);
  return free;
}

std::vector<uint8_t> read_all(DiskImage& image) {
  std::vector<uint8_t> out(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, out), OK);
  return out;
}

// ---- fixed (11) ----

struct FixedVhd {
  test::TempDir dir;
  std::string raw = dir.file("disk.raw"), path = dir.file("disk.vhd");
  std::vector<uint8_t> disk = sample_disk(20000);
  FixedVhd() {
    test::write_file(raw, disk);
    const auto r = test::run_command("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " +
                                     shell_quote(raw) + " " + shell_quote(path) + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
  }
  uint64_t footer_at() const { return disk.size(); }
  // Sets a footer byte and, unless told not to, makes the checksum valid again.
  void patch_footer(uint32_t offset, uint8_t value, bool fix = true) {
    test::patch_byte(path, footer_at() + offset, value);
    if (!fix) return;
    std::vector<uint8_t> f = test::read_range(path, footer_at(), 512);
    const uint32_t sum = test::vhd_checksum_of(f, 64);
    test::patch_file(path, footer_at() + 64, {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
  }
};

TEST(FixedVhd, QemuImageReadsAsItsRawDiskAndNamesItsUniqueId) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  FixedVhd f;
  DiskImage image;
  ASSERT_EQ(open_image(image, f.path, true), OK);
  EXPECT_EQ(image.format, FORMAT_VHD_FIXED);
  // force_size keeps the exact size; the rounded-down geometry would lose the last sectors.
  EXPECT_EQ(get_geometry(image).total_sectors, 20000u);
  EXPECT_EQ(read_all(image), f.disk);
  EXPECT_TRUE(range_free(image, 8, 1000));
  EXPECT_FALSE(range_free(image, 9000, 2000));
  const ImageIdentity id = image_identity(image);
  EXPECT_EQ(id.kind, ImageIdentity::VHD_UNIQUE_ID);
  EXPECT_EQ(std::vector<uint8_t>(id.bytes, id.bytes + 16), test::read_range(f.path, f.footer_at() + 68, 16));
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, 19999, 2, free, nullptr), ERR_UNSUPPORTED);
  close_image(image);
  // A 511-byte footer (the file one byte shorter) is the same disk.
  ASSERT_EQ(::truncate(f.path.c_str(), static_cast<off_t>(f.disk.size() + 511)), 0);
  ASSERT_EQ(open_image_as(image, f.path, true, FORMAT_VHD_FIXED), OK);
  EXPECT_EQ(read_all(image), f.disk);
}

TEST(FixedVhd, FooterRulesRefuse) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  struct Case {
    const char* what;
    uint32_t offset;
    uint8_t value;
    bool fix;
  };
  for (const Case& c : {Case{"checksum 0", 64, 0, false}, Case{"checksum 0 (all bytes)", 67, 0, false},
                        Case{"cookie", 0, 'C', true}, Case{"version", 13, 2, true},
                        Case{"disk type", 63, 3, true}, Case{"data offset", 23, 0, true},
                        Case{"reserved", 300, 1, true}, Case{"current size", 54, 0xFF, true}}) {
    FixedVhd f;
    if (c.offset == 67) {
      for (uint32_t o = 64; o < 68; ++o) test::patch_byte(f.path, f.footer_at() + o, 0);
    } else {
      f.patch_footer(c.offset, c.value, c.fix);
    }
    DiskImage image;
    EXPECT_EQ(open_image_as(image, f.path, true, FORMAT_VHD_FIXED), ERR_BAD_FORMAT) << c.what;
  }
}

// ---- strict dynamic (12) and differencing (14) ----

test::VhdStrictShape strict_shape(uint32_t cylinders) {
  test::VhdStrictShape s;
  s.geometry = {cylinders, 16, 63};
  return s;
}

std::map<uint32_t, std::vector<uint8_t>> sectors_of(const std::vector<uint8_t>& disk,
                                                    std::initializer_list<uint32_t> which) {
  std::map<uint32_t, std::vector<uint8_t>> out;
  for (uint32_t s : which) out[s].assign(disk.begin() + s * 512, disk.begin() + (s + 1) * 512);
  return out;
}

ErrorCode open_strict(const test::TempDir& dir, const std::vector<uint8_t>& bytes, DiskImage& image,
                      int32_t id = FORMAT_VHD_CXSPARSE) {
  const std::string path = dir.file("strict.vhd");
  test::write_file(path, bytes);
  return open_image_as(image, path, true, id);
}

TEST(StrictVhd, ReadsBlocksAndAnswersByContent) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk(20160);  // 20 cylinders
  auto sectors = sectors_of(disk, {0, 7, 10080, 20159});
  sectors[9000].assign(512, 0);  // a stored zero sector
  DiskImage image;
  ASSERT_EQ(open_strict(dir, test::vhd_strict_bytes(strict_shape(20), sectors), image), OK);
  EXPECT_EQ(get_geometry(image).total_sectors, 20160u);
  EXPECT_EQ(read_all(image), disk);
  std::vector<uint8_t> part(700);
  ASSERT_EQ(read_bytes(image, 7 * 512 - 100, part), OK);  // across sectors of a block
  EXPECT_EQ(0, std::memcmp(part.data(), disk.data() + 7 * 512 - 100, part.size()));
  EXPECT_TRUE(range_free(image, 8, 8000));      // block 1 holds only zeros
  EXPECT_TRUE(range_free(image, 12288, 4000));  // block 3 is not stored
  EXPECT_FALSE(range_free(image, 20000, 160));
  EXPECT_EQ(image_identity(image).kind, ImageIdentity::VHD_UNIQUE_ID);
}

TEST(StrictVhd, HeaderRulesRefuse) {
  test::TempDir dir;
  DiskImage image;
  // 100 MiB: ceil(100 / 2) entries or one more, nothing else.
  for (uint32_t entries : {49u, 50u, 51u, 52u}) {
    test::VhdStrictShape s = strict_shape(203);
    s.original_size = 100u << 20;
    s.max_table_entries = entries;
    EXPECT_EQ(open_strict(dir, test::vhd_strict_bytes(s, {}), image), entries == 50 || entries == 51 ? OK : ERR_BAD_FORMAT)
        << entries;
  }
  // A real dynamic header's checksum where the layout keeps 0x0000FFFF.
  std::vector<uint8_t> bytes = test::vhd_strict_bytes(strict_shape(20), {});
  const uint32_t sum = test::vhd_checksum_of(std::span(bytes).subspan(512, 1024), 36);
  for (int i = 0; i < 4; ++i) bytes[548 + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
  EXPECT_EQ(open_strict(dir, bytes, image), ERR_BAD_FORMAT);
  // The footer copy at the end must match the one at the start.
  bytes = test::vhd_strict_bytes(strict_shape(20), {});
  bytes[bytes.size() - 511 + 70] ^= 1;
  EXPECT_EQ(open_strict(dir, bytes, image), ERR_BAD_FORMAT);
  // A geometry larger than the table covers.
  test::VhdStrictShape s = strict_shape(40);
  s.original_size = 4u << 20;
  EXPECT_EQ(open_strict(dir, test::vhd_strict_bytes(s, {}), image), ERR_BAD_FORMAT);
}

TEST(StrictVhd, DifferencingReadsPresentSectorsAndThePassageToItsParent) {
  test::TempDir dir;
  const std::vector<uint8_t> base = sample_disk(20160);
  test::write_file(dir.file("base.vhd"), test::vhd_fixed_bytes({20, 16, 63}, base));
  std::vector<uint8_t> expected = base;
  std::vector<uint8_t> mine(512, 0xC3);
  std::memcpy(expected.data() + 10080 * 512, mine.data(), 512);
  std::memset(expected.data() + 7 * 512, 0, 512);  // the child hides the parent's sector
  test::VhdStrictShape s = strict_shape(20);
  s.disk_type = 4;
  s.parent_name = "base.vhd";
  s.parent_id = test::vhd_builder_unique_id();
  std::map<uint32_t, std::vector<uint8_t>> sectors{{10080, mine}, {7, std::vector<uint8_t>(512, 0)}};
  DiskImage image;
  ASSERT_EQ(open_strict(dir, test::vhd_strict_bytes(s, sectors), image, FORMAT_VHD_CXSPARSE2), OK);
  EXPECT_EQ(read_all(image), expected);
  EXPECT_EQ(parent_chain_status(image), OK);
  EXPECT_TRUE(range_free(image, 7, 1));    // present and zero
  EXPECT_FALSE(range_free(image, 0, 7));   // absent: the parent's data
  EXPECT_FALSE(range_free(image, 12288, 7872));  // not stored: the parent's last sector
  EXPECT_TRUE(range_free(image, 12288, 7000));
  close_image(image);

  s.parent_id[3] ^= 1;
  ASSERT_EQ(open_strict(dir, test::vhd_strict_bytes(s, sectors), image, FORMAT_VHD_CXSPARSE2), OK);
  EXPECT_EQ(parent_chain_status(image), ERR_BAD_FORMAT);
  close_image(image);
  test::write_file(dir.file("base.vhd"), test::vhd_fixed_bytes({20, 16, 62}, base));
  EXPECT_EQ(open_strict(dir, test::vhd_strict_bytes(s, sectors), image, FORMAT_VHD_CXSPARSE2), ERR_BAD_FORMAT);
}

// The dynamic VHD child checks the unique id it recorded against the fixed parent's.
TEST(FixedVhd, ChildOverAnotherFixedDiskIsRefused) {
  test::TempDir dir;
  test::write_file(dir.file("base.vhd"), test::vhd_fixed_bytes({20, 16, 63}, sample_disk(20160)));
  for (bool same : {true, false}) {
    test::VhdShape shape;
    shape.total_sectors = 20160;
    shape.geometry = std::array<uint32_t, 3>{20, 16, 63};
    shape.disk_type = 4;
    shape.parent_name = "base.vhd";
    shape.locators = {{"W2ku", test::utf16le_bytes(dir.file("base.vhd")), {}}};
    shape.parent_unique_id = test::vhd_builder_unique_id();
    if (!same) (*shape.parent_unique_id)[5] ^= 1;
    test::VhdBuilder(shape).write_to(dir.file("child.vhd"));
    DiskImage image;
    ASSERT_EQ(open_image(image, dir.file("child.vhd"), true), OK);
    EXPECT_EQ(parent_chain_status(image), same ? OK : ERR_BAD_FORMAT);
  }
}

// ---- headed (13) ----

TEST(HeadedVhd, DataFollowTheHead) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk(20160);
  std::vector<uint8_t> bytes = test::vhd_headed_bytes({20, 16, 63}, disk);
  DiskImage image;
  ASSERT_EQ(open_strict(dir, bytes, image, FORMAT_VHD_511), OK);
  EXPECT_EQ(read_all(image), disk);
  EXPECT_FALSE(range_free(image, 0, 1));
  EXPECT_TRUE(range_free(image, 1, 6));
  close_image(image);
  bytes.push_back(0);  // the footer no longer ends the file
  EXPECT_EQ(open_strict(dir, bytes, image, FORMAT_VHD_511), ERR_BAD_FORMAT);
}

TEST(VhdVariants, ByteFlipsEndInCleanResults) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk(20160);
  test::write_file(dir.file("base.vhd"), test::vhd_fixed_bytes({20, 16, 63}, disk));
  test::VhdStrictShape diff = strict_shape(20);
  diff.disk_type = 4;
  diff.parent_name = "base.vhd";
  const auto sectors = sectors_of(disk, {0, 7, 10080});
  const struct {
    int32_t id;
    std::vector<uint8_t> bytes;
    std::vector<test::ByteRegion> regions;
  } cases[] = {
      {FORMAT_VHD_FIXED, test::vhd_fixed_bytes({20, 16, 63}, disk), {{20160 * 512, 512}}},
      {FORMAT_VHD_CXSPARSE, test::vhd_strict_bytes(strict_shape(20), sectors), {{0, 1600}}},
      {FORMAT_VHD_CXSPARSE2, test::vhd_strict_bytes(diff, sectors), {{0, 2048}, {2048 + 512, 64}}},
      {FORMAT_VHD_511, test::vhd_headed_bytes({20, 16, 63}, disk), {{(10u << 20), 511}}},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file("flip.vhd");
    test::write_file(path, c.bytes);
    const test::FlipStats stats = test::run_image_flip_campaign(path, c.id, c.regions, 300, 13 + c.id);
    EXPECT_EQ(stats.failure, "") << c.id;
    EXPECT_GT(stats.flips, 250) << c.id;
  }
}

}  // namespace
}  // namespace qx
