// The command line on a disk laid out as Fedora installs it (GPT: an EFI FAT32, an ext4 /boot and a
// Btrfs holding the rest), as VHDX, VDI and VMDK: nothing used lost, the checkers clean, the free
// space of every volume found, and the output close to the data the guest holds.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/btrfs_tools.hpp"
#include "support/disk_fixture.hpp"
#include "support/image_checks.hpp"
#include "support/map_disk.hpp"
#include "support/oracle_check.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;
constexpr uint64_t kMiB = 1024 * 1024;

class FedoraDisk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_btrfs_tools() || !test::have_disk_tools()) return;
    dir_ = new test::TempDir();
    const std::string d = dir_->path().string();
    disk_.raw = d + "/fedora.raw";
    disk_.bytes = 440 * kMiB;
    disk_.partitions = {{"vfat", 2048, 40 * 2048}, {"ext4", 83968, 64 * 2048}, {"btrfs", 215040, 320 * 2048}};
    test::make_dirty_file(disk_.raw, disk_.bytes, 0xF3);
    if (test::run_command("sgdisk -n 1:2048:+40M -t 1:ef00 -n 2:83968:+64M -t 2:8300 -n 3:215040:+320M -t 3:8300 " +
                          shell_quote(disk_.raw) + " >/dev/null 2>&1").status != 0)
      return;
    const std::string efi = d + "/efi.fat", boot = d + "/boot.ext4", root = d + "/root.btrfs";
    test::make_fat32(d, efi, disk_.partitions[0].sectors, 2048);
    test::make_ext(d, boot, disk_.partitions[1].sectors, "ext4");
    if (!test::make_btrfs_volume(root, disk_.partitions[2].sectors * 512, "").empty()) return;
    const std::string parts[] = {efi, boot, root};
    for (size_t i = 0; i < 3; ++i) {
      test::copy_range(parts[i], 0, disk_.raw, disk_.partitions[i].start * 512, disk_.partitions[i].sectors * 512);
      fs::remove(parts[i]);
    }
    ready_ = true;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "btrfs-progs, the disk tools, root or a Btrfs-capable kernel missing";
  }

  static test::TempDir* dir_;
  static test::DiskFixture disk_;
  static bool ready_;
};
test::TempDir* FedoraDisk::dir_ = nullptr;
test::DiskFixture FedoraDisk::disk_;
bool FedoraDisk::ready_ = false;

// The map's answer for one partition, as a reader's answer over the partition alone.
test::ReaderResult slice(const test::DiskMap& map, const test::FsPartition& p) {
  test::ReaderResult r;
  r.probe = r.mark = OK;
  r.sectors = static_cast<uint32_t>(p.sectors);
  r.bitmap.assign((p.sectors + 7) / 8, 0);
  for (uint64_t s = 0; s < p.sectors; ++s)
    if (map.sector_used(p.start + s)) r.bitmap[s / 8] |= static_cast<uint8_t>(1u << (s % 8));
  return r;
}

TEST_F(FedoraDisk, EveryVolumeReadAndItsFreeSpaceFound) {
  const test::DiskMap map = test::map_disk_file(disk_.raw);
  ASSERT_EQ(map.error, OK);
  const int32_t kinds[] = {KIND_FAT, KIND_EXT, KIND_BTRFS};
  for (size_t i = 0; i < 3; ++i) {
    const test::FsPartition& p = disk_.partitions[i];
    const auto region = std::find_if(map.regions.begin(), map.regions.end(),
                                     [&](const test::DiskMapRegion& r) { return r.start == p.start; });
    ASSERT_NE(region, map.regions.end()) << p.fs;
    EXPECT_EQ(region->kind, kinds[i]) << p.fs;
    test::OracleAllocation oracle;
    if (p.fs == "btrfs") {
      const std::string part = dir_->file("part.btrfs");
      test::copy_range(disk_.raw, p.start * 512, part, 0, p.sectors * 512);
      oracle = test::read_btrfs_oracle(part);
      fs::remove(part);
    } else {
      oracle = test::run_blkls(disk_.raw, p.fs == "vfat" ? "fat" : "ext", p.start);
    }
    ASSERT_FALSE(oracle.state.empty()) << p.fs;
    const uint32_t per_unit = static_cast<uint32_t>((p.sectors + oracle.state.size() / 2) / oracle.state.size());
    const test::OracleComparison c = test::compare_with_oracle(slice(map, p), oracle, per_unit);
    EXPECT_EQ(c.allocated_marked_free, 0u) << p.fs << ": " << c.first_mismatch;
    const double found = 100.0 - 100.0 * static_cast<double>(c.free_marked_used) / static_cast<double>(c.free_units * per_unit);
    EXPECT_GE(found, 99.0) << p.fs << ": " << c.first_mismatch;
    std::printf("[ figures  ] Fedora disk, %s: %.2f%% of %llu free sectors found\n", p.fs.c_str(), found,
                static_cast<unsigned long long>(c.free_units * per_unit));
  }
}

struct Format {
  const char* name;
  const char* options;
  double max_ratio;  // output size over the used data; 0 where no bar is set
};

class FedoraDiskTrim : public FedoraDisk, public ::testing::WithParamInterface<Format> {};

TEST_P(FedoraDiskTrim, TrimmedImageKeepsEveryUsedSectorAndStaysClean) {
  const Format& f = GetParam();
  test::TempDir dir;
  const std::string image = dir.file(std::string("fedora.") + f.name);
  test::qemu_convert(disk_.raw, image, std::string("-f raw -O ") + f.options);
  const uint64_t before = fs::file_size(image);
  const test::UsedSectors used = test::used_sectors(image);
  EXPECT_EQ(used.recognised, 3u);
  uint64_t used_bytes = 0;
  for (uint64_t s = 0; s < used.total; ++s) used_bytes += used.used(s) ? 512 : 0;

  const auto r = test::quorvex("-d " + shell_quote(image));
  ASSERT_EQ(r.status, 0) << r.output;
  const uint64_t after = fs::file_size(image);
  const auto check = test::run_command("qemu-img check " + shell_quote(image) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.output;
  test::qemu_convert(image, dir.file("after.raw"), std::string("-O raw"));
  EXPECT_EQ(test::first_used_difference_in_files(disk_.raw, dir.file("after.raw"), used), -1);
  EXPECT_EQ(test::check_file_systems(disk_, dir.file("after.raw"), dir.path().string()), "");

  const double ratio = static_cast<double>(after) / static_cast<double>(used_bytes);
  if (f.max_ratio > 0) {
    EXPECT_LE(ratio, f.max_ratio);
  }
  std::printf("[ figures  ] Fedora disk as %s: %.1f MiB before, %.1f MiB after, %.1f MiB used, ratio %.3f\n", f.name,
              static_cast<double>(before) / kMiB, static_cast<double>(after) / kMiB,
              static_cast<double>(used_bytes) / kMiB, ratio);
}

INSTANTIATE_TEST_SUITE_P(Formats, FedoraDiskTrim,
                         ::testing::Values(Format{"vhdx", "vhdx", 0}, Format{"vdi", "vdi", 1.3},
                                           Format{"vmdk", "vmdk -o subformat=monolithicSparse", 1.3}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qx
