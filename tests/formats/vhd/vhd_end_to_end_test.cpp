// The command line on VHD files made by qemu-img from partitioned disks with real file systems,
// and on damaged files and hostile surroundings.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "image/disk_image.hpp"
#include "support/cowd_builder.hpp"
#include "support/disk_fixture.hpp"
#include "support/shared_disk_suite.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vhd_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;
using test::count_of;
using test::ends_with;
using test::first_used_difference;
using test::qemu_convert;
using test::quorvex;
using test::used_sectors;
using test::UsedSectors;

// Builds the disk, makes a grown (fully allocated) dynamic VHD of it and checks a -d trim.
void trim_real_disk(test::DiskFixture (*make)(const std::string&)) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = make(dir.path().string());
  const std::string image = dir.file("disk.vhd");
  // -S 0 writes every block, zero or not: a disk that grew as its guest wrote.
  qemu_convert(disk.raw, image, "-S 0 -f raw -O vpc -o subformat=dynamic");
  qemu_convert(image, dir.file("qemu.vhd"), "-f vpc -O vpc -o subformat=dynamic");
  qemu_convert(image, dir.file("before.raw"), "-f vpc -O raw");
  const uint64_t old_size = fs::file_size(image);
  const UsedSectors used = used_sectors(image);

  const auto r = quorvex("-d " + shell_quote(image));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_EQ(count_of(r.output, "QxDeleteFile "), 1u) << r.output;
  EXPECT_NE(r.output.find("QxDeleteFile " + image + "_DEL\n"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(image + "_DEL"));
  EXPECT_FALSE(fs::exists(image + "_TEMP"));

  const uint64_t new_size = fs::file_size(image);
  EXPECT_LT(new_size, old_size);
  qemu_convert(image, dir.file("after.raw"), "-f vpc -O raw");
  const auto before = test::read_file(dir.file("before.raw"));
  const auto after = test::read_file(dir.file("after.raw"));
  EXPECT_EQ(before.size(), after.size());
  EXPECT_EQ(first_used_difference(before, after, used), -1);
  EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");

  const uint64_t qemu_size = fs::file_size(dir.file("qemu.vhd"));
  EXPECT_EQ(used.recognised, disk.partitions.size());
  EXPECT_LT(new_size, qemu_size) << "qemu-img keeps the deleted files' blocks; a trim must not";
}

TEST(VhdEndToEnd, MbrWithFat32AndExt4) { trim_real_disk(test::make_mbr_fat32_ext4); }

TEST(VhdEndToEnd, GptWithNtfsAndExt2) { trim_real_disk(test::make_gpt_ntfs_ext2); }

// A differencing child made by the builder over `parent` (any format a child may stand on): the
// guest rewrote a few blocks with what they held (a copy-on-write layer), zeroed some sectors of
// the FAT partition's free tail, and one block holds nothing of its own.
std::string make_child(const std::string& parent) {
  const auto parent_disk = test::read_whole_disk(parent);
  test::VhdShape shape;
  shape.total_sectors = static_cast<uint32_t>(parent_disk.size() / 512);
  shape.disk_type = 4;
  shape.parent_name = fs::path(parent).filename().string();
  {
    DiskImage p;
    EXPECT_EQ(open_image(p, parent, true), OK);
    const ImageIdentity id = image_identity(p);
    if (id.kind == ImageIdentity::VHD_UNIQUE_ID) std::copy_n(id.bytes, 16, shape.parent_unique_id.emplace().begin());
  }
  shape.locators = {{"W2ku", test::utf16le_bytes(parent), {}}};
  test::VhdBuilder child(shape);
  const uint32_t spb = child.block_sectors();
  for (uint32_t block : {0u, 12u, 30u})
    child.write(block * spb, std::span(parent_disk).subspan(size_t{block} * spb * 512, size_t{spb} * 512));
  child.mark_present(20 * spb + 100, 50);
  child.allocate(40);
  const std::string path = (fs::path(parent).parent_path() / "child.vhd").string();
  child.write_to(path);
  return path;
}

// A differencing child over a dynamic parent made by qemu-img.
struct QemuChain {
  test::TempDir dir;
  test::DiskFixture disk;
  std::string parent, child;
};

