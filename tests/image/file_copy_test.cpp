// In-kernel copies and the buffered way around them when the files lie on different file systems.
#include <gtest/gtest.h>

#include <filesystem>

#include "image/file_copy.hpp"
#include "support/test_support.hpp"

namespace qx {
namespace {

TEST(FileCopier, CopiesRangesAndRefusesASourceThatEndsEarly) {
  test::TempDir dir;
  // /dev/shm is another file system where it exists: copies across file systems take the buffer.
  const std::string other = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/qx-copy-" + std::to_string(::getpid()) : dir.file("o");
  for (const std::string& source : {dir.file("src"), other}) {
    SCOPED_TRACE(source);
    std::vector<uint8_t> data(5u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + i / 4096);
    test::write_file(source, data);
    test::write_file(dir.file("dst"), {});
    {
      FileCopier copier(source, dir.file("dst"));
      ASSERT_TRUE(copier.is_open());
      EXPECT_TRUE(copier.copy(4096, 1u << 20, data.size() - 4096));
      EXPECT_FALSE(copier.copy(data.size() - 100, 0, 200));
    }
    const auto out = test::read_file(dir.file("dst"));
    ASSERT_EQ(out.size(), (1u << 20) + data.size() - 4096);
    EXPECT_TRUE(std::equal(data.begin() + 4096, data.end(), out.begin() + (1u << 20)));
    std::filesystem::remove(source);
  }
  EXPECT_FALSE(FileCopier(dir.file("missing"), dir.file("dst")).is_open());
}

}  // namespace
}  // namespace qx
