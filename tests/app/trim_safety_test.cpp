// What a trim of a VHD made by qemu-img leaves when any file call fails or the process dies at
// it, when the image is in use, changed meanwhile or surrounded by links, when a stop signal
// comes, and when the disk is full.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "support/fault_injection.hpp"
#include "support/qemu_tools.hpp"
#include "support/test_support.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::quorvex;
using test::sh;
using test::shell_quote;
using Names = std::vector<std::string>;

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Lines of standard error that give a reason; anything else there is counted as a fault too.
size_t reason_lines(const std::string& errors) {
  size_t n = 0;
  for (size_t at = 0; at < errors.size(); at = errors.find('\n', at) + 1) {
    if (errors.compare(at, 9, "quorvex: ") != 0) return SIZE_MAX;
    ++n;
    if (errors.find('\n', at) == std::string::npos) return SIZE_MAX;
  }
  return n;
}


// An image by qemu-img (a dynamic VHD unless told) with data in one block, a block of written
// zeros that the trim drops, and unallocated blocks.
void make_vhd(const std::string& path, const std::string& size, const std::string& format = "vpc") {
  sh("qemu-img create -q -f " + format + " " + shell_quote(path) + " " + size);
  sh("qemu-io -f " + format + " -c 'write -P 0x5a 1M 64k' -c 'write -P 0xc3 1536k 4k' -c 'write -P 0 8M 64k' " +
     shell_quote(path) + " >/dev/null");
}


// The image by itself in a folder, as the tests found it.
struct Scene {
  test::TempDir dir{test::memory_folder()}, scratch{test::memory_folder()};
  std::string name, image;
  std::vector<uint8_t> original;

  explicit Scene(const std::string& size = "16M", const std::string& format = "vpc")
      : name(format == "vpc" ? "d.vhd" : "d." + format), image(dir.file(name)) {
    make_vhd(image, size, format);
    original = test::read_file(image);
  }
  void reset() {
    for (const std::string& n : test::folder_names(dir.path().string())) fs::remove_all(dir.file(n));
    test::write_file(image, original);
  }
  bool untouched() const {
    return test::read_file(image) == original && test::folder_names(dir.path().string()) == Names{name};
  }
  test::ChildRun run(std::vector<std::string> options, const test::FaultPlan& plan) const {
    options.push_back(image);
    return test::run_quorvex_child(options, plan, scratch.path().string());
  }
};

struct SweepCase {
  const char* name;
  std::vector<std::string> options;
  bool no_links;
  uint64_t last_calls;  // only the calls that differ from the first case, at the end; 0 for all
  const char* format;
};

class FailurePoints : public ::testing::TestWithParam<SweepCase> {};

TEST_P(FailurePoints, FailuresLeaveTheImageAndKillsLeaveOneWholeImage) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  const SweepCase& c = GetParam();
  Scene s("16M", c.format);
  test::FaultPlan count;
  count.no_links = c.no_links;
  const test::ChildRun reference = s.run(c.options, count);
  ASSERT_EQ(reference.exit_code, 0) << reference.output;
  EXPECT_EQ(reference.output.find("QxNoLinkSwap") != std::string::npos, c.no_links);
  const std::vector<uint8_t> trimmed = test::read_file(s.image);
  ASSERT_LT(trimmed.size(), s.original.size());
  const Names after_success = test::folder_names(s.dir.path().string());
  ASSERT_GT(reference.calls, 10u);

  const uint64_t first = c.last_calls ? reference.calls - c.last_calls + 1 : 1;
  for (uint64_t n = first; n <= reference.calls; ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    s.reset();
    test::FaultPlan plan = count;
    plan.mode = test::FaultMode::kFail;
    plan.at = n;
    const test::ChildRun failed = s.run(c.options, plan);
    EXPECT_EQ(failed.exit_code, 2);
    // Before the trim starts a failure is silent, as every failed open is.
    EXPECT_TRUE(failed.output.empty() || ends_with(failed.output, "\nERROR\n")) << failed.output;
    EXPECT_EQ(reason_lines(failed.errors), 1u) << failed.errors;
    EXPECT_TRUE(s.untouched());

    s.reset();
    plan.mode = test::FaultMode::kKill;
    const test::ChildRun killed = s.run(c.options, plan);
    EXPECT_EQ(killed.signal, SIGKILL);
    const std::vector<uint8_t> left = test::read_file(s.image);
    if (c.no_links && !fs::exists(s.image)) {
      // The one moment the two renames cannot avoid: both files are whole under their names.
      EXPECT_EQ(test::read_file(s.image + "_DEL"), s.original);
      EXPECT_EQ(test::read_file(s.image + "_TEMP"), trimmed);
      continue;
    }
    EXPECT_TRUE(left == s.original || left == trimmed);
    if (s.untouched()) continue;  // the next run is the reference run
    const Names before_again = test::folder_names(s.dir.path().string());
    const test::ChildRun again = s.run(c.options, count);
    EXPECT_EQ(again.exit_code, 0) << again.output;
    EXPECT_EQ(test::read_file(s.image), trimmed);
    // A trimmed image has nothing to gain: the run then writes nothing and only clears the
    // _TEMP names an interrupted swap left behind.
    Names cleared = before_again;
    std::erase_if(cleared, [](const std::string& n) { return n.ends_with("_TEMP"); });
    EXPECT_EQ(test::folder_names(s.dir.path().string()),
              again.errors.find(": nothing to gain: ") != std::string::npos ? cleared : after_success);
  }
  std::printf("[ %s ] %llu of %llu failure points, each failed and killed\n", c.name,
              static_cast<unsigned long long>(reference.calls - first + 1),
              static_cast<unsigned long long>(reference.calls));
}

