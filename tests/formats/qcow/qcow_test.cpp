// QCOW version 1: images made by qemu-img (plain, compressed, over a backing file) and by the
// QCOW builder for the shapes qemu-img does not make.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/qcow_builder.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::shell_quote;

// 4 MiB with data in a few clusters, one of them not compressible, and zeros elsewhere.
std::vector<uint8_t> sample_disk() {
  std::vector<uint8_t> disk(4u << 20, 0);
  for (uint32_t i = 0; i < 3000; ++i) disk[i] = static_cast<uint8_t>(i % 7 + 1);
  uint32_t v = 1;
  for (uint32_t i = 0; i < 70000; ++i) disk[(1u << 20) + i] = static_cast<uint8_t>((v = v * 1103515245u + 12345u) >> 24);
  disk[disk.size() - 1] = 0x5A;
  return disk;
}

test::CommandResult qemu(const std::string& args) { return test::run_command("qemu-img " + args + " 2>&1"); }

// The builder's image of `disk` (of `size` bytes, default the disk's) with one change to the shape.
std::vector<uint8_t> qcow_of(const std::vector<uint8_t>& disk, void (*edit)(test::QcowShape&), uint64_t size = 0) {
  test::QcowShape shape;
  shape.size = size ? size : disk.size();
  edit(shape);
  return test::qcow_bytes(shape, disk);
}

bool range_free(DiskImage& image, uint32_t first, uint32_t count) {
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, first, count, free, nullptr), OK);
  return free;
}

TEST(Qcow, QemuImagesReadAsTheirRawDisk) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk();
  const std::string raw = dir.file("disk.raw");
  test::write_file(raw, disk);
  for (const char* options : {"", "-c"}) {
    const std::string path = dir.file(std::string("disk") + options + ".qcow");
    // The compressing convert reports failure although the file it writes is right.
    (void)qemu(std::string("convert -f raw -O qcow ") + options + " " + shell_quote(raw) + " " + shell_quote(path));
    ASSERT_EQ(qemu("compare -f raw -F qcow " + shell_quote(raw) + " " + shell_quote(path)).status, 0) << options;
    EXPECT_EQ(test::read_whole_disk(path), disk) << options;
    DiskImage image;
    ASSERT_EQ(open_image(image, path, true), OK);
    EXPECT_EQ(image.format, FORMAT_QCOW);
    EXPECT_TRUE(range_free(image, 8, 2000));
    EXPECT_FALSE(range_free(image, 0, 8));
    EXPECT_FALSE(range_free(image, 2048, 200));
    EXPECT_FALSE(range_free(image, 8191, 1));
    bool free = false;
    EXPECT_EQ(is_range_free(image, nullptr, 8191, 2, free, nullptr), ERR_UNSUPPORTED);
    std::vector<uint8_t> past(512);
    EXPECT_EQ(read_bytes(image, 8191 * 512 + 1, past), ERR_UNSUPPORTED);
    EXPECT_EQ(image_identity(image).kind, ImageIdentity::NONE);
  }
}

TEST(Qcow, BackingFilesQcowOrRaw) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk();
  test::write_file(dir.file("base.raw"), disk);
  ASSERT_EQ(qemu("convert -f raw -O qcow " + shell_quote(dir.file("base.raw")) + " " + shell_quote(dir.file("base.qcow"))).status, 0);
  for (const char* base : {"base.raw", "base.qcow"}) {
    const std::string child = dir.file(std::string("over-") + base + ".qcow");
    const std::string fmt = std::string(base).ends_with("raw") ? "raw" : "qcow";
    ASSERT_EQ(qemu("create -f qcow -b " + std::string(base) + " -F " + fmt + " " + shell_quote(child)).status, 0);
    ASSERT_EQ(test::run_command("qemu-io -f qcow -c 'write -P 0x77 1M 64k' " + shell_quote(child) + " 2>&1").status, 0);
    std::vector<uint8_t> expected = disk;
    std::memset(expected.data() + (1u << 20), 0x77, 64u << 10);
    EXPECT_EQ(test::read_whole_disk(child), expected) << base;
    DiskImage image;
    ASSERT_EQ(open_image(image, child, true), OK);
    EXPECT_FALSE(range_free(image, 0, 8)) << "the backing file's data";
    EXPECT_TRUE(range_free(image, 8, 2000));
  }
  // A raw backing file of another size.
  test::write_file(dir.file("base.raw"), std::vector<uint8_t>(disk.size() - 512, 1));
  DiskImage image;
  EXPECT_EQ(open_image_as(image, dir.file("over-base.raw.qcow"), true, FORMAT_QCOW), ERR_BAD_FORMAT);
  std::vector<uint8_t> longer = disk;
  longer.resize(disk.size() + 4096, 0);
  test::write_file(dir.file("base.raw"), longer);
  EXPECT_EQ(open_image_as(image, dir.file("over-base.raw.qcow"), true, FORMAT_QCOW), OK);
}

