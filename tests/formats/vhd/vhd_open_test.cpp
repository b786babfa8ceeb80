// Opening and reading VHD files: the footer and header rules, geometry, layout and parent chains.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/vhd/vhd.hpp"
#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/test_support.hpp"
#include "support/vhd_builder.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr uint32_t kSmallBlock = 64 * 1024;  // 128 sectors

std::vector<uint8_t> sector_of(uint32_t seed) {
  std::vector<uint8_t> s(512);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>((seed * 131 + i * 7) | 1);
  return s;
}

test::VhdShape small_shape(uint32_t sectors = 1024) {
  test::VhdShape shape;
  shape.total_sectors = sectors;
  shape.block_bytes = kSmallBlock;
  return shape;
}

ErrorCode open_bytes(DiskImage& image, const test::TempDir& dir, const std::vector<uint8_t>& bytes,
                     const std::string& name = "disk.vhd") {
  test::write_file(dir.file(name), bytes);
  return open_image_as(image, dir.file(name), true, FORMAT_VHD);
}

std::vector<uint8_t> read_all(DiskImage& image) {
  std::vector<uint8_t> out(get_geometry(image).size_bytes());
  EXPECT_EQ(read_bytes(image, 0, out), OK);
  return out;
}

TEST(VhdBuilderCheck, IndependentReadersAcceptTheBuilderOutput) {
  if (!test::have_tool("qemu-img") || !test::have_tool("vhdiinfo")) GTEST_SKIP() << "qemu-img or vhdiinfo missing";
  test::TempDir dir;
  test::VhdBuilder b(small_shape(1000));
  b.write(5, sector_of(1));
  b.fill(300, 10, 0x42);
  b.mark_present(640, 3);
  b.write_to(dir.file("b.vhd"));
  const auto info = test::run_command("vhdiinfo " + test::shell_quote(dir.file("b.vhd")) + " 2>&1");
  EXPECT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find("Dynamic"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("512000 bytes"), std::string::npos) << info.output;
  ASSERT_EQ(test::run_command("qemu-img convert -f vpc -O raw " + test::shell_quote(dir.file("b.vhd")) +
                              " " + test::shell_quote(dir.file("b.raw")))
                .status,
            0);
  const auto raw = test::read_file(dir.file("b.raw"));
  ASSERT_EQ(raw.size(), 512000u);
  EXPECT_TRUE(std::equal(raw.begin() + 5 * 512, raw.begin() + 6 * 512, sector_of(1).begin()));
  EXPECT_EQ(raw[300 * 512], 0x42);
  EXPECT_EQ(raw[310 * 512 - 1], 0x42);
  EXPECT_EQ(raw[310 * 512], 0);

  // A differencing file names its parent; vhdiinfo reads its header and locators.
  test::VhdShape child = small_shape(1000);
  child.disk_type = 4;
  child.parent_name = "b.vhd";
  child.locators = {{"W2ku", test::utf16le_bytes(dir.file("b.vhd")), {}},
                    {"W2ru", test::utf16le_bytes(".\\b.vhd"), {}}};
  test::VhdBuilder(child).write_to(dir.file("c.vhd"));
  const auto cinfo = test::run_command("vhdiinfo " + test::shell_quote(dir.file("c.vhd")) + " 2>&1");
  EXPECT_EQ(cinfo.status, 0) << cinfo.output;
  EXPECT_NE(cinfo.output.find("Differential"), std::string::npos) << cinfo.output;
  EXPECT_NE(cinfo.output.find("b.vhd"), std::string::npos) << cinfo.output;
}