std::unique_ptr<QemuChain> make_qemu_chain() {
  auto c = std::make_unique<QemuChain>();
  c->disk = test::make_mbr_fat32_ext4(c->dir.path().string());
  c->parent = c->dir.file("parent.vhd");
  qemu_convert(c->disk.raw, c->parent, "-f raw -O vpc -o subformat=dynamic");
  c->child = make_child(c->parent);
  return c;
}

// Trims the child over whatever its parent now is, and checks it against the disk it read before
// (read by `read`: the independent VHD reader where the whole chain is VHD).
void trim_child(const std::string& parent, const std::string& child,
                std::vector<uint8_t> (*read)(const std::string&) = test::vhd_read_disk) {
  const auto parent_bytes = test::read_file(parent);
  const uint64_t old_size = fs::file_size(child);
  const UsedSectors used = used_sectors(child);
  EXPECT_EQ(used.recognised, 2u) << parent;
  const auto disk_before = read(child);

  const auto r = quorvex(shell_quote(child));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_EQ(test::read_file(parent), parent_bytes) << parent;
  EXPECT_TRUE(fs::exists(child + "_DEL"));
  EXPECT_LT(fs::file_size(child), old_size);
  EXPECT_EQ(first_used_difference(disk_before, read(child), used), -1) << parent;
  const auto view = test::parse_vhd(test::read_file(child));
  EXPECT_EQ(view.bat[40], 0xFFFFFFFFu);
  fs::remove(child + "_DEL");
}

// The parents a differencing VHD stands on, each made from the same partitioned disk, and the
// read-only ones given to both tools directly.
class VhdParents : public test::SharedDiskSuite<VhdParents> {
 protected:
  static void SetUpTestSuite() {
    if (!make_disk(test::have_disk_tools())) return;
    const std::string raw = disk_->raw;
    test::write_qemu_parents(raw, dir_->path().string());
    // 96 MiB in the SCSI geometry of such disks: 96 x 64 x 32.
    test::CowdShape cowd;
    cowd.total_sectors = static_cast<uint32_t>(disk_->bytes / 512);
    cowd.cylinders = cowd.total_sectors / 2048, cowd.heads = 64, cowd.sectors_per_track = 32;
    test::CowdBuilder builder(cowd);
    builder.copy_raw(test::read_file(raw));
    builder.write_to(file("parent-cowd.vmdk"));
  }
};

TEST_F(VhdParents, ParentsAreTheSameDisk) {
  const auto raw = test::read_file(disk_->raw);
  for (const char* name : {"parent.qcow", "compressed.qcow", "fixed.vhd", "parent-cowd.vmdk"})
    EXPECT_EQ(test::read_whole_disk(file(name)), raw) << name;
}

TEST_F(VhdParents, DifferencingChildTrimsOverEachParent) {
  for (const char* name : {"parent.qcow", "compressed.qcow", "fixed.vhd", "parent-cowd.vmdk"}) {
    test::TempDir dir;
    const std::string parent = dir.file(name);
    fs::copy_file(file(name), parent);
    trim_child(parent, make_child(parent), test::read_whole_disk);
  }
}

// Not trimmable: "ERROR" and nothing written; the report lists the volumes of the raw disk.
TEST_F(VhdParents, ReadOnlyFormatsGivenDirectly) {
  const auto json_volumes = [](const std::string& path) {
    const auto r = test::run_command(shell_quote(test::inspect_binary()) + " --json " + shell_quote(path) + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    const size_t at = r.output.find("\"volumes\"");
    return at == std::string::npos ? r.output : r.output.substr(at);
  };
  test::TempDir dir;
  const std::string raw = dir.file("disk.raw");
  fs::copy_file(disk_->raw, raw);
  const std::string ndi = "NDI 0 " + std::to_string(disk_->bytes / 512) + " 16 63 512\n";
  test::write_file(dir.file("disk.ndi"), std::vector<uint8_t>(ndi.begin(), ndi.end()));
  const std::string expected = json_volumes(raw);
  EXPECT_NE(expected.find("\"kind\": 2"), std::string::npos) << expected;
  for (const char* name : {"parent.qcow", "compressed.qcow", "fixed.vhd", "parent-cowd.vmdk"}) {
    const std::string path = dir.file(name);
    fs::copy_file(file(name), path);
    const auto bytes = test::read_file(path);
    const auto r = quorvex(shell_quote(path));
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
    EXPECT_FALSE(fs::exists(path + "_TEMP")) << name;
    EXPECT_FALSE(fs::exists(path + "_DEL")) << name;
    EXPECT_EQ(test::read_file(path), bytes) << name;
    EXPECT_EQ(json_volumes(path), expected) << name;
  }
}

TEST(VhdEndToEnd, DifferencingOverAQemuParent) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  trim_child(c->parent, c->child);
}

