#include <gtest/gtest.h>

#include <string>

#include "text/path_string.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

using test::widen;

TEST(PathString, FullBufferRefusesSuffixAndKeepsLength) {
  PathBuffer<4096> path;
  ASSERT_TRUE(path.assign(std::string(4092, 'p')));
  EXPECT_FALSE(path.append("_TEMP"));
  EXPECT_EQ(path.length(), 4092u);
  EXPECT_TRUE(path.append("_TMP"));
  EXPECT_EQ(path.length(), 4096u);
  // No room left for the terminator.
  EXPECT_FALSE(path.append_terminator(TextEncoding::Utf8));
}

TEST(PathString, TerminatorIsWrittenButNotCounted) {
  char storage[8];
  std::memset(storage, 'x', sizeof storage);
  PathString s(storage, sizeof storage);
  ASSERT_TRUE(s.assign("abcd"));
  ASSERT_TRUE(s.append_terminator(TextEncoding::Utf32Le));
  EXPECT_EQ(s.length(), 4u);
  EXPECT_EQ(std::string(storage + 4, 4), std::string(4, '\0'));
  ASSERT_TRUE(s.append("e"));
  EXPECT_FALSE(s.append_terminator(TextEncoding::Utf32Le));  // 3 bytes left, needs 4
  EXPECT_TRUE(s.append_terminator(TextEncoding::Utf16Be));
}

TEST(PathString, FailedAppendsWriteNothing) {
  char storage[6] = {'.', '.', '.', '.', '.', '.'};
  PathString s(storage, sizeof storage);
  ASSERT_TRUE(s.assign("ab"));
  EXPECT_FALSE(s.append("cd", "efg"));
  EXPECT_EQ(std::string(storage, 6), "ab....");
  EXPECT_FALSE(s.assign("1234", "567"));
  EXPECT_EQ(s.view(), "ab");
  EXPECT_FALSE(s.append_bytes("xyz", 4));  // more bytes than the view holds
  EXPECT_TRUE(s.append_bytes("xyz", 2));
  EXPECT_EQ(s.view(), "abxy");
  EXPECT_FALSE(s.insert(5, "q"));  // past the content
  EXPECT_FALSE(s.insert(0, "qrs"));
  EXPECT_EQ(std::string(storage, 6), "abxy..");
}

TEST(PathString, InsertMovesContentUpEvenFromItself) {
  PathBuffer<16> s;
  ASSERT_TRUE(s.assign("dirfile"));
  ASSERT_TRUE(s.insert(3, "/"));
  EXPECT_EQ(s.view(), "dir/file");
  ASSERT_TRUE(s.insert(0, s.view().substr(4, 2)));  // source behind the insertion point
  EXPECT_EQ(s.view(), "fidir/file");
  ASSERT_TRUE(s.insert(4, s.view().substr(2, 4)));  // source straddles the insertion point
  EXPECT_EQ(s.view(), "fididir/r/file");
  ASSERT_TRUE(s.insert(s.length(), s.view().substr(0, 2)));
  EXPECT_EQ(s.view(), "fididir/r/filefi");
}

TEST(PathString, AppendsAsciiAndTerminatedTextPerEncoding) {
  PathBuffer<16> s;
  ASSERT_TRUE(s.append_ascii('A', TextEncoding::Utf16Be));
  ASSERT_TRUE(s.append_ascii('b', TextEncoding::Utf32Le));
  EXPECT_EQ(s.view(), test::bytes({0, 'A', 'b', 0, 0, 0}));
  EXPECT_FALSE(s.append_ascii(static_cast<char>(0xE9), TextEncoding::Utf8));
  const std::string wide = widen("xy", TextEncoding::Utf16Le) + std::string(2, '\0');
  ASSERT_TRUE(s.append_terminated(wide.c_str(), TextEncoding::Utf16Le));
  EXPECT_EQ(s.length(), 10u);
  PathBuffer<2> tiny;
  ASSERT_TRUE(tiny.append_ascii('z', TextEncoding::Utf16Le));
  EXPECT_FALSE(tiny.append_ascii('z', TextEncoding::Utf8));
}

TEST(PathString, FillTailPadsTheField) {
  char field[8];
  PathString s(field, sizeof field);
  ASSERT_TRUE(s.assign("ab"));
  s.fill_tail('\0');
  EXPECT_EQ(s.length(), 8u);
  EXPECT_EQ(std::string(field, 8), std::string("ab") + std::string(6, '\0'));
}

TEST(PathString, TailFoldsBackIntoTheOwner) {
  PathBuffer<8> s;
  ASSERT_TRUE(s.assign("/r/"));
  PathString tail = s.tail();
  EXPECT_EQ(tail.capacity(), 5u);
  ASSERT_TRUE(tail.append("abcde"));
  EXPECT_FALSE(tail.append("f"));
  s.fold_tail(tail);
  EXPECT_EQ(s.view(), "/r/abcde");
}

}  // namespace
}  // namespace qx
