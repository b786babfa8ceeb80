// Files planted beside an image: a swap journal that names files outside the image's own set, and
// a FIFO, a device or a folder where a file of the image should be; and a raw disk whose guest
// wrote another format's header at its start.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "support/disk_fixture.hpp"
#include "support/parallels_builder.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/vhd_builder.hpp"
#include "support/vmdk_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// One of the two tools, from `cwd`, standard error kept apart; `limit` seconds before it is
// killed, so that a hang fails the test instead of blocking the suite.
ToolRun run_tool(const std::string& binary, const std::string& args, const std::string& cwd, int limit = 20) {
  const std::string err_file = cwd + "/.stderr";
  const auto r = test::run_command("cd " + shell_quote(cwd) + " && timeout -s KILL " + std::to_string(limit) +
                                   " " + shell_quote(binary) + " " + args + " 2>" + shell_quote(err_file));
  const auto e = test::read_file(err_file);
  fs::remove(err_file);
  return {r.status, r.output, std::string(e.begin(), e.end())};
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string journal_entry(const char* stages, const std::string& target) {
  return std::string(stages) + " " + std::to_string(target.size()) + ":" + target + "\n";
}

// A split VMDK with a journal beside it whose targets lie outside the image's folder: an absolute
// path, a path that climbs out with "..", and a Windows drive path (on Linux a name of the current
// folder). Each target is a file of the user's that today's journal would delete or rename.
TEST(PlantedJournal, NamesNoFileOutsideTheImagesOwnSet) {
  test::TempDir dir;
  for (const char* sub : {"img", "outside", "work"}) fs::create_directory(dir.path() / sub);
  const std::string image = test::write_split_vmdk(dir.file("img"));
  const std::string work = dir.file("work");
  const std::vector<std::string> victims = {dir.file("outside/a.odt"), dir.file("outside/b.odt"),
                                            work + "/C:\\Users\\me\\c.odt"};
  for (const std::string& v : victims) test::write_file(v, bytes("thesis " + v));
  const std::string journal =
      "quorvex swap\nsuffix 4:_DEL\n" + journal_entry("011", victims[0]) +
      journal_entry("010", "../outside/b.odt") + journal_entry("011", "C:\\Users\\me\\c.odt") + "end\n";
  test::write_file(image + "_SWAP", bytes(journal));
  std::map<std::string, std::vector<uint8_t>> before;
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    if (e.is_regular_file()) before[e.path().string()] = test::read_file(e.path().string());

  struct Case {
    std::string binary;
    const char* options;
  };
  for (const Case& c : {Case{test::inspect_binary(), ""}, Case{test::quorvex_binary(), ""}, Case{test::quorvex_binary(), "--json"}}) {
    SCOPED_TRACE(c.binary + " " + c.options);
    const ToolRun r = run_tool(c.binary, std::string(c.options) + " " + shell_quote(image), work);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(image + "_SWAP"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("remove it"), std::string::npos) << r.err;
    if (std::string(c.options) == "--json") {
      EXPECT_NE(r.out.find("\"key\": \"untrusted_journal\""), std::string::npos) << r.out;
    }
    // Nothing renamed, removed, added or written: the journal stays for the user to look at.
    std::map<std::string, std::vector<uint8_t>> after;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      if (e.is_regular_file()) after[e.path().string()] = test::read_file(e.path().string());
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [name, content] : before) EXPECT_TRUE(after.count(name) && after[name] == content) << name;
  }
}

// Makes the image in the folder and puts something that is no regular file where one of its files
// should be; returns the image and that file.
using Plant = std::pair<std::string, std::string> (*)(const std::string& folder);

std::string fifo(const std::string& path) {
  EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
  return path;
}

std::pair<std::string, std::string> qcow2_child(const std::string& d, const std::string& backing) {
  test::sh("cd " + shell_quote(d) + " && qemu-img create -q -f qcow2 -u -b " + shell_quote(backing) +
           " -F raw c.qcow2 64M");
  return {d + "/c.qcow2", backing[0] == '/' ? backing : d + "/" + backing};
}

struct PlantCase {
  const char* name;
  Plant plant;
};

const PlantCase kPlants[] = {
    {"Qcow2BackingFifo", [](const std::string& d) { return qcow2_child(d, fifo(d + "/p").substr(d.size() + 1)); }},
    {"Qcow2BackingFolder",
     [](const std::string& d) {
       fs::create_directory(d + "/p");
       return qcow2_child(d, "p");
     }},
    {"Qcow2BackingDevice", [](const std::string& d) { return qcow2_child(d, "/dev/zero"); }},
    {"VhdParentFifo",
     [](const std::string& d) {
       test::VhdShape s;
       s.total_sectors = 32768;
       s.disk_type = 4;
       s.parent_name = "p.vhd";
       test::VhdBuilder b(s);
       b.fill(100, 8, 0x5a);
       b.write_to(d + "/c.vhd");
       return std::pair{d + "/c.vhd", fifo(d + "/p.vhd")};
     }},
    {"VmdkParentFifo",
     [](const std::string& d) {
       test::sh("cd " + shell_quote(d) + " && qemu-img create -q -f vmdk p.vmdk 64M && qemu-img create -q -f vmdk "
                "-b p.vmdk -F vmdk c.vmdk && rm p.vmdk");
       return std::pair{d + "/c.vmdk", fifo(d + "/p.vmdk")};
     }},
    {"VmdkExtentFifo",
     [](const std::string& d) {
       const std::string image = test::write_split_vmdk(d);
       fs::remove(d + "/s1.vmdk");
       return std::pair{image, fifo(d + "/s1.vmdk")};
     }},
    {"BundleStorageFifo",
     [](const std::string& d) {
       const std::string b = d + "/disk.hdd";
       test::write_bundle_descriptor(b, test::bundle_shape(65536, {{"0", "32768", "a.hds"}, {"32768", "65536", "b.hds"}}));
       test::sh("qemu-img create -q -f parallels " + shell_quote(b + "/a.hds") + " 16M");
       return std::pair{b, fifo(b + "/b.hds")};
     }},
    {"NdiFifo",
     [](const std::string& d) {
       test::make_sparse_file(d + "/disk.raw", 1 << 20);
       return std::pair{d + "/disk.raw", fifo(d + "/disk.ndi")};
     }},
    {"ImageFifo", [](const std::string& d) { return std::pair{fifo(d + "/disk.img"), d + "/disk.img"}; }},
    {"JournalFifo",
     [](const std::string& d) {
       const std::string image = test::write_split_vmdk(d);
       return std::pair{image, fifo(image + "_SWAP")};
     }},
};

