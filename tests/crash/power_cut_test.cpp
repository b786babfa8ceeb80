// What a power cut can leave of a trim, for every writable format: each state a crash could leave
// (built from the recorded changes, see support/crash_states.hpp) must hold the whole old image or
// the whole new one under the image's names, keep the old one as the backup when asked to, and
// leave nothing but "_TEMP" garbage that a later run clears.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "app/trim_driver.hpp"
#include "image/replacement.hpp"
#include "support/crash_states.hpp"
#include "support/fault_injection.hpp"
#include "support/parallels_builder.hpp"
#include "support/test_support.hpp"
#include "support/vmdk_builder.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

void sh(const std::string& command) {
  const auto r = test::run_command(command + " 2>&1");
  ASSERT_EQ(r.status, 0) << command << "\n" << r.output;
}

// An image by qemu-img with data in two places, a block of written zeros the trim drops and
// blocks never written.
void make_qemu_image(const std::string& path, const std::string& format, const std::string& size = "16M") {
  sh("qemu-img create -q -f " + format + " " + shell_quote(path) + " " + size);
  sh("qemu-io -f " + format + " -c 'write -P 0x5a 1M 64k' -c 'write -P 0xc3 1536k 4k' -c 'write -P 0 4M 64k' " +
     shell_quote(path) + " >/dev/null");
}

// The image given to the tool, made in `folder`.
using Maker = std::string (*)(const std::string& folder);

template <const char* kFormat, const char* kName>
std::string qemu_image(const std::string& folder) {
  const std::string path = folder + "/" + kName;
  make_qemu_image(path, kFormat);
  return path;
}
constexpr char kVpc[] = "vpc", kVdi[] = "vdi", kVhdx[] = "vhdx", kVmdk[] = "vmdk", kParallels[] = "parallels",
               kQcow2[] = "qcow2";
constexpr char kVhdName[] = "d.vhd", kVdiName[] = "d.vdi", kVhdxName[] = "d.vhdx", kVmdkName[] = "d.vmdk",
               kHddName[] = "d.hdd", kQcow2Name[] = "d.qcow2";

// A bundle of two storages, each its own expanding image.
std::string bundle(const std::string& folder) {
  const std::string b = folder + "/disk.hdd";
  test::write_bundle_descriptor(b, test::bundle_shape(65536, {{"0", "32768", "a.hds"}, {"32768", "65536", "b.hds"}}));
  make_qemu_image(b + "/a.hds", "parallels");
  make_qemu_image(b + "/b.hds", "parallels");
  return b;
}

struct PowerCutCase {
  const char* name;
  Maker make;
  const char* check_format;  // for qemu-img check; null when it has none for the format
  bool delete_backup;
  bool no_links;
};

struct Outcome {
  size_t states = 0, failing = 0, later_runs = 0;
  size_t mixed = 0;  // files of an image, each whole, some old and some new
  std::vector<std::string> failures;  // the first few, described
};

