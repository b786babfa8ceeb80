// The Btrfs reader on real volumes made by btrfs-progs and aged through the kernel, checked against
// btrfs-progs' own dump of their chunks and extents; alone, over a whole disk and in an LVM2
// logical volume.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "fs/btrfs/btrfs_reader.hpp"
#include "image/disk_image.hpp"
#include "support/btrfs_tools.hpp"
#include "support/disk_builder.hpp"
#include "support/disk_fixture.hpp"
#include "support/lvm_builder.hpp"
#include "support/map_disk.hpp"
#include "support/oracle_check.hpp"
#include "support/test_support.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// At most 1% of what the oracle calls free may stay used; no allocated sector may come out free.
void expect_matches_oracle(const test::ReaderResult& map, const std::string& volume, const std::string& what) {
  const test::OracleAllocation oracle = test::read_btrfs_oracle(volume);
  ASSERT_FALSE(oracle.state.empty()) << what << ": btrfs-progs listed nothing";
  const test::OracleComparison c = test::compare_with_oracle(map, oracle, 8);
  EXPECT_EQ(c.allocated_marked_free, 0u) << what << ": " << c.first_mismatch;
  const uint64_t free_sectors = c.free_units * 8;
  ASSERT_GT(free_sectors, 0u) << what;
  const double found = 100.0 * static_cast<double>(free_sectors - c.free_marked_used) / static_cast<double>(free_sectors);
  EXPECT_GE(found, 99.0) << what << ": " << c.first_mismatch;
  std::printf("[ figures  ] %s: %.2f%% of %llu free sectors found\n", what.c_str(), found,
              static_cast<unsigned long long>(free_sectors));
}

struct Variant {
  const char* name;
  uint64_t size;
  const char* mkfs;
  const char* mount;
};

const Variant kVariants[] = {
    {"default", 256 * kMiB, "", "compress=zstd:1"},
    {"metadata_single", 256 * kMiB, "-m single", "compress=zstd:1"},
    {"mixed_groups", 128 * kMiB, "-M", "compress=zstd:1"},
    {"nodes_of_64k", 256 * kMiB, "-n 65536", "compress=zstd:1"},
    {"space_cache_v1", 256 * kMiB, "-R ^free-space-tree", "compress=zstd:1,space_cache=v1"},
    {"block_group_tree", 256 * kMiB, "-O block-group-tree", "compress=zstd:1"},
};

class BtrfsVolume : public ::testing::TestWithParam<Variant> {};

TEST_P(BtrfsVolume, EveryListedExtentUsedAndTheRestFree) {
  if (!test::have_btrfs_tools()) GTEST_SKIP() << "btrfs-progs, root or a Btrfs-capable kernel missing";
  const Variant& v = GetParam();
  test::TempDir dir;
  const std::string volume = dir.file("v.btrfs");
  const std::string made = test::make_btrfs_volume(volume, v.size, v.mkfs, v.mount);
  if (made.find("mkfs.btrfs failed") == 0 && std::string(v.mkfs).find("-O") == 0)
    GTEST_SKIP() << "this btrfs-progs cannot make it: " << made;
  ASSERT_EQ(made, "");
  ASSERT_EQ(test::btrfs_check(volume), "");
  const test::ReaderResult map = test::map_volume_file(volume, KIND_BTRFS);
  ASSERT_EQ(map.probe, OK);
  ASSERT_EQ(map.mark, OK);
  expect_matches_oracle(map, volume, v.name);

  // Over a whole disk the map finds the same volume and answers the same.
  const test::DiskMap disk = test::map_disk_file(volume);
  ASSERT_EQ(disk.error, OK);
  ASSERT_EQ(disk.regions.size(), 1u);
  EXPECT_EQ(disk.regions[0].kind, KIND_BTRFS);
  EXPECT_EQ(disk.used, map.bitmap);
}

