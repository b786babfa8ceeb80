// Every file system beside the others on one partitioned disk, with partition tables written by
// sfdisk and sgdisk: each volume must be found with its kind, answer exactly as it does alone,
// and show up in quorvex-inspect.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/disk_builder.hpp"
#include "support/exfat_builder.hpp"
#include "support/exfat_volumes.hpp"
#include "support/ext_builder.hpp"
#include "support/fat_volumes.hpp"
#include "support/fs_support.hpp"
#include "support/hfsplus_builder.hpp"
#include "support/map_disk.hpp"
#include "support/ntfs_tools.hpp"
#include "support/swap_tools.hpp"
#include "support/test_support.hpp"
#include "support/xfs_tools.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1024 * 1024;

struct Volume {
  std::string file;
  int32_t kind;
  uint8_t mbr_type;
  const char* gpt_type;
  uint32_t start = 0;
  uint32_t sectors = 0;
};

bool have_all_tools() {
  return test::have_fat_tools() && test::have_ntfs_tools() && test::have_exfat_tools() &&
         test::have_xfs_tools() && test::have_swap_tools() && test::have_tool("mke2fs") &&
         test::have_tool("debugfs") && test::have_tool("sfdisk") && test::have_tool("sgdisk");
}

class AllFileSystems : public ::testing::TestWithParam<const char*> {
 protected:
  // The volumes, made once with free space dirtied first and files added (and some removed).
  static void SetUpTestSuite() {
    if (!have_all_tools()) return;
    dir_ = new test::TempDir;
    auto file = [](const char* name) { return dir_->file(name); };
    bool ok = test::make_fat_volume(file("fat.img"), 40, "-F 32 -s 1") &&
              test::fill_fat_volume(*dir_, file("fat.img"), 7);
    ok = ok && test::make_ntfs_volume(file("ntfs.img"), 16 * kMiB, 4096) &&
         test::ntfs_add_file(file("ntfs.img"), "a", 3 * kMiB, 3) &&
         test::ntfs_add_file(file("ntfs.img"), "b", kMiB + 123, 4) &&
         test::ntfs_empty_file(file("ntfs.img"), "a");
    if (ok && test::make_exfat_volume(file("exfat.img"), 16, "")) {
      test::ExfatEditor editor(file("exfat.img"));
      test::fill_exfat_volume(editor, 11);
    } else {
      ok = false;
    }
    test::MkExtOptions ext;
    ext.type = "ext4";
    ext.blocks = 4096;
    ext.features = "^64bit,^metadata_csum,^uninit_bg";
    ext.tree = test::source_dir() + "/fs";
    ok = ok && test::make_ext_volume(file("ext4.img"), ext);
    const std::string proto = file("proto");
    test::write_xfs_proto(proto, {"a", "b"}, 40, test::source_dir() + "/README.md");
    ok = ok && test::make_xfs_volume(file("xfs.img"), 32 * kMiB,
                                     "-m crc=0 -b size=512 -d agcount=2", proto) == 0;
    // As installers make them today: ext4 and XFS with their tools' defaults, and a swap area.
    ext = {};
    ext.type = "ext4";
    ext.block_size = 1024;
    ext.blocks = 24576;
    ext.tree = test::source_dir() + "/fs";
    ok = ok && test::make_ext_volume(file("ext4-today.img"), ext) &&
         test::debugfs_write(file("ext4-today.img"), "write " + test::source_dir() + "/README.md a\nwrite " +
                                                         test::source_dir() + "/README.md b\nrm a\n");
    ok = ok && test::make_xfs_volume(file("xfs-today.img"), 40 * kMiB, "-K", proto) == 0 &&
         test::punch_every_other_file(file("xfs-today.img"), {"a"});
    ok = ok && test::make_swap_area(file("swap.img"), 16 * kMiB, 4096);
    test::HfsPlusOptions hfs;
    hfs.dirty = true;
    hfs.files = {{"one", 40, 1, 0}, {"two", 300, 3, 0}};
    test::build_hfsplus(file("hfs.img"), hfs);
    ready_ = ok;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    if (!have_all_tools()) GTEST_SKIP() << "a file-system or partitioning tool is missing";
    ASSERT_TRUE(ready_) << "a test volume could not be made";
  }

