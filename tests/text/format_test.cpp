#include <gtest/gtest.h>

#include <string>

#include "text/format.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

using test::widen;
constexpr TextEncoding kUtf8 = TextEncoding::Utf8;

std::string fmt(std::string_view format, std::initializer_list<FormatArg> args) {
  PathBuffer<128> out;
  if (!append_formatted(out, kUtf8, format, kUtf8, args)) return "<fail>";
  EXPECT_EQ(out.data()[out.length()], '\0');  // terminated behind the content
  return std::string(out.view());
}

TEST(Format, NumberedPartNames) {
  EXPECT_EQ(fmt("%t%t-%02u.%t", {{"dir/", kUtf8}, {"disk", kUtf8}, 7u, {"vmdk", kUtf8}}), "dir/disk-07.vmdk");
  EXPECT_EQ(fmt("%t%t.p%02u", {{"/vm/", kUtf8}, {"raw", kUtf8}, 123u}), "/vm/raw.p123");
  EXPECT_EQ(fmt("%t%t.p%u", {{"", kUtf8}, {"raw", kUtf8}, 0u}), "raw.p0");
}

TEST(Format, WidthAndPadding) {
  EXPECT_EQ(fmt("%5u", {42u}), "   42");
  EXPECT_EQ(fmt("%05u", {42u}), "00042");
  EXPECT_EQ(fmt("%2u", {12345u}), "12345");
  EXPECT_EQ(fmt("%3u|%03u|%u|%0u", {0u, 0u, 0u, 0u}), "  0|000|0|0");
  EXPECT_EQ(fmt("%00u", {0u}), "0");  // a width of 0 never drops the number
  EXPECT_EQ(fmt("%4x", {255u}), "  ff");
  EXPECT_EQ(fmt("%08X", {0xBEEFu}), "0000BEEF");
}

TEST(Format, SignedAndWideNumbers) {
  EXPECT_EQ(fmt("%d", {-5}), "-5");
  EXPECT_EQ(fmt("%i", {2147483647}), "2147483647");
  EXPECT_EQ(fmt("%d", {INT32_MIN}), "-2147483648");
  EXPECT_EQ(fmt("%5d", {-5}), "-5");  // width ignored
  EXPECT_EQ(fmt("%w", {int64_t{-1}}), "-1");
  EXPECT_EQ(fmt("%w", {INT64_MIN}), "-9223372036854775808");
  EXPECT_EQ(fmt("%w", {int64_t{1} << 40}), "1099511627776");
  EXPECT_EQ(fmt("%u", {-1}), "4294967295");  // a 32-bit word either way
  EXPECT_EQ(fmt("%x %X", {255u, 255u}), "ff FF");
}

TEST(Format, RefusedConversionsAndFlags) {
  EXPECT_EQ(fmt("%c", {65u}), "<fail>");
  EXPECT_EQ(fmt("%-5u", {1u}), "<fail>");
  EXPECT_EQ(fmt("%.2u", {1u}), "<fail>");
  EXPECT_EQ(fmt("%lu", {1u}), "<fail>");
  EXPECT_EQ(fmt("% u", {1u}), "<fail>");
  for (const char* f : {"%o", "%e", "%f", "%g", "%a", "%S", "%p", "%C", "%E", "%F", "%G", "%A"}) {
    EXPECT_EQ(fmt(f, {1u}), "<fail>") << f;
  }
  EXPECT_EQ(fmt("100%", {}), "<fail>");
  EXPECT_EQ(fmt("%5", {1u}), "<fail>");  // no letter at all
  EXPECT_EQ(fmt("%99999999999u", {1u}), "<fail>");
}

TEST(Format, ArgumentsMustMatch) {
  EXPECT_EQ(fmt("%u", {}), "<fail>");
  EXPECT_EQ(fmt("%u", {1u, 2u}), "<fail>");
  EXPECT_EQ(fmt("%t", {1u}), "<fail>");
  EXPECT_EQ(fmt("%u", {{"x", kUtf8}}), "<fail>");
  EXPECT_EQ(fmt("%w", {1u}), "<fail>");
  EXPECT_EQ(fmt("%d", {int64_t{1}}), "<fail>");
}

TEST(Format, TextIsCopiedVerbatimAndConverted) {
  EXPECT_EQ(fmt("%t", {{"50%", kUtf8}}), "50%");
  EXPECT_EQ(fmt("100%% %s", {FormatArg::terminated("sure", kUtf8)}), "100% sure");
  const std::string wide = widen("vm", TextEncoding::Utf16Be) + std::string(2, '\0');
  EXPECT_EQ(fmt("[%s]", {FormatArg::terminated(wide.c_str(), TextEncoding::Utf16Be)}), "[vm]");
  EXPECT_EQ(fmt("%t", {{"\xF0\x9F\x98\x80", kUtf8}}), "\xF0\x9F\x98\x80");
  PathBuffer<32> out;
  EXPECT_FALSE(append_formatted(out, TextEncoding::ShiftJis, "%t", kUtf8, {{"\xF0\x9F\x98\x80", kUtf8}}));
  EXPECT_EQ(out.length(), 0u);
}

TEST(Format, WideOutputAndFormatEncodings) {
  PathBuffer<64> out;
  const std::string format = widen("%t-%03u%%", TextEncoding::Utf16Le);
  ASSERT_TRUE(append_formatted(out, TextEncoding::Utf32Be, format, TextEncoding::Utf16Le, {{"s", kUtf8}, 7u}));
  EXPECT_EQ(out.view(), widen("s-007%", TextEncoding::Utf32Be));
  EXPECT_EQ(std::string(out.data() + out.length(), 4), std::string(4, '\0'));
}

TEST(Format, RoomForTextButNotTerminator) {
  PathBuffer<4> out;
  EXPECT_FALSE(append_formatted(out, kUtf8, "%t", kUtf8, {{"abcd", kUtf8}}));
  EXPECT_EQ(out.length(), 0u);
  ASSERT_TRUE(append_formatted(out, kUtf8, "%t", kUtf8, {{"abc", kUtf8}}));
  EXPECT_EQ(out.view(), "abc");
  PathBuffer<0> none;
  EXPECT_FALSE(append_formatted(none, kUtf8, "", kUtf8));
  PathBuffer<1> one;
  EXPECT_TRUE(append_formatted(one, kUtf8, "", kUtf8));
  EXPECT_EQ(one.length(), 0u);
  PathBuffer<6> wide;
  EXPECT_FALSE(append_formatted(wide, TextEncoding::Utf16Le, "abc", kUtf8));
}

}  // namespace
}  // namespace qx
