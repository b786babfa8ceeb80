// The command line on QCOW2 images made by qemu-img and qemu-io from disks with real file systems:
// every creation option, children over QCOW2 and raw backing files, snapshots and bitmaps, and
// the images it must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "support/disk_fixture.hpp"
#include "support/file_patch.hpp"
#include "support/image_checks.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::ends_with;
using test::sh;
using test::shell_quote;

struct Disks {
  test::TempDir dir;
  std::map<std::string, test::DiskFixture> by_name;
};
Disks* g_disks = nullptr;

const test::DiskFixture* disk(const std::string& name) {
  if (!g_disks) return nullptr;
  const auto it = g_disks->by_name.find(name);
  return it == g_disks->by_name.end() ? nullptr : &it->second;
}

class Qcow2Trim : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_disk_tools() || !test::have_tool("qemu-io") || g_disks) return;
    g_disks = new Disks;
    const auto make = [](const std::string& name, test::DiskFixture (*maker)(const std::string&)) {
      const fs::path folder = g_disks->dir.path() / name;
      fs::create_directory(folder);
      g_disks->by_name[name] = maker(folder.string());
    };
    make("mbr", test::make_mbr_fat32_ext4);
    make("gpt", test::make_gpt_ntfs_ext2);
    make("lvm", test::make_mbr_lvm_ext4);
    make("mixed", test::make_mbr_mixed_logical);
    if (test::have_xfs_disk_tools()) make("xfs", test::make_gpt_xfs_ext4);
  }
  static void TearDownTestSuite() {
    delete g_disks;
    g_disks = nullptr;
  }
};


std::string qemu_info(const std::string& image, const std::string& field) {
  const auto r = test::run_command("qemu-img info " + shell_quote(image) + " | grep '^" + field + "'");
  return r.output;
}