  // Lays the volumes out at MiB boundaries (the last three behind an extended partition's EBRs
  // in the MBR form) and writes the table with the real tool.
  std::vector<Volume> make_disk(const std::string& disk, bool gpt) {
    std::vector<Volume> v = {{"fat.img", KIND_FAT, 0x0C, "0700"},
                             {"ntfs.img", KIND_NTFS, 0x07, "0700"},
                             {"exfat.img", KIND_EXFAT, 0x07, "0700"},
                             {"ext4.img", KIND_EXT, 0x83, "8300"},
                             {"xfs.img", KIND_XFS, 0x83, "8300"},
                             {"hfs.img", KIND_HFSPLUS, 0xAF, "AF00"},
                             {"ext4-today.img", KIND_EXT, 0x83, "8300"},
                             {"xfs-today.img", KIND_XFS, 0x83, "8300"},
                             {"swap.img", KIND_SWAP, 0x82, "8200"}};
    uint32_t next = 2048;
    for (size_t i = 0; i < v.size(); ++i) {
      if (i == 3) next += 2048;  // room for the extended partition's first EBR
      v[i].start = next;
      v[i].sectors = static_cast<uint32_t>(fs::file_size(dir_->file(v[i].file)) / 512);
      next = (v[i].start + v[i].sectors + 2047) / 2048 * 2048 + (i >= 3 ? 2048 : 0);
    }
    const uint64_t total = next + 2048;
    test::make_dirty_file(disk, total * 512, 0x3D);
    std::string cmd;
    if (gpt) {
      cmd = "sgdisk -a 1";
      for (size_t i = 0; i < v.size(); ++i)
        cmd += " -n " + std::to_string(i + 1) + ":" + std::to_string(v[i].start) + ":" +
               std::to_string(v[i].start + v[i].sectors - 1) + " -t " + std::to_string(i + 1) +
               ":" + v[i].gpt_type;
      cmd += " " + test::shell_quote(disk) + " >/dev/null 2>&1";
    } else {
      std::string script = "label: dos\n";
      auto line = [&](uint32_t start, uint64_t size, unsigned type) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "start=%u, size=%llu, type=%x\n", start,
                      static_cast<unsigned long long>(size), type);
        script += buf;
      };
      for (size_t i = 0; i < 3; ++i) line(v[i].start, v[i].sectors, v[i].mbr_type);
      line(v[3].start - 2048, total - (v[3].start - 2048), 0x05);
      for (size_t i = 3; i < v.size(); ++i) line(v[i].start, v[i].sectors, v[i].mbr_type);
      std::ofstream(dir_->file("layout")) << script;
      cmd = "sfdisk --no-reread --no-tell-kernel " + test::shell_quote(disk) + " < " +
            test::shell_quote(dir_->file("layout")) + " >/dev/null 2>&1";
    }
    EXPECT_EQ(test::run_command(cmd).status, 0) << cmd;
    for (const Volume& vol : v)
      test::run_command("dd if=" + test::shell_quote(dir_->file(vol.file)) +
                        " of=" + test::shell_quote(disk) + " bs=1M oflag=seek_bytes seek=" +
                        std::to_string(uint64_t{vol.start} * 512) + " conv=notrunc status=none");
    return v;
  }

  static test::TempDir* dir_;
  static bool ready_;
};

test::TempDir* AllFileSystems::dir_ = nullptr;
bool AllFileSystems::ready_ = false;

TEST_P(AllFileSystems, EachVolumeAnswersAsItDoesAlone) {
  const bool gpt = std::string(GetParam()) == "gpt";
  const std::string disk = dir_->file(std::string("disk-") + GetParam() + ".img");
  const std::vector<Volume> volumes = make_disk(disk, gpt);
  const test::DiskMap map = test::map_disk_file(disk);
  ASSERT_EQ(map.error, OK);
  for (const Volume& v : volumes) {
    SCOPED_TRACE(v.file);
    const auto region = std::find_if(map.regions.begin(), map.regions.end(),
                                     [&](const test::DiskMapRegion& r) { return r.start == v.start; });
    ASSERT_NE(region, map.regions.end());
    EXPECT_EQ(region->length, v.sectors);
    EXPECT_EQ(region->kind, v.kind);
    const test::ReaderResult alone = test::map_volume_file(dir_->file(v.file), v.kind);
    ASSERT_EQ(alone.probe, OK);
    uint32_t differences = 0, free_sectors = 0;
    for (uint32_t s = 0; s < v.sectors; ++s) {
      differences += alone.used(s) != map.sector_used(v.start + s);
      free_sectors += !alone.used(s);
    }
    EXPECT_EQ(differences, 0u);
    EXPECT_GT(free_sectors, v.sectors / 10) << "the volume should have free space to drop";
  }
  // Everything outside the volumes (tables, EBRs, gaps) is kept.
  for (const test::DiskMapRegion& r : map.regions) {
    if (r.kind != KIND_GAP) continue;
    for (uint32_t s = r.start; s < r.start + r.length; ++s) ASSERT_TRUE(map.sector_used(s)) << s;
  }

  // A raw disk opens through a description beside it.
  const uint64_t total = fs::file_size(disk) / 512;
  std::ofstream(dir_->file(std::string("disk-") + GetParam() + ".ndi"))
      << "NDI 0 " << total << " 16 63 512\n";
  const auto inspect = test::run_command(test::shell_quote(test::inspect_binary()) + " --json " +
                                         test::shell_quote(disk));
  ASSERT_EQ(inspect.status, 0);
  for (const Volume& v : volumes)
    EXPECT_NE(inspect.output.find("\"start\": " + std::to_string(v.start)), std::string::npos);
  for (const char* name :
       {"\"fat\"", "\"ntfs\"", "\"exfat\"", "\"ext\"", "\"xfs\"", "\"hfsplus\"", "\"swap\""})
    EXPECT_NE(inspect.output.find(name), std::string::npos) << name << "\n" << inspect.output;
}

