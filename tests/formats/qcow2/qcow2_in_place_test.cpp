// QCOW2 images made by qemu-img trimmed in place: every refcount width and a small cluster size,
// a stop at every write and sync of the run, and a host that cannot punch holes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <sstream>

#include "image/byte_order.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "support/disk_builder.hpp"
#include "support/disk_fixture.hpp"
#include "support/fault_injection.hpp"
#include "support/qemu_tools.hpp"
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
  const auto check = test::qemu_check(image);
  EXPECT_TRUE(test::qemu_check_passes(check, true)) << check.output;
  const std::string raw = work + "/guest.raw";
  const auto after = test::qemu_guest_disk(image, raw);
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
      const auto check = test::qemu_check(image);
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

// Host offsets of the guest's clusters, as `qemu-img map` lists them (0 where not allocated).
std::vector<uint64_t> host_clusters(const std::string& image, uint64_t cluster, uint64_t clusters) {
  const auto r = test::run_command("qemu-img map " + shell_quote(image) + " 2>&1");
  std::vector<uint64_t> hosts(clusters, 0);
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    uint64_t guest = 0, length = 0, host = 0;
    if (std::sscanf(line.c_str(), "%" SCNx64 " %" SCNx64 " %" SCNx64, &guest, &length, &host) != 3) continue;
    for (uint64_t at = 0; at < length; at += cluster)
      if ((guest + at) / cluster < clusters) hosts[(guest + at) / cluster] = host + at;
  }
  return hosts;
}

// A free guest cluster's L2 entry made to name the host cluster of a file's data ("refcount=1
// reference=2"): in place, dropping it would free the file's data; the trim refuses instead.
TEST_F(Qcow2InPlace, ClusterNamedTwiceIsRefused) {
  const test::DiskFixture& disk = whole_disk();
  test::TempDir dir;
  const std::string image = dir.file("disk.qcow2"), copy = dir.file("copy.qcow2");
  test::qemu_convert(disk.raw, image, "-f raw -O qcow2");
  constexpr uint64_t kCluster = 65536, kSectors = kCluster / 512;
  const test::UsedSectors used = test::used_sectors(image);
  const uint64_t clusters = used.total / kSectors;
  const std::vector<uint64_t> hosts = host_clusters(image, kCluster, clusters);
  const auto all = [&](uint64_t c, bool value) {
    for (uint64_t s = c * kSectors; s < (c + 1) * kSectors; ++s)
      if (used.used(s) != value) return false;
    return true;
  };
  uint64_t free_cluster = 0, file_cluster = 0;
  for (uint64_t c = 1; c < clusters && !(free_cluster && file_cluster); ++c) {
    if (!hosts[c]) continue;
    if (!free_cluster && all(c, false)) free_cluster = c;
    if (!file_cluster && all(c, true)) file_cluster = c;
  }
  ASSERT_TRUE(free_cluster && file_cluster);
  const std::vector<uint8_t> bytes = test::read_file(image);
  const uint64_t l2 = be64(bytes.data() + be64(bytes.data() + 40)) & 0x00FFFFFFFFFFFE00ull;
  uint8_t entry[8];
  store_be<uint64_t>(entry, hosts[file_cluster] | uint64_t{1} << 63);
  test::write_at(image, l2 + free_cluster * 8, entry);
  const auto check = test::qemu_check(image);
  ASSERT_NE(check.output.find("refcount=1 reference=2"), std::string::npos) << check.output;
  fs::copy_file(image, copy);
  const auto before = test::qemu_guest_disk(image, dir.file("before.raw"));
  const auto damaged = test::read_file(image);

  const auto r = test::run_command(shell_quote(test::quorvex_binary()) + " --in-place " + shell_quote(image) + " 2>&1");
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("corrupt: run qemu-img check -r all"), std::string::npos) << r.output;
  EXPECT_EQ(test::read_file(image), damaged);
  // The copy keeps both names' data: every used sector reads back as it did, and QEMU finds the
  // new file sound.
  ASSERT_EQ(test::quorvex("-s " + shell_quote(copy)).status, 0);
  EXPECT_EQ(test::qemu_check(copy).status, 0);
  const auto after = test::qemu_guest_disk(copy, dir.file("after.raw"));
  EXPECT_EQ(test::first_used_difference(before, after, used), -1);
}

}  // namespace
}  // namespace qx
