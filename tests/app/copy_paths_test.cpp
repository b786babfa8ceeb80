// Every writer writes the same file whichever way its kept data was moved: shared with the source
// on a file system that clones, copied in the kernel, or through a buffer.
#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string_view>

#include "image/file_copy.hpp"
#include "support/disk_fixture.hpp"
#include "support/trim_run.hpp"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;

struct WriterCase {
  const char* qemu;
  const char* options;
  const char* ext;
  // Kept data lies at the same place within a 4 KiB block in source and output, so all but the
  // ragged ends of runs can be shared.
  bool aligned;
};
constexpr WriterCase kWriters[] = {
    {"vpc", "-o subformat=dynamic", "vhd", false}, {"vdi", "", "vdi", true},
    {"vhdx", "", "vhdx", true},                    {"vmdk", "", "vmdk", true},
    {"parallels", "", "hdd", true},            {"qcow2", "", "qcow2", true},
    {"qcow2", "-c -o compression_type=zstd", "qcow2", false},
};

struct ScopedMount {
  std::string at;
  bool mounted = false;
  ~ScopedMount() {
    if (mounted) test::run_command("umount " + shell_quote(at) + " 2>&1");
  }
};

// A loop-mounted XFS with reflink, where the machine lets the test make one.
bool mount_reflink_xfs(const test::TempDir& dir, ScopedMount& m) {
  if (::geteuid() != 0 || !test::have_tool("mkfs.xfs")) return false;
  const std::string file = dir.file("xfs.img");
  m.at = dir.file("xfs");
  fs::create_directory(m.at);
  const auto made = test::run_command("truncate -s 1G " + shell_quote(file) + " && mkfs.xfs -q -K -m reflink=1 " +
                                      shell_quote(file) + " 2>&1 && mount -o loop " + shell_quote(file) + " " +
                                      shell_quote(m.at) + " 2>&1");
  m.mounted = made.status == 0;
  return m.mounted;
}

uint64_t free_bytes(const std::string& at) {
  struct statvfs s {};
  return ::statvfs(at.c_str(), &s) == 0 ? uint64_t{s.f_bavail} * s.f_frsize : 0;
}

uint64_t total(const CopyCounts& c) { return c.cloned + c.in_kernel + c.buffered; }

struct TrimOutput {
  std::vector<uint8_t> bytes;
  CopyCounts moved;  // during the trim
  uint64_t space = 0;  // host space the trim took
};

TrimOutput trim_copy(const std::string& source, const std::string& folder, const std::string& ext, CopyPath limit) {
  const std::string image = folder + "/disk." + ext;
  fs::remove(image);
  fs::remove(image + "_DEL");
  fs::copy_file(source, image);
  test::run_command("sync");
  set_copy_path_limit(limit);
  const CopyCounts before = copy_counts();
  const uint64_t room = free_bytes(folder);
  const auto t = test::trim(image);
  set_copy_path_limit(CopyPath::kClone);
  EXPECT_EQ(t.rc, OK);
  test::run_command("sync");
  TrimOutput r;
  r.bytes = test::read_file(image);
  const CopyCounts after = copy_counts();
  r.moved = {after.cloned - before.cloned, after.in_kernel - before.in_kernel, after.buffered - before.buffered};
  r.space = room - std::min(room, free_bytes(folder));
  const auto check = test::run_command("qemu-img check -q " + shell_quote(image) + " 2>&1");
  const bool uncheckable = check.output.find("does not support checks") != std::string::npos;
  EXPECT_TRUE(check.status == 0 || uncheckable) << check.output;
  return r;
}

TEST(CopyPaths, EveryWriterWritesTheSameBytesWhicheverWayItCopies) {
  if (!test::have_disk_tools() || !test::have_tool("qemu-img")) GTEST_SKIP() << "disk tools or qemu-img missing";
  test::TempDir dir;
  const test::DiskFixture disk = test::make_mbr_fat32_ext4(dir.path().string());
  ScopedMount xfs;
  const bool reflink = mount_reflink_xfs(dir, xfs);
  if (!reflink) std::printf("no loop-mounted XFS with reflink here: sharing is not tried\n");
  for (const WriterCase& w : kWriters) {
    SCOPED_TRACE(w.ext);
    const std::string source = dir.file(std::string("source.") + w.ext);
    test::qemu_convert(disk.raw, source, std::string("-O ") + w.qemu + " " + w.options);
    const TrimOutput buffered = trim_copy(source, dir.path().string(), w.ext, CopyPath::kBuffer);
    const TrimOutput kernel = trim_copy(source, dir.path().string(), w.ext, CopyPath::kKernel);
    const TrimOutput best = trim_copy(source, dir.path().string(), w.ext, CopyPath::kClone);
    EXPECT_GT(buffered.moved.buffered, 0u);
    EXPECT_EQ(buffered.moved.in_kernel + buffered.moved.cloned, 0u);
    EXPECT_EQ(total(kernel.moved), buffered.moved.buffered);
    EXPECT_EQ(kernel.moved.cloned, 0u);
    EXPECT_TRUE(kernel.bytes == buffered.bytes) << "kernel copy differs from the buffer's";
    EXPECT_TRUE(best.bytes == buffered.bytes) << "the default path differs from the buffer's";
    if (!reflink) continue;
    const TrimOutput shared = trim_copy(source, xfs.at, w.ext, CopyPath::kClone);
    EXPECT_TRUE(shared.bytes == buffered.bytes) << "the shared copy differs from the buffer's";
    if (!w.aligned && std::string_view(w.ext) == "vhd") {
      // A trimmed VHD keeps its data on 4 KiB boundaries, so its next trim shares it.
      const std::string once = dir.file("once.vhd");
      test::write_file(once, shared.bytes);
      const TrimOutput again = trim_copy(once, xfs.at, w.ext, CopyPath::kClone);
      EXPECT_GT(again.moved.cloned, total(again.moved) * 9 / 10);
    }
    if (!w.aligned) continue;
    // All but the ragged ends of runs is shared, and the host pays only for what is not.
    EXPECT_GT(shared.moved.cloned, total(shared.moved) * 9 / 10);
    EXPECT_LT(shared.space, shared.bytes.size() - shared.moved.cloned + (2u << 20));
    // Once the old image is gone the new one owns its data alone.
    const std::string image = xfs.at + "/disk." + w.ext;
    fs::remove(image + "_DEL");
    // XFS frees a removed file's blocks in the background: give it a moment.
    test::CommandResult extents;
    for (int tries = 0; tries < 50; ++tries) {
      extents = test::run_command("sync && filefrag -v " + shell_quote(image) + " 2>&1");
      if (extents.output.find("shared") == std::string::npos) break;
      ::usleep(100000);
    }
    EXPECT_EQ(extents.output.find("shared"), std::string::npos) << extents.output;
  }
}

}  // namespace
}  // namespace qx
