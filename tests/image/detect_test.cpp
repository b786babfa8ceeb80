#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "formats/format_ids.hpp"
#include "formats/ndi/ndi.hpp"
#include "image/detect.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

std::vector<int32_t> order_of(const std::string& path) {
  std::array<int32_t, kMaxDetectionAttempts> out;
  const size_t n = detection_order(path, out);
  return std::vector<int32_t>(out.begin(), out.begin() + static_cast<long>(n));
}

const std::vector<int32_t> kProbing = {0,  9,  10, 11, 15, 16, 17, 18, 28, 19, 20, 21, kAttemptNdi,
                                       5,  6,  7,  8,  22, 23, 24, 25, 26, FORMAT_NVT,
                                       kAttemptSplitRawText, kAttemptSplitRawPart, FORMAT_RAW};

std::vector<int32_t> then_probing(std::vector<int32_t> first) {
  first.insert(first.end(), kProbing.begin(), kProbing.end());
  return first;
}

TEST(DetectionOrder, ExtensionRulesComeFirst) {
  EXPECT_EQ(order_of("/x/disk.VHD"), then_probing({10, 11}));
  EXPECT_EQ(order_of("disk.vmdk"), then_probing({0, 5, 6}));
  EXPECT_EQ(order_of("disk.Dsk"), then_probing({7, 8}));
  EXPECT_EQ(order_of("disk.vhdx"), then_probing({9}));
  EXPECT_EQ(order_of("disk.qcow"), then_probing({19}));
  EXPECT_EQ(order_of("disk.qcow2"), then_probing({28}));
  EXPECT_EQ(order_of("disk.HDD"), then_probing({15, 16, 25}));
  EXPECT_EQ(order_of("disk.vdi"), then_probing({20}));
  EXPECT_EQ(order_of("disk.chd"), then_probing({21}));
  EXPECT_EQ(order_of("disk.hdi"), then_probing({22}));
  EXPECT_EQ(order_of("disk.thd"), then_probing({23}));
  EXPECT_EQ(order_of("disk.nhd"), then_probing({24}));
  for (const char* h : {"image.h0", "image.h1", "image.h2", "image.H3", "image.h4"})
    EXPECT_EQ(order_of(h), then_probing({27})) << h;
}

TEST(DetectionOrder, OtherNamesProbeOnly) {
  for (const char* p : {"image.h5", "disk", "disk.raw", "dir.vhd/disk", "disk.vhd.bak", "disk.",
                        ".vhdx/x", "disk.qcow3"})
    EXPECT_EQ(order_of(p), kProbing) << p;
  EXPECT_EQ(path_extension("dir.vhd/disk"), "");
  EXPECT_EQ(path_extension("a.b.c"), "c");
  EXPECT_EQ(path_extension(".vhd"), "vhd");
}

// Attempts answered from a script, recorded in order.
std::vector<int32_t> g_tried;
std::vector<std::pair<int32_t, ErrorCode>> g_answers;

ErrorCode scripted(DiskImage&, std::string_view, bool, int32_t id) {
  g_tried.push_back(id);
  for (auto [which, rc] : g_answers)
    if (which == id) return rc;
  return ERR_BAD_FORMAT;
}

ErrorCode detect(const std::string& path, std::vector<std::pair<int32_t, ErrorCode>> answers,
                 DiskImage& image) {
  g_tried.clear();
  g_answers = std::move(answers);
  return detect_image(image, path, true, scripted);
}

TEST(Detection, EveryCandidateIsTriedBeforeUnsupported) {
  DiskImage image;
  EXPECT_EQ(detect("disk.vhd", {{10, ERR_UNSUPPORTED}, {11, ERR_READ}}, image), ERR_UNSUPPORTED);
  EXPECT_EQ(g_tried, then_probing({10, 11}));
}

TEST(Detection, FirstSuccessWins) {
  DiskImage image;
  // A VDI named .vhd: both VHD formats fail, the probing order reaches 20.
  EXPECT_EQ(detect("disk.vhd", {{20, OK}}, image), OK);
  EXPECT_EQ(g_tried, (std::vector<int32_t>{10, 11, 0, 9, 10, 11, 15, 16, 17, 18, 28, 19, 20}));
  EXPECT_EQ(detect("disk.h2", {{27, OK}}, image), OK);
  EXPECT_EQ(g_tried, (std::vector<int32_t>{27}));
}

