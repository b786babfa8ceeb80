// The command line on VHDX files made by qemu-img from partitioned disks with real file systems,
// on differencing children over them, and on damaged files and hostile surroundings.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "support/disk_fixture.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vhdx_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;
using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMiB = 1u << 20;

using test::ends_with;
using test::qemu_convert;
using test::quorvex;

test::CommandResult run(const std::string& command) { return test::run_command(command + " 2>&1"); }
test::CommandResult inspect(const std::string& path) { return run(shell_quote(test::inspect_binary()) + " " + shell_quote(path)); }

// A refused run: "ERROR", exit 2, the image as it was and nothing left beside it.
void expect_refused(const std::string& image, const Bytes& before, const test::CommandResult& r) {
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
  EXPECT_EQ(test::read_file(image), before);
  EXPECT_FALSE(fs::exists(image + "_TEMP"));
  EXPECT_FALSE(fs::exists(image + "_DEL"));
}

struct Layout {
  const char* options;  // qemu-img's creation options
  bool must_shrink;     // false where blocks are too large for any to be wholly free
};

// One disk, made into a VHDX file by qemu-img with each layout in turn and trimmed with -d.
void trim_real_disk(test::DiskFixture (*make)(const std::string&), std::initializer_list<Layout> layouts) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = make(dir.path().string());
  for (const Layout& k : layouts) {
    SCOPED_TRACE(k.options);
    const std::string image = dir.file("disk.vhdx");
    qemu_convert(disk.raw, image, std::string("-f raw -O vhdx ") + k.options);
    qemu_convert(image, dir.file("qemu.vhdx"), std::string("-f vhdx -O vhdx ") + k.options);
    qemu_convert(image, dir.file("before.raw"), "-f vhdx -O raw");
    const uint64_t old_size = fs::file_size(image);
    const test::UsedSectors used = test::used_sectors(image);
    EXPECT_EQ(used.recognised, disk.partitions.size());
    const auto report = inspect(image);
    EXPECT_EQ(report.status, 0) << report.output;
    EXPECT_EQ(report.output.rfind("format: 9 (vhdx)", 0), 0u) << report.output;

    const auto r = quorvex("-d " + shell_quote(image));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
    EXPECT_FALSE(fs::exists(image + "_TEMP"));
    EXPECT_FALSE(fs::exists(image + "_DEL"));

    const uint64_t new_size = fs::file_size(image);
    EXPECT_LE(new_size, old_size);
    if (k.must_shrink) {
      EXPECT_LT(new_size, old_size);
      EXPECT_LT(new_size, fs::file_size(dir.file("qemu.vhdx"))) << "qemu-img keeps the deleted files' blocks";
    }
    const auto check = run("qemu-img check -f vhdx " + shell_quote(image));
    EXPECT_EQ(check.status, 0) << check.output;
    qemu_convert(image, dir.file("after.raw"), "-f vhdx -O raw");
    const Bytes before = test::read_file(dir.file("before.raw"));
    const Bytes after = test::read_file(dir.file("after.raw"));
    EXPECT_EQ(before.size(), after.size());
    EXPECT_EQ(test::first_used_difference(before, after, used), -1);
    EXPECT_EQ(test::first_used_difference(before, test::vhdx_read_disk(image), used), -1);
    EXPECT_EQ(test::check_file_systems(disk, dir.file("after.raw"), dir.path().string()), "");
  }
}

TEST(VhdxEndToEnd, MbrWithFat32AndExt4) {
  trim_real_disk(test::make_mbr_fat32_ext4, {{"-o block_size=1M", true}, {"-o block_size=32M,log_size=3M", false}});
}
TEST(VhdxEndToEnd, GptWithNtfsAndExt2) { trim_real_disk(test::make_gpt_ntfs_ext2, {{"-o block_size=8M,log_size=2M", true}}); }

// A differencing child (from the builder) over a dynamic parent made by qemu-img: the guest
// rewrote a few blocks with what they held, zeroed some sectors, and one block holds nothing.
struct QemuChain {
  test::TempDir dir;
  test::DiskFixture disk;
  std::string parent, child;
  std::vector<uint32_t> whole;  // blocks the child holds whole
  uint32_t partial = 0;         // a block it holds in part
  uint32_t untouched = 0;       // a used block it leaves to the parent
};

test::VhdxShape child_shape(const std::string& parent_name, const test::VhdxGuid& linkage, uint8_t id) {
  test::VhdxShape s;
  s.disk_bytes = 96 * kMiB;
  s.block_bytes = 2 * kMiB;
  s.has_parent = true;
  s.relative_path = ".\\" + parent_name;
  s.absolute_win32_path = "D:\\vms\\" + parent_name;
  s.parent_linkage = linkage;
  s.data_write_guid = test::guid_of(id);
  return s;
}

// The MBR disk and qemu-img's image of it, made once for every chain test (each copies them).
struct QemuBase {
  test::TempDir dir;
  test::DiskFixture disk;
  std::string parent;
  std::vector<uint32_t> used_blocks;  // blocks whose sectors the file systems use
};