TEST(VhdOpen, ReadsThroughTheBatAndTheSectorBitmaps) {
  test::TempDir dir;
  test::VhdBuilder b(small_shape(1000));
  b.write(5, sector_of(1));
  b.write(129, sector_of(2));  // second block
  b.mark_present(130, 1);      // present and zero
  b.allocate(4);               // allocated, nothing present
  DiskImage image;
  ASSERT_EQ(open_bytes(image, dir, b.bytes()), OK);
  EXPECT_EQ(image.format, FORMAT_VHD);
  const DiskGeometry g = get_geometry(image);
  EXPECT_EQ(g.total_sectors, 1000u);
  EXPECT_EQ(g.bytes_per_sector, 512u);
  EXPECT_EQ(uint64_t{g.heads} * g.sectors_per_track * (1000 / (g.heads * g.sectors_per_track)), 1000u);
  const auto all = read_all(image);
  std::vector<uint8_t> expect(1000 * 512, 0);
  std::copy_n(sector_of(1).begin(), 512, expect.begin() + 5 * 512);
  std::copy_n(sector_of(2).begin(), 512, expect.begin() + 129 * 512);
  EXPECT_EQ(all, expect);
  // Reads that straddle blocks and start inside a sector.
  std::vector<uint8_t> part(700);
  ASSERT_EQ(read_bytes(image, 128 * 512 + 300, part), OK);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), expect.begin() + 128 * 512 + 300));
  ASSERT_EQ(read_bytes(image, 127 * 512 + 10, part), OK);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), expect.begin() + 127 * 512 + 10));
  // Nothing beyond the disk.
  std::vector<uint8_t> one(512);
  EXPECT_EQ(read_bytes(image, 999 * 512, one), OK);
  EXPECT_EQ(read_bytes(image, 999 * 512 + 1, one), ERR_UNSUPPORTED);
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, 999, 2, free, nullptr), ERR_UNSUPPORTED);
  EXPECT_TRUE(can_trim(image));
  EXPECT_FALSE(needs_layer_local_trim(image));
}

TEST(VhdOpen, FreeRangesFollowDataBitsAndTheMap) {
  test::TempDir dir;
  test::VhdBuilder b(small_shape(1024));
  b.write(5, sector_of(1));
  b.mark_present(200, 20);  // present zeros
  DiskImage image;
  ASSERT_EQ(open_bytes(image, dir, b.bytes()), OK);
  bool free = false;
  ASSERT_EQ(is_range_free(image, nullptr, 0, 128, free, nullptr), OK);
  EXPECT_FALSE(free);
  ASSERT_EQ(is_range_free(image, nullptr, 6, 1018, free, nullptr), OK);
  EXPECT_TRUE(free);
  // In its own layer a block counts as soon as a sector is present, zero or not.
  ASSERT_EQ(is_range_free_in_layer(image, nullptr, 128, 128, free), OK);
  EXPECT_FALSE(free);
  ASSERT_EQ(is_range_free_in_layer(image, nullptr, 256, 768, free), OK);
  EXPECT_TRUE(free);
  // A map that calls sector 5 unused makes the data sector droppable.
  UsageMap map;
  map.volumes.push_back(VolumeEntry{0, 5, KIND_GAP, nullptr});
  map.volumes.push_back(VolumeEntry{5, 1, KIND_UNRECOGNISED, nullptr});
  map.volumes.push_back(VolumeEntry{6, 1018, KIND_GAP, nullptr});
  ASSERT_EQ(is_range_free(image, &map, 0, 128, free, nullptr), OK);
  EXPECT_FALSE(free);
}

TEST(VhdOpen, CheckInCanStopALongCheck) {
  test::TempDir dir;
  test::VhdBuilder b(small_shape(1024));
  DiskImage image;
  ASSERT_EQ(open_bytes(image, dir, b.bytes()), OK);
  int calls = 0;
  ProgressRelay relay{[](uint32_t, uint32_t, void* u) { return ++*static_cast<int*>(u) < 2; }, &calls, 0,
                      1024, 0};
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, 0, 1024, free, &relay), CANCELLED);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(relay.examined, 256u);
}