class PlantedFile : public ::testing::TestWithParam<PlantCase> {};

// Both tools end at once with the reason naming the file; nothing is written.
TEST_P(PlantedFile, IsRefusedByNameWithoutWaiting) {
  if (!test::have_tool("qemu-img") || !test::have_tool("timeout")) GTEST_SKIP() << "qemu-img or timeout missing";
  test::TempDir dir;
  const auto [image, planted] = GetParam().plant(dir.path().string());
  std::set<std::string> before;
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) before.insert(e.path().string());
  for (const std::string& binary : {test::inspect_binary(), test::quorvex_binary()}) {
    SCOPED_TRACE(binary);
    const ToolRun r = run_tool(binary, shell_quote(image), dir.path().string(), 10);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(planted + " is a "), std::string::npos) << r.err;
    std::set<std::string> after;
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) after.insert(e.path().string());
    EXPECT_EQ(after, before);
  }
}

INSTANTIATE_TEST_SUITE_P(Hostile, PlantedFile, ::testing::ValuesIn(kPlants),
                         [](const auto& info) { return std::string(info.param.name); });

// A raw disk (MBR, FAT32) whose guest wrote a QCOW2 header into its boot code and the gap before
// its partition: probed, it reads as QCOW2 and both tools say so; with -f raw it is trimmed as the
// raw disk it is.
TEST(NamedFormat, RawDiskWithAGuestsQcow2HeaderIsTrimmedAsRawWhenNamed) {
  if (!test::have_disk_tools() || !test::have_tool("qemu-img")) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const std::string d = dir.path().string();
  const test::DiskFixture disk = test::make_mbr_fat32(d);
  const std::string image = d + "/disk.img", header = d + "/header.qcow2";
  fs::rename(disk.raw, image);
  test::sh("qemu-img create -q -f qcow2 -o compat=0.10 " + shell_quote(header) + " 36M");
  test::copy_range(header, 0, image, 0, 446);
  test::copy_range(header, 512, image, 512, fs::file_size(header) - 512);
  fs::copy_file(image, d + "/copy.img");
  const std::vector<uint8_t> before = test::read_file(image);

  ToolRun r = run_tool(test::inspect_binary(), "--json " + shell_quote(image), d);
  EXPECT_NE(r.out.find("\"format\": 28,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"format_note\": \"named like a raw disk, but the file reads as a qcow2 image"),
            std::string::npos) << r.out;
  EXPECT_NE(run_tool(test::inspect_binary(), shell_quote(image), d).out.find("\nformat note: "), std::string::npos);
  r = run_tool(test::inspect_binary(), "--json -f RAW " + shell_quote(image), d);
  EXPECT_NE(r.out.find("\"format\": 29,"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("format_note"), std::string::npos) << r.out;
  r = run_tool(test::quorvex_binary(), shell_quote(d + "/copy.img"), d);
  EXPECT_NE(r.err.find("reads as a qcow2 image and is taken as one; if it is a raw disk"), std::string::npos) << r.err;

  for (const std::string& binary : {test::quorvex_binary(), test::inspect_binary()}) {
    r = run_tool(binary, "-f qcow3 " + shell_quote(image), d);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": qcow3: no format of that name (-f)"), std::string::npos) << r.err;
  }
  r = run_tool(test::quorvex_binary(), "--format vhd " + shell_quote(image), d);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("does not open as vhd"), std::string::npos) << r.err;

  r = run_tool(test::quorvex_binary(), "-f raw " + shell_quote(image), d);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<uint8_t> after = test::read_file(image);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + (1 << 20), after.begin()));
  // Every block is as it was, or a hole the raw trim left.
  for (size_t at = 0; at < after.size(); at += 4096) {
    const auto b = before.begin() + static_cast<std::ptrdiff_t>(at), a = after.begin() + static_cast<std::ptrdiff_t>(at);
    ASSERT_TRUE(std::equal(a, a + 4096, b) || std::all_of(a, a + 4096, [](uint8_t x) { return x == 0; })) << at;
  }
  EXPECT_EQ(test::check_file_systems(disk, image, d), "");
}

}  // namespace
}  // namespace qx
