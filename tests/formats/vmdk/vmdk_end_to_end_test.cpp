// The command line on VMDK images made by qemu-img from partitioned disks with real file systems:
// single-file and split sparse images, children over their bases, the formats it refuses, and
// damaged or missing files.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "image/disk_image.hpp"
#include "image/file_copy.hpp"
#include "support/disk_fixture.hpp"
#include "support/file_patch.hpp"
#include "support/image_checks.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vmdk_builder.hpp"
#include "support/vmdk_guest.hpp"
#include "volume/usage_map.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::ends_with;
using test::shell_quote;

constexpr uint64_t kMiB = 1024 * 1024;

test::CommandResult run(const std::string& command) { return test::run_command(command + " 2>&1"); }

// Every file of a folder with its bytes, to prove that a refused run changed nothing.
std::map<std::string, std::vector<uint8_t>> snapshot(const std::string& folder) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(folder))
    files[e.path().filename().string()] = e.is_directory() ? std::vector<uint8_t>{'/'} : test::read_file(e.path().string());
  return files;
}

uint64_t folder_bytes(const std::string& folder, const std::string& skip_suffix = "_DEL") {
  uint64_t n = 0;
  for (const auto& e : fs::directory_iterator(folder))
    if (!ends_with(e.path().string(), skip_suffix)) n += fs::file_size(e.path());
  return n;
}

void expect_refused(const std::string& image, const std::string& folder) {
  const auto before = snapshot(folder);
  const auto r = test::quorvex(shell_quote(image));
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos) << r.output;
  EXPECT_EQ(snapshot(folder), before);
}

struct Case {
  test::DiskFixture (*make)(const std::string&);
  const char* options;  // qemu-img's creation options
  bool split;
};

// A disk beyond 2 GiB (sparsely) gives qemu-img's split form several extents.
void grow_disk(const test::DiskFixture& disk) {
  test::make_sparse_file(disk.raw, 2200 * kMiB);
  if (disk.partitions[0].fs == "ntfs") {
    ASSERT_EQ(run("sgdisk -e " + shell_quote(disk.raw)).status, 0);
  }
}

void trim_real_disk(const Case& c) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = c.make(dir.path().string());
  if (c.split) grow_disk(disk);
  const std::string folder = dir.file("img"), qemu_folder = dir.file("qemu");
  fs::create_directory(folder);
  fs::create_directory(qemu_folder);
  const std::string image = folder + "/disk.vmdk";
  test::qemu_convert(disk.raw, image, std::string("-f raw -O vmdk -o ") + c.options);
  test::qemu_convert(image, qemu_folder + "/disk.vmdk", std::string("-f vmdk -O vmdk -o ") + c.options);
  test::qemu_convert(image, dir.file("before.raw"), "-f vmdk -O raw");
  const auto descriptor = test::read_file(image);
  const auto files_before = snapshot(folder);
  if (c.split) {
    ASSERT_GE(files_before.size(), 3u);
  }
  const uint64_t old_size = folder_bytes(folder);
  const test::UsedSectors used = test::used_sectors(image);
  EXPECT_EQ(used.recognised, disk.partitions.size());

  const auto r = test::quorvex((c.split ? "" : "-d ") + shell_quote(image));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n"));
  const auto files_after = snapshot(folder);
  for (const auto& [name, bytes] : files_before) {
    EXPECT_FALSE(files_after.count(name + "_TEMP")) << name;
    // Without -d every extent keeps its own backup; the split descriptor is never rewritten.
    if (c.split && name != "disk.vmdk") EXPECT_EQ(files_after.at(name + "_DEL"), bytes) << name;
    else EXPECT_FALSE(files_after.count(name + "_DEL")) << name;
  }
  if (c.split) {
    EXPECT_EQ(files_after.at("disk.vmdk"), descriptor);
  }
  const uint64_t new_size = folder_bytes(folder);
  EXPECT_LT(new_size, old_size);
  EXPECT_LT(new_size, folder_bytes(qemu_folder)) << "qemu-img keeps the deleted files' grains";

  const auto check = run("qemu-img check " + shell_quote(image));
  EXPECT_EQ(check.status, 0) << check.output;
  if (test::have_tool("vmdkinfo")) {
    const auto info = run("vmdkinfo " + shell_quote(image));
    EXPECT_EQ(info.status, 0) << info.output;
  }
  test::qemu_convert(image, dir.file("after.raw"), "-f vmdk -O raw");
  EXPECT_EQ(test::first_used_difference_in_files(dir.file("before.raw"), dir.file("after.raw"), used), -1);
  EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");
}