TEST(VhdOpen, FileLengthAndFooterLength) {
  test::TempDir dir;
  DiskImage image;
  // 2046 bytes can never be a VHD.
  std::vector<uint8_t> tiny(2046, 0);
  EXPECT_EQ(open_bytes(image, dir, tiny), ERR_BAD_FORMAT);
  // The smallest VHD: 511-byte footer copy, header, empty BAT, 511-byte footer = 2047 bytes.
  test::VhdShape shape = small_shape(0);
  shape.footer_511 = true;
  shape.geometry = std::array<uint32_t, 3>{0, 16, 63};
  const auto smallest = test::VhdBuilder(shape).bytes();
  ASSERT_EQ(smallest.size(), 2047u);
  ASSERT_EQ(open_bytes(image, dir, smallest), OK);
  EXPECT_EQ(get_geometry(image).total_sectors, 0u);
  // Lengths whose remainder is neither 0 nor 511 are refused.
  auto odd = test::VhdBuilder(small_shape()).bytes();
  odd.push_back(0);
  EXPECT_EQ(open_bytes(image, dir, odd), ERR_BAD_FORMAT);
}

TEST(VhdOpen, OneByteShorterFooterIsRead) {
  test::TempDir dir;
  test::VhdShape shape = small_shape(1000);
  shape.footer_511 = true;
  test::VhdBuilder b(shape);
  b.write(999, sector_of(3));
  const auto bytes = b.bytes();
  ASSERT_EQ(bytes.size() % 512, 511u);
  DiskImage image;
  ASSERT_EQ(open_bytes(image, dir, bytes), OK);
  VhdLayout layout;
  ASSERT_TRUE(vhd_layout(image, layout));
  EXPECT_EQ(layout.footer_length, 511u);
  std::vector<uint8_t> s(512);
  ASSERT_EQ(read_bytes(image, 999 * 512, s), OK);
  EXPECT_EQ(s, sector_of(3));
}

TEST(VhdOpen, ChecksumRules) {
  test::TempDir dir;
  DiskImage image;
  // A footer checksum of 0 is accepted.
  test::VhdShape shape = small_shape();
  shape.zero_footer_checksum = true;
  ASSERT_EQ(open_bytes(image, dir, test::VhdBuilder(shape).bytes()), OK);
  // Any other wrong footer checksum is not.
  auto bytes = test::VhdBuilder(small_shape()).bytes();
  bytes[bytes.size() - 512 + 67] ^= 1;
  bytes[67] ^= 1;
  EXPECT_EQ(open_bytes(image, dir, bytes), ERR_BAD_FORMAT);
  // A header checksum of 0 has no exemption.
  bytes = test::VhdBuilder(small_shape()).bytes();
  std::memset(bytes.data() + 512 + 36, 0, 4);
  EXPECT_EQ(open_bytes(image, dir, bytes), ERR_BAD_FORMAT);
  // Only the first 64 bytes of the two footer copies must agree.
  bytes = test::VhdBuilder(small_shape()).bytes();
  bytes[84] = 1;  // saved state of the copy
  EXPECT_EQ(open_bytes(image, dir, bytes), OK);
  bytes[40] ^= 1;  // original size of the copy
  EXPECT_EQ(open_bytes(image, dir, bytes), ERR_BAD_FORMAT);
}

TEST(VhdOpen, DamagedFieldsAreRefused) {
  test::TempDir dir;
  struct Case {
    const char* what;
    size_t offset;  // from the footer (negative: none) or the header
    bool in_header;
    uint8_t value;
  };
  const Case cases[] = {
      {"format version", 13, false, 0x02},   {"disk type fixed", 63, false, 0x02},
      {"footer reserved", 300, false, 0x01}, {"header cookie", 0, true, 'X'},
      {"header data offset", 15, true, 0xFE}, {"header version", 26, true, 0x02},
      {"block size not a power of two", 34, true, 0x03}, {"block size zero", 33, true, 0x00},
      {"header reserved word", 63, true, 0x01}, {"header reserved tail", 900, true, 0x01},
  };
  for (const Case& c : cases) {
    auto bytes = test::VhdBuilder(small_shape()).bytes();
    if (c.in_header) {
      bytes[512 + c.offset] = c.value;
      test::vhd_fix_header_checksum(bytes);
    } else {
      bytes[c.offset] = c.value;
      bytes[bytes.size() - 512 + c.offset] = c.value;
      test::vhd_fix_footer_checksums(bytes);
    }
    DiskImage image;
    EXPECT_EQ(open_bytes(image, dir, bytes), ERR_BAD_FORMAT) << c.what;
  }
  // A data offset of all ones (a fixed disk's) is refused.
  auto bytes = test::VhdBuilder(small_shape()).bytes();
  for (size_t at : {size_t{16}, bytes.size() - 512 + 16}) std::memset(bytes.data() + at, 0xFF, 8);
  test::vhd_fix_footer_checksums(bytes);
  DiskImage image;
  EXPECT_EQ(open_bytes(image, dir, bytes), ERR_BAD_FORMAT);
}

