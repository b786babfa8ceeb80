// The command line on VHD files made by qemu-img from partitioned disks with real file systems,
// and on damaged files and hostile surroundings.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/disk_image.hpp"
#include "support/disk_fixture.hpp"
#include "support/image_checks.hpp"
#include "support/test_support.hpp"
#include "support/vhd_builder.hpp"
#include "volume/sector_bitmap.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

test::CommandResult quorvex(const std::string& args) { return test::run_quorvex(args); }

using test::count_of;
using test::ends_with;
using test::first_used_difference;
using test::qemu_convert;
using test::used_sectors;
using test::UsedSectors;

// Builds the disk, makes a grown (fully allocated) dynamic VHD of it and checks a -d trim.
void trim_real_disk(test::DiskFixture (*make)(const std::string&)) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = make(dir.path().string());
  const std::string image = dir.file("disk.vhd");
  // -S 0 writes every block, zero or not: a disk that grew as its guest wrote.
  qemu_convert(disk.raw, image, "-S 0 -f raw -O vpc -o subformat=dynamic");
  qemu_convert(image, dir.file("qemu.vhd"), "-f vpc -O vpc -o subformat=dynamic");
  qemu_convert(image, dir.file("before.raw"), "-f vpc -O raw");
  const uint64_t old_size = fs::file_size(image);
  const UsedSectors used = used_sectors(image);

  const auto r = quorvex("-d " + shell_quote(image));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_EQ(count_of(r.output, "QxDeleteFile "), 1u) << r.output;
  EXPECT_NE(r.output.find("QxDeleteFile " + image + "_DEL\n"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(image + "_DEL"));
  EXPECT_FALSE(fs::exists(image + "_TEMP"));

  const uint64_t new_size = fs::file_size(image);
  EXPECT_LT(new_size, old_size);
  qemu_convert(image, dir.file("after.raw"), "-f vpc -O raw");
  const auto before = test::read_file(dir.file("before.raw"));
  const auto after = test::read_file(dir.file("after.raw"));
  EXPECT_EQ(before.size(), after.size());
  EXPECT_EQ(first_used_difference(before, after, used), -1);
  EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");

  const uint64_t qemu_size = fs::file_size(dir.file("qemu.vhd"));
  EXPECT_EQ(used.recognised, disk.partitions.size());
  EXPECT_LT(new_size, qemu_size) << "qemu-img keeps the deleted files' blocks; a trim must not";
}

TEST(VhdEndToEnd, MbrWithFat32AndExt4) { trim_real_disk(test::make_mbr_fat32_ext4); }

TEST(VhdEndToEnd, GptWithNtfsAndExt2) { trim_real_disk(test::make_gpt_ntfs_ext2); }

TEST(VhdEndToEnd, DifferencingOverAQemuParent) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = test::make_mbr_fat32_ext4(dir.path().string());
  const std::string parent = dir.file("parent.vhd");
  qemu_convert(disk.raw, parent, "-f raw -O vpc -o subformat=dynamic");
  const auto parent_disk = test::vhd_read_disk(parent);
  DiskGeometry g;
  {
    DiskImage p;
    ASSERT_EQ(open_image(p, parent, true), OK);
    g = get_geometry(p);
  }
  test::VhdShape shape;
  shape.total_sectors = g.total_sectors;
  shape.geometry = std::array<uint32_t, 3>{g.total_sectors / (g.heads * g.sectors_per_track), g.heads,
                                          g.sectors_per_track};
  shape.disk_type = 4;
  shape.parent_name = "parent.vhd";
  shape.locators = {{"W2ku", test::utf16le_bytes(parent), {}}};
  test::VhdBuilder child(shape);
  const uint32_t spb = child.block_sectors();
  // The guest rewrote a few blocks with what they held (a copy-on-write layer), zeroed some
  // sectors of the FAT partition's free tail, and one block holds nothing of its own.
  for (uint32_t block : {0u, 12u, 30u})
    child.write(block * spb, std::span(parent_disk).subspan(size_t{block} * spb * 512, size_t{spb} * 512));
  child.mark_present(20 * spb + 100, 50);
  child.allocate(40);
  const std::string path = dir.file("child.vhd");
  child.write_to(path);
  const auto parent_bytes = test::read_file(parent);
  const uint64_t old_size = fs::file_size(path);
  const UsedSectors used = used_sectors(path);
  const auto disk_before = test::vhd_read_disk(path);

  const auto r = quorvex(shell_quote(path));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_EQ(test::read_file(parent), parent_bytes);
  EXPECT_TRUE(fs::exists(path + "_DEL"));
  EXPECT_LT(fs::file_size(path), old_size);
  EXPECT_EQ(first_used_difference(disk_before, test::vhd_read_disk(path), used), -1);
  const auto view = test::parse_vhd(test::read_file(path));
  EXPECT_EQ(view.bat[40], 0xFFFFFFFFu);
}

