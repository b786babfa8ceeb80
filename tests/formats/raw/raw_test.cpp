// Raw disks made by the real tools, known by their content: which files open as raw, and their
// trim into a new file and in place, checked by the file systems' checkers and the used sectors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>

#include "formats/format_ids.hpp"
#include "formats/trim_walk.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
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
  std::map<std::string, test::DiskFixture> by_name;
};
Disks* g_disks = nullptr;

const test::DiskFixture& disk_named(const std::string& name) {
  const auto it = g_disks->by_name.find(name);
  if (it != g_disks->by_name.end()) return it->second;
  const std::string dir = (g_disks->dir.path() / name).string();
  fs::create_directory(dir);
  test::DiskFixture (*make)(const std::string&) = name == "mbr"   ? test::make_mbr_fat32_ext4
                                                  : name == "gpt" ? test::make_gpt_ntfs_ext2
                                                  : name == "lvm" ? test::make_mbr_lvm_ext4
                                                                  : test::make_whole_ext4;
  return g_disks->by_name[name] = make(dir);
}

class RawDisks : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (test::have_disk_tools() && !g_disks) g_disks = new Disks;
  }
  static void TearDownTestSuite() {
    delete g_disks;
    g_disks = nullptr;
  }
  void SetUp() override {
    if (!g_disks) GTEST_SKIP() << "disk tools missing";
  }
};

FileInfo info_of(const std::string& path) {
  FileInfo info;
  EXPECT_TRUE(file_info(path, info)) << path;
  return info;
}

// Host bytes of the used data: every host block that holds a used sector, whole.
uint64_t used_host_bytes(const test::UsedSectors& used, uint32_t block) {
  const uint32_t per = block / 512;
  uint64_t bytes = 0;
  for (uint64_t b = 0; b * per < used.total; ++b) {
    bool any = false;
    for (uint64_t s = b * per; s < std::min<uint64_t>(used.total, (b + 1) * per) && !any; ++s) any = used.used(s);
    if (any) bytes += block;
  }
  return bytes;
}

// The used data in bytes and the edges of the free runs between used sectors: a host block at an
// edge holds used and free sectors alike, so it stays.
struct UsedData {
  uint64_t bytes = 0, free_run_edges = 0;
};
UsedData used_data(const test::UsedSectors& used) {
  UsedData d;
  for (uint64_t s = 0; s < used.total; ++s) {
    d.bytes += used.used(s) ? 512 : 0;
    d.free_run_edges += s > 0 && used.used(s) != used.used(s - 1);
  }
  return d;
}

// What must hold after any trim, or any stop of one: the disk the same size, every used sector
// unchanged, every checker content.
void expect_same_disk(const test::DiskFixture& disk, const std::string& image,
                      const std::vector<uint8_t>& before, const test::UsedSectors& used,
                      const std::string& work) {
  const auto after = test::read_file(image);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(test::first_used_difference(before, after, used), -1);
  EXPECT_EQ(test::check_file_systems(disk, image, work), "");
}

TEST_F(RawDisks, OpensAsRawByContent) {
  for (const char* name : {"mbr", "gpt", "lvm", "whole"}) {
    for (const char* ext : {".img", ".RAW", ".bin"}) {
      SCOPED_TRACE(std::string(name) + ext);
      test::TempDir dir;
      const std::string path = dir.file(std::string("disk") + ext);
      fs::copy_file(disk_named(name).raw, path);
      DiskImage image;
      ASSERT_EQ(open_image(image, path, true), OK);
      EXPECT_EQ(image.format, FORMAT_RAW);
      EXPECT_TRUE(can_trim(image));
    }
  }
  const auto r = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(disk_named("mbr").raw));
  EXPECT_NE(r.output.find("format: 29 (raw)"), std::string::npos) << r.output;
}