TEST(VhdOpen, GeometryBoundary) {
  test::TempDir dir;
  const uint64_t limit = 0x1FDFE02000ull;
  // A geometry larger than the size: up to the limit it gives the disk, beyond it the size does.
  const std::array<uint32_t, 3> chs{65535, 17, 255};
  const uint32_t chs_sectors = 65535u * 17 * 255;
  for (uint64_t size : {limit, limit + 512}) {
    test::VhdShape shape;
    shape.block_bytes = 2u << 20;
    shape.total_sectors = chs_sectors;
    shape.current_size = size;
    shape.geometry = chs;
    DiskImage image;
    ASSERT_EQ(open_bytes(image, dir, test::VhdBuilder(shape).bytes()), OK);
    EXPECT_EQ(get_geometry(image).total_sectors, size == limit ? chs_sectors : size / 512);
  }
}

TEST(VhdOpen, LargestGeometryMeansTheSizeAlone) {
  if (!test::have_tool("qemu-img") || !test::have_tool("qemu-io")) GTEST_SKIP() << "qemu-img or qemu-io missing";
  test::TempDir dir;
  const std::string path = dir.file("forced.vhd");
  ASSERT_EQ(test::run_command("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " +
                              test::shell_quote(path) + " 65M && qemu-io -f vpc -c 'write -P 0x5c 67108352 512' " +
                              test::shell_quote(path) + " >/dev/null")
                .status,
            0);
  DiskImage image;
  ASSERT_EQ(open_image(image, path, true), OK);
  EXPECT_EQ(get_geometry(image).total_sectors, 65u * 2048);
  std::vector<uint8_t> s(512);
  ASSERT_EQ(read_bytes(image, 67108352, s), OK);
  EXPECT_EQ(s, std::vector<uint8_t>(512, 0x5c));
}

TEST(VhdOpen, ExactSizeBeyondARoundedDownGeometry) {
  test::TempDir dir;
  // As Hyper-V writes them: the exact size, and a geometry 16 sectors short of it.
  test::VhdShape shape = small_shape(1024);
  shape.geometry = std::array<uint32_t, 3>{1, 16, 63};
  test::VhdBuilder b(shape);
  b.write(1023, sector_of(5));
  DiskImage image;
  ASSERT_EQ(open_bytes(image, dir, b.bytes()), OK);
  EXPECT_EQ(get_geometry(image).total_sectors, 1024u);
  std::vector<uint8_t> s(512);
  ASSERT_EQ(read_bytes(image, 1023 * 512, s), OK);
  EXPECT_EQ(s, sector_of(5));
  // Without table entries for the extra sectors the geometry stands.
  shape.total_sectors = 1008;
  shape.current_size = 1100 * 512;
  ASSERT_EQ(open_bytes(image, dir, test::VhdBuilder(shape).bytes()), OK);
  EXPECT_EQ(get_geometry(image).total_sectors, 1008u);
}