const QemuBase& qemu_base() {
  static const std::unique_ptr<QemuBase> base = [] {
    auto b = std::make_unique<QemuBase>();
    b->disk = test::make_mbr_fat32_ext4(b->dir.path().string());
    b->parent = b->dir.file("parent.vhdx");
    qemu_convert(b->disk.raw, b->parent, "-f raw -O vhdx -o block_size=2M");
    const test::UsedSectors used = test::used_sectors(b->parent);
    for (uint32_t block = 1; block < 45; ++block)
      for (uint32_t s = block * 4096; s < (block + 1) * 4096; s += 64)
        if (used.used(s)) {
          b->used_blocks.push_back(block);
          break;
        }
    return b;
  }();
  return *base;
}

std::unique_ptr<QemuChain> make_qemu_chain() {
  const QemuBase& base = qemu_base();
  auto c = std::make_unique<QemuChain>();
  c->disk = base.disk;
  c->parent = c->dir.file("parent.vhdx");
  fs::copy_file(base.parent, c->parent);
  const Bytes parent_disk = test::vhdx_read_disk(c->parent);
  const std::vector<uint32_t>& used_blocks = base.used_blocks;
  EXPECT_GE(used_blocks.size(), 10u);
  c->whole = {used_blocks[0], used_blocks[3], used_blocks[used_blocks.size() - 1]};
  c->partial = used_blocks[2];
  c->untouched = used_blocks[1];
  test::VhdxBuilder child(child_shape("parent.vhdx", test::vhdx_data_write_guid(c->parent), 0xC0));
  for (uint32_t block : c->whole)
    child.write(block * 2 * kMiB, std::span(parent_disk).subspan(block * 2 * kMiB, 2 * kMiB));
  child.write(c->partial * 2 * kMiB + 100 * 512, Bytes(50 * 512, 0));
  child.write(46 * 2 * kMiB + 7 * 512, Bytes(512, 0));  // the zero tail, outside both volumes
  c->child = c->dir.file("child.vhdx");
  child.write_to(c->child);
  return c;
}

// libvhdi (20210425) misreads chains deeper than one parent: it is asked only about a child over
// a base.
void trim_child(const std::string& child, const std::vector<std::string>& parents, const test::TempDir& dir,
                uint32_t untouched) {
  std::vector<Bytes> parent_bytes;
  for (const auto& p : parents) parent_bytes.push_back(test::read_file(p));
  const uint64_t old_size = fs::file_size(child);
  const test::UsedSectors used = test::used_sectors(child);
  EXPECT_EQ(used.recognised, 2u);
  const Bytes disk_before = test::vhdx_read_disk(child);

  const auto r = quorvex(shell_quote(child));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  for (size_t i = 0; i < parents.size(); ++i) EXPECT_EQ(test::read_file(parents[i]), parent_bytes[i]);
  // With nothing to gain nothing is written, and no backup made.
  EXPECT_LE(fs::file_size(child), old_size);
  EXPECT_EQ(fs::exists(child + "_DEL"), fs::file_size(child) < old_size);
  EXPECT_EQ(test::first_used_difference(disk_before, test::vhdx_read_disk(child), used), -1);
  if (parents.size() == 1)
    if (const auto libvhdi = test::libvhdi_read_disk(child, dir.path().string())) {
      EXPECT_EQ(test::first_used_difference(disk_before, *libvhdi, used), -1);
    }
  const test::VhdxFileView v = test::parse_vhdx(test::read_file(child));
  EXPECT_EQ(v.state(untouched), 0u) << "what the child never held stays with the parent";
}

TEST(VhdxEndToEnd, DifferencingOverAQemuParent) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  trim_child(c->child, {c->parent}, c->dir, c->untouched);
  const test::VhdxFileView v = test::parse_vhdx(test::read_file(c->child));
  for (uint32_t block : c->whole) EXPECT_EQ(v.state(block), 6u) << block;
  EXPECT_EQ(v.state(c->partial), 7u);
  EXPECT_EQ(v.state(46), 2u) << "zeros outside every volume";
}

TEST(VhdxEndToEnd, ChainOfTwo) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  const Bytes middle = test::vhdx_read_disk(c->child);
  test::VhdxBuilder top(child_shape("child.vhdx", test::guid_of(0xC0), 0xD0));
  const uint64_t whole = uint64_t{c->untouched} * 2 * kMiB, part = uint64_t{c->partial} * 2 * kMiB + 300 * 512;
  top.write(whole, std::span(middle).subspan(whole, 2 * kMiB));
  top.write(part, std::span(middle).subspan(part, 8 * 512));
  const std::string grandchild = c->dir.file("top.vhdx");
  top.write_to(grandchild);
  trim_child(grandchild, {c->child, c->parent}, c->dir, c->whole[0]);
}

