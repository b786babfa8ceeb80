#include <gtest/gtest.h>

#include <string>

#include "text/charset.hpp"
#include "text/paths.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

using test::bytes;
using test::kAllEncodings;
using test::widen;

struct Split {
  std::string dir, stem, ext;
};

Split split(std::string_view path, PathStyle style = PathStyle::Unix) {
  TextView dir, stem, ext;
  split_path(path, TextEncoding::Utf8, dir, stem, ext, style);
  return {std::string(dir), std::string(stem), std::string(ext)};
}

TEST(SplitPath, DirectoryStemAndExtension) {
  Split s = split("/vm/disk.vmdk");
  EXPECT_EQ(s.dir, "/vm/");
  EXPECT_EQ(s.stem, "disk");
  EXPECT_EQ(s.ext, "vmdk");
  s = split("dir/.vmdk");
  EXPECT_EQ(s.stem, "");
  EXPECT_EQ(s.ext, "vmdk");
  EXPECT_EQ(split("archive.tar.gz").ext, "gz");
  EXPECT_EQ(split("archive.tar.gz").stem, "archive.tar");
  s = split("noext");
  EXPECT_EQ(s.dir, "");
  EXPECT_EQ(s.stem, "noext");
  EXPECT_EQ(s.ext, "");
  // A dot in a directory name is no extension.
  s = split("/a.d/file");
  EXPECT_EQ(s.stem, "file");
  EXPECT_EQ(s.ext, "");
  s = split("C:\\vm\\disk.vhd", PathStyle::Windows);
  EXPECT_EQ(s.dir, "C:\\vm\\");
  EXPECT_EQ(s.stem, "disk");
  // The empty extension sits at the end of the name.
  const std::string path = "/x/y";
  TextView dir, stem, ext;
  split_path(path, TextEncoding::Utf8, dir, stem, ext);
  EXPECT_EQ(ext.data(), path.data() + path.size());
}

TEST(SplitPath, ShiftJisTrailByteIsNoSeparator) {
  // "\x95\x5C" is one character; the directory ends at the real backslash.
  const std::string path = bytes({'C', ':', '\\', 0x95, 0x5C, '\\', 'f', 0x95, 0x5C});
  TextView dir, name;
  split_dir(path, TextEncoding::ShiftJis, dir, name, PathStyle::Windows);
  EXPECT_EQ(dir.size(), 6u);
  EXPECT_EQ(name, bytes({'f', 0x95, 0x5C}));
}

TEST(StoredNames, UnixFormRefusesSeparatorsAndShellCharacters) {
  EXPECT_TRUE(is_valid_stored_name("", TextEncoding::Utf8));
  EXPECT_TRUE(is_valid_stored_name("x.vmdk", TextEncoding::Utf8));
  EXPECT_TRUE(is_valid_stored_name("my disk-s001.vmdk", TextEncoding::Utf8));
  EXPECT_FALSE(is_valid_stored_name("sub/x.vmdk", TextEncoding::Utf8));
#ifdef _WIN32
  EXPECT_FALSE(is_valid_stored_name("..\\x.vmdk", TextEncoding::Utf8));
#else
  EXPECT_TRUE(is_valid_stored_name("..\\x.vmdk", TextEncoding::Utf8));
#endif
  EXPECT_FALSE(is_valid_stored_name("a,b", TextEncoding::Utf8));
  for (char c : std::string("/:,;*?\"<>|")) {
    EXPECT_FALSE(is_valid_stored_name(std::string("a") + c + "b", TextEncoding::Utf8)) << c;
  }
  EXPECT_FALSE(is_valid_stored_name(widen("a:b", TextEncoding::Utf16Be), TextEncoding::Utf16Be));
  EXPECT_TRUE(is_valid_stored_name(widen("ab", TextEncoding::Utf16Be), TextEncoding::Utf16Be));
}

