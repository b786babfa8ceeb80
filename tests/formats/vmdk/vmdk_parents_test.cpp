// A VMDK child whose parent is not a VMDK file: QCOW, compressed QCOW and a fixed VHD. qemu-img
// makes children only over VMDK parents, so the child is made over a VMDK copy of the parent whose
// name has the same length, and its parentFileNameHint then names the real parent.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/shared_disk_suite.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"
#include "support/vmdk_guest.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

class VmdkParents : public test::SharedDiskSuite<VmdkParents> {
 protected:
  static void SetUpTestSuite() {
    if (make_disk(test::have_disk_tools() && test::have_tool("qemu-io")))
      test::write_qemu_parents(disk_->raw, dir_->path().string());
  }
};

void replace_once(const std::string& path, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  auto bytes = test::read_file(path);
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, bytes.end()) << from;
  ASSERT_EQ(std::search(at + 1, bytes.end(), from.begin(), from.end()), bytes.end()) << from;
  std::copy(to.begin(), to.end(), at);
  test::write_file(path, bytes);
}

TEST_F(VmdkParents, ChildTrimsOverEachParent) {
  for (const char* name : test::kQemuParents) {
    SCOPED_TRACE(name);
    test::TempDir dir;
    const std::string folder = dir.file("vm"), parent = folder + "/" + name, child = folder + "/child.vmdk";
    fs::create_directory(folder);
    fs::copy_file(file(name), parent);
    const std::string stand_in = std::string(std::char_traits<char>::length(name) - 5, 'p') + ".vmdk";
    // Named, as probing takes a fixed VHD for a raw disk with its footer.
    const char* format = test::ends_with(name, ".vhd") ? "-f vpc" : test::ends_with(name, ".qcow2") ? "-f qcow2" : "-f qcow";
    test::qemu_convert(parent, folder + "/" + stand_in, std::string(format) + " -O vmdk");
    const auto made = test::run_command("cd " + shell_quote(folder) + " && qemu-img create -f vmdk -b " + stand_in +
                                        " -F vmdk child.vmdk 2>&1");
    ASSERT_EQ(made.status, 0) << made.output;
    test::write_guest_changes(*disk_, child, dir.path().string());
    // What the guest sees, read by qemu-img while the child still stands on the VMDK copy.
    test::qemu_convert(child, dir.file("expected.raw"), "-f vmdk -O raw");
    const auto expected = test::read_file(dir.file("expected.raw"));
    replace_once(child, "parentFileNameHint=\"" + stand_in + "\"", std::string("parentFileNameHint=\"") + name + "\"");
    fs::remove(folder + "/" + stand_in);

    const auto parent_bytes = test::read_file(parent);
    const test::UsedSectors used = test::used_sectors(child);
    EXPECT_EQ(used.recognised, 2u);
    const auto before = test::read_whole_disk(child);
    EXPECT_EQ(test::first_used_difference(expected, before, used), -1);
    const uint64_t child_size = fs::file_size(child);

    const auto r = test::quorvex(shell_quote(child));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(test::ends_with(r.output, "\nSUCCESS\n")) << r.output;
    EXPECT_EQ(test::read_file(parent), parent_bytes);
    EXPECT_TRUE(fs::exists(child + "_DEL"));
    EXPECT_LE(fs::file_size(child), child_size - 4 * 128 * 512);
    EXPECT_EQ(test::first_used_difference(before, test::read_whole_disk(child), used), -1);
  }
}

}  // namespace
}  // namespace qx
