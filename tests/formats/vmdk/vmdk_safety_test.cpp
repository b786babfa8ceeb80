// What a trim of a split VMDK leaves when any file call fails or the process dies at it: the
// extents are swapped together or not at all (behind the swap's journal, which the next run
// finishes), and the disk always reads the same.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <map>

#include "support/fault_injection.hpp"
#include "support/test_support.hpp"
#include "support/vmdk_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::vector<uint8_t>>;

Files files_in(const std::string& folder) {
  Files files;
  for (const std::string& name : test::folder_names(folder)) files[name] = test::read_file(folder + "/" + name);
  return files;
}

void put_back(const std::string& folder, const Files& files) {
  for (const std::string& name : test::folder_names(folder)) fs::remove_all(folder + "/" + name);
  for (const auto& [name, bytes] : files) test::write_file(folder + "/" + name, bytes);
}

struct Case {
  const char* name;
  std::vector<std::string> options;
};

class VmdkFailurePoints : public testing::TestWithParam<Case> {};

TEST_P(VmdkFailurePoints, FailuresLeaveEveryExtentAndKillsLeaveEachWhole) {
  test::TempDir dir{test::memory_folder()}, scratch{test::memory_folder()};
  const std::string folder = dir.path().string();
  const std::string image = test::write_split_vmdk(folder);
  const Files original = files_in(folder);
  const std::vector<uint8_t> disk = test::read_whole_disk(image);
  auto run = [&](test::FaultMode mode, uint64_t at) {
    test::FaultPlan plan;
    plan.mode = mode;
    plan.at = at;
    std::vector<std::string> args = GetParam().options;
    args.push_back(image);
    return test::run_quorvex_child(args, plan, scratch.path().string());
  };
  const test::ChildRun reference = run(test::FaultMode::kCount, 0);
  ASSERT_EQ(reference.exit_code, 0) << reference.output;
  const Files trimmed = files_in(folder);
  for (const char* extent : {"s0.vmdk", "s1.vmdk", "s2.vmdk"}) ASSERT_LT(trimmed.at(extent).size(), original.at(extent).size());
  for (uint64_t n = 1; n <= reference.calls; ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    put_back(folder, original);
    const test::ChildRun failed = run(test::FaultMode::kFail, n);
    EXPECT_EQ(failed.exit_code, 2);
    // Once -d has deleted one old extent the set can only stay new as a whole.
    const Files left = files_in(folder);
    if (left != original) {
      EXPECT_EQ(GetParam().options, std::vector<std::string>{"-d"});
      for (const char* extent : {"s0.vmdk", "s1.vmdk", "s2.vmdk"}) EXPECT_EQ(left.at(extent), trimmed.at(extent)) << extent;
      EXPECT_EQ(test::read_whole_disk(image), disk);
    }

    put_back(folder, original);
    const test::ChildRun killed = run(test::FaultMode::kKill, n);
    EXPECT_EQ(killed.signal, SIGKILL);
    // The extents are of one generation, but while the journal of their swap is there; the next
    // run finishes that swap first.
    size_t olds = 0, news = 0;
    for (const char* extent : {"s0.vmdk", "s1.vmdk", "s2.vmdk"}) {
      const std::vector<uint8_t> left = test::read_file(folder + "/" + extent);
      olds += left == original.at(extent);
      news += left == trimmed.at(extent);
    }
    EXPECT_EQ(olds + news, 3u);
    if (fs::exists(image + "_SWAP")) {
      const test::ChildRun again = run(test::FaultMode::kCount, 0);
      EXPECT_EQ(again.exit_code, 0) << again.output << again.errors;
      for (const char* extent : {"s0.vmdk", "s1.vmdk", "s2.vmdk"})
        EXPECT_EQ(test::read_file(folder + "/" + extent), trimmed.at(extent)) << extent;
      EXPECT_FALSE(fs::exists(image + "_SWAP"));
    } else {
      EXPECT_TRUE(olds == 3 || news == 3);
    }
    EXPECT_EQ(test::read_whole_disk(image), disk);
  }
}

INSTANTIATE_TEST_SUITE_P(Split, VmdkFailurePoints,
                         testing::Values(Case{"KeepingTheBackups", {}}, Case{"DeletingTheBackups", {"-d"}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qx