TEST(VhdEndToEnd, DifferencingOverItsTrimmedParent) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  const auto disk_before = test::vhd_read_disk(c->child);
  const UsedSectors used = used_sectors(c->child);
  const auto r = quorvex("-d " + shell_quote(c->parent));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(first_used_difference(disk_before, test::vhd_read_disk(c->child), used), -1);
  trim_child(c->parent, c->child);
}

// The parent replaced by another disk of the same size: reading through it would map another
// disk's file systems, so nothing may be trimmed.
TEST(VhdEndToEnd, ReplacedParentIsRefused) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  const std::string other = c->dir.file("other.vhd");
  qemu_convert(c->disk.raw, other, "-f raw -O vpc -o subformat=dynamic");
  ASSERT_NE(test::vhd_unique_id(other), test::vhd_unique_id(c->parent));
  fs::rename(other, c->parent);
  const auto child_bytes = test::read_file(c->child);

  const auto r = quorvex("-d " + shell_quote(c->child));
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(c->child), child_bytes);
  EXPECT_FALSE(fs::exists(c->child + "_TEMP"));
  EXPECT_FALSE(fs::exists(c->child + "_DEL"));
  const auto report = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(c->child) + " 2>&1");
  EXPECT_EQ(report.status, 2) << report.output;
  EXPECT_NE(report.output.find("parent image is not the disk"), std::string::npos) << report.output;
}