TEST(StoredNames, WindowsForm) {
  const auto ok = [](std::string_view s) { return is_valid_windows_path(s, TextEncoding::Utf8); };
  EXPECT_TRUE(ok(""));
  EXPECT_TRUE(ok("C:\\"));
  EXPECT_TRUE(ok("c:\\vm\\disk.vhd"));
  EXPECT_TRUE(ok("vm\\a,b;c.vhd"));
  EXPECT_FALSE(ok("1:\\x"));  // only a letter starts a drive, so the colon is forbidden
  EXPECT_FALSE(ok("C:"));
  EXPECT_FALSE(ok("C:disk.vhd"));
  EXPECT_FALSE(ok("C:\\\\disk.vhd"));
  EXPECT_FALSE(ok("\\disk.vhd"));
  EXPECT_FALSE(ok("\\\\server\\share"));
  EXPECT_FALSE(ok("vm\\\\disk.vhd"));
  EXPECT_FALSE(ok("vm/disk.vhd"));
  EXPECT_FALSE(ok("C:\\a:b"));
  EXPECT_TRUE(is_valid_windows_path(widen("D:\\x", TextEncoding::Utf32Le), TextEncoding::Utf32Le));
  EXPECT_FALSE(is_valid_windows_path(widen("D:x", TextEncoding::Utf32Le), TextEncoding::Utf32Le));
}