TEST(VmdkEndToEnd, MonolithicMbr) { trim_real_disk({test::make_mbr_fat32_ext4, "subformat=monolithicSparse,compat6", false}); }
TEST(VmdkEndToEnd, MonolithicGpt) { trim_real_disk({test::make_gpt_ntfs_ext2, "subformat=monolithicSparse", false}); }
TEST(VmdkEndToEnd, SplitMbr) { trim_real_disk({test::make_mbr_fat32_ext4, "subformat=twoGbMaxExtentSparse", true}); }
TEST(VmdkEndToEnd, SplitGpt) { trim_real_disk({test::make_gpt_ntfs_ext2, "subformat=twoGbMaxExtentSparse", true}); }

TEST(VmdkEndToEnd, FlatAndStreamOptimizedAreReadButNotTrimmed) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::TempDir dir;
  // Data, a hole and data again; no file system is needed to be refused.
  const std::string raw = dir.file("disk.raw");
  test::make_sparse_file(raw, 16 * kMiB);
  test::fill_pattern(raw, 0, 3 * kMiB, 0x21);
  test::fill_pattern(raw, 11 * kMiB + 4096, kMiB, 0x43);
  const auto bytes = test::read_file(raw);
  for (const char* sub : {"monolithicFlat", "twoGbMaxExtentFlat", "streamOptimized"}) {
    const std::string folder = dir.file(sub);
    fs::create_directory(folder);
    test::qemu_convert(raw, folder + "/d.vmdk", std::string("-f raw -O vmdk -o subformat=") + sub);
    EXPECT_EQ(test::read_whole_disk(folder + "/d.vmdk"), bytes) << sub;
    expect_refused(folder + "/d.vmdk", folder);
    const auto inspect = run(shell_quote(test::inspect_binary()) + " " + shell_quote(folder + "/d.vmdk"));
    EXPECT_EQ(inspect.status, 0) << sub << inspect.output;
  }
}

// The grains kept as they lie go through the copier; sharing, the kernel's copy and the buffer
// all write the same file.
TEST(VmdkEndToEnd, EveryCopyPathWritesTheSameTrimmedImage) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = test::make_mbr_fat32(dir.path().string());
  const std::string made = dir.file("made.vmdk");
  test::qemu_convert(disk.raw, made, "-f raw -O vmdk -o subformat=monolithicSparse");
  struct Restore {
    ~Restore() { set_copy_path_limit(CopyPath::kClone); }
  } restore;
  auto moved = [] { const CopyCounts c = copy_counts(); return c.cloned + c.in_kernel + c.buffered; };
  std::vector<std::vector<uint8_t>> outputs;
  for (const CopyPath limit : {CopyPath::kBuffer, CopyPath::kKernel, CopyPath::kClone}) {
    const std::string folder = dir.file("limit" + std::to_string(static_cast<int>(limit)));
    fs::create_directory(folder);
    const std::string image = folder + "/disk.vmdk";
    fs::copy_file(made, image);
    set_copy_path_limit(limit);
    const uint64_t before = moved();
    {
      DiskImage mapped;
      ASSERT_EQ(open_image(mapped, image, true), OK);
      ErrorCode error = OK;
      uint32_t recognised = 0;
      const auto map = build_usage_map(mapped, error, recognised);
      ASSERT_TRUE(map) << error;
      ASSERT_EQ(test::trim(image, nullptr, map.get()).rc, OK);
    }
    EXPECT_GT(moved(), before);
    outputs.push_back(test::read_file(image));
  }
  EXPECT_LT(outputs[0].size(), fs::file_size(made));
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_EQ(outputs[2], outputs[0]);
}

// ---- children ----