// Every link of a chain is checked, not only the child's own.
TEST(VhdChain, EveryLinkMustMatch) {
  struct Case {
    const char* name;
    uint8_t child_records, grandchild_records;  // first byte of the parent id each records
    int status;
  };
  const Case cases[] = {{"all match", 0xA1, 0xB1, 0}, {"child's own parent wrong", 0xA1, 0xB2, 2},
                        {"deeper link wrong", 0xA2, 0xB1, 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    test::TempDir dir;
    auto id = [](uint8_t first) {
      std::array<uint8_t, 16> v{};
      v.fill(0x5A);
      v[0] = first;
      return v;
    };
    test::VhdShape base;
    base.total_sectors = 8 * 4096;
    base.unique_id = id(0xA1);
    test::VhdBuilder(base).write_to(dir.file("base.vhd"));
    test::VhdShape mid = base;
    mid.disk_type = 4;
    mid.unique_id = id(0xB1);
    mid.parent_unique_id = id(k.child_records);
    mid.parent_name = "base.vhd";
    test::VhdBuilder(mid).write_to(dir.file("mid.vhd"));
    test::VhdShape top = mid;
    top.unique_id = id(0xC1);
    top.parent_unique_id = id(k.grandchild_records);
    top.parent_name = "mid.vhd";
    test::VhdBuilder t(top);
    t.fill(0, 8, 0x77);
    t.write_to(dir.file("top.vhd"));
    const auto before = test::read_file(dir.file("top.vhd"));
    const auto r = quorvex("-d " + shell_quote(dir.file("top.vhd")));
    EXPECT_EQ(r.status, k.status) << r.output;
    if (k.status != 0) {
      EXPECT_EQ(test::read_file(dir.file("top.vhd")), before);
      EXPECT_FALSE(fs::exists(dir.file("top.vhd_TEMP")));
    }
  }
}

// ---- faults ----

struct Victim {
  std::string path;
  std::vector<uint8_t> bytes;
};

// A small VHD with data in several blocks.
Victim make_victim(const test::TempDir& dir, const std::string& path = "") {
  test::VhdShape shape;
  shape.total_sectors = 64 * 1024;  // 32 MiB
  test::VhdBuilder b(shape);
  for (uint32_t s = 0; s < 56 * 1024; s += 2000) b.fill(s, 8, static_cast<uint8_t>(s / 2000 + 1));
  b.fill(60 * 1024, 8, 0);  // a block of zeros, so that the trim has something to gain
  Victim v{path.empty() ? dir.file("disk.vhd") : path, b.bytes()};
  test::write_file(v.path, v.bytes);
  return v;
}

void expect_untouched(const Victim& v) {
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  EXPECT_FALSE(fs::exists(v.path + "_TEMP"));
  EXPECT_FALSE(fs::exists(v.path + "_DEL"));
}

TEST(VhdFaults, TemporaryNameHeldByAFolder) {
  // Root writes into read-only folders, so the "_TEMP" name is taken by a folder instead.
  test::TempDir dir;
  const Victim v = make_victim(dir);
  fs::create_directory(v.path + "_TEMP");
  const auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  EXPECT_TRUE(fs::is_directory(v.path + "_TEMP"));
  EXPECT_FALSE(fs::exists(v.path + "_DEL"));
}

TEST(VhdFaults, TemporaryNameTooLong) {
  test::TempDir dir;
  // Folders nest until the image's full path is 4093 bytes: the path resolves, "_TEMP" does not fit.
  std::string folder = dir.path().string();
  while (folder.size() + 1 + 200 < 4093 - 20) {
    folder += "/" + std::string(200, 'd');
    fs::create_directory(folder);
  }
  const std::string name = std::string(4093 - folder.size() - 1 - 4, 'v') + ".vhd";
  const std::string path = folder + "/" + name;
  ASSERT_EQ(path.size(), 4093u);
  const Victim v = make_victim(dir, path);
  const auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  // The folder holds the image alone.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{name});
}

TEST(VhdFaults, WriteFailsMidway) {
  test::TempDir dir;
  const Victim v = make_victim(dir);
  // Files of at most 8 MiB (the output needs about 34), SIGXFSZ ignored so that write fails.
  const auto r = test::run_command("bash -c " + shell_quote("trap '' XFSZ; ulimit -f 8192; exec " +
                                                            shell_quote(test::quorvex_binary()) + " " +
                                                            shell_quote(v.path)) +
                                   " 2>&1");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  expect_untouched(v);
}

TEST(VhdFaults, BackupNameHeldByAFolder) {
  test::TempDir dir;
  const Victim v = make_victim(dir);
  fs::create_directories(v.path + "_DEL/x");
  const auto r = quorvex("-d " + shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(r.output.find("QxDeleteFile"), std::string::npos);
  EXPECT_EQ(test::read_file(v.path), v.bytes);
  EXPECT_FALSE(fs::exists(v.path + "_TEMP"));
}

TEST(VhdFaults, TruncatedImage) {
  test::TempDir dir;
  Victim v = make_victim(dir);
  // Cut in the middle: no footer, no VHD, nothing else accepts it.
  v.bytes.resize(v.bytes.size() / 2 / 512 * 512);
  test::write_file(v.path, v.bytes);
  auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos);
  expect_untouched(v);
  // Blocks lost but the footer kept: found while trimming.
  v = make_victim(dir);
  std::vector<uint8_t> footer(v.bytes.end() - 512, v.bytes.end());
  v.bytes.resize(v.bytes.size() - 512 - 5 * 512 * 1024);
  v.bytes.insert(v.bytes.end(), footer.begin(), footer.end());
  test::write_file(v.path, v.bytes);
  r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  expect_untouched(v);
}

TEST(VhdFaults, CorruptedHeader) {
  test::TempDir dir;
  Victim v = make_victim(dir);
  v.bytes[512 + 40] ^= 0x01;  // parent id, checksum left stale
  test::write_file(v.path, v.bytes);
  const auto r = quorvex(shell_quote(v.path));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos);
  expect_untouched(v);
}

TEST(VhdFaults, SilentSuccessPrintsNothing) {
  test::TempDir dir;
  const Victim v = make_victim(dir);
  const auto r = quorvex("-s " + shell_quote(v.path));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_TRUE(fs::exists(v.path + "_DEL"));
  EXPECT_EQ(test::vhd_read_disk(v.path), test::vhd_read_disk(v.path + "_DEL"));
}

}  // namespace
}  // namespace qx