TEST(StoredNames, AbsoluteTest) {
  EXPECT_TRUE(is_absolute_path("/a", TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_FALSE(is_absolute_path("a/b", TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_TRUE(is_absolute_path("z:\\", TextEncoding::Utf8, PathStyle::Windows));
  EXPECT_FALSE(is_absolute_path("\\a", TextEncoding::Utf8, PathStyle::Windows));
  EXPECT_FALSE(is_absolute_path("/a", TextEncoding::Utf8, PathStyle::Windows));
}

std::string normalized(std::string_view path, PathStyle style = PathStyle::Unix, bool* ok = nullptr) {
  PathBuffer<256> out;
  const bool r = normalize_path(path, TextEncoding::Utf8, out, style);
  if (ok != nullptr) *ok = r;
  return r ? std::string(out.view()) : std::string("<fail>");
}

TEST(Normalize, CollapsesDotsAndKeepsTrailingSeparator) {
  EXPECT_EQ(normalized("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(normalized("/a/b/../c/"), "/a/c/");
  EXPECT_EQ(normalized("/a/b/.."), "/a");
  EXPECT_EQ(normalized("/a/.."), "/");
  EXPECT_EQ(normalized("/a/./"), "/a/");
  EXPECT_EQ(normalized("/"), "/");
  EXPECT_EQ(normalized("/a/b/."), "/a/b");
  EXPECT_EQ(normalized("a/./b"), "a/b");
}

TEST(Normalize, EmptyComponentsAreNotDirectories) {
  // ".." after "//" must climb over "b", not over an empty component.
  EXPECT_EQ(normalized("/a/b//../c"), "/a/c");
  EXPECT_EQ(normalized("//a///b"), "/a/b");
}

TEST(Normalize, DotDotAboveTheRoot) {
  EXPECT_EQ(normalized(".."), "..");
  EXPECT_EQ(normalized("/.."), "<fail>");
  EXPECT_EQ(normalized("/a/../.."), "<fail>");
  EXPECT_EQ(normalized("/a/../../b"), "<fail>");
  // Leading ".." of a relative path are kept in order; a later name never cancels them.
  EXPECT_EQ(normalized("../x"), "../x");
  EXPECT_EQ(normalized("../../x/../y"), "../../y");
  EXPECT_EQ(normalized("a/../../b"), "../b");
  EXPECT_EQ(normalized("../"), "../");
  EXPECT_EQ(normalized("a/.."), ".");
  EXPECT_EQ(normalized("C:\\..", PathStyle::Windows), "<fail>");
  EXPECT_EQ(normalized("\\\\srv\\..", PathStyle::Windows), "<fail>");
}

TEST(Normalize, WindowsRoots) {
  EXPECT_EQ(normalized("C:\\vm\\old\\..\\disk.vhd", PathStyle::Windows), "C:\\vm\\disk.vhd");
  EXPECT_EQ(normalized("\\\\server\\share\\..\\x", PathStyle::Windows), "\\\\server\\x");
  EXPECT_EQ(normalized("\\a\\.\\b\\", PathStyle::Windows), "\\a\\b\\");
  // The other separator is an ordinary character in each style.
  EXPECT_EQ(normalized("a/b\\..", PathStyle::Windows), ".");
  EXPECT_EQ(normalized("a\\b/..", PathStyle::Unix), ".");
}

TEST(Normalize, AppendsAndRestoresOnFailure) {
  PathBuffer<12> out;
  ASSERT_TRUE(out.assign("pre:"));
  ASSERT_TRUE(normalize_path("/a/../b", TextEncoding::Utf8, out, PathStyle::Unix));
  EXPECT_EQ(out.view(), "pre:/b");
  EXPECT_FALSE(normalize_path("/abcdefgh", TextEncoding::Utf8, out, PathStyle::Unix));
  EXPECT_EQ(out.view(), "pre:/b");
  EXPECT_FALSE(normalize_path("/x/../..", TextEncoding::Utf8, out, PathStyle::Unix));
  EXPECT_EQ(out.view(), "pre:/b");
}

TEST(Normalize, WideEncodings) {
  for (TextEncoding enc : kAllEncodings) {
    PathBuffer<256> out;
    ASSERT_TRUE(normalize_path(widen("/a/b/../c/./d", enc), enc, out, PathStyle::Unix));
    EXPECT_EQ(out.view(), widen("/a/c/d", enc));
  }
}

TEST(Resolve, RelativeNamesJoinTheBaseDirectory) {
  PathBuffer<4096> work, out;
  ASSERT_TRUE(resolve_stored_name("disk-s001.vmdk", TextEncoding::Utf8, "/vm/dir/disk.vmdk",
                                  TextEncoding::Utf8, work, out, TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_EQ(out.view(), "/vm/dir/disk-s001.vmdk");
  EXPECT_EQ(work.length(), 0u);
  ASSERT_TRUE(resolve_stored_name("../base.vmdk", TextEncoding::Utf8, "/vm/dir/disk.vmdk", TextEncoding::Utf8,
                                  work, out, TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_EQ(out.view(), "/vm/base.vmdk");
  // An absolute name ignores the base; a name in UTF-16 comes out in UTF-8.
  const std::string parent = widen("/other/./p.vhd", TextEncoding::Utf16Be);
  ASSERT_TRUE(resolve_stored_name(parent, TextEncoding::Utf16Be, "/vm/child.vhd", TextEncoding::Utf8, work, out,
                                  TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_EQ(out.view(), "/other/p.vhd");
}

TEST(Resolve, FailuresLeaveNothingBehind) {
  PathBuffer<4096> work, out;
  // Climbing above the root.
  EXPECT_FALSE(resolve_stored_name("../../../x", TextEncoding::Utf8, "/vm/d.vmdk", TextEncoding::Utf8, work, out,
                                   TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_EQ(out.length(), 0u);
  EXPECT_EQ(work.length(), 0u);
  // A name that cannot be converted.
  EXPECT_FALSE(resolve_stored_name(bytes({0x87, 0x40}), TextEncoding::ShiftJis, "/vm/d.vmdk", TextEncoding::Utf8,
                                   work, out, TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_EQ(work.length(), 0u);
  // A work buffer too small for directory and name together.
  PathBuffer<10> small;
  EXPECT_FALSE(resolve_stored_name("name.vmdk", TextEncoding::Utf8, "/vm/d.vmdk", TextEncoding::Utf8, small, out,
                                   TextEncoding::Utf8, PathStyle::Unix));
  EXPECT_EQ(small.length(), 0u);
}

// A path of this system's: on Windows "\\" separates as "/" does; elsewhere it is part of a name.
TEST(HostPaths, SplitAndResolveAsTheSystemDoes) {
#ifdef _WIN32
  constexpr bool kWindows = true;
#else
  constexpr bool kWindows = false;
#endif
  struct Case {
    const char* path;
    const char* dir;  // Linux, Windows
    const char* windows_dir;
    const char* ext;
    const char* windows_ext;
  };
  const Case cases[] = {
      {"/vm/disk.vmdk", "/vm/", "/vm/", "vmdk", "vmdk"},
      {"Z:\\tmp\\x\\d.img", "", "Z:\\tmp\\x\\", "img", "img"},
      {"C:\\a/b\\c", "C:\\a/", "C:\\a/b\\", "", ""},
      {"/a.d\\disk", "/", "/a.d\\", "d\\disk", ""},
  };
  for (const Case& c : cases) {
    TextView dir, stem, ext;
    split_host_path(c.path, dir, stem, ext);
    EXPECT_EQ(dir, kWindows ? c.windows_dir : c.dir) << c.path;
    EXPECT_EQ(ext, kWindows ? c.windows_ext : c.ext) << c.path;
  }
  struct Resolved {
    const char* name;
    const char* base;
    const char* out;  // Linux, Windows
    const char* windows_out;
  };
  const Resolved resolved[] = {
      {"../b.bin", "/vm/sub/d.txt", "/vm/b.bin", "/vm/b.bin"},
      {"../b.bin", "C:\\vm\\sub/d.txt", "b.bin", "C:/vm/b.bin"},
      {"a\\..\\b.bin", "C:\\vm\\d.txt", "a\\..\\b.bin", "C:/vm/b.bin"},
      {"D:\\x\\p.bin", "C:\\vm\\d.txt", "D:\\x\\p.bin", "D:/x/p.bin"},
      {"../../x", "C:\\vm\\d.txt", "../../x", "<fail>"},
      {"../../y", "\\\\server\\share\\d.txt", "../../y", "<fail>"},
      {"p.bin", "\\\\server\\share\\d.txt", "p.bin", "//server/share/p.bin"},
  };
  for (const Resolved& r : resolved) {
    PathBuffer<4096> work, out;
    const bool ok = resolve_stored_name(r.name, TextEncoding::Utf8, r.base, TextEncoding::Utf8, work, out,
                                        TextEncoding::Utf8, PathStyle::Unix);
    EXPECT_EQ(ok ? std::string(out.view()) : "<fail>", kWindows ? r.windows_out : r.out) << r.name;
  }
  // A resolved name and the user's spelling of the same path.
  EXPECT_EQ(same_host_path("C:\\vm\\s1.vmdk", "C:/vm/s1.vmdk"), kWindows);
  EXPECT_TRUE(same_host_path("/vm/s1.vmdk", "/vm/s1.vmdk"));
  EXPECT_FALSE(same_host_path("/vm/s1.vmdk", "/vm/s2.vmdk"));
  EXPECT_FALSE(same_host_path("/vm/s1.vmdk", "/vm/s1.vmdk_DEL"));
}

std::string relative(std::string_view from, std::string_view to, PathStyle style = PathStyle::Unix) {
  PathBuffer<256> out;
  if (!relative_path(from, to, TextEncoding::Utf8, out, style)) return "<fail>";
  return std::string(out.view());
}

TEST(RelativePath, FromTheDirectoryOfTheFirstFile) {
  EXPECT_EQ(relative("/vm/a/child.vhd", "/vm/b/parent.vhd"), "../b/parent.vhd");
  EXPECT_EQ(relative("/vm/child.vhd", "/vm/parent.vhd"), "parent.vhd");
  EXPECT_EQ(relative("/vm/child.vhd", "/vm/sub/parent.vhd"), "sub/parent.vhd");
  EXPECT_EQ(relative("/vm/x/y/c.vhd", "/p.vhd"), "../../../p.vhd");
  // Components are compared whole: "/ab" is not inside "/a".
  EXPECT_EQ(relative("/a/c.vhd", "/ab/p.vhd"), "../ab/p.vhd");
  EXPECT_EQ(relative("C:\\VM\\c.vhd", "c:\\vm\\p.vhd", PathStyle::Windows), "p.vhd");
  EXPECT_EQ(relative("/VM/c.vhd", "/vm/p.vhd", PathStyle::Unix), "../vm/p.vhd");
  // Different drives or a mix of absolute and relative have no answer.
  EXPECT_EQ(relative("C:\\c.vhd", "D:\\p.vhd", PathStyle::Windows), "<fail>");
  EXPECT_EQ(relative("/vm/c.vhd", "p.vhd"), "<fail>");
}

}  // namespace
}  // namespace qx
