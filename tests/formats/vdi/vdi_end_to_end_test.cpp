// The command line on VDI files made by qemu-img from partitioned disks with real file systems,
// and on damaged files and hostile surroundings.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "support/disk_fixture.hpp"
#include "support/file_patch.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vdi_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::ends_with;
using test::quorvex;
using test::shell_quote;

// Each disk is built once and serves the dynamic and the fixed image.
struct Disks {
  test::TempDir dir;
  test::DiskFixture mbr, gpt;
};
Disks* g_disks = nullptr;

class VdiEndToEnd : public testing::TestWithParam<std::tuple<const char*, bool>> {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_disk_tools() || g_disks) return;
    g_disks = new Disks;
    fs::create_directory(g_disks->dir.path() / "mbr");
    fs::create_directory(g_disks->dir.path() / "gpt");
    g_disks->mbr = test::make_mbr_fat32_ext4((g_disks->dir.path() / "mbr").string());
    g_disks->gpt = test::make_gpt_ntfs_ext2((g_disks->dir.path() / "gpt").string());
  }
  static void TearDownTestSuite() {
    delete g_disks;
    g_disks = nullptr;
  }
};

TEST_P(VdiEndToEnd, TrimsAQemuImage) {
  if (!g_disks) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto [name, fixed] = GetParam();
  const test::DiskFixture& disk = std::string(name) == "mbr" ? g_disks->mbr : g_disks->gpt;
  test::TempDir dir;
  const std::string image = dir.file("disk.vdi");
  test::qemu_convert(disk.raw, image, fixed ? "-f raw -O vdi -o static=on" : "-f raw -O vdi");
  test::qemu_convert(image, dir.file("qemu.vdi"), "-f vdi -O vdi");
  test::qemu_convert(image, dir.file("before.raw"), "-f vdi -O raw");
  const uint64_t old_size = fs::file_size(image);
  const test::UsedSectors used = test::used_sectors(image);
  EXPECT_EQ(used.recognised, disk.partitions.size());

  const auto r = quorvex("-d " + shell_quote(image));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_EQ(test::count_of(r.output, "QxDeleteFile " + image + "_DEL\n"), 1u) << r.output;
  EXPECT_FALSE(fs::exists(image + "_DEL"));
  EXPECT_FALSE(fs::exists(image + "_TEMP"));

  const uint64_t new_size = fs::file_size(image);
  EXPECT_LT(new_size, old_size);
  EXPECT_LT(new_size, fs::file_size(dir.file("qemu.vdi"))) << "qemu-img keeps the deleted files' blocks";
  const auto check = test::run_command("qemu-img check " + shell_quote(image) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.output;
  test::qemu_convert(image, dir.file("after.raw"), "-f vdi -O raw");
  const auto before = test::read_file(dir.file("before.raw"));
  const auto after = test::read_file(dir.file("after.raw"));
  EXPECT_EQ(before.size(), after.size());
  EXPECT_EQ(test::first_used_difference(before, after, used), -1);
  EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");
  EXPECT_EQ(test::parse_vdi(test::read_file(image)).image_type, fixed ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(, VdiEndToEnd,
                         testing::Combine(testing::Values("mbr", "gpt"), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Fixed" : "Dynamic");
                         });

// ---- faults: whatever goes wrong, the image stays as it was and no "_TEMP" is left ----

struct Fault {
  const char* name;
  std::function<void(const std::string& path)> prepare;
  std::string command_prefix;  // runs before the binary inside bash
  bool prints_error = true;    // a file that does not open prints nothing
};

TEST(VdiFaults, ImageStaysAsItWas) {
  const Fault faults[] = {
      {"truncated", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) - 3 * 512 * 1024); }, "", false},
      {"signature damaged", [](const std::string& p) { test::patch_byte(p, 66, 0xDB); }, "", false},
      {"block extra data", {}, "", true},
      {"temporary name held by a folder", [](const std::string& p) { fs::create_directory(p + "_TEMP"); }, "", true},
      // Files of at most 4 MiB (the output needs 5), SIGXFSZ ignored so that the write fails.
      {"write fails midway", {}, "trap '' XFSZ; ulimit -f 4096; ", true},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    test::TempDir dir;
    const std::string path = dir.file("disk.vdi");
    test::VdiShape shape;
    if (std::string(f.name) == "block extra data") shape.block_extra = 512;
    test::VdiBuilder b(shape);
    for (uint32_t block = 0; block < 8; block += 1 + block % 2) b.fill(block * 2048 + 5, 3, 0x5A);
    b.allocate(2);  // a block of zeros, so that the trim has something to gain
    b.write_to(path);
    if (f.prepare) f.prepare(path);
    const auto bytes = test::read_file(path);
    const auto r = test::run_command("bash -c " + shell_quote(f.command_prefix + "exec " +
                                                              shell_quote(test::quorvex_binary()) + " " +
                                                              shell_quote(path)) + " 2>/dev/null");
    EXPECT_EQ(r.status, 2) << r.output;
    if (f.prints_error) EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
    else EXPECT_EQ(r.output, "");
    EXPECT_EQ(test::read_file(path), bytes);
    EXPECT_FALSE(fs::is_regular_file(path + "_TEMP"));
    EXPECT_FALSE(fs::exists(path + "_DEL"));
  }
}

TEST(VdiInspect, ReportsTheImageLikeAnyOther) {
  test::TempDir dir;
  const std::string path = dir.file("i.vdi");
  test::VdiBuilder b;
  b.fill(0, 1, 0x01);
  b.write_to(path);
  const auto r = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(path) + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("format: 20 (vdi)"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("16384 sectors, 16 heads, 63 sectors per track"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace qx
