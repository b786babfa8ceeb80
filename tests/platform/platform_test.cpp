// The platform layer on the system the tests run on (Linux, or Windows under Wine): folder names,
// paths beyond 260 characters, files in use; and the images of the Windows smoke test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "formats/trim_walk.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "image/file_guard.hpp"
#include "platform/file_ops.hpp"
#include "support/fat_builder.hpp"
#include "support/parallels_builder.hpp"
#include "support/qcow_builder.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vdi_builder.hpp"
#include "support/vhd_builder.hpp"
#include "support/vhdx_builder.hpp"
#include "support/vmdk_builder.hpp"

namespace qx {
namespace {

struct FolderCase {
  const char* path;
  const char* folder;
};

TEST(Platform, FolderOfAPath) {
  const std::vector<FolderCase> cases = {
      {"/a/b/c.vhd", "/a/b"}, {"/c.vhd", "/"}, {"c.vhd", "."}, {"a/c.vhd", "a"},
#ifdef _WIN32
      {"C:\\c.vhd", "C:\\"}, {"C:\\a\\c.vhd", "C:\\a"}, {"\\\\server\\share\\c.vhd", "\\\\server\\share"},
      {"C:/a/c.vhd", "C:/a"}, {"\\\\?\\C:\\c.vhd", "\\\\?\\C:\\"},
#endif
  };
  for (const FolderCase& c : cases) {
    const std::string_view p = c.path;
    EXPECT_EQ(platform::folder_of(p, platform::last_separator(p)), c.folder) << c.path;
  }
}

// Names beyond MAX_PATH, which Win32 takes only behind the "\\?\" prefix.
TEST(Platform, PathsLongerThan260Characters) {
  test::TempDir dir;
  const std::string folder = dir.file(std::string(200, 'f'));
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string path = folder + "/" + std::string(200, 'n') + ".vhd";
  ASSERT_GT(path.size(), 400u);
  const std::vector<uint8_t> data(4096, 0x5a);
  {
    File f = File::create(path);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f.write_at(512, data));
    ASSERT_TRUE(f.sync());
    ASSERT_TRUE(f.close());
  }
  FileInfo info;
  ASSERT_TRUE(file_info(path, info));
  EXPECT_TRUE(info.regular());
  EXPECT_EQ(info.size, 4608u);
  std::string resolved;
  ASSERT_TRUE(platform::resolve_path(path.c_str(), resolved));
  ASSERT_TRUE(file_rename(path, path + "_TEMP"));
  File f = File::open_existing(path + "_TEMP", true);
  std::vector<uint8_t> back(4096);
  ASSERT_TRUE(f.read_at(512, back));
  EXPECT_EQ(back, data);
  EXPECT_TRUE(f.close());
  EXPECT_TRUE(file_remove(path + "_TEMP"));
  EXPECT_FALSE(file_exists(path + "_TEMP"));
}

// The one probe of in-place trims changes nothing either way; where it says yes a hole reads as
// zeros and the length stays, where it says no the host cannot do it at all.
TEST(Platform, HolesAreProbedBeforeTheyArePunched) {
  test::TempDir dir;
  const std::string path = dir.file("disk.img");
  const std::vector<uint8_t> data(256u << 10, 0x6b);
  test::write_file(path, data);
  File f = File::open_existing(path, false);
  ASSERT_TRUE(f);
  bool unsupported = false;
  const bool can = f.can_punch_holes(4096, unsupported);
  EXPECT_NE(can, unsupported);
  uint64_t length = 0;
  ASSERT_TRUE(f.length(length));
  EXPECT_EQ(length, data.size());
  std::vector<uint8_t> expected = data;
  if (can) {
    ASSERT_TRUE(f.punch_hole(64u << 10, 64u << 10, unsupported));
    std::fill(expected.begin() + (64 << 10), expected.begin() + (128 << 10), 0);
  }
  ASSERT_TRUE(f.close());
  EXPECT_EQ(test::read_file(path), expected);
  FileInfo info;
  ASSERT_TRUE(file_info(path, info));
  EXPECT_GT(info.allocated, 0u);
  if (can) {
    EXPECT_LE(info.allocated, data.size() - (64u << 10));
  }
  uint64_t free = 0;
  EXPECT_TRUE(platform::folder_free_bytes(dir.path().string().c_str(), free));
  EXPECT_GT(free, 0u);
}

// A hypervisor that runs the image has it open for writing.
TEST(Platform, AnImageOpenForWritingIsInUse) {
#ifndef _WIN32
  GTEST_SKIP() << "Linux has no share modes; the QEMU locks that stand for them are tested with qemu-io";
#else
  test::TempDir dir;
  const std::string path = dir.file("d.vhdx");
  test::write_file(path, std::vector<uint8_t>(4096, 1));
  std::ofstream writer(path, std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(writer);
  FileGuard guard;
  EXPECT_EQ(guard.hold(path), HoldResult::kInUse);
  EXPECT_TRUE(guard.saw_file_in_use());
  writer.close();
  EXPECT_EQ(guard.hold(path), HoldResult::kHeld);
#endif
}

// In place the image is read and punched through two handles of ours; the one that punches is
// what keeps other writers off, and cannot be had while another writes the image or has written
// it since it was held.
TEST(Platform, InPlaceOpensShareWritesWithTheirOwnPunchOnly) {
#ifdef _WIN32
  constexpr bool kShareModes = true;
#else
  constexpr bool kShareModes = false;  // locks stand for them, tested with qemu-io
#endif
  test::TempDir dir;
  const std::string path = dir.file("disk.img");
  test::write_file(path, std::vector<uint8_t>(64u << 10, 1));
  {
    platform::ReadOpensShareWrites sharing(true);
    FileGuard guard;
    ActiveGuard active(guard);
    ASSERT_EQ(guard.hold(path), HoldResult::kHeld);
    File source = File::open_existing(path, true);
    ASSERT_TRUE(source);
    File target;
    clear_refusal();
    const ErrorCode rc = open_to_punch(path, source, 4096, target);
    // A host that cannot punch (Wine) says so only once the handle is open.
    EXPECT_TRUE(rc == OK || (rc == ERR_UNSUPPORTED && std::string_view(refusal_key()) == "no_holes")) << rc;
    ASSERT_TRUE(target);
    std::ofstream third(path, std::ios::binary | std::ios::in | std::ios::out);
    EXPECT_EQ(!third, kShareModes);
  }
  std::ofstream writer(path, std::ios::binary | std::ios::in | std::ios::out);
  ASSERT_TRUE(writer);
  {
    platform::ReadOpensShareWrites sharing(true);
    File source = File::open_existing(path, true);
    ASSERT_TRUE(source);
    bool in_use = false;
    File target = File::open_to_punch(path, in_use);
    EXPECT_EQ(in_use, kShareModes);
    EXPECT_EQ(!target, kShareModes);
    clear_refusal();
    if (kShareModes) {
      EXPECT_EQ(open_to_punch(path, source, 4096, target), ERR_OPEN);
      EXPECT_STREQ(refusal_key(), "in_use");
    }
  }
  // Outside a trim in place the image's read handles let nobody write, as before.
  if (kShareModes) {
    EXPECT_FALSE(File::open_existing(path, true));
  }
  // A writer that came and went between the hold and the punch.
  platform::ReadOpensShareWrites sharing(true);
  FileGuard guard;
  ActiveGuard active(guard);
  writer.close();
  ASSERT_EQ(guard.hold(path), HoldResult::kHeld);
  File source = File::open_existing(path, true);
  ASSERT_TRUE(source);
  {
    std::ofstream later(path, std::ios::binary | std::ios::app);
    ASSERT_TRUE(later);
    later << "more";
  }
  File target;
  clear_refusal();
  EXPECT_EQ(open_to_punch(path, source, 4096, target), ERR_OPEN);
  EXPECT_STREQ(refusal_key(), "changed");
}

// The images of the smoke test of both programs, from the builders: a FAT disk with data and
// dirtied free clusters as a VHDX, a VDI and a raw image (one for a trim in place), and a split VMDK.
TEST(Smoke, WriteImages) {
  const char* folder = std::getenv("QX_SMOKE_DIR");
  if (!folder) GTEST_SKIP() << "writes the images of scripts/test-windows.sh into QX_SMOKE_DIR";
  test::TempDir work;
  test::FatSpec spec;
  spec.cluster_count = 8000;
  spec.sectors_per_cluster = 1;
  const std::string raw = work.file("disk.raw");
  const test::FatVolume v = test::build_fat_volume(raw, spec);
  test::make_sparse_file(raw, 8u << 20);
  // Used clusters 2..200; everything else of the data area holds stale bytes.
  for (uint64_t n = 2; n <= 200; ++n) v.set_entry(n, n == 200 ? 0xFFFF : static_cast<uint32_t>(n + 1));
  test::fill_pattern(raw, v.data_offset, 7000 * 512, 0x3c);
  test::VhdxShape shape;
  shape.disk_bytes = 8u << 20;
  test::VhdxBuilder vhdx(shape);
  vhdx.copy_raw(raw);
  vhdx.write_to(std::string(folder) + "/disk.vhdx");
  test::VdiBuilder vdi;
  const std::vector<uint8_t> disk = test::read_file(raw);
  vdi.write(0, std::span(disk).first(std::min<size_t>(disk.size(), 8u << 20)));
  vdi.write_to(std::string(folder) + "/disk.vdi");
  test::VhdShape vhd_shape;
  vhd_shape.total_sectors = 16384;
  vhd_shape.geometry = std::array<uint32_t, 3>{256, 16, 4};
  test::VhdBuilder vhd(vhd_shape);
  vhd.write(0, disk);
  vhd.write_to(std::string(folder) + "/disk.vhd");
  test::ParallelsShape hdd_shape;
  hdd_shape.total_sectors = 16384;
  test::ParallelsBuilder hdd(hdd_shape);
  hdd.write(0, disk);
  hdd.write_to(std::string(folder) + "/disk.hdd");
  test::Qcow2Shape qcow2_shape;
  qcow2_shape.size = disk.size();
  test::write_file(std::string(folder) + "/disk.qcow2", test::qcow2_bytes(qcow2_shape, disk).bytes);
  std::filesystem::copy_file(raw, std::string(folder) + "/disk.img");
  std::filesystem::create_directory(std::string(folder) + "/in-place");
  std::filesystem::copy_file(raw, std::string(folder) + "/in-place/disk.img");
  std::filesystem::create_directory(std::string(folder) + "/split");
  (void)test::write_split_vmdk(std::string(folder) + "/split");
}

// Every used sector of each original reads back the same from the trimmed image.
TEST(Smoke, UsedSectorsReadBack) {
  const char* originals = std::getenv("QX_SMOKE_ORIGINALS");
  const char* trimmed = std::getenv("QX_SMOKE_DIR");
  if (!originals || !trimmed) GTEST_SKIP() << "checks the images of scripts/test-windows.sh";
  for (const char* name : {"disk.vhdx", "disk.vdi", "disk.vhd", "disk.hdd", "disk.qcow2", "split/d.vmdk", "disk.img",
                           "in-place/disk.img"}) {
    SCOPED_TRACE(name);
    const std::string before = std::string(originals) + "/" + name, after = std::string(trimmed) + "/" + name;
    const test::UsedSectors used = test::used_sectors(before);
    EXPECT_EQ(test::first_used_difference(test::read_whole_disk(before), test::read_whole_disk(after), used), -1);
  }
}

}  // namespace
}  // namespace qx
