// The legacy COWD sparse disks, built by the COWD builder and checked against qemu-img where it
// reads them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/cowd_builder.hpp"
#include "support/file_patch.hpp"
#include "support/flip_campaign.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

using test::shell_quote;

constexpr uint32_t kSectors = 8192;  // 4 MiB: 4 x 64 x 32 in the SCSI geometry

std::vector<uint8_t> sample_disk(uint8_t seed) {
  std::vector<uint8_t> disk(size_t{kSectors} * 512, 0);
  for (uint32_t s : {0u, 1u, 130u, 4000u, kSectors - 1})
    for (uint32_t i = 0; i < 512; ++i) disk[size_t{s} * 512 + i] = static_cast<uint8_t>(seed + s + i);
  return disk;
}

test::CowdShape scsi_base() {
  test::CowdShape s;
  s.total_sectors = kSectors;
  s.cylinders = 4, s.heads = 64, s.sectors_per_track = 32;
  return s;
}

std::string write_cowd(const std::string& path, const test::CowdShape& shape, const std::vector<uint8_t>& disk) {
  test::CowdBuilder b(shape);
  b.copy_raw(disk);
  b.write_to(path);
  return path;
}

bool range_free(DiskImage& image, uint32_t first, uint32_t count) {
  bool free = false;
  EXPECT_EQ(is_range_free(image, nullptr, first, count, free, nullptr), OK);
  return free;
}

TEST(Cowd, Version3BaseReadsAsQemuReadsIt) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk(3);
  const std::string path = write_cowd(dir.file("base.vmdk"), scsi_base(), disk);
  if (test::have_tool("qemu-img")) {
    const auto r = test::run_command("qemu-img convert -f vmdk -O raw " + shell_quote(path) + " " +
                                     shell_quote(dir.file("qemu.raw")) + " 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(test::read_file(dir.file("qemu.raw")), disk);
  }
  EXPECT_EQ(test::read_whole_disk(path), disk);
  DiskImage image;
  ASSERT_EQ(open_image(image, path, true), OK);
  EXPECT_EQ(image.format, FORMAT_COWD3);
  EXPECT_EQ(get_geometry(image).heads, 64u);
  EXPECT_FALSE(range_free(image, 128, 8));
  EXPECT_TRUE(range_free(image, 256, 3700));  // grains not stored
  EXPECT_TRUE(range_free(image, 2, 126));     // a stored grain whose other sectors are zero
  EXPECT_EQ(image_identity(image).kind, ImageIdentity::NONE);
}

TEST(Cowd, BaseGeometryRules) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk(3);
  struct Case {
    const char* what;
    void (*edit)(test::CowdShape&);
  };
  for (const Case& c : {Case{"ide heads", [](test::CowdShape& s) { s.adapter = "ide"; }},
                        Case{"scsi heads for the size", [](test::CowdShape& s) { s.cylinders = 2, s.heads = 128; }},
                        Case{"other adapter", [](test::CowdShape& s) { s.adapter = "sata"; }},
                        Case{"grain", [](test::CowdShape& s) { s.grain = 64; }},
                        Case{"flags", [](test::CowdShape& s) { s.flags = 27; }}}) {
    test::CowdShape shape = scsi_base();
    c.edit(shape);
    DiskImage image;
    EXPECT_EQ(open_image_as(image, write_cowd(dir.file("d.vmdk"), shape, disk), true, FORMAT_COWD3), ERR_BAD_FORMAT)
        << c.what;
  }
  // An IDE disk of whole cylinders opens.
  test::CowdShape ide;
  ide.adapter = "ide";
  ide.total_sectors = 8 * 1008, ide.cylinders = 8, ide.heads = 16, ide.sectors_per_track = 63;
  DiskImage image;
  EXPECT_EQ(open_image_as(image, write_cowd(dir.file("d.vmdk"), ide, disk), true, FORMAT_COWD3), OK);
}

TEST(Cowd, SplitDiskFindsItsSecondPart) {
  test::TempDir dir;
  test::CowdShape shape;
  shape.adapter = "ide";
  shape.total_sectors = 8000000;
  shape.cylinders = 7936, shape.heads = 16, shape.sectors_per_track = 63;
  test::CowdBuilder b(shape);
  std::vector<uint8_t> two(1024);
  for (size_t i = 0; i < two.size(); ++i) two[i] = static_cast<uint8_t>(i * 7 + 1);
  b.write(4192255, std::span(two).first(512));       // the last sector of the first part
  b.write(4192256, std::span(two).subspan(512));     // the first of the second
  b.write(7999999, std::span(two).first(512));
  const auto paths = b.write_to(dir.file("big.vmdk"));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[1], dir.file("big-02.vmdk"));
  DiskImage image;
  ASSERT_EQ(open_image(image, paths[0], true), OK);
  EXPECT_EQ(image.format, FORMAT_COWD3);
  EXPECT_EQ(get_geometry(image).total_sectors, 8000000u);
  std::vector<uint8_t> got(1024);
  ASSERT_EQ(read_bytes(image, uint64_t{4192255} * 512, got), OK);
  EXPECT_EQ(got, two);
  EXPECT_FALSE(range_free(image, 4192200, 60));
  EXPECT_TRUE(range_free(image, 4192257, 1000000));
  EXPECT_FALSE(range_free(image, 7999999, 1));
  close_image(image);

  // A second part that says it is the third, a first part that counts 65535 parts, a part gone.
  test::patch_file_le32(paths[1], 1648, 2);
  EXPECT_EQ(open_image_as(image, paths[0], true, FORMAT_COWD3), ERR_BAD_FORMAT);
  test::patch_file_le32(paths[1], 1648, 1);
  test::patch_file_le32(paths[0], 1652, 65535);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(open_image_as(image, paths[0], true, FORMAT_COWD3), ERR_BAD_FORMAT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  test::patch_file_le32(paths[0], 1652, 2);
  std::filesystem::remove(paths[1]);
  EXPECT_EQ(open_image_as(image, paths[0], true, FORMAT_COWD3), ERR_OPEN);
}