// Runs the tool in this process (so that its changes can be recorded), its output dropped.
int run_here(const std::vector<std::string>& args, bool no_links) {
  std::vector<const char*> argv{"quorvex"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::fflush(stdout);
  const int saved = ::dup(1), null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  test::FaultPlan plan;
  plan.no_links = no_links;
  int rc;
  {
    test::FaultScope scope(plan);
    rc = run_quorvex(static_cast<int>(argv.size()), argv.data());
  }
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(null);
  return rc;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Sweep {
 public:
  Sweep(const PowerCutCase& c, const test::TempDir& dir, std::string image)
      : c_(c), dir_(dir), image_(std::move(image)) {}

  Outcome run() {
    std::vector<std::string> args;
    if (c_.delete_backup) args.push_back("-d");
    args.push_back(image_);
    const std::vector<uint8_t> disk = test::read_whole_disk(image_);
    Outcome out;
    {
      test::ChangeRecording log(dir_.path().string());
      const int rc = run_here(args, c_.no_links);
      log.stop();
      EXPECT_EQ(rc, 0);
      old_ = log.initial();
      for (const auto& e : fs::recursive_directory_iterator(dir_.path()))
        if (e.is_regular_file()) new_[e.path().string()] = std::make_shared<std::vector<uint8_t>>(test::read_file(e.path()));
      // The new image is whole and reads as the old one did; every state below holds one of
      // the two byte for byte.
      check_whole(disk);
      for (const auto& [name, bytes] : old_) EXPECT_TRUE(new_.count(name)) << name;
      size_t smaller = 0;
      for (const auto& [name, bytes] : old_) smaller += new_.count(name) && new_[name]->size() < bytes->size();
      EXPECT_GT(smaller, 0u) << "the trim dropped nothing";
      test::CrashSweepPlan plan;
      out.states = test::for_each_crash_state(log, plan, [&](const test::CrashState& s) {
        const std::string why = check(s, disk, out);
        if (why.empty()) return;
        ++out.failing;
        if (out.failures.size() < 12)
          out.failures.push_back("after " + std::to_string(s.after) + " of " + std::to_string(log.changes().size()) +
                                 " changes (" + s.choice + "): " + why);
      });
    }
    return out;
  }

 private:
  enum Kind { kOld, kNew, kOther };

  Kind kind(const std::string& base, const test::FileBytes& bytes) {
    // States of one point share whole contents; the cache holds them so that none is reused.
    const auto key = std::make_pair(base, bytes.get());
    if (const auto it = kinds_.find(key); it != kinds_.end()) return it->second.second;
    Kind k = kOther;
    if (*bytes == *old_.at(base)) k = kOld;
    else if (new_.count(base) && *bytes == *new_.at(base)) k = kNew;
    if (bytes.use_count() > 1) kinds_[key] = {bytes, k};
    return k;
  }
  bool changed(const std::string& base) const { return !new_.count(base) || *new_.at(base) != *old_.at(base); }

  std::string check(const test::CrashState& s, const std::vector<uint8_t>& disk, Outcome& out) {
    if (s.after != point_) {
      kinds_.clear();
      point_ = s.after;
    }
    size_t olds = 0, news = 0;
    bool empty_name = false;
    std::string signature;
    for (const auto& [name, bytes] : old_) {
      const auto it = s.files.find(name);
      if (it == s.files.end()) {
        // Without links the old file leaves its name before the new one takes it: both are
        // whole then, under the backup name and the temporary one.
        const auto backup = s.files.find(name + "_DEL"), temporary = s.files.find(name + "_TEMP");
        if (c_.no_links && backup != s.files.end() && temporary != s.files.end() &&
            kind(name, backup->second) == kOld && kind(name, temporary->second) == kNew) {
          empty_name = true;
          continue;
        }
        return name + " is missing";
      }
      const Kind k = kind(name, it->second);
      if (k == kOther) return name + " holds neither the old file nor the new one";
      if (changed(name)) (k == kOld ? olds : news)++;
    }
    // The renames of several files cannot be one: a crash between them leaves some files new.
    // Each is whole and reads as before, and a later run finishes the set (below).
    const bool mixed = olds && news;
    out.mixed += mixed;
    for (const auto& [name, bytes] : s.files) {
      std::string base = name;
      for (const char* tail : {"_TEMP", "_DEL"})
        if (!old_.count(base) && ends_with(base, tail)) base.resize(base.size() - std::string(tail).size());
      if (!old_.count(base)) return name + " should not be there";
      const Kind k = kind(base, bytes);
      if (ends_with(name, "_DEL") && k != kOld) return name + " is a damaged backup";
      signature += name + "=" + std::to_string(k) + ";";
    }
    if (!c_.delete_backup && news && !mixed) {
      for (const auto& [name, bytes] : old_) {
        if (!changed(name)) continue;
        bool kept = false;
        for (const char* tail : {"_DEL", "_DEL_TEMP"}) {
          const auto b = s.files.find(name + tail);
          kept = kept || (b != s.files.end() && kind(name, b->second) == kOld);
        }
        if (!kept) return "the old " + name + " is lost";
      }
    }
    if (empty_name || !seen_.insert(signature).second) return {};
    // A later run clears what this one left and ends as it would have.
    ++out.later_runs;
    test::write_crash_state(dir_.path().string(), s);
    if (mixed && test::read_whole_disk(image_) != disk) return "old and new files mixed read another disk";
    std::vector<std::string> args;
    if (c_.delete_backup) args.push_back("-d");
    args.push_back(image_);
    if (const int rc = run_here(args, c_.no_links); rc != 0) return "a later run failed with " + std::to_string(rc);
    for (const auto& e : fs::recursive_directory_iterator(dir_.path()))
      if (ends_with(e.path().string(), "_TEMP")) return "a later run left " + e.path().string();
    for (const auto& [name, bytes] : old_)
      if (!fs::exists(name) || test::read_file(name) != *new_.at(name)) return "a later run left " + name + " unlike the trim";
    if (test::read_whole_disk(image_) != disk) return "a later run changed the disk";
    return {};
  }

  void check_whole(const std::vector<uint8_t>& disk) {
    EXPECT_EQ(test::read_whole_disk(image_), disk);
    if (!c_.check_format || !test::have_tool("qemu-img")) return;
    for (const auto& [name, bytes] : new_) {
      // A split image is checked through its descriptor, a bundle file by file.
      if (!old_.count(name) || !(fs::is_regular_file(image_) ? name == image_ : changed(name))) continue;
      const auto r = test::run_command("qemu-img check -q -f " + std::string(c_.check_format) + " " + shell_quote(name) + " 2>&1");
      EXPECT_EQ(r.status, 0) << name << "\n" << r.output;
    }
  }

  const PowerCutCase& c_;
  const test::TempDir& dir_;
  std::string image_;
  std::map<std::string, test::FileBytes> old_, new_;
  std::set<std::string> seen_;
  std::map<std::pair<std::string, const void*>, std::pair<test::FileBytes, Kind>> kinds_;
  size_t point_ = 0;
};

Outcome sweep(const PowerCutCase& c) {
  test::TempDir dir{test::memory_folder()};
  const std::string image = c.make(dir.path().string());
  return Sweep(c, dir, image).run();
}

class PowerCut : public ::testing::TestWithParam<PowerCutCase> {};

TEST_P(PowerCut, EveryCrashStateHoldsTheOldImageOrTheNew) {
  if (!test::have_tool("qemu-img") || !test::have_tool("qemu-io")) GTEST_SKIP() << "qemu tools missing";
  const PowerCutCase& c = GetParam();
  const Outcome out = sweep(c);
  EXPECT_EQ(out.failing, 0u);
  for (const std::string& f : out.failures) ADD_FAILURE() << f;
  EXPECT_GE(out.states, 100u);
  std::printf("[ %s ] %zu crash states, %zu failing, %zu of several files mixed, %zu later runs\n", c.name,
              out.states, out.failing, out.mixed, out.later_runs);
}

#define QX_CASES(Name, make, check)                                       \
  PowerCutCase{#Name "KeepingTheBackup", make, check, false, false},      \
      PowerCutCase{#Name "DeletingTheBackup", make, check, true, false},  \
      PowerCutCase { #Name "WithoutLinks", make, check, false, true }

INSTANTIATE_TEST_SUITE_P(
    Trim, PowerCut,
    ::testing::Values(QX_CASES(Vhd, (qemu_image<kVpc, kVhdName>), nullptr),
                      QX_CASES(Vdi, (qemu_image<kVdi, kVdiName>), "vdi"),
                      QX_CASES(Vhdx, (qemu_image<kVhdx, kVhdxName>), "vhdx"),
                      QX_CASES(Vmdk, (qemu_image<kVmdk, kVmdkName>), "vmdk"),
                      QX_CASES(VmdkSplit, test::write_split_vmdk, "vmdk"),
                      QX_CASES(Parallels, (qemu_image<kParallels, kHddName>), "parallels"),
                      QX_CASES(ParallelsBundle, bundle, "parallels"),
                      QX_CASES(Qcow2, (qemu_image<kQcow2, kQcow2Name>), "qcow2")),
    [](const auto& info) { return std::string(info.param.name); });

// The sweep is only worth its time if it notices a missing sync: without the one that makes the
// backup's name durable before the new file takes the image's name, a crash can lose the old file.
TEST(PowerCutSweep, CatchesASwapWithoutItsBackupSync) {
  if (!test::have_tool("qemu-img") || !test::have_tool("qemu-io")) GTEST_SKIP() << "qemu tools missing";
  set_swap_skips_backup_sync(true);
  const Outcome out = sweep({"Vhd", qemu_image<kVpc, kVhdName>, nullptr, false, false});
  set_swap_skips_backup_sync(false);
  EXPECT_GT(out.failing, 0u);
  std::printf("[ without the backup sync ] %zu of %zu crash states failing\n", out.failing, out.states);
  for (const std::string& f : out.failures) std::printf("  %s\n", f.c_str());
}

}  // namespace
}  // namespace qx
