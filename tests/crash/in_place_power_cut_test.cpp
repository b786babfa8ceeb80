// What a power cut can leave of a trim in place: the image's own file, written page by page and
// punched, never replaced. Each state a crash could leave (support/crash_states.hpp) must read
// every guest sector as before the run or as after it (every used one as before), QEMU must find
// no corruption in it (leaked clusters at most), the file systems' checkers must pass, and a later
// run must succeed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string_view>

#include "support/crash_states.hpp"
#include "support/disk_fixture.hpp"
#include "support/fault_injection.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::sh;
using test::shell_quote;

constexpr size_t kSector = 512;

// The image in `folder` made from the raw disk; its path.
using Maker = std::string (*)(const std::string& raw, const std::string& folder);

std::string raw_copy(const std::string& raw, const std::string& folder) {
  const std::string image = folder + "/disk.img";
  fs::copy_file(raw, image);
  return image;
}

std::string qcow2(const std::string& raw, const std::string& folder) {
  const std::string image = folder + "/disk.qcow2";
  test::qemu_convert(raw, image, "-f raw -O qcow2 -o cluster_size=8192");
  return image;
}

// Compressed clusters (which the trim keeps) where the disk's gap before its partition was zero.
std::string compressed(const std::string& raw, const std::string& folder) {
  const std::string zeroed = folder + "/zeroed.raw", image = folder + "/disk.qcow2";
  fs::copy_file(raw, zeroed);
  sh("fallocate -p -o 64KiB -l 960KiB " + shell_quote(zeroed));
  test::qemu_convert(zeroed, image, "-f raw -O qcow2 -o cluster_size=8192");
  fs::remove(zeroed);
  sh("qemu-io -f qcow2 -c 'write -c -P 0x11 64k 64k' -c 'write -c -P 0x12 512k 8k' " + shell_quote(image) +
     " >/dev/null");
  return image;
}

std::string extended_l2(const std::string& raw, const std::string& folder) {
  const std::string image = folder + "/disk.qcow2";
  test::qemu_convert(raw, image, "-f raw -O qcow2 -o extended_l2=on,cluster_size=65536");
  return image;
}

std::string over_backing(const std::string& raw, const std::string& folder) {
  const std::string image = folder + "/disk.qcow2";
  test::qemu_convert(raw, folder + "/base.qcow2", "-f raw -O qcow2");
  sh("cd " + shell_quote(folder) + " && qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 disk.qcow2 && "
     "qemu-io -f qcow2 -c 'write -P 0x22 128k 64k' disk.qcow2 >/dev/null");
  return image;
}

struct InPlaceCase {
  const char* name;
  Maker make;
  bool is_qcow2;
  bool refused;  // the in-place trim refuses the image: it must change nothing at all
};

// Named by its case in the test's listing.
void PrintTo(const InPlaceCase& c, std::ostream* os) { *os << c.name; }

// The disk is built once per process: ctest runs every test in a process of its own.
const test::DiskFixture& disk() {
  static std::unique_ptr<test::TempDir> dir;
  static test::DiskFixture fixture;
  if (!dir) {
    dir = std::make_unique<test::TempDir>();
    fixture = test::make_mbr_ext4(dir->path().string());
  }
  return fixture;
}

struct Outcome {
  size_t states = 0, distinct = 0, failing = 0;
  std::vector<std::string> failures;  // the first few, described
};

class Sweep {
 public:
  Sweep(const InPlaceCase& c, const test::TempDir& dir, const test::TempDir& scratch, std::string image)
      : c_(c), dir_(dir.path().string()), scratch_(scratch.path().string()), image_(std::move(image)) {}

  // `tamper` changes the recorded run before the sweep; the sweep stops at the first failing state
  // when `first_failure` is set.
  Outcome run(const std::function<void(test::ChangeRecording&)>& tamper = nullptr, bool first_failure = false) {
    before_ = guest();
    used_ = test::used_sectors(image_);
    const auto file = test::read_file(image_);
    Outcome out;
    test::ChangeRecording log(dir_);
    const int rc = test::run_quorvex_here({"-s", "--in-place", image_});
    log.stop();
    if (c_.refused) {
      EXPECT_EQ(rc, 2);
      EXPECT_TRUE(log.changes().empty()) << log.changes().size() << " changes";
      EXPECT_EQ(test::read_file(image_), file);
    } else {
      EXPECT_EQ(rc, 0);
    }
    after_ = guest();
    EXPECT_EQ(test::first_used_difference(before_, after_, used_), -1);
    EXPECT_EQ(after_ == before_, c_.refused) << "the trim dropped nothing";
    if (tamper) tamper(log);

    test::CrashSweepPlan plan;
    plan.points_between = 12;
    plan.samples_between = 4;
    plan.samples_at_sync = 4;
    std::set<size_t> seen;
    out.states = test::for_each_crash_state(log, plan, [&](const test::CrashState& s) {
      if (first_failure && out.failing) return;
      const auto image = s.files.find(image_);
      std::string why;
      // No second file, ever: the trim works inside the image.
      if (image == s.files.end()) why = "the image is missing";
      else if (s.files.size() != log.initial().size()) why = "a file beside the image";
      else if (!seen.insert(std::hash<std::string_view>{}(std::string_view(
                                reinterpret_cast<const char*>(image->second->data()), image->second->size())))
                    .second)
        return;
      ++out.distinct;
      if (why.empty()) why = check(s);
      if (why.empty()) return;
      ++out.failing;
      if (out.failures.size() < 8)
        out.failures.push_back("after " + std::to_string(s.after) + " of " + std::to_string(log.changes().size()) +
                               " changes (" + s.choice + "): " + why);
    });
    return out;
  }