INSTANTIATE_TEST_SUITE_P(Trim, FailurePoints,
                         ::testing::Values(SweepCase{"KeepingTheBackup", {}, false, 0, "vpc"},
                                           SweepCase{"DeletingTheBackup", {"-d"}, false, 12, "vpc"},
                                           SweepCase{"WithoutLinks", {}, true, 12, "vpc"},
                                           SweepCase{"Vdi", {}, false, 0, "vdi"},
                                           SweepCase{"Vhdx", {}, false, 0, "vhdx"},
                                           SweepCase{"Parallels", {}, false, 0, "parallels"},
                                           SweepCase{"Qcow2", {}, false, 0, "qcow2"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TrimSafety, NamesTakenByLinksOrFoldersAreNeverWrittenThrough) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  Scene s;
  const std::string other = s.scratch.file("other");
  struct Case {
    const char* name;
    bool link;  // a link to `other`, else a folder
    bool succeeds;
  };
  for (const Case& c : {Case{"d.vhd_TEMP", true, false}, Case{"d.vhd_TEMP", false, false},
                        Case{"d.vhd_DEL_TEMP", true, false}, Case{"d.vhd_DEL", true, true}}) {
    SCOPED_TRACE(c.name);
    s.reset();
    test::write_file(other, {'k', 'e', 'e', 'p'});
    if (c.link) fs::create_symlink(other, s.dir.file(c.name));
    else fs::create_directory(s.dir.file(c.name));
    const auto r = quorvex(shell_quote(s.image));
    EXPECT_EQ(test::read_file(other), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    if (!c.succeeds) {
      EXPECT_EQ(r.status, 2);
      EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
      EXPECT_EQ(test::read_file(s.image), s.original);
      EXPECT_EQ(test::folder_names(s.dir.path().string()), (Names{"d.vhd", c.name}));
    } else {
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_FALSE(fs::is_symlink(s.dir.file(c.name)));
      EXPECT_EQ(test::read_file(s.dir.file(c.name)), s.original);
    }
  }
}

// Whether any process but this one holds a lock on QEMU's bytes of the file.
bool locked_by_others(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 100;
  fl.l_len = 105;
  const bool locked = fd >= 0 && ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  if (fd >= 0) ::close(fd);
  return locked;
}

bool wait_for(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(TrimSafety, AnImageThatQemuHoldsIsRefusedUntilQemuLetsGo) {
  if (!test::have_tool("qemu-io")) GTEST_SKIP() << "qemu-io missing";
  Scene s;
  std::FILE* qemu = ::popen(("qemu-io -f vpc " + shell_quote(s.image) + " >/dev/null 2>&1").c_str(), "w");
  ASSERT_TRUE(qemu);
  ASSERT_TRUE(wait_for([&] { return locked_by_others(s.image); }));
  for (const char* options : {"", "-d ", "-s "}) {
    const auto refused = quorvex(options + shell_quote(s.image));
    EXPECT_EQ(refused.status, 2) << options;
    EXPECT_EQ(refused.output, std::string(options) == "-s " ? "" : "\nERROR\n");
    EXPECT_TRUE(s.untouched());
  }
  std::fputs("quit\n", qemu);
  ::pclose(qemu);
  const auto r = quorvex(shell_quote(s.image));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_LT(test::read_file(s.image).size(), s.original.size());
}

TEST(TrimSafety, AnImageChangedDuringTheTrimIsNotReplaced) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  Scene s;
  const std::string copy = s.scratch.file("copy");
  const std::vector<std::function<void()>> changes = {
      [&] { fs::resize_file(s.image, s.original.size() + 512); },
      [&] {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000, 0}};
        ::utimensat(AT_FDCWD, s.image.c_str(), times, 0);
      },
      [&] { fs::copy_file(s.image, copy, fs::copy_options::overwrite_existing); fs::rename(copy, s.image); },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE("change " + std::to_string(i));
    s.reset();
    test::FaultPlan plan = test::at_call_of(test::FaultMode::kAct, FileCall::kWrite, 1);
    plan.action = changes[i];
    const test::ChildRun r = s.run({}, plan);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(ends_with(r.output, "\nERROR\n")) << r.output;
    EXPECT_FALSE(fs::exists(s.image + "_TEMP"));
    EXPECT_FALSE(fs::exists(s.image + "_DEL"));
    // What the other writer left is what stays.
    const std::vector<uint8_t> now = test::read_file(s.image);
    ASSERT_GE(now.size(), s.original.size());
    EXPECT_TRUE(std::equal(s.original.begin(), s.original.end(), now.begin()));
  }
}