TEST_F(RawDisks, NoDiskNoRawImage) {
  const auto mbr = test::read_file(disk_named("mbr").raw);
  std::vector<uint8_t> text(4096, ' ');
  const std::string words = "not a disk at all\n";
  std::copy(words.begin(), words.end(), text.begin());
  std::vector<uint8_t> random(1 << 20);
  uint32_t x = 12345;
  for (uint8_t& b : random) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"text.img", text},
      {"random.img", random},
      {"truncated.img", std::vector<uint8_t>(mbr.begin(), mbr.begin() + 64 * 512)},
      {"short.img", std::vector<uint8_t>(mbr.begin(), mbr.end() - 100)},
      {"mbr.dat", mbr},
      {"empty.img", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir.file(c.name), c.bytes);
    DiskImage image;
    EXPECT_EQ(open_image(image, dir.file(c.name), true), ERR_UNSUPPORTED);
  }
}

class RawTrim : public RawDisks, public testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(RawTrim, HolesOverFreeHostBlocks) {
  const auto [name, in_place] = GetParam();
  const test::DiskFixture& disk = disk_named(name);
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  fs::copy_file(disk.raw, image);
  const auto before = test::read_file(image);
  const test::UsedSectors used = test::used_sectors(image);
  const FileInfo old_info = info_of(image);

  const auto r = test::quorvex((in_place ? "--in-place " : "") + shell_quote(image));
  ASSERT_EQ(r.status, 0) << r.output;
  const FileInfo info = info_of(image);
  // The host's own accounting may move by a block or two around the run.
  unsigned long long told_before = 0, told_after = 0;
  const size_t at = r.output.find("host bytes: ");
  ASSERT_NE(at, std::string::npos) << r.output;
  ASSERT_EQ(std::sscanf(r.output.c_str() + at, "host bytes: %llu before, %llu after", &told_before, &told_after), 2);
  EXPECT_NEAR(static_cast<double>(told_before), static_cast<double>(old_info.allocated), 65536);
  EXPECT_NEAR(static_cast<double>(told_after), static_cast<double>(info.allocated), 65536);
  EXPECT_EQ(info.size, old_info.size);
  EXPECT_EQ(info.inode == old_info.inode, in_place);
  EXPECT_EQ(fs::exists(image + "_DEL"), !in_place);
  EXPECT_FALSE(fs::exists(image + "_TEMP"));
  const uint64_t bound = used_host_bytes(used, info.block_size);
  // The host's own extent tree may take a few blocks beyond the data.
  EXPECT_LE(info.allocated, bound + 16 * uint64_t{info.block_size});
  // At most the used data plus one host block per free run edge (and the same few blocks).
  const UsedData data = used_data(used);
  const uint64_t edge_bound = data.bytes + data.free_run_edges * info.block_size;
  EXPECT_LE(info.allocated, edge_bound + 16 * uint64_t{info.block_size});
  std::cout << "[ figures ] " << name << (in_place ? " in place" : " copy") << ": host bytes "
            << old_info.allocated << " before, " << info.allocated << " after, used host blocks "
            << bound << ", used data " << data.bytes << " + " << data.free_run_edges << " free run edges x "
            << info.block_size << " = " << edge_bound << "\n";
  expect_same_disk(disk, image, before, used, dir.path().string());
}

INSTANTIATE_TEST_SUITE_P(, RawTrim,
                         testing::Combine(testing::Values("mbr", "gpt", "lvm", "whole"), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "InPlace" : "Copy");
                         });

// A stop at every punch (a failure, or the process killed there) leaves a consistent image.
TEST_F(RawDisks, InPlaceStopsAtEveryPunch) {
  const test::DiskFixture& disk = disk_named("whole");
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  fs::copy_file(disk.raw, image);
  const auto before = test::read_file(image);
  const test::UsedSectors used = test::used_sectors(image);
  const auto count = test::run_quorvex_child({"-s", "--in-place", image},
                                             test::at_call_of(test::FaultMode::kCount, FileCall::kWrite, 0),
                                             dir.path().string());
  ASSERT_EQ(count.exit_code, 0) << count.output;
  ASSERT_GT(count.calls, 2u);
  for (test::FaultMode mode : {test::FaultMode::kFail, test::FaultMode::kKill}) {
    for (uint64_t n = 1; n <= count.calls; ++n) {
      SCOPED_TRACE(std::to_string(n) + (mode == test::FaultMode::kKill ? " killed" : " failed"));
      test::write_file(image, before);
      const auto run = test::run_quorvex_child({"-s", "--in-place", image},
                                               test::at_call_of(mode, FileCall::kWrite, n), dir.path().string());
      if (mode == test::FaultMode::kFail) EXPECT_EQ(run.exit_code, 2);
      else EXPECT_NE(run.signal, 0);
      EXPECT_EQ(test::folder_names(dir.path().string()),
                std::vector<std::string>{"disk.img"});
      expect_same_disk(disk, image, before, used, dir.path().string());
    }
  }
}