TEST(VhdxEndToEnd, DifferencingOverItsTrimmedParent) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  const Bytes disk_before = test::vhdx_read_disk(c->child);
  const test::UsedSectors used = test::used_sectors(c->child);
  const auto r = quorvex("-d " + shell_quote(c->parent));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::first_used_difference(disk_before, test::vhdx_read_disk(c->child), used), -1);
  trim_child(c->child, {c->parent}, c->dir, c->untouched);
}

// The parent replaced by another disk of the same size: reading through it would map another
// disk's file systems, so nothing may be trimmed or mapped.
TEST(VhdxEndToEnd, ReplacedParentIsRefused) {
  if (!test::have_disk_tools()) GTEST_SKIP() << "disk tools or qemu-img missing";
  const auto c = make_qemu_chain();
  const std::string other = c->dir.file("other.vhdx");
  qemu_convert(c->disk.raw, other, "-f raw -O vhdx -o block_size=2M");
  ASSERT_NE(test::vhdx_data_write_guid(other), test::vhdx_data_write_guid(c->parent));
  fs::rename(other, c->parent);
  const Bytes child_bytes = test::read_file(c->child);
  expect_refused(c->child, child_bytes, quorvex("-d " + shell_quote(c->child)));
  const auto report = inspect(c->child);
  EXPECT_EQ(report.status, 2) << report.output;
  EXPECT_NE(report.output.find("parent image is not the disk"), std::string::npos) << report.output;
}

// qemu-img's image with its current header naming a log still to replay.
TEST(VhdxEndToEnd, PendingLogIsRefused) {
  test::TempDir dir;
  const std::string raw = dir.file("d.raw"), image = dir.file("d.vhdx");
  test::make_sparse_file(raw, 16 * kMiB);
  test::fill_pattern(raw, 3 * kMiB, kMiB);
  qemu_convert(raw, image, "-f raw -O vhdx");
  Bytes f = test::read_file(image);
  const uint64_t header = (64u << 10) * (test::parse_vhdx(f).current_header + 1);
  f[header + 48] = 0x01;
  test::vhdx_reseal_header(f, header);
  test::write_file(image, f);
  expect_refused(image, f, quorvex(shell_quote(image)));
  const auto report = inspect(image);
  EXPECT_EQ(report.status, 2) << report.output;
  EXPECT_NE(report.output.find("log that were never applied"), std::string::npos) << report.output;
}

// ---- faults ----

struct Victim {
  std::string path;
  Bytes bytes;
};

Victim make_victim(const test::TempDir& dir, const std::string& path = "") {
  test::VhdxShape shape;
  shape.disk_bytes = 32 * kMiB;
  test::VhdxBuilder b(shape);
  for (uint64_t at = 0; at < shape.disk_bytes; at += 3 * kMiB) b.fill(at, 4096, static_cast<uint8_t>(at >> 20 | 1));
  b.fill(kMiB, 4096, 0);  // a block of zeros, so that the trim has something to gain
  Victim v{path.empty() ? dir.file("disk.vhdx") : path, b.bytes()};
  test::write_file(v.path, v.bytes);
  return v;
}

TEST(VhdxFaults, DamagedFiles) {
  struct Case {
    const char* name;
    void (*damage)(Bytes&);
  };
  const Case cases[] = {
      {"cut inside the head", [](Bytes& f) { f.resize(kMiB - 1); }},
      {"cut inside the blocks", [](Bytes& f) { f.resize(f.size() - 5 * kMiB); }},
      {"header checksum stale", [](Bytes& f) { f[(64u << 10) + 300] ^= 1; }},
      {"metadata signature", [](Bytes& f) { f[2 * kMiB] ^= 1; }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    test::TempDir dir;
    Victim v = make_victim(dir);
    k.damage(v.bytes);
    test::write_file(v.path, v.bytes);
    const auto r = quorvex(shell_quote(v.path));
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_EQ(r.output.find("SUCCESS"), std::string::npos) << r.output;
    EXPECT_EQ(test::read_file(v.path), v.bytes);
    EXPECT_FALSE(fs::exists(v.path + "_TEMP"));
    EXPECT_FALSE(fs::exists(v.path + "_DEL"));
  }
}

// A "_TEMP" name taken by a folder (root writes into read-only folders), and files limited to 6 MiB
// (the output needs 15) with SIGXFSZ ignored so that a write fails midway.
TEST(VhdxFaults, HostileSurroundings) {
  for (const bool folder : {true, false}) {
    SCOPED_TRACE(folder ? "_TEMP is a folder" : "write fails midway");
    test::TempDir dir;
    const Victim v = make_victim(dir);
    if (folder) fs::create_directory(v.path + "_TEMP");
    const std::string limit = folder ? "" : "trap '' XFSZ; ulimit -f 6144; ";
    const auto r = run("bash -c " + shell_quote(limit + "exec " + shell_quote(test::quorvex_binary()) + " " +
                                                shell_quote(v.path)));
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
    EXPECT_EQ(test::read_file(v.path), v.bytes);
    EXPECT_EQ(fs::is_directory(v.path + "_TEMP"), folder);
    EXPECT_FALSE(fs::exists(v.path + "_DEL"));
  }
}

}  // namespace
}  // namespace qx