TEST(VhdOpen, GapBeforeTheFirstBlockChoosesTheAlignment) {
  test::TempDir dir;
  struct Expect {
    uint32_t gap, mode, gap_sectors, padding;
  };
  for (Expect e : {Expect{0, 0, 0, 0}, Expect{6, 0, 6, 0}, Expect{7, 1, 7, 7}, Expect{20, 1, 7, 7}}) {
    test::VhdShape shape = small_shape();
    shape.gap_sectors = e.gap;
    test::VhdBuilder b(shape);
    b.write(0, sector_of(9));
    DiskImage image;
    ASSERT_EQ(open_bytes(image, dir, b.bytes()), OK) << e.gap;
    VhdLayout layout;
    ASSERT_TRUE(vhd_layout(image, layout));
    EXPECT_EQ(layout.alignment_mode, e.mode) << e.gap;
    EXPECT_EQ(layout.gap_sectors, e.gap_sectors) << e.gap;
    EXPECT_EQ(layout.padding_sectors, e.padding) << e.gap;
  }
  // An empty image measures its gap up to the footer.
  test::VhdShape shape = small_shape();
  shape.gap_sectors = 3;
  DiskImage image;
  ASSERT_EQ(open_bytes(image, dir, test::VhdBuilder(shape).bytes()), OK);
  VhdLayout layout;
  ASSERT_TRUE(vhd_layout(image, layout));
  EXPECT_EQ(layout.gap_sectors, 3u);
}

TEST(VhdOpen, BlocksInsideTheMetadataOrPastTheFooterAreCaught) {
  test::TempDir dir;
  test::VhdBuilder b(small_shape());
  b.write(0, sector_of(1));
  auto bytes = b.bytes();
  // BAT entry 0 pointing at the header: refused at open.
  auto inside = bytes;
  inside[1536] = inside[1537] = inside[1538] = 0;
  inside[1539] = 1;
  DiskImage image;
  EXPECT_EQ(open_bytes(image, dir, inside), ERR_BAD_FORMAT);
  // A block that runs into the footer opens, but reading it fails cleanly.
  auto cut = bytes;
  cut.erase(cut.end() - 512 - 4096, cut.end() - 512);
  ASSERT_EQ(open_bytes(image, dir, cut), OK);
  std::vector<uint8_t> s(512);
  EXPECT_EQ(read_bytes(image, 0, s), ERR_BAD_FORMAT);
  bool free = true;
  EXPECT_EQ(is_range_free(image, nullptr, 0, 128, free, nullptr), ERR_BAD_FORMAT);
  // A BAT that would run past the file is refused before it is allocated.
  auto huge = bytes;
  huge[16 + 512 + 0] = 0x10;  // table offset far beyond the file
  test::vhd_fix_header_checksum(huge);
  EXPECT_EQ(open_bytes(image, dir, huge), ERR_BAD_FORMAT);
}

TEST(VhdOpen, DetectionFindsVhdByContentAndExtension) {
  test::TempDir dir;
  test::VhdBuilder b(small_shape());
  b.write(7, sector_of(7));
  test::write_file(dir.file("disk.bin"), b.bytes());
  DiskImage image;
  ASSERT_EQ(open_image(image, dir.file("disk.bin"), true), OK);
  EXPECT_EQ(image.format, FORMAT_VHD);
  test::write_file(dir.file("disk.VHD"), b.bytes());
  ASSERT_EQ(open_image(image, dir.file("disk.VHD"), true), OK);
  EXPECT_EQ(image.format, FORMAT_VHD);
}

// ---- differencing ----

struct Chain {
  std::string parent, child;
};

Chain make_chain(const test::TempDir& dir, uint32_t parent_sectors = 1024, uint32_t child_sectors = 1024) {
  test::VhdBuilder p(small_shape(parent_sectors));
  p.write(0, sector_of(10));
  p.write(1, sector_of(11));
  p.write(300, sector_of(12));
  p.write_to(dir.file("parent.vhd"));
  test::VhdShape shape = small_shape(child_sectors);
  shape.disk_type = 4;
  shape.parent_name = "parent.vhd";
  shape.locators = {{"W2ku", test::utf16le_bytes(dir.file("parent.vhd")), {}}};
  test::VhdBuilder c(shape);
  c.write(1, sector_of(21));   // overrides the parent's sector 1
  c.write(600, sector_of(22)); // in a block the parent does not have
  c.mark_present(700, 1);      // a present zero sector hides nothing of the parent's
  c.write_to(dir.file("child.vhd"));
  return {dir.file("parent.vhd"), dir.file("child.vhd")};
}