TEST(VmdkEndToEnd, ChildOverItsBaseThenOverItsTrimmedBaseThenOverAnotherDisk) {
  if (!test::have_disk_tools() || !test::have_tool("qemu-io")) GTEST_SKIP() << "disk tools or qemu-io missing";
  test::TempDir dir;
  const test::DiskFixture disk = test::make_mbr_fat32_ext4(dir.path().string());
  const std::string folder = dir.file("vm"), base = folder + "/base.vmdk", child = folder + "/child.vmdk";
  fs::create_directory(folder);
  test::qemu_convert(disk.raw, base, "-f raw -O vmdk");
  ASSERT_EQ(run("cd " + shell_quote(folder) + " && qemu-img create -f vmdk -b base.vmdk -F vmdk child.vmdk").status, 0);

  test::write_guest_changes(disk, child, dir.path().string());

  const auto base_bytes = test::read_file(base);
  const test::UsedSectors used = test::used_sectors(child);
  const auto before = test::read_whole_disk(child);
  const uint64_t child_size = fs::file_size(child);
  auto r = test::quorvex(shell_quote(child));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::read_file(base), base_bytes);
  EXPECT_LE(fs::file_size(child), child_size - 4 * 128 * 512);
  EXPECT_EQ(test::first_used_difference(before, test::read_whole_disk(child), used), -1);
  EXPECT_EQ(run("qemu-img check " + shell_quote(child)).status, 0);
  test::qemu_convert(child, dir.file("after.raw"), "-f vmdk -O raw");
  EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");

  // The trim of the base keeps its CID: the child still matches it and reads the same.
  r = test::quorvex("-d " + shell_quote(base));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::first_used_difference(before, test::read_whole_disk(child), used), -1);
  r = test::quorvex("-d " + shell_quote(child));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::first_used_difference(before, test::read_whole_disk(child), used), -1);
  // Trimmed already, the child had nothing to gain: the first trim's backup is left as it was.
  fs::remove(child + "_DEL");

  // Another disk of the same size under the base's name: its CID is not the child's parentCID.
  fs::remove(base);
  ASSERT_EQ(run("qemu-img create -f vmdk " + shell_quote(base) + " " + std::to_string(disk.bytes)).status, 0);
  const auto inspect = run(shell_quote(test::inspect_binary()) + " " + shell_quote(child));
  EXPECT_EQ(inspect.status, 2) << inspect.output;
  const auto child_bytes = test::read_file(child);
  r = test::quorvex(shell_quote(child));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(child), child_bytes);
  EXPECT_FALSE(fs::exists(child + "_TEMP"));
  EXPECT_FALSE(fs::exists(child + "_DEL"));
}

// ---- faults ----

TEST(VmdkFaults, DamagedOrMissingFilesEndInErrorWithNothingLost) {
  const struct {
    const char* name;
    std::function<void(const test::TempDir&)> damage;
    const char* image;
  } cases[] = {
      {"truncated extent", [](const test::TempDir& d) { fs::resize_file(d.file("s1.vmdk"), fs::file_size(d.file("s1.vmdk")) - 512); }, "d.vmdk"},
      {"unclean extent", [](const test::TempDir& d) { test::patch_byte(d.file("s2.vmdk"), test::kVmdkUncleanOffset, 1); }, "d.vmdk"},
      {"corrupted table", [](const test::TempDir& d) { test::patch_file_le32(d.file("s0.vmdk"), 7 * 512, 1u << 30); }, "d.vmdk"},
      {"missing extent", [](const test::TempDir& d) { fs::remove(d.file("s2.vmdk")); }, "d.vmdk"},
      {"missing parent", [](const test::TempDir& d) { fs::remove(d.file("d.vmdk")); }, "c.vmdk"},
      {"parent of another CID", [](const test::TempDir& d) {
         const std::string t = test::vmdk_descriptor("twoGbMaxExtentSparse", {test::sparse_extent_line(4096, "s0.vmdk"),
             test::sparse_extent_line(4096, "s1.vmdk"), test::sparse_extent_line(4096, "s2.vmdk")}, "", "87654321");
         test::write_file(d.file("d.vmdk"), std::vector<uint8_t>(t.begin(), t.end()));
       }, "c.vmdk"},
      // Root writes into read-only folders, so the name is taken by a folder instead.
      {"second temporary name taken", [](const test::TempDir& d) { fs::create_directory(d.file("s1.vmdk_TEMP")); }, "d.vmdk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_split_vmdk(dir.path().string());
    c.damage(dir);
    expect_refused(dir.file(c.image), dir.path().string());
  }
}

TEST(VmdkFaults, WriteFailingMidwayLeavesNothing) {
  test::TempDir dir;
  const std::string image = test::write_split_vmdk(dir.path().string());
  const auto before = snapshot(dir.path().string());
  // Files of at most 64 KiB: the first extent's output already needs more.
  const auto r = run("bash -c " + shell_quote("trap '' XFSZ; ulimit -f 64; exec " + shell_quote(test::quorvex_binary()) +
                                             " " + shell_quote(image)));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(snapshot(dir.path().string()), before);
}

}  // namespace
}  // namespace qx