TEST(Detection, OpenFailureStopsAtOnce) {
  DiskImage image;
  EXPECT_EQ(detect("disk.vdi", {{20, ERR_OPEN}}, image), ERR_OPEN);
  EXPECT_EQ(g_tried, (std::vector<int32_t>{20}));
  EXPECT_EQ(detect("disk", {{15, ERR_OPEN}, {20, OK}}, image), ERR_OPEN);
  EXPECT_EQ(g_tried.back(), 15);
}

TEST(Detection, KeyRequiredStopsWithTheIdThatAskedForIt) {
  DiskImage image;
  EXPECT_EQ(detect("disk.qcow", {{19, ERR_KEY_REQUIRED}}, image), ERR_KEY_REQUIRED);
  EXPECT_EQ(image.format, FORMAT_QCOW);
  EXPECT_EQ(g_tried, (std::vector<int32_t>{19}));
  DiskImage other;
  EXPECT_EQ(detect("disk.img", {{19, ERR_KEY_REQUIRED}, {20, OK}}, other), ERR_KEY_REQUIRED);
  EXPECT_EQ(other.format, FORMAT_QCOW);
  DiskImage third;
  EXPECT_EQ(detect("disk.qcow2", {{28, ERR_KEY_REQUIRED}}, third), ERR_KEY_REQUIRED);
  EXPECT_EQ(third.format, FORMAT_QCOW2);
}

TEST(Detection, MissingAndUnknownFiles) {
  test::TempDir dir;
  DiskImage image;
  EXPECT_EQ(open_image(image, dir.file("missing.vhd"), true), ERR_OPEN);
  EXPECT_EQ(open_image(image, dir.file("missing"), true), ERR_OPEN);
  std::vector<uint8_t> junk(64 * 1024);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 131 + 7);
  test::write_file(dir.file("junk.bin"), junk);
  EXPECT_EQ(open_image(image, dir.file("junk.bin"), true), ERR_UNSUPPORTED);
  EXPECT_FALSE(image.is_open());
  test::write_file(dir.file("empty"), {});
  EXPECT_EQ(open_image(image, dir.file("empty"), true), ERR_UNSUPPORTED);
}

// ---- Flat image through a ".ndi" description.

struct NdiDisk {
  test::TempDir dir;
  std::string image;
  std::string ndi;
  NdiDisk(const std::string& name, const std::string& ndi_name, uint64_t bytes) {
    image = dir.file(name);
    ndi = dir.file(ndi_name);
    test::make_sparse_file(image, bytes);
  }
  void describe(const std::string& text) {
    test::write_file(ndi, std::vector<uint8_t>(text.begin(), text.end()));
  }
};

TEST(NdiImage, DescriptionGivesOffsetAndGeometry) {
  NdiDisk d("disk.raw", "disk.ndi", 2048 * 512);
  d.describe("NDI 0 2048 16 63 512");
  DiskImage image;
  ASSERT_EQ(open_image(image, d.image, true), OK);
  EXPECT_EQ(image.format, FORMAT_FLAT);
  const DiskGeometry g = get_geometry(image);
  EXPECT_EQ(g.total_sectors, 2048u);
  EXPECT_EQ(g.heads, 16u);
  EXPECT_EQ(g.sectors_per_track, 63u);
  EXPECT_EQ(g.bytes_per_sector, 512u);

  // A seventh token: refused by that opener, and nothing else takes the file.
  d.describe("NDI 0 2048 16 63 512 7");
  DiskImage other;
  EXPECT_EQ(open_ndi_image(other, d.image, true), ERR_BAD_FORMAT);
  EXPECT_EQ(open_image(other, d.image, true), ERR_UNSUPPORTED);
}

TEST(NdiImage, DataStartAtTheOffset) {
  NdiDisk d("disk.img", "disk.ndi", 4096 + 64 * 512);
  test::fill_pattern(d.image, 4096, 512, 0x31);
  d.describe("NDI4.0 4096 64 4 16 512\r\n");
  DiskImage image;
  ASSERT_EQ(open_ndi_image(image, d.image, true), OK);
  std::vector<uint8_t> sector(512), expect(512);
  ASSERT_EQ(read_bytes(image, 0, sector), OK);
  EXPECT_NE(sector, expect);
  // One byte too short for offset + size.
  d.describe("NDI 4097 64 4 16 512");
  EXPECT_EQ(open_ndi_image(image, d.image, true), ERR_BAD_FORMAT);
}