TEST(Qcow, SmallClustersAndTheirTables) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk();
  for (bool compressed : {false, true}) {
    const std::string path = dir.file("small.qcow");
    test::write_file(path, qcow_of(disk, compressed ? +[](test::QcowShape& s) { s.cluster_bits = s.l2_bits = 9, s.compressed = true; }
                                                    : +[](test::QcowShape& s) { s.cluster_bits = s.l2_bits = 9; }));
    EXPECT_EQ(test::read_whole_disk(path), disk) << compressed;
    DiskImage image;
    ASSERT_EQ(open_image(image, path, true), OK);
    // 256 KiB per L1 entry: one range crosses many tables.
    EXPECT_FALSE(range_free(image, 0, 8192));
    EXPECT_TRUE(range_free(image, 6, 2000));
  }
}

TEST(Qcow, RefusalsAndFailures) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk();
  const std::string path = dir.file("bad.qcow");
  DiskImage image;
  // Encryption stops detection with the QCOW id.
  test::write_file(path, qcow_of(disk, [](test::QcowShape& s) { s.crypt_method = 1; }));
  EXPECT_EQ(open_image(image, path, true), ERR_KEY_REQUIRED);
  EXPECT_EQ(image.format, FORMAT_QCOW);
  test::write_file(path, qcow_of(disk, [](test::QcowShape& s) { s.crypt_method = 2; }));
  EXPECT_EQ(open_image_as(image, path, true, FORMAT_QCOW), ERR_BAD_FORMAT);
  // A backing file that is the image itself.
  test::write_file(path, qcow_of(disk, [](test::QcowShape& s) { s.backing = "bad.qcow"; }));
  EXPECT_NE(open_image(image, path, true), OK);
  // A compressed cluster that inflates to less than a cluster.
  test::write_file(path, qcow_of(disk, [](test::QcowShape& s) { s.compressed = s.inflate_short = true; }));
  ASSERT_EQ(open_image_as(image, path, true, FORMAT_QCOW), OK);
  std::vector<uint8_t> buf(4096);
  EXPECT_EQ(read_bytes(image, 0, buf), ERR_READ);
  close_image(image);
  // A 1 KiB file whose header asks for an L1 table of gigabytes, or 2^30 L2 entries.
  std::vector<uint8_t> small = qcow_of({}, [](test::QcowShape&) {}, 1u << 20);
  small.resize(1024, 0);
  test::write_file(path, small);
  test::patch_file(path, 24, {0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE, 0x00});
  EXPECT_EQ(open_image_as(image, path, true, FORMAT_QCOW), ERR_BAD_FORMAT);
  test::write_file(path, small);
  test::patch_file(path, 33, {30});
  ASSERT_EQ(open_image_as(image, path, true, FORMAT_QCOW), OK);
  EXPECT_EQ(read_bytes(image, 0, buf), OK);  // no table is allocated, so nothing to read
  close_image(image);
  // Cluster bits 8 and 40, version 2, a size of 1 byte.
  for (auto [offset, bytes] : {std::pair<uint32_t, std::vector<uint8_t>>{32, {8}}, {32, {40}}, {7, {2}},
                               {24, {0, 0, 0, 0, 0, 0, 0, 1}}}) {
    test::write_file(path, small);
    test::patch_file(path, offset, bytes);
    EXPECT_NE(open_image_as(image, path, true, FORMAT_QCOW), OK) << offset;
  }
}

TEST(Qcow, ByteFlipsEndInCleanResults) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk();
  const std::string path = dir.file("flip.qcow");
  for (bool compressed : {false, true}) {
    const std::vector<uint8_t> bytes =
        qcow_of(disk, compressed ? +[](test::QcowShape& s) { s.compressed = true; } : +[](test::QcowShape&) {});
    test::write_file(path, bytes);
    uint64_t l2 = 0;
    for (int i = 0; i < 8; ++i) l2 = l2 << 8 | bytes[48 + i];
    // Header, L1 table and the first L2 table.
    const test::FlipStats stats = test::run_image_flip_campaign(path, FORMAT_QCOW, {{0, 64}, {l2, 4096}}, 400, 7);
    EXPECT_EQ(stats.failure, "");
    EXPECT_GT(stats.accepted, 0);
  }
}

}  // namespace
}  // namespace qx