 private:
  // The guest's disk as a raw file: the image itself, or qemu-img's conversion of it.
  std::string guest_file() {
    if (!c_.is_qcow2) return image_;
    const std::string raw = scratch_ + "/guest.raw";
    (void)test::qemu_guest_disk(image_, raw);
    return raw;
  }
  std::vector<uint8_t> guest() { return test::read_file(guest_file()); }

  // Every sector as before the run or as after it; QEMU and the checkers content.
  std::string consistent(bool after_a_later_run) {
    if (c_.is_qcow2) {
      const auto check = test::qemu_check(image_);
      if (!test::qemu_check_passes(check, true)) return "qemu-img check: " + check.output;
    }
    const std::string raw = guest_file();
    const auto disk_now = test::read_file(raw);
    if (disk_now.size() != before_.size()) return "the disk's size changed";
    if (test::first_used_difference(before_, disk_now, used_) != -1) return "a used sector changed";
    for (size_t at = 0; at < disk_now.size() && !after_a_later_run; at += kSector) {
      const auto sector = [&](const std::vector<uint8_t>& v) { return std::string_view(reinterpret_cast<const char*>(v.data()) + at, kSector); };
      if (sector(disk_now) != sector(before_) && sector(disk_now) != sector(after_))
        return "sector " + std::to_string(at / kSector) + " reads neither as before the trim nor as after it";
    }
    // A later run changes free sectors alone: the checkers' verdict stands.
    if (after_a_later_run) return {};
    if (std::string failed = test::check_file_systems(disk(), raw, scratch_); !failed.empty()) return failed;
    return {};
  }

  std::string check(const test::CrashState& s) {
    test::write_crash_state(dir_, s);
    if (std::string why = consistent(false); !why.empty()) return why;
    if (const int rc = test::run_quorvex_here({"-s", "--in-place", image_}); rc != (c_.refused ? 2 : 0))
      return "a later run ended with " + std::to_string(rc);
    if (std::string why = consistent(true); !why.empty()) return "after a later run, " + why;
    return {};
  }

  const InPlaceCase& c_;
  std::string dir_, scratch_, image_;
  std::vector<uint8_t> before_, after_;
  test::UsedSectors used_;
};

Outcome sweep(const InPlaceCase& c, const std::function<void(test::ChangeRecording&)>& tamper = nullptr,
              bool first_failure = false) {
  test::TempDir dir{test::memory_folder()}, scratch{test::memory_folder()};
  const std::string image = c.make(disk().raw, dir.path().string());
  return Sweep(c, dir, scratch, image).run(tamper, first_failure);
}

bool have_tools() { return test::have_disk_tools() && test::have_tool("qemu-io"); }

class InPlacePowerCut : public ::testing::TestWithParam<InPlaceCase> {};

TEST_P(InPlacePowerCut, EveryCrashStateReadsAsBeforeAndChecksClean) {
  if (!have_tools()) GTEST_SKIP() << "disk tools or qemu tools missing";
  const InPlaceCase& c = GetParam();
  const Outcome out = sweep(c);
  EXPECT_EQ(out.failing, 0u);
  for (const std::string& f : out.failures) ADD_FAILURE() << f;
  EXPECT_GE(out.states, c.refused ? 1u : 12u);
  std::printf("[ %s ] %zu crash states, %zu distinct, %zu failing\n", c.name, out.states, out.distinct, out.failing);
}

INSTANTIATE_TEST_SUITE_P(Trim, InPlacePowerCut,
                         ::testing::Values(InPlaceCase{"RawMbrExt4", raw_copy, false, false},
                                           InPlaceCase{"Qcow2", qcow2, true, false},
                                           InPlaceCase{"Qcow2Compressed", compressed, true, false},
                                           InPlaceCase{"Qcow2ExtendedL2Refused", extended_l2, true, true},
                                           InPlaceCase{"Qcow2OverBackingRefused", over_backing, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The sweep is only worth its time if it notices a missing flush: without the one between the
// cleared L2 entries and the lowered refcounts, a crash can leave a cluster in use with no count.
TEST(InPlacePowerCutSweep, CatchesAMissingFlushBetweenL2AndRefcounts) {
  if (!have_tools()) GTEST_SKIP() << "disk tools or qemu tools missing";
  const Outcome out = sweep({"Qcow2", qcow2, true, false}, [](test::ChangeRecording& log) {
    for (size_t i = 0; i < log.changes().size(); ++i)
      if (log.changes()[i].change == FileChange::kSync) return log.drop_change(i);
    ADD_FAILURE() << "the run never flushed";
  }, true);
  EXPECT_GT(out.failing, 0u);
  for (const std::string& f : out.failures) std::printf("  %s\n", f.c_str());
}

}  // namespace
}  // namespace qx