int no_punching(FileCall call) noexcept { return call == FileCall::kWrite ? EOPNOTSUPP : 0; }

TEST_F(RawDisks, HostWithoutHolesChangesNothing) {
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  fs::copy_file(disk_named("mbr").raw, image);
  const auto before = test::read_file(image);
  EXPECT_EQ(test::trim_in_place_with_hook(image, no_punching), ERR_UNSUPPORTED);
  ASSERT_NE(refusal_note(), nullptr);
  EXPECT_NE(std::string(refusal_note()).find("cannot punch holes"), std::string::npos);
  EXPECT_EQ(test::read_file(image), before);
}

// A progress call that asks to stop ends the walk there; the holes punched so far stay.
TEST_F(RawDisks, InPlaceCancelsBetweenSteps) {
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  const test::DiskFixture& disk = disk_named("mbr");
  fs::copy_file(disk.raw, image);
  const auto before = test::read_file(image);
  const test::UsedSectors used = test::used_sectors(image);
  for (size_t at : {1u, 40u, 95u}) {
    SCOPED_TRACE(at);
    test::write_file(image, before);
    DiskImage opened;
    ASSERT_EQ(open_image(opened, image, true), OK);
    ErrorCode error = OK;
    uint32_t recognised = 0;
    auto map = build_usage_map(opened, error, recognised);
    ASSERT_TRUE(map);
    test::ProgressLog log;
    log.cancel_at = at;
    EXPECT_EQ(trim_image_in_place(opened, image, *map, test::log_progress, &log), CANCELLED);
    EXPECT_EQ(log.calls.size(), at + 1);
    close_image(opened);
    expect_same_disk(disk, image, before, used, dir.path().string());
  }
}

TEST_F(RawDisks, InPlaceRefusals) {
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  fs::copy_file(disk_named("whole").raw, image);
  for (const char* args : {"-d --in-place ", "--in-place -d ", "--in-place --in-place "}) {
    const auto r = test::quorvex(args + shell_quote(image));
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.output.find("quorvex [-d] [-s] [--json] [--in-place] [-f FORMAT] [--key-file FILE]... filepath"), std::string::npos) << r.output;
  }
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  const struct {
    const char* file;
    const char* options;
    const char* then;  // qemu-img's subcommand that makes the image one the in-place trim refuses
    const char* reason;
  } others[] = {
      {"snap.qcow2", "-f raw -O qcow2", "snapshot -c s1", "internal snapshots"},
      {"bitmap.qcow2", "-f raw -O qcow2", "bitmap --add", "persistent bitmaps"},
      {"disk.vdi", "-f raw -O vdi", nullptr, "only raw and QCOW2 images are trimmed in place"},
  };
  for (const auto& o : others) {
    SCOPED_TRACE(o.file);
    const std::string path = dir.file(o.file);
    test::qemu_convert(image, path, o.options);
    if (o.then) {
      const std::string then = o.then;
      test::sh("qemu-img " + then + " " + shell_quote(path) + (then.rfind("bitmap", 0) == 0 ? " b1" : ""));
    }
    const auto bytes = test::read_file(path);
    const auto r = test::run_command(shell_quote(test::quorvex_binary()) + " --in-place " +
                                     shell_quote(path) + " 2>&1");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(o.reason), std::string::npos) << r.output;
    EXPECT_EQ(test::read_file(path), bytes);
    EXPECT_FALSE(fs::exists(path + "_TEMP"));
    EXPECT_FALSE(fs::exists(path + "_DEL"));
  }
}

}  // namespace
}  // namespace qx