// ---- faults ----

struct Victim {
  std::string path;
  std::vector<uint8_t> bytes;
};

// A small VHD with data in several blocks.
Victim make_victim(const test::TempDir& dir, const std::string& path = "") {
  test::VhdShape shape;
  shape.total_sectors = 64 * 1024;  // 32 MiB
  test::VhdBuilder b(shape);
  for (uint32_t s = 0; s < shape.total_sectors; s += 2000) b.fill(s, 8, static_cast<uint8_t>(s / 2000 + 1));
  Victim v{path.empty() ? dir.file("disk.vhd") : path, b.bytes()};
  test::write_file(v.path, v.bytes);
  return v;
}

void expect_untouched(const Victim& v) {
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  EXPECT_FALSE(fs::exists(v.path + "_TEMP"));
  EXPECT_FALSE(fs::exists(v.path + "_DEL"));
}

TEST(VhdFaults, TemporaryNameHeldByAFolder) {
  // Root writes into read-only folders, so the "_TEMP" name is taken by a folder instead.
  test::TempDir dir;
  const Victim v = make_victim(dir);
  fs::create_directory(v.path + "_TEMP");
  const auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  EXPECT_TRUE(fs::is_directory(v.path + "_TEMP"));
  EXPECT_FALSE(fs::exists(v.path + "_DEL"));
}

TEST(VhdFaults, TemporaryNameTooLong) {
  test::TempDir dir;
  // Folders nest until the image's full path is 4093 bytes: the path resolves, "_TEMP" does not fit.
  std::string folder = dir.path().string();
  while (folder.size() + 1 + 200 < 4093 - 20) {
    folder += "/" + std::string(200, 'd');
    fs::create_directory(folder);
  }
  const std::string name = std::string(4093 - folder.size() - 1 - 4, 'v') + ".vhd";
  const std::string path = folder + "/" + name;
  ASSERT_EQ(path.size(), 4093u);
  const Victim v = make_victim(dir, path);
  const auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  // The folder holds the image alone.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{name});
}

TEST(VhdFaults, WriteFailsMidway) {
  test::TempDir dir;
  const Victim v = make_victim(dir);
  // Files of at most 8 MiB (the output needs about 34), SIGXFSZ ignored so that write fails.
  const auto r = test::run_command("bash -c " + shell_quote("trap '' XFSZ; ulimit -f 8192; exec " +
                                                            shell_quote(test::quorvex_binary()) + " " +
                                                            shell_quote(v.path)) +
                                   " 2>&1");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  expect_untouched(v);
}

TEST(VhdFaults, BackupNameHeldByAFolder) {
  test::TempDir dir;
  const Victim v = make_victim(dir);
  fs::create_directories(v.path + "_DEL/x");
  const auto r = quorvex("-d " + shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(r.output.find("QxDeleteFile"), std::string::npos);
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  EXPECT_FALSE(fs::exists(v.path + "_TEMP"));
}

TEST(VhdFaults, TruncatedImage) {
  test::TempDir dir;
  Victim v = make_victim(dir);
  // Cut in the middle: no footer, no VHD, nothing else accepts it.
  v.bytes.resize(v.bytes.size() / 2 / 512 * 512);
  test::write_file(v.path, v.bytes);
  auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos);
  expect_untouched(v);
  // Blocks lost but the footer kept: found while trimming.
  v = make_victim(dir);
  std::vector<uint8_t> footer(v.bytes.end() - 512, v.bytes.end());
  v.bytes.resize(v.bytes.size() - 512 - 5 * 512 * 1024);
  v.bytes.insert(v.bytes.end(), footer.begin(), footer.end());
  test::write_file(v.path, v.bytes);
  r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  expect_untouched(v);
}

TEST(VhdFaults, CorruptedHeader) {
  test::TempDir dir;
  Victim v = make_victim(dir);
  v.bytes[512 + 40] ^= 0x01;  // parent id, checksum left stale
  test::write_file(v.path, v.bytes);
  const auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos);
  expect_untouched(v);
}

TEST(VhdFaults, SilentSuccessPrintsNothing) {
  test::TempDir dir;
  const Victim v = make_victim(dir);
  const auto r = quorvex("-s " + shell_quote(v.path));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_TRUE(fs::exists(v.path + "_DEL"));
  EXPECT_EQ(test::vhd_read_disk(v.path), test::vhd_read_disk(v.path + "_DEL"));
}

}  // namespace
}  // namespace qx
