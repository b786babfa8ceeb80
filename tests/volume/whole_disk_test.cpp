// File systems written over a whole disk without a partition table, as removable media, appliances
// and WSL 2 leave them: read as one volume, checked against the Sleuth Kit where it reads them.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "support/disk_builder.hpp"
#include "support/disk_fixture.hpp"
#include "support/exfat_volumes.hpp"
#include "support/fat_volumes.hpp"
#include "support/image_checks.hpp"
#include "support/map_disk.hpp"
#include "support/ntfs_tools.hpp"
#include "support/oracle_check.hpp"
#include "support/swap_tools.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/xfs_tools.hpp"
#include "volume/partitions.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

using test::shell_quote;
constexpr uint64_t kMiB = 1024 * 1024;

bool make_ext4(const test::TempDir& dir, const std::string& image, uint64_t size) {
  test::make_ext(dir.path().string(), image, size / 512, "ext4");
  return true;
}

bool make_ntfs(const std::string& image) {
  if (!test::make_ntfs_volume(image, 64 * kMiB, 4096)) return false;
  for (int i = 0; i < 10; ++i)
    if (!test::ntfs_add_file(image, "f" + std::to_string(i), (i + 1) * 900000, static_cast<uint8_t>(i + 7))) return false;
  for (int i = 0; i < 10; i += 2)
    if (!test::ntfs_empty_file(image, "f" + std::to_string(i))) return false;
  return true;
}

struct WholeDisk {
  const char* name;
  int32_t kind;
  const char* tsk_type;  // empty where the Sleuth Kit does not read it
  std::function<bool(const test::TempDir&, const std::string&)> make;
};

const WholeDisk kWholeDisks[] = {
    {"fat16", KIND_FAT, "fat",
     [](const test::TempDir& d, const std::string& p) {
       return test::make_fat_volume(p, 48, "-F 16") && test::fill_fat_volume(d, p, 16);
     }},
    {"fat32", KIND_FAT, "fat",
     [](const test::TempDir& d, const std::string& p) {
       return test::make_fat_volume(p, 64, "-F 32") && test::fill_fat_volume(d, p, 32);
     }},
    {"ntfs", KIND_NTFS, "ntfs", [](const test::TempDir&, const std::string& p) { return make_ntfs(p); }},
    {"exfat", KIND_EXFAT, "exfat",
     [](const test::TempDir&, const std::string& p) {
       if (!test::make_exfat_volume(p, 64, "")) return false;
       test::ExfatEditor editor(p);
       return !test::fill_exfat_volume(editor, 9).kept.empty();
     }},
    {"ext4", KIND_EXT, "ext", [](const test::TempDir& d, const std::string& p) { return make_ext4(d, p, 64 * kMiB); }},
    {"xfs", KIND_XFS, "",
     [](const test::TempDir&, const std::string& p) { return test::make_xfs_volume(p, 300 * kMiB, "-K") == 0; }},
    {"swap", KIND_SWAP, "", [](const test::TempDir&, const std::string& p) { return test::make_swap_area(p, 16 * kMiB, 4096); }},
};

class WholeDiskVolume : public ::testing::TestWithParam<WholeDisk> {};

TEST_P(WholeDiskVolume, IsOneVolumeAnsweredByItsReader) {
  const WholeDisk& c = GetParam();
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  bool made = false;
  try {
    made = c.make(dir, image);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "the tools cannot make it here: " << e.what();
  }
  if (!made) GTEST_SKIP() << "the tools cannot make it here";
  const test::DiskMap disk = test::map_disk_file(image);
  ASSERT_EQ(disk.error, OK);
  ASSERT_EQ(disk.regions.size(), 1u);
  EXPECT_EQ(disk.regions[0].kind, c.kind);
  const test::ReaderResult alone = test::map_volume_file(image, c.kind);
  ASSERT_EQ(alone.probe, OK);
  EXPECT_EQ(disk.used, alone.bitmap);
  if (!*c.tsk_type || !test::have_tool("blkls")) return;

  const test::OracleAllocation oracle = test::run_blkls(image, c.tsk_type);
  ASSERT_FALSE(oracle.state.empty()) << "blkls failed";
  const uint32_t per_unit = static_cast<uint32_t>((alone.sectors + oracle.state.size() / 2) / oracle.state.size());
  const test::OracleComparison cmp = test::compare_with_oracle(alone, oracle, per_unit);
  EXPECT_EQ(cmp.allocated_marked_free, 0u) << cmp.first_mismatch;
  const uint64_t free_sectors = cmp.free_units * per_unit;
  EXPECT_LE(cmp.free_marked_used * 100, free_sectors) << cmp.first_mismatch;
  std::printf("[ figures  ] whole-disk %s: %.2f%% of %llu free sectors found\n", c.name,
              100.0 - 100.0 * static_cast<double>(cmp.free_marked_used) / static_cast<double>(free_sectors),
              static_cast<unsigned long long>(free_sectors));
}