// Trims `image` (whose original stays at `original`) and checks what every trim must hold:
// SUCCESS, no file left beside it, `qemu-img check` clean, every used sector as before (through the
// backing chain), the same virtual size and backing file. Returns the new size.
uint64_t trim_and_check(const std::string& image, const std::string& original, const test::UsedSectors& used,
                        const test::TempDir& dir) {
  const auto r = test::quorvex("-d " + shell_quote(image));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(ends_with(r.output, "\nSUCCESS\n")) << r.output;
  EXPECT_FALSE(fs::exists(image + "_TEMP"));
  EXPECT_FALSE(fs::exists(image + "_DEL"));
  const auto check = test::run_command("qemu-img check " + shell_quote(image) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_NE(check.output.find("No errors were found"), std::string::npos) << check.output;
  test::qemu_convert(original, dir.file("before.raw"), "-O raw");
  test::qemu_convert(image, dir.file("after.raw"), "-O raw");
  EXPECT_EQ(test::first_used_difference_in_files(dir.file("before.raw"), dir.file("after.raw"), used), -1);
  for (const char* field : {"virtual size", "backing file"})
    EXPECT_EQ(qemu_info(image, field), qemu_info(original, field));
  return fs::file_size(image);
}

struct Variant {
  const char* name;
  const char* options;
  const char* disk = "mbr";
};

TEST_F(Qcow2Trim, EveryCreationOptionTrimsAndStaysSmallerThanAConvert) {
  if (!g_disks) GTEST_SKIP() << "disk tools, qemu-img or qemu-io missing";
  const Variant variants[] = {
      {"compat 1.1", "-o compat=1.1"},
      {"compat 0.10", "-o compat=0.10"},
      {"512-byte clusters", "-o cluster_size=512"},
      {"4K clusters", "-o cluster_size=4096"},
      {"2M clusters", "-o cluster_size=2M"},
      {"1-bit refcounts", "-o refcount_bits=1"},
      {"64-bit refcounts", "-o refcount_bits=64"},
      {"extended L2", "-o extended_l2=on"},
      // The file ends inside the last cluster, behind the last subcluster written.
      {"extended L2, logical partitions", "-o extended_l2=on", "mixed"},
      {"logical partitions", "", "mixed"},
      {"deflate", "-c -o compression_type=zlib"},
      {"deflate, 1-bit refcounts", "-c -o refcount_bits=1"},
      {"zstd", "-c -o compression_type=zstd"},
      {"lazy refcounts", "-o lazy_refcounts=on"},
      {"metadata preallocated", "-o preallocation=metadata"},
      {"fully preallocated", "-o preallocation=full"},
      {"NTFS and ext2 in GPT", "", "gpt"},
      {"ext4 in LVM2", "", "lvm"},
      {"ext4 in LVM2, zstd", "-c -o compression_type=zstd", "lvm"},
      {"XFS v5 and ext4 in GPT", "", "xfs"},
      {"XFS v5, 4K clusters", "-o cluster_size=4096", "xfs"},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    const test::DiskFixture* d = disk(v.disk);
    if (!d) continue;
    test::TempDir dir;
    const std::string image = dir.file("disk.qcow2"), original = dir.file("original.qcow2");
    test::qemu_convert(d->raw, image, std::string("-f raw -O qcow2 ") + v.options);
    fs::copy_file(image, original);
    test::qemu_convert(original, dir.file("convert.qcow2"), std::string("-O qcow2 ") + v.options);
    const test::UsedSectors used = test::used_sectors(image);
    EXPECT_EQ(used.recognised, d->partitions.size());
    const uint64_t size = trim_and_check(image, original, used, dir);
    EXPECT_LE(size, fs::file_size(dir.file("convert.qcow2")));
    EXPECT_EQ(test::check_file_systems(*d, dir.file("after.raw"), dir.path().string()), "");
    uint64_t used_count = 0;
    for (uint64_t s = 0; s < used.total; ++s) used_count += used.used(s);
    std::printf("[ %-24s ] output/allocated %.3f (%llu of %llu bytes), convert %llu\n", v.name,
                double(size) / double(used_count * 512), static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(used_count * 512),
                static_cast<unsigned long long>(fs::file_size(dir.file("convert.qcow2"))));
  }
}

// Zeros written by the guest of a child over data of its backing file: version 3 keeps them as
// clusters that read as zeros, also where they were stored compressed; version 2 keeps them as
// data. Zeros over zeros need nothing.
struct ZeroCase {
  const char* name;
  const char* create;
  const char* write;  // qemu-io's write command, without the pattern
  bool zero_cluster;
};

TEST(Qcow2Layers, ZerosOverBackingDataStayZeros) {
  if (!test::have_tool("qemu-io")) GTEST_SKIP() << "qemu-io missing";
  const ZeroCase cases[] = {
      {"version 3", "compat=1.1", "write", true},
      {"version 2", "compat=0.10", "write", false},
      {"version 3, compressed", "compat=1.1", "write -c", true},
      {"extended L2, compressed", "compat=1.1,extended_l2=on", "write -c", true},
  };
  std::map<std::string, uint64_t> sizes;
  for (const ZeroCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string base = dir.file("base.raw"), image = dir.file("child.qcow2");
    sh("qemu-img create -q -f raw " + shell_quote(base) + " 16M && qemu-io -f raw -c 'write -P 0xaa 0 8M' " +
       shell_quote(base) + " >/dev/null");
    sh(std::string("qemu-img create -q -f qcow2 -o ") + c.create + " -b base.raw -F raw " + shell_quote(image));
    const std::string w = c.write;
    sh("qemu-io -f qcow2 -c '" + w + " -P 0 0 1M' -c '" + w + " -P 0 10M 1M' -c 'write -P 0x5a 2M 64k' " +
       shell_quote(image) + " >/dev/null");
    const auto before = test::read_whole_disk(image);
    ASSERT_EQ(test::trim(image).rc, OK);
    EXPECT_TRUE(test::read_whole_disk(image) == before);
    const auto check = test::run_command("qemu-img check " + shell_quote(image) + " 2>&1");
    EXPECT_EQ(check.status, 0) << check.output;
    // The child holds the first MiB (as zeros or as data) and the 64 KiB of data, nothing at 10 MiB.
    const auto map = test::run_command("qemu-img map --output=json " + shell_quote(image)).output;
    EXPECT_EQ(map.find("\"start\": 0, \"length\": 1048576, \"depth\": 0, \"present\": true, \"zero\": true") !=
                  std::string::npos,
              c.zero_cluster)
        << map;
    EXPECT_EQ(map.find("\"start\": 10485760"), std::string::npos) << map;
    sizes[c.name] = fs::file_size(image);
    std::printf("[ %s ] %llu bytes\n", c.name, static_cast<unsigned long long>(sizes[c.name]));
  }
  EXPECT_LE(sizes["version 3"] + (1u << 20), sizes["version 2"]);
}

struct Child {
  const char* name;
  const char* create;         // options of the child
  const char* backing_format; // qemu-img's name of the backing file's format
};

// The child's own layer: data over the file systems, written zeros over data of the backing file,
// discards; its dropped clusters must not let older data show through.
TEST_F(Qcow2Trim, ChildrenKeepTheirOwnLayer) {
  if (!g_disks) GTEST_SKIP() << "disk tools, qemu-img or qemu-io missing";
  const Child children[] = {
      {"version 3 over QCOW2", "compat=1.1", "qcow2"},
      {"version 2 over QCOW2", "compat=0.10", "qcow2"},
      {"version 3 over raw", "compat=1.1", "raw"},
      {"extended L2 over QCOW2", "compat=1.1,extended_l2=on", "qcow2"},
      {"version 3, 4K clusters", "compat=1.1,cluster_size=4096", "qcow2"},
      {"version 3 over VMDK", "compat=1.1", "vmdk"},
      {"version 3 over dynamic VHD", "compat=1.1", "vpc"},
  };
  for (const Child& c : children) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string base = dir.file("base"), image = dir.file("child.qcow2"), original = dir.file("original.qcow2");
    if (std::string(c.backing_format) == "raw") fs::copy_file(disk("mbr")->raw, base);
    else test::qemu_convert(disk("mbr")->raw, base, std::string("-f raw -O ") + c.backing_format);
    sh("qemu-img create -q -f qcow2 -o " + std::string(c.create) + " -b base -F " + c.backing_format + " " +
       shell_quote(image));
    // ext4 data, FAT data, written zeros over data (used and free), a discard, zeros where the
    // backing file is zero too.
    sh("qemu-io -f qcow2 -c 'write -P 0x11 52M 3M' -c 'write -z 20M 2M' -c 'write -P 0x22 30M 1M' "
       "-c 'discard 30M 512k' -c 'write -z 60M 64k' -c 'write -P 0 94M 1M' -c 'write -P 0x33 70M 5M' "
       "-c 'write -z 72M 1M' " + shell_quote(image) + " >/dev/null");
    fs::copy_file(image, original);
    const test::UsedSectors used = test::used_sectors(image);
    const uint64_t size = trim_and_check(image, original, used, dir);
    EXPECT_LT(size, fs::file_size(original));
    EXPECT_EQ(test::check_file_systems(*disk("mbr"), dir.file("after.raw"), dir.path().string()), "");
  }
}