INSTANTIATE_TEST_SUITE_P(Variants, BtrfsVolume, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BtrfsVolumeLayout, InAnLvmLogicalVolume) {
  if (!test::have_btrfs_tools()) GTEST_SKIP() << "btrfs-progs, root or a Btrfs-capable kernel missing";
  test::TempDir dir;
  const std::string volume = dir.file("lv.btrfs"), disk = dir.file("disk.raw");
  ASSERT_EQ(test::make_btrfs_volume(volume, 160 * kMiB, ""), "");
  const test::ReaderResult alone = test::map_volume_file(volume, KIND_BTRFS);
  ASSERT_EQ(alone.probe, OK);

  // A PV of 4 MiB extents in an MBR partition; the LV takes extents 2 to 41.
  test::LvmPvSpec pv;
  pv.extent_size = 8192;
  pv.pe_count = 44;
  pv.dev_size = 2048 + 44 * 8192;
  pv.lvs = {test::linear_lv("root", 2, 40)};
  const uint32_t part = 2048, lv_start = part + 2048 + 2 * 8192;
  test::make_dirty_file(disk, (part + pv.dev_size + 2048) * 512);
  test::write_boot_sector(disk, 0, {{0x8E, part, static_cast<uint32_t>(pv.dev_size)}});
  test::write_lvm_pv(disk, part * 512ull, pv);
  test::copy_range(volume, 0, disk, lv_start * 512ull, 160 * kMiB);

  const test::DiskMap map = test::map_disk_file(disk);
  ASSERT_EQ(map.error, OK);
  const auto lv = std::find_if(map.regions.begin(), map.regions.end(),
                               [](const test::DiskMapRegion& r) { return r.kind == KIND_BTRFS; });
  ASSERT_NE(lv, map.regions.end());
  EXPECT_EQ(lv->start, lv_start);
  for (uint32_t s = 0; s < alone.sectors; ++s)
    ASSERT_EQ(map.sector_used(lv_start + s), alone.used(s)) << "sector " << s;
}

// A line of /proc/self/status in KiB ("VmHWM:"), or 0.
long status_kib(const std::string& name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(name, 0) == 0) return std::stol(line.substr(name.size()));
  return 0;
}

// A 1 TiB sparse volume: its state grows with its extents, not its size, and the copy at 256 GiB
// is among the superblocks read.
TEST(BtrfsVolumeLayout, OneTebibyteSparseVolumeMapsInLittleMemory) {
  if (!test::have_btrfs_tools()) GTEST_SKIP() << "btrfs-progs missing";
  test::TempDir dir;
  const std::string volume = dir.file("big.btrfs");
  test::make_sparse_file(volume, 1024 * 1024 * kMiB);
  ASSERT_EQ(test::run_command("mkfs.btrfs -q -K -f " + test::shell_quote(volume) + " 2>&1").status, 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    // The child starts with the parent's pages: the peak is reset and the growth measured.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = status_kib("VmRSS:");
    DiskImage image;
    const uint32_t sectors = 1u << 31;
    long report[2] = {-1, -1};
    std::unique_ptr<ReaderState> state;
    if (open_flat(image, volume, true, 0, DiskGeometry{sectors, 255, 63, 512}) == OK &&
        fs_reader(KIND_BTRFS).probe(image, 0, sectors, state) == OK) {
      report[0] = status_kib("VmHWM:") - before;
      report[1] = static_cast<long>(btrfs_used_ranges(*state)->size());
    }
    (void)!write(pipe_fds[1], report, sizeof report);
    _exit(0);
  }
  long report[2] = {-1, -1};
  EXPECT_EQ(read(pipe_fds[0], report, sizeof report), static_cast<ssize_t>(sizeof report));
  waitpid(child, nullptr, 0);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  ASSERT_GE(report[0], 0) << "the probe failed";
  EXPECT_LT(report[0], 100 * 1024) << "growth of the peak resident KiB";
  EXPECT_LT(report[1], 64) << "used ranges";
  std::printf("[ figures  ] 1 TiB sparse Btrfs: peak resident grew %ld KiB, %ld used ranges\n", report[0], report[1]);
}

}  // namespace
}  // namespace qx