TEST(Cowd, RedoLogsReadTheirParentWhereTheyHoldNothing) {
  test::TempDir dir;
  const std::vector<uint8_t> base = sample_disk(3);
  write_cowd(dir.file("base.vmdk"), scsi_base(), base);
  std::vector<uint8_t> mine(size_t{kSectors} * 512, 0);
  std::memset(mine.data() + 4000 * 512, 0xE1, 512);
  std::vector<uint8_t> expected = base;
  std::memcpy(expected.data() + 3968 * 512, mine.data() + 3968 * 512, 128 * 512);  // the whole grain
  test::CowdShape redo;
  redo.redo = true;
  redo.total_sectors = kSectors;
  redo.parent_name = "base.vmdk";
  const std::string path = write_cowd(dir.file("redo.vmdk"), redo, mine);
  EXPECT_EQ(test::read_whole_disk(path), expected);
  DiskImage image;
  ASSERT_EQ(open_image(image, path, true), OK);
  EXPECT_EQ(image.format, FORMAT_COWD3_REDO);
  EXPECT_EQ(parent_chain_status(image), OK);
  EXPECT_FALSE(range_free(image, 0, 1));     // the parent's data
  EXPECT_TRUE(range_free(image, 3968, 32));  // held here, zero
  close_image(image);

  // Version 1: the same over a version 1 base of 16-sector grains.
  test::CowdShape v1 = scsi_base();
  v1.version = 1;
  v1.grain = 16;
  write_cowd(dir.file("base.dsk"), v1, base);
  EXPECT_EQ(test::read_whole_disk(dir.file("base.dsk")), base);
  redo.version = 1;
  redo.parent_name = "base.dsk";
  const std::string v1_redo = write_cowd(dir.file("redo.dsk"), redo, mine);
  EXPECT_EQ(test::read_whole_disk(v1_redo), expected);
  ASSERT_EQ(open_image(image, v1_redo, true), OK);
  EXPECT_EQ(image.format, FORMAT_COWD1_REDO);
  EXPECT_EQ(open_image_as(image, v1_redo, true, FORMAT_COWD1), ERR_BAD_FORMAT);

  // A redo log that names itself ends, and quickly.
  redo.version = 3;
  redo.parent_name = "self.vmdk";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(open_image(image, write_cowd(dir.file("self.vmdk"), redo, mine), true), OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // A parent of another size.
  test::CowdShape other = scsi_base();
  other.total_sectors = 2 * 2048, other.cylinders = 2;
  write_cowd(dir.file("base.vmdk"), other, std::vector<uint8_t>(4096 * 512, 0));
  EXPECT_EQ(open_image_as(image, path, true, FORMAT_COWD3_REDO), ERR_BAD_FORMAT);
}

TEST(Cowd, ByteFlipsEndInCleanResults) {
  test::TempDir dir;
  const std::vector<uint8_t> disk = sample_disk(9);
  write_cowd(dir.file("base.vmdk"), scsi_base(), disk);
  test::CowdShape redo;
  redo.redo = true;
  redo.total_sectors = kSectors;
  redo.parent_name = "base.vmdk";
  write_cowd(dir.file("redo.vmdk"), redo, sample_disk(1));
  test::CowdShape v1 = scsi_base();
  v1.version = 1;
  write_cowd(dir.file("v1.dsk"), v1, disk);
  redo.version = 1;
  redo.parent_name = "v1.dsk";
  write_cowd(dir.file("redo.dsk"), redo, sample_disk(1));
  for (const char* name : {"base.vmdk", "redo.vmdk", "v1.dsk", "redo.dsk"}) {
    const std::string path = dir.file(std::string("flip-") + name);
    std::filesystem::copy_file(dir.file(name), path);
    // Header, directory and the grain tables.
    const test::FlipStats stats = test::run_image_flip_campaign(path, -1, {{0, 2048}, {2048, 2048 + 8 * 2048}}, 400, 5);
    EXPECT_EQ(stats.failure, "") << name;
    EXPECT_GT(stats.accepted, 0) << name;
  }
}

}  // namespace
}  // namespace qx