TEST(VhdDifferencing, ReadsThroughTheParent) {
  test::TempDir dir;
  const Chain chain = make_chain(dir);
  DiskImage image;
  ASSERT_EQ(open_image(image, chain.child, true), OK);
  EXPECT_TRUE(needs_layer_local_trim(image));
  EXPECT_TRUE(can_trim(image));
  VhdLayout layout;
  ASSERT_TRUE(vhd_layout(image, layout));
  EXPECT_TRUE(layout.differencing);
  const auto all = read_all(image);
  auto at = [&](uint32_t s) { return std::vector<uint8_t>(all.begin() + s * 512, all.begin() + (s + 1) * 512); };
  EXPECT_EQ(at(0), sector_of(10));
  EXPECT_EQ(at(1), sector_of(21));
  EXPECT_EQ(at(300), sector_of(12));
  EXPECT_EQ(at(600), sector_of(22));
  EXPECT_EQ(at(2), std::vector<uint8_t>(512, 0));
  bool free = false;
  // The parent's data makes a range of the child used, but not in the child's own layer.
  ASSERT_EQ(is_range_free(image, nullptr, 256, 128, free, nullptr), OK);
  EXPECT_FALSE(free);
  ASSERT_EQ(is_range_free_in_layer(image, nullptr, 256, 128, free), OK);
  EXPECT_TRUE(free);
  ASSERT_EQ(is_range_free_in_layer(image, nullptr, 640, 128, free), OK);
  EXPECT_FALSE(free);
  ASSERT_EQ(is_range_free(image, nullptr, 640, 128, free, nullptr), OK);
  EXPECT_TRUE(free);
}

TEST(VhdDifferencing, ParentOfAnotherSizeIsWindowed) {
  test::TempDir dir;
  const Chain chain = make_chain(dir, 512, 1024);
  DiskImage image;
  ASSERT_EQ(open_image(image, chain.child, true), OK);
  EXPECT_EQ(get_geometry(image).total_sectors, 1024u);
  const auto all = read_all(image);
  EXPECT_TRUE(std::equal(all.begin() + 600 * 512, all.begin() + 601 * 512, sector_of(22).begin()));
  bool free = false;
  ASSERT_EQ(is_range_free(image, nullptr, 768, 256, free, nullptr), OK);
  EXPECT_TRUE(free);
}

TEST(VhdDifferencing, ParentProblems) {
  test::TempDir dir;
  const Chain chain = make_chain(dir);
  auto child = test::read_file(chain.child);
  auto with_name = [&](const std::string& name) {
    auto bytes = child;
    std::memset(bytes.data() + 512 + 64, 0, 512);
    for (size_t i = 0; i < name.size(); ++i) bytes[512 + 64 + 2 * i + 1] = static_cast<uint8_t>(name[i]);
    test::vhd_fix_header_checksum(bytes);
    return bytes;
  };
  DiskImage image;
  // A missing parent stops detection with the parent's open error.
  EXPECT_EQ(open_bytes(image, dir, with_name("missing.vhd"), "c1.vhd"), ERR_OPEN);
  // Names that are not bare file names, and no name at all.
  EXPECT_EQ(open_bytes(image, dir, with_name("sub/parent.vhd"), "c2.vhd"), ERR_BAD_FORMAT);
  EXPECT_EQ(open_bytes(image, dir, with_name("a:b"), "c3.vhd"), ERR_BAD_FORMAT);
  EXPECT_EQ(open_bytes(image, dir, with_name(""), "c4.vhd"), ERR_BAD_FORMAT);
  EXPECT_EQ(open_bytes(image, dir, with_name(".."), "c5.vhd"), ERR_BAD_FORMAT);
  // An unpaired surrogate cannot be converted.
  auto bad = child;
  bad[512 + 64] = 0xDC;
  test::vhd_fix_header_checksum(bad);
  EXPECT_EQ(open_bytes(image, dir, bad, "c6.vhd"), ERR_BAD_FORMAT);
  // An unknown locator code or a non-zero locator reserved field.
  bad = child;
  bad[512 + 576] = 'Z';
  test::vhd_fix_header_checksum(bad);
  EXPECT_EQ(open_bytes(image, dir, bad, "c7.vhd"), ERR_BAD_FORMAT);
  bad = child;
  bad[512 + 576 + 15] = 1;
  test::vhd_fix_header_checksum(bad);
  EXPECT_EQ(open_bytes(image, dir, bad, "c8.vhd"), ERR_BAD_FORMAT);
  // A locator whose data overlaps the first block makes the layout inconsistent.
  bad = child;
  bad[512 + 576 + 4] = 0x7F;  // data space
  test::vhd_fix_header_checksum(bad);
  EXPECT_EQ(open_bytes(image, dir, bad, "c9.vhd"), ERR_BAD_FORMAT);
}