// The whole pipeline over the disk in a VHD: every used sector of every file system reads back
// unchanged, the deleted and never-used space is gone, and the Linux volumes still pass their
// own checkers.
TEST_P(AllFileSystems, TrimKeepsEveryUsedSector) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  const std::string disk = dir_->file(std::string("trim-") + GetParam() + ".raw");
  const std::vector<Volume> volumes = make_disk(disk, std::string(GetParam()) == "gpt");
  const test::DiskMap map = test::map_disk_file(disk);
  ASSERT_EQ(map.error, OK);
  const std::string image = disk + ".vhd";
  auto convert = [](const std::string& from, const std::string& to, const std::string& how) {
    return test::run_command("qemu-img convert " + how + " " + test::shell_quote(from) + " " +
                             test::shell_quote(to) + " 2>&1")
        .status;
  };
  ASSERT_EQ(convert(disk, image, "-S 0 -f raw -O vpc -o subformat=dynamic"), 0);
  // qemu-img rounds the disk up to its CHS geometry: compare what the VHD held before.
  ASSERT_EQ(convert(image, disk + ".before", "-f vpc -O raw"), 0);
  const uint64_t before = fs::file_size(image);
  const auto run = test::run_command(test::shell_quote(test::quorvex_binary()) + " -s -d " +
                                     test::shell_quote(image) + " 2>&1");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "QxDeleteFile " + image + "_DEL\n");
  EXPECT_LT(fs::file_size(image) * 2, before) << "most of the disk is free or deleted space";
  ASSERT_EQ(convert(image, disk + ".after", "-f vpc -O raw"), 0);
  const auto old_bytes = test::read_file(disk + ".before");
  const auto new_bytes = test::read_file(disk + ".after");
  ASSERT_EQ(old_bytes.size(), new_bytes.size());
  uint64_t changed_used = 0;
  // Sectors behind the partitioned disk are a gap, so kept as well.
  for (uint64_t s = 0; s < old_bytes.size() / 512; ++s)
    if ((s >= map.used.size() * 8 || map.sector_used(s)) &&
        std::memcmp(old_bytes.data() + s * 512, new_bytes.data() + s * 512, 512) != 0)
      ++changed_used;
  EXPECT_EQ(changed_used, 0u);

  for (const Volume& v : volumes) {
    if (v.file.find("today") == std::string::npos && v.kind != KIND_SWAP) continue;
    const std::string part = disk + "." + v.file;
    test::write_file(part, std::vector<uint8_t>(new_bytes.begin() + uint64_t{v.start} * 512,
                                                new_bytes.begin() + uint64_t{v.start + v.sectors} * 512));
    std::string log;
    if (v.kind == KIND_EXT) {
      EXPECT_TRUE(test::ext_volume_clean(part, &log)) << log;
    } else if (v.kind == KIND_SWAP) {
      EXPECT_TRUE(test::swap_area_readable(part));
    } else {
      const auto r = test::run_command("xfs_repair -n -f " + test::shell_quote(part) + " 2>&1");
      EXPECT_EQ(r.status, 0) << r.output;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, AllFileSystems, ::testing::Values("mbr", "gpt"));

}  // namespace
}  // namespace qx
