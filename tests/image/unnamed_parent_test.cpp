// Children that say they have a parent but name none that can be read: each is refused as a bad
// format and left untouched, never read as a base disk with zeros where its parent's data shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "formats/format_ids.hpp"
#include "image/disk_image.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/vhd_builder.hpp"
#include "support/vhdx_builder.hpp"

namespace qx {
namespace {

using test::sh;
using test::shell_quote;


// Replaces the first `from` in a file by `to` of the same length.
void patch(const std::string& path, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  auto bytes = test::read_file(path);
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, bytes.end()) << from;
  std::copy(to.begin(), to.end(), at);
  test::write_file(path, bytes);
}

// A child of a qemu-img base (with data), damaged where it names the base; answers the child.
std::string qemu_child(const std::string& dir, const std::string& format, const std::string& from,
                       const std::string& to) {
  const std::string base = dir + "/base." + format, child = dir + "/c." + format;
  sh("qemu-img create -q -f " + format + " " + shell_quote(base) + " 16M");
  sh("qemu-io -f " + format + " -c 'write -P 0x5a 1M 64k' " + shell_quote(base) + " >/dev/null");
  sh("cd " + shell_quote(dir) + " && qemu-img create -q -f " + format + " -b base." + format + " -F " + format +
     " c." + format);
  patch(child, from, to);
  return child;
}

struct Case {
  const char* name;
  FormatId format;  // the driver that refuses it; detection then answers that no format fits
  std::string (*make)(const std::string& dir);
};

const Case kCases[] = {
    {"VmdkHintWithAStrayQuote", FORMAT_VMDK_SPARSE,
     [](const std::string& d) {
       return qemu_child(d, "vmdk", "parentFileNameHint=\"base.vmdk\"", "parentFileNameHint=\"base.vmd\"\"");
     }},
    {"VmdkHintQuotedInPart", FORMAT_VMDK_SPARSE,
     [](const std::string& d) {
       return qemu_child(d, "vmdk", "parentFileNameHint=\"base.vmdk\"", "parentFileNameHint=\"bas\"x.vmdk");
     }},
    {"VmdkHintMissing", FORMAT_VMDK_SPARSE,
     [](const std::string& d) { return qemu_child(d, "vmdk", "parentFileNameHint", "#arentFileNameHint"); }},
    {"Qcow2BackingNameNotText", FORMAT_QCOW2,
     [](const std::string& d) { return qemu_child(d, "qcow2", "base.qcow2", "b\xff\xfe" "e.qcow2"); }},
    {"QcowBackingNameNotText", FORMAT_QCOW,
     [](const std::string& d) { return qemu_child(d, "qcow", "base.qcow", "b\xff\xfe" "e.qcow"); }},
    {"VhdWithoutParentName", FORMAT_VHD,
     [](const std::string& d) {
       test::VhdShape s;
       s.total_sectors = 32768;
       s.disk_type = 4;
       test::VhdBuilder b(s);
       b.fill(100, 8, 0x5a);
       b.write_to(d + "/c.vhd");
       return d + "/c.vhd";
     }},
    {"VhdxWithoutParentPaths", FORMAT_VHDX,
     [](const std::string& d) {
       test::VhdxShape s;
       s.disk_bytes = 16u << 20;
       s.has_parent = true;
       test::VhdxBuilder b(s);
       b.fill(1u << 20, 4096, 0x5a);
       b.write_to(d + "/c.vhdx");
       return d + "/c.vhdx";
     }},
};

class UnnamedParent : public ::testing::TestWithParam<Case> {};

TEST_P(UnnamedParent, IsRefusedAndLeftUntouched) {
  if (!test::have_tool("qemu-img") || !test::have_tool("qemu-io")) GTEST_SKIP() << "qemu tools missing";
  test::TempDir dir;
  const std::string child = GetParam().make(dir.path().string());
  if (HasFatalFailure()) return;
  const auto before = test::read_file(child);
  const auto names = test::run_command("ls " + shell_quote(dir.path().string())).output;
  DiskImage image;
  EXPECT_EQ(open_image_as(image, child, true, GetParam().format), ERR_BAD_FORMAT);
  close_image(image);
  EXPECT_NE(open_image(image, child, true), OK);
  close_image(image);
  const auto trim = test::run_command(shell_quote(test::quorvex_binary()) + " " + shell_quote(child) + " 2>&1");
  EXPECT_EQ(trim.status, 2) << trim.output;
  EXPECT_EQ(test::read_file(child), before);
  EXPECT_EQ(test::run_command("ls " + shell_quote(dir.path().string())).output, names);
  const auto inspect = test::run_command(shell_quote(test::inspect_binary()) + " " + shell_quote(child) + " 2>&1");
  EXPECT_EQ(inspect.status, 2);
  EXPECT_NE(inspect.output.find("names none"), std::string::npos) << inspect.output;
}

INSTANTIATE_TEST_SUITE_P(Children, UnnamedParent, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qx
