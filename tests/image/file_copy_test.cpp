// Every way of copying writes the same bytes: sharing, the kernel's copy, and the buffer used
// across file systems.
#include <gtest/gtest.h>

#include <filesystem>

#include "image/file.hpp"
#include "image/file_copy.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

TEST(FileCopier, EveryPathCopiesTheSameRangesAndRefusesASourceThatEndsEarly) {
  test::TempDir dir;
  // /dev/shm is another file system where it exists: copies across file systems take the buffer.
  const std::string other = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/qx-copy-" + std::to_string(::getpid()) : dir.file("o");
  std::vector<uint8_t> data(5u << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + i / 4096);
  for (const CopyPath limit : {CopyPath::kBuffer, CopyPath::kKernel, CopyPath::kClone})
    for (const std::string& source : {dir.file("src"), other}) {
      SCOPED_TRACE(source + " limit " + std::to_string(static_cast<int>(limit)));
      set_copy_path_limit(limit);
      test::write_file(source, data);
      test::write_file(dir.file("dst"), {});
      {
        File from = File::open_existing(source, true), to = File::open_existing(dir.file("dst"), false);
        FileCopier copier(from, to);
        ASSERT_TRUE(copier.is_open());
        // Three runs that follow each other in both files, then one that does not.
        EXPECT_TRUE(copier.copy(4096, 1u << 20, 100));
        EXPECT_TRUE(copier.copy(4196, (1u << 20) + 100, (2u << 20) - 100));
        EXPECT_TRUE(copier.copy(4096 + (2u << 20), (3u << 20), data.size() - 4096 - (2u << 20)));
        EXPECT_TRUE(copier.copy(0, 512, 1000));
        EXPECT_TRUE(copier.finish());
        EXPECT_FALSE(copier.copy(data.size() - 100, 0, 200) && copier.finish());
        EXPECT_EQ(copier.failure(), ERR_READ);
        EXPECT_FALSE(copier.copy(0, 0, 1));  // a failure sticks
      }
      const auto out = test::read_file(dir.file("dst"));
      ASSERT_EQ(out.size(), (1u << 20) + data.size() - 4096);
      EXPECT_TRUE(std::equal(data.begin() + 4096, data.end(), out.begin() + (1u << 20)));
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + 1000, out.begin() + 512));
      std::filesystem::remove(source);
    }
  set_copy_path_limit(CopyPath::kClone);
  File missing = File::open_existing(dir.file("missing"), true), to = File::open_existing(dir.file("dst"), false);
  EXPECT_FALSE(FileCopier(missing, to).is_open());
}

// A full disk is the target's fault, a failed read the source's; callers tell users which.
TEST(FileCopier, SaysWhichSideFailed) {
  test::TempDir dir;
  test::write_file(dir.file("src"), std::vector<uint8_t>(1u << 20, 7));
  static FileCall failing;
  for (const CopyPath limit : {CopyPath::kBuffer, CopyPath::kKernel, CopyPath::kClone})
    for (const FileCall call : {FileCall::kRead, FileCall::kWrite}) {
      set_copy_path_limit(limit);
      test::write_file(dir.file("dst"), {});
      File from = File::open_existing(dir.file("src"), true), to = File::open_existing(dir.file("dst"), false);
      FileCopier copier(from, to);
      failing = call;
      set_file_call_hook([](FileCall c) noexcept { return c == failing ? EIO : 0; });
      const bool ok = copier.copy(0, 0, 1u << 20) && copier.finish();
      set_file_call_hook(nullptr);
      // The kernel's copy reads and writes in one call: the seam sees it as a write. Windows has
      // no such copy (nor clones off ReFS): there every path reads through the buffer.
#ifdef _WIN32
      constexpr bool kKernelCopies = false;
#else
      constexpr bool kKernelCopies = true;
#endif
      if (kKernelCopies && call == FileCall::kRead && limit != CopyPath::kBuffer) {
        EXPECT_TRUE(ok);
        continue;
      }
      EXPECT_FALSE(ok);
      EXPECT_EQ(copier.failure(), call == FileCall::kRead ? ERR_READ : ERR_WRITE) << static_cast<int>(limit);
    }
  set_copy_path_limit(CopyPath::kClone);
}

}  // namespace
}  // namespace qx