INSTANTIATE_TEST_SUITE_P(FileSystems, WholeDiskVolume, ::testing::ValuesIn(kWholeDisks),
                         [](const auto& info) { return std::string(info.param.name); });

// A boot sector that also carries valid entries is a partition table; entries no partitioning
// tool writes (a boot flag of 0x12, a partition at sector 0) leave it a file system.
TEST(WholeDiskTable, ValidEntriesKeepATableWhateverTheFirstSectorLooksLike) {
  if (!test::have_fat_tools()) GTEST_SKIP() << "mkfs.vfat missing";
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(test::make_fat_volume(image, 40, "-F 32"));
  const std::vector<uint8_t> pristine = test::read_file(image);
  const struct {
    std::vector<uint8_t> entry;
    int32_t first_kind;
    uint32_t first_start;
  } cases[] = {
      {{0x80, 0, 0, 0, 0x0C, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x10, 0, 0}, KIND_GAP, 0},
      {{0x12, 0, 0, 0, 0x0C, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x10, 0, 0}, KIND_FAT, 0},
      {{0x80, 0, 0, 0, 0x0C, 0, 0, 0, 0x00, 0x00, 0, 0, 0x00, 0x40, 1, 0}, KIND_FAT, 0},
      {std::vector<uint8_t>(16, 0), KIND_FAT, 0},
  };
  for (const auto& c : cases) {
    test::write_file(image, pristine);
    test::write_at(image, 446, c.entry);
    const test::DiskMap map = test::map_disk_file(image);
    ASSERT_EQ(map.error, OK);
    ASSERT_FALSE(map.regions.empty());
    EXPECT_EQ(map.regions[0].kind, c.first_kind) << int(c.entry[0]);
    EXPECT_EQ(map.regions[0].start, c.first_start);
    if (c.first_kind == KIND_GAP) {
      ASSERT_EQ(map.regions.size(), 3u);
      EXPECT_EQ(map.regions[1].start, 2048u);
    }
  }
}

// WSL 2 and Docker Desktop keep an ext4 over the whole of a dynamic VHDX: one volume, trimmed,
// still clean and unchanged in every used sector.
TEST(WholeDiskTable, WholeDiskExt4VhdxAsWslMakesIt) {
  if (!test::have_tool("qemu-img") || !test::have_tool("e2fsck")) GTEST_SKIP() << "qemu-img or e2fsprogs missing";
  test::TempDir dir;
  const std::string raw = dir.file("ext4.raw"), image = dir.file("ext4.vhdx");
  ASSERT_TRUE(make_ext4(dir, raw, 256 * kMiB));
  test::qemu_convert(raw, image, "-f raw -O vhdx -o subformat=dynamic");
  const test::UsedSectors used = test::used_sectors(image);
  EXPECT_EQ(used.recognised, 1u);
  EXPECT_EQ(used.volumes, 1u);
  const auto r = test::quorvex("-d " + shell_quote(image));
  ASSERT_EQ(r.status, 0) << r.output;
  test::qemu_convert(image, dir.file("after.raw"), "-f vhdx -O raw");
  EXPECT_EQ(test::first_used_difference_in_files(raw, dir.file("after.raw"), used), -1);
  const auto check = test::run_command("e2fsck -fn " + shell_quote(dir.file("after.raw")) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.output;
}

}  // namespace
}  // namespace qx