// The set bits of the first bitmap of an image, read from its bitmap directory and table.
std::vector<uint64_t> first_bitmap(const std::string& path) {
  const auto be = [&](uint64_t at, int n) {
    uint64_t v = 0;
    for (uint8_t b : test::read_range(path, at, static_cast<size_t>(n))) v = v << 8 | b;
    return v;
  };
  const uint64_t cluster = uint64_t{1} << be(20, 4), size = be(24, 8);
  uint64_t at = be(100, 4);
  while (be(at, 4) != 0x23852875) at += 8 + (be(at + 4, 4) + 7) / 8 * 8;
  const uint64_t directory = be(at + 8 + 16, 8);
  const uint64_t table = be(directory, 8), entries = be(directory + 8, 4), granularity = be(directory + 17, 1);
  const uint64_t bits = (size + (uint64_t{1} << granularity) - 1) >> granularity;
  std::vector<uint64_t> set;
  for (uint64_t k = 0; k < entries; ++k) {
    const uint64_t data = be(table + k * 8, 8) & 0x00FFFFFFFFFFFE00ull;
    if (!data) continue;
    const auto bytes = test::read_range(path, data, static_cast<size_t>(cluster));
    for (uint64_t i = 0; i < cluster * 8 && k * cluster * 8 + i < bits; ++i)
      if (bytes[i / 8] >> (i % 8) & 1) set.push_back(k * cluster * 8 + i);
  }
  return set;
}

TEST_F(Qcow2Trim, SnapshotsAndBitmapsAreCarriedOver) {
  if (!g_disks) GTEST_SKIP() << "disk tools, qemu-img or qemu-io missing";
  for (const char* options : {"", "-c -o compression_type=zstd", "-o extended_l2=on"}) {
    SCOPED_TRACE(options);
    test::TempDir dir;
    const std::string image = dir.file("disk.qcow2"), original = dir.file("original.qcow2");
    test::qemu_convert(disk("mbr")->raw, image, std::string("-f raw -O qcow2 ") + options);
    const std::string q = shell_quote(image);
    sh("qemu-img snapshot -c first " + q);
    sh("qemu-io -f qcow2 -c 'write -P 0x44 2M 1M' -c 'discard 50M 4M' -c 'write -P 0x45 80M 256k' " + q);
    sh("qemu-img snapshot -c second " + q);
    sh("qemu-io -f qcow2 -c 'write -P 0x46 3M 1M' -c 'write -z 60M 1M' " + q);
    sh("qemu-img bitmap --add " + q + " fine && qemu-img bitmap --add -g 1M " + q + " coarse");
    sh("qemu-io -f qcow2 -c 'write -P 0x47 81M 64k' " + q);
    fs::copy_file(image, original);
    trim_and_check(image, original, test::used_sectors(image), dir);
    const auto listed = [](const std::string& path) {
      return test::run_command("qemu-img snapshot -l " + shell_quote(path) + " | awk 'NR>2 {print $2, $3}'").output;
    };
    EXPECT_EQ(listed(image), listed(original));
    for (const char* snapshot : {"first", "second"}) {
      test::qemu_convert(original, dir.file("s0.raw"), std::string("-O raw -l ") + snapshot);
      test::qemu_convert(image, dir.file("s1.raw"), std::string("-O raw -l ") + snapshot);
      EXPECT_TRUE(test::read_file(dir.file("s0.raw")) == test::read_file(dir.file("s1.raw"))) << snapshot;
    }
    const auto bitmaps = test::run_command("qemu-img info " + q + " | grep -c 'name: \\(fine\\|coarse\\)'");
    EXPECT_EQ(bitmaps.output, "2\n");
    // What the guest wrote stays dirty, and the clusters the trim dropped are dirty too.
    const std::vector<uint64_t> before = first_bitmap(original), after = first_bitmap(image);
    EXPECT_TRUE(std::includes(after.begin(), after.end(), before.begin(), before.end()));
    EXPECT_GT(after.size(), before.size() + 100);
  }
}

