// QCOW2 images made by qemu-img trimmed in place: every refcount width and a small cluster size,
// a stop at every write and sync of the run, and a host that cannot punch holes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "support/disk_fixture.hpp"
#include "support/fault_injection.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

// Each disk is built on first use: ctest runs every test in a process of its own.
struct Disks {
  test::TempDir dir;
  std::optional<test::DiskFixture> mbr, whole;
};
Disks* g_disks = nullptr;

std::string folder(const char* name) {
  const fs::path at = g_disks->dir.path() / name;
  fs::create_directory(at);
  return at.string();
}
const test::DiskFixture& mbr_disk() {
  if (!g_disks->mbr) g_disks->mbr = test::make_mbr_fat32_ext4(folder("mbr"));
  return *g_disks->mbr;
}
const test::DiskFixture& whole_disk() {
  if (!g_disks->whole) g_disks->whole = test::make_whole_ext4(folder("whole"));
  return *g_disks->whole;
}

class Qcow2InPlace : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_disk_tools() || !test::have_tool("qemu-img") || g_disks) return;
    g_disks = new Disks;
  }
  static void TearDownTestSuite() {
    delete g_disks;
    g_disks = nullptr;
  }
  void SetUp() override {
    if (!g_disks) GTEST_SKIP() << "disk tools or qemu-img missing";
  }
};

// qemu-img finds no corruption (leaks allowed: status 3), and the guest sees every used sector
// as it was, its file systems clean.
void expect_consistent(const test::DiskFixture& disk, const std::string& image, const std::vector<uint8_t>& before,
                       const test::UsedSectors& used, const std::string& work) {
  const auto check = test::run_command("qemu-img check " + shell_quote(image) + " 2>&1");
  EXPECT_TRUE(check.status == 0 || check.status == 3) << check.output;
  const std::string raw = work + "/guest.raw";
  fs::remove(raw);
  test::qemu_convert(image, raw, "-O raw");
  const auto after = test::read_file(raw);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(test::first_used_difference(before, after, used), -1);
  EXPECT_EQ(test::check_file_systems(disk, raw, work), "");
  fs::remove(raw);
}

TEST_F(Qcow2InPlace, DropsFreeClustersInsideTheFile) {
  for (const char* options : {"", "-o cluster_size=4096", "-o refcount_bits=1", "-o refcount_bits=64", "-o compat=0.10"}) {
    for (const test::DiskFixture* disk : {&mbr_disk(), &whole_disk()}) {
      SCOPED_TRACE(std::string(options) + " " + disk->raw);
      test::TempDir dir;
      const std::string image = dir.file("disk.qcow2"), copy = dir.file("copy.qcow2");
      test::qemu_convert(disk->raw, image, std::string("-f raw -O qcow2 ") + options);
      fs::copy_file(image, copy);
      const auto before = test::read_file(disk->raw);
      const test::UsedSectors used = test::used_sectors(image);
      const uint64_t size = fs::file_size(image), old_host = test::host_bytes(image);
      const auto r = test::quorvex("--in-place " + shell_quote(image));
      ASSERT_EQ(r.status, 0) << r.output;
      const auto check = test::run_command("qemu-img check " + shell_quote(image) + " 2>&1");
      EXPECT_EQ(check.status, 0) << check.output;
      EXPECT_EQ(fs::file_size(image), size);
      EXPECT_FALSE(fs::exists(image + "_TEMP"));
      EXPECT_FALSE(fs::exists(image + "_DEL"));
      expect_consistent(*disk, image, before, used, dir.path().string());
      ASSERT_EQ(test::quorvex("-s -d " + shell_quote(copy)).status, 0);
      const uint64_t in_place = test::host_bytes(image), copied = test::host_bytes(copy);
      EXPECT_LE(in_place * 10, copied * 11);
      std::cout << "[ figures ] qcow2 " << options << ": host bytes " << old_host << " before, " << in_place
                << " in place, " << copied << " copy mode\n";
    }
  }
}

// A failure or a kill at every write, punch and sync leaves an image QEMU finds no fault in.
TEST_F(Qcow2InPlace, StopsAtEveryStep) {
  const test::DiskFixture& disk = whole_disk();
  test::TempDir dir;
  const std::string image = dir.file("disk.qcow2");
  test::qemu_convert(disk.raw, image, "-f raw -O qcow2 -o cluster_size=8192");
  const auto original = test::read_file(image);
  const auto before = test::read_file(disk.raw);
  const test::UsedSectors used = test::used_sectors(image);
  for (FileCall kind : {FileCall::kWrite, FileCall::kSync}) {
    test::write_file(image, original);
    const auto count = test::run_quorvex_child({"-s", "--in-place", image}, test::at_call_of(test::FaultMode::kCount, kind, 0),
                                               dir.path().string());
    ASSERT_EQ(count.exit_code, 0) << count.output;
    ASSERT_GT(count.calls, 1u);
    for (test::FaultMode mode : {test::FaultMode::kFail, test::FaultMode::kKill}) {
      for (uint64_t n = 1; n <= count.calls; ++n) {
        SCOPED_TRACE(std::to_string(n) + (kind == FileCall::kSync ? " sync" : " write") +
                     (mode == test::FaultMode::kKill ? " killed" : " failed"));
        test::write_file(image, original);
        const auto run = test::run_quorvex_child({"-s", "--in-place", image}, test::at_call_of(mode, kind, n),
                                                 dir.path().string());
        if (mode == test::FaultMode::kFail) EXPECT_EQ(run.exit_code, 2);
        else EXPECT_NE(run.signal, 0);
        expect_consistent(disk, image, before, used, dir.path().string());
      }
    }
  }
}

int no_punching(FileCall call) noexcept { return call == FileCall::kWrite ? EOPNOTSUPP : 0; }

TEST_F(Qcow2InPlace, HostWithoutHolesChangesNothing) {
  test::TempDir dir;
  const std::string image = dir.file("disk.qcow2");
  test::qemu_convert(whole_disk().raw, image, "-f raw -O qcow2");
  const auto bytes = test::read_file(image);
  EXPECT_EQ(test::trim_in_place_with_hook(image, no_punching), ERR_UNSUPPORTED);
  ASSERT_NE(refusal_note(), nullptr);
  EXPECT_NE(std::string(refusal_note()).find("cannot punch holes"), std::string::npos);
  EXPECT_EQ(test::read_file(image), bytes);
}

}  // namespace
}  // namespace qx