TEST(NdiImage, TokensAndText) {
  NdiDisk d("disk.img", "disk.ndi", 2048 * 512);
  DiskImage image;
  auto opens = [&](const std::string& text) {
    d.describe(text);
    return open_ndi_image(image, d.image, true);
  };
  EXPECT_EQ(opens("  NDI\t0  2048 16 63 512  \n"), OK);
  EXPECT_EQ(opens("NDI 0\r\n2048 16\n63 512\r\n\r\n"), OK) << "line breaks separate tokens";
  EXPECT_EQ(opens("NDI 0 2048 16 63 512\n7\n"), ERR_BAD_FORMAT) << "a seventh token on its own line";
  EXPECT_EQ(opens("\"NDI\" \"0\" 2048 16 63 512"), OK);
  EXPECT_EQ(opens(std::string("NDI 0 2048 16 63 512\0 extra", 27)), OK) << "text ends at NUL";
  EXPECT_EQ(opens("NDIfoo 0 2048 16 63 512"), OK) << "only three characters compared";
  EXPECT_EQ(opens("ndi 0 2048 16 63 512"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("ND 0 2048 16 63 512"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 0 2048 16 63"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 0 2048 16 63 5x2"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI -1 2048 16 63 512"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 4294967296 2048 16 63 512"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 0 2048 16 63 \"512"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 0 2048 16 63 5\"12"), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 0 2048 16 63 512 \xC3"), ERR_BAD_FORMAT) << "invalid UTF-8";
  EXPECT_EQ(opens(""), ERR_BAD_FORMAT);
  // 256 bytes are read; 257 are refused.
  std::string text = "NDI 0 2048 16 63 512";
  EXPECT_EQ(opens(text + std::string(256 - text.size(), ' ')), OK);
  EXPECT_EQ(opens(text + std::string(257 - text.size(), ' ')), ERR_BAD_FORMAT);
  EXPECT_EQ(opens("NDI 0 0 16 63 512"), ERR_UNSUPPORTED) << "zero geometry";
}

TEST(NdiImage, DescriptionNameReplacesTheExtension) {
  {
    NdiDisk d("disk", "disk.ndi", 2048 * 512);
    d.describe("NDI 0 2048 16 63 512");
    DiskImage image;
    EXPECT_EQ(open_image(image, d.image, true), OK);
  }
  {
    NdiDisk d("a.b.img", "a.b.ndi", 2048 * 512);
    d.describe("NDI 0 2048 16 63 512");
    DiskImage image;
    EXPECT_EQ(open_image(image, d.image, true), OK);
  }
  {
    test::TempDir dir;
    std::filesystem::create_directory(dir.path() / "d.x");
    NdiDisk d("unused", "unused.ndi", 512);
    const std::string image_path = dir.file("d.x/disk");
    test::make_sparse_file(image_path, 2048 * 512);
    const std::string text = "NDI 0 2048 16 63 512";
    test::write_file(dir.file("d.x/disk.ndi"), std::vector<uint8_t>(text.begin(), text.end()));
    test::write_file(dir.file("d.ndi"), std::vector<uint8_t>(text.begin(), text.end()));
    DiskImage image;
    EXPECT_EQ(open_ndi_image(image, image_path, true), OK);
    std::filesystem::remove(dir.file("d.x/disk.ndi"));
    EXPECT_EQ(open_ndi_image(image, image_path, true), ERR_UNSUPPORTED) << "no description";
  }
  {
    // A description whose image is missing: the file cannot be opened.
    test::TempDir dir;
    const std::string text = "NDI 0 2048 16 63 512";
    test::write_file(dir.file("gone.ndi"), std::vector<uint8_t>(text.begin(), text.end()));
    DiskImage image;
    EXPECT_EQ(open_ndi_image(image, dir.file("gone.raw"), true), ERR_OPEN);
  }
}

}  // namespace
}  // namespace qx
