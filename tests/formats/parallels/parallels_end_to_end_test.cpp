// The command line on Parallels images made by qemu-img from partitioned disks with real file
// systems, given as a file and inside a bundle folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/disk_fixture.hpp"
#include "support/parallels_builder.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

test::CommandResult run(const std::string& command) { return test::run_command(command + " 2>&1"); }

// The image as a file, or as the only storage of a bundle whose folder is given to the tool.
void trim_real_disk(test::DiskFixture (*make)(const std::string&), bool in_bundle) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = make(dir.path().string());
  const std::string folder = dir.file("disk.hdd");
  const std::string image = in_bundle ? folder + "/disk.hds" : folder;
  const uint32_t total = static_cast<uint32_t>(disk.bytes / 512);
  if (in_bundle)
    test::write_bundle_descriptor(folder, test::bundle_shape(total, {{"0", std::to_string(total), "disk.hds"}}));
  test::qemu_convert(disk.raw, image, "-f raw -O parallels");
  test::qemu_convert(image, dir.file("qemu.hdd"), "-f parallels -O parallels");
  test::qemu_convert(image, dir.file("before.raw"), "-f parallels -O raw");
  const std::string descriptor = folder + "/DiskDescriptor.xml";
  const auto descriptor_before = in_bundle ? test::read_file(descriptor) : std::vector<uint8_t>{};
  const uint64_t old_size = fs::file_size(image);
  const test::UsedSectors used = test::used_sectors(folder);
  EXPECT_EQ(used.recognised, disk.partitions.size());
  const auto inspect = run(shell_quote(test::inspect_binary()) + " " + shell_quote(folder));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_EQ(inspect.output.rfind(in_bundle ? "format: 16 " : "format: 15 ", 0), 0u) << inspect.output;

  const auto r = run(shell_quote(test::quorvex_binary()) + (in_bundle ? " " : " -d ") + shell_quote(folder));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(test::ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_FALSE(fs::exists(image + "_TEMP"));
  EXPECT_EQ(fs::exists(image + "_DEL"), in_bundle);
  if (in_bundle) {
    EXPECT_EQ(test::read_file(descriptor), descriptor_before);
  }

  const uint64_t new_size = fs::file_size(image);
  EXPECT_LT(new_size, old_size);
  EXPECT_LT(new_size, fs::file_size(dir.file("qemu.hdd"))) << "qemu-img keeps the deleted files' clusters";
  const auto check = run("qemu-img check -f parallels " + shell_quote(image));
  EXPECT_EQ(check.status, 0) << check.output;
  test::qemu_convert(image, dir.file("after.raw"), "-f parallels -O raw");
  const auto before = test::read_file(dir.file("before.raw"));
  const auto after = test::read_file(dir.file("after.raw"));
  EXPECT_EQ(before.size(), after.size());
  EXPECT_EQ(test::first_used_difference(before, after, used), -1);
  EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");
}

TEST(ParallelsEndToEnd, MbrWithFat32AndExt4) { trim_real_disk(test::make_mbr_fat32_ext4, false); }
TEST(ParallelsEndToEnd, GptWithNtfsAndExt2) { trim_real_disk(test::make_gpt_ntfs_ext2, false); }
TEST(ParallelsEndToEnd, MbrBundle) { trim_real_disk(test::make_mbr_fat32_ext4, true); }
TEST(ParallelsEndToEnd, GptBundle) { trim_real_disk(test::make_gpt_ntfs_ext2, true); }

}  // namespace
}  // namespace qx