TEST(TrimSafety, AStopSignalHalfwayThroughAMultiGibTrimLeavesNothing) {
  if (!test::have_tool("qemu-img")) GTEST_SKIP() << "qemu-img missing";
  Scene s("16G");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    s.reset();
    // A terminal, so that every progress update is printed (a log gets one per percent).
    int out[2];
    struct termios raw {};
    ::cfmakeraw(&raw);
    ASSERT_EQ(::openpty(&out[0], &out[1], nullptr, &raw, nullptr), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      ::execl(test::quorvex_binary().c_str(), "quorvex", s.image.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    // The progress lines fill the terminal's buffer long before the end, so the trim waits where it stands
    // until the signal has come.
    std::string output;
    char buf[4096];
    ssize_t n;
    while (output.find("\r50%") == std::string::npos && (n = ::read(out[0], buf, sizeof buf)) > 0)
      output.append(buf, static_cast<size_t>(n));
    EXPECT_NE(output.find("\r50%"), std::string::npos) << output;
    EXPECT_TRUE(locked_by_others(s.image));
    // QEMU's own tools keep off the image meanwhile.
    EXPECT_NE(test::run_command("qemu-img check " + shell_quote(s.image) + " 2>&1").status, 0);
    ::kill(pid, signal);
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_TRUE(ends_with(output, "\nERROR\n"));
    EXPECT_EQ(output.find("\r100%"), std::string::npos) << "the trim went on after the signal";
    EXPECT_TRUE(s.untouched());
  }
}

TEST(TrimSafety, AFullDiskEndsInErrorWithTheImageWhole) {
  if (!test::have_tool("qemu-img") || ::geteuid() != 0) GTEST_SKIP() << "needs root and qemu-img";
  test::TempDir dir;
  const std::string fs_file = dir.file("fs.img"), mnt = dir.file("mnt");
  fs::create_directory(mnt);
  sh("truncate -s 16M " + shell_quote(fs_file) + " && mke2fs -q -t ext4 -E nodiscard " + shell_quote(fs_file));
  if (test::run_command("mount -o loop " + shell_quote(fs_file) + " " + shell_quote(mnt) + " 2>&1").status != 0)
    GTEST_SKIP() << "no loop device to mount a small file system on";
  struct Unmount {
    std::string at;
    ~Unmount() { test::run_command("umount " + shell_quote(at) + " 2>&1"); }
  } unmount{mnt};
  const std::string image = mnt + "/d.vhd", filler = mnt + "/filler";
  make_vhd(image, "16M");
  const std::vector<uint8_t> original = test::read_file(image);
  // Leave less room than the trimmed image needs.
  test::run_command("dd if=/dev/zero of=" + shell_quote(filler) + " bs=64k 2>/dev/null; sync");
  test::run_command("truncate -s -1M " + shell_quote(filler));
  const auto full = quorvex(shell_quote(image));
  EXPECT_EQ(full.status, 2) << full.output;
  EXPECT_TRUE(ends_with(full.output, "\nERROR\n")) << full.output;
  EXPECT_EQ(test::read_file(image), original);
  EXPECT_EQ(test::folder_names(mnt), (Names{"d.vhd", "filler", "lost+found"}));
  fs::remove(filler);
  const auto roomy = quorvex(shell_quote(image));
  EXPECT_EQ(roomy.status, 0) << roomy.output;
}

}  // namespace
}  // namespace qx