struct Refused {
  const char* name;
  std::function<void(const std::string&)> make;
  const char* reason;     // what quorvex-inspect says
  bool prints_error;      // an image that does not open prints nothing
};

TEST_F(Qcow2Trim, RefusedImagesStayAsTheyWere) {
  if (!test::have_tool("qemu-io")) GTEST_SKIP() << "qemu-io missing";
  const auto data = [](const std::string& p, const std::string& options) {
    sh("qemu-img create -q -f qcow2 " + options + " " + shell_quote(p) + " 64M");
    sh("qemu-io -f qcow2 -c 'write -P 0x5a 1M 1M' -c 'write -P 0 8M 1M' " + shell_quote(p) + " >/dev/null");
  };
  const auto abort_after_write = [](const std::string& p) {
    (void)test::run_command("qemu-io -f qcow2 -c 'write -P 1 0 64k' -c abort " + shell_quote(p) + " >/dev/null 2>&1");
  };
  const Refused cases[] = {
      {"dirty", [&](const std::string& p) { data(p, "-o lazy_refcounts=on"); abort_after_write(p); },
       "open it once in QEMU to repair it", true},
      {"bitmap in use", [&](const std::string& p) { data(p, ""); sh("qemu-img bitmap --add " + p + " b"); abort_after_write(p); },
       "bitmaps is in use", true},
      {"external data file", [&](const std::string& p) { data(p, "-o data_file=" + p + ".data"); },
       "external data file", true},
      {"encrypted", [&](const std::string& p) {
         // qemu-img times its key derivation by the thread's CPU clock and gives up where that clock is
         // too coarse; the header's method field then stands in for the real thing.
         const auto luks = test::run_command(
             "qemu-img create -q -f qcow2 --object secret,id=s,data=k -o encrypt.format=luks,encrypt.key-secret=s " +
             shell_quote(p) + " 64M 2>&1");
         if (luks.status != 0) {
           fs::remove(p);
           data(p, "");
           test::patch_byte(p, 35, 2);
         }
       }, "encrypted", false},
      {"corrupt", [&](const std::string& p) { data(p, ""); test::patch_byte(p, 79, 2); }, "corrupt", false},
      {"unknown feature", [&](const std::string& p) { data(p, ""); test::patch_byte(p, 78, 1); }, "feature", false},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string image = dir.file("disk.qcow2");
    c.make(image);
    const auto bytes = test::read_file(image);
    const auto r = test::quorvex(shell_quote(image));
    EXPECT_EQ(r.status, 2) << r.output;
    if (c.prints_error) {
      EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
    }
    EXPECT_EQ(test::read_file(image), bytes);
    EXPECT_FALSE(fs::exists(image + "_TEMP"));
    EXPECT_FALSE(fs::exists(image + "_DEL"));
    const auto inspect = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(image) + " 2>&1");
    EXPECT_NE(inspect.output.find(c.reason), std::string::npos) << inspect.output;
  }
}

TEST(Qcow2Inspect, ReportsTheFormatAsText) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  test::TempDir dir;
  const std::string path = dir.file("i.qcow2");
  sh("qemu-img create -q -f qcow2 " + shell_quote(path) + " 8M");
  const auto text = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(path) + " 2>&1");
  EXPECT_NE(text.output.find("format: 28 (qcow2)"), std::string::npos) << text.output;
  const auto json = test::run_command(shell_quote(test::inspect_binary()) + " --json " + shell_quote(path) + " 2>&1");
  EXPECT_NE(json.output.find("\"format\": 28"), std::string::npos) << json.output;
}

}  // namespace
}  // namespace qx