TEST(VhdDifferencing, AChainThatNamesItselfEndsQuickly) {
  test::TempDir dir;
  test::VhdShape shape = small_shape();
  shape.disk_type = 4;
  shape.parent_name = "loop.vhd";
  test::VhdBuilder(shape).write_to(dir.file("loop.vhd"));
  DiskImage image;
  EXPECT_NE(open_image(image, dir.file("loop.vhd"), true), OK);
  // Two files that name each other.
  shape.parent_name = "b.vhd";
  test::VhdBuilder(shape).write_to(dir.file("a.vhd"));
  shape.parent_name = "a.vhd";
  test::VhdBuilder(shape).write_to(dir.file("b.vhd"));
  EXPECT_NE(open_image(image, dir.file("a.vhd"), true), OK);
  // A long honest chain still opens.
  test::VhdBuilder base(small_shape());
  base.write(3, sector_of(3));
  base.write_to(dir.file("d0.vhd"));
  for (int i = 1; i <= 20; ++i) {
    shape.parent_name = "d" + std::to_string(i - 1) + ".vhd";
    test::VhdBuilder(shape).write_to(dir.file("d" + std::to_string(i) + ".vhd"));
  }
  ASSERT_EQ(open_image(image, dir.file("d20.vhd"), true), OK);
  std::vector<uint8_t> s(512);
  ASSERT_EQ(read_bytes(image, 3 * 512, s), OK);
  EXPECT_EQ(s, sector_of(3));
}

// Bounded byte-flip campaign over the metadata: every outcome is a clean error or a usable image.
TEST(VhdOpen, FlippedMetadataNeverCrashes) {
  test::TempDir dir;
  const Chain chain = make_chain(dir);
  const auto child = test::read_file(chain.child);
  test::VhdBuilder b(small_shape(1000));
  b.write(5, sector_of(1));
  b.write(700, sector_of(2));
  const auto dynamic = b.bytes();
  uint32_t state = 12345;
  auto next = [&] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  for (int round = 0; round < 600; ++round) {
    auto bytes = round % 2 ? child : dynamic;
    const size_t metadata = 2048 + 1024;
    for (int k = 0; k < 3; ++k) bytes[next() % metadata] ^= static_cast<uint8_t>(1u << (next() % 8));
    if (round % 3 == 0) test::vhd_fix_header_checksum(bytes);
    if (round % 5 == 0) test::vhd_fix_footer_checksums(bytes);
    DiskImage image;
    if (open_bytes(image, dir, bytes, "fuzz.vhd") != OK) continue;
    const uint32_t total = get_geometry(image).total_sectors;
    std::vector<uint8_t> buf(64 * 1024);
    for (uint64_t at = 0; at < uint64_t{total} * 512 && at < (4u << 20); at += buf.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), uint64_t{total} * 512 - at));
      (void)read_bytes(image, at, std::span(buf).first(n));
    }
    bool free = false;
    (void)is_range_free(image, nullptr, 0, std::min(total, 4096u), free, nullptr);
    (void)is_range_free_in_layer(image, nullptr, 0, std::min(total, 4096u), free);
  }
}

}  // namespace
}  // namespace qx
