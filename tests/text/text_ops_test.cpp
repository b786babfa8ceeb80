#include <gtest/gtest.h>

#include <string>

#include "text/text_ops.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

using test::bytes;
using test::kAllEncodings;
using test::widen;

TEST(Search, StepsOverWholeCharacters) {
  // 0x95 0x5C is one Shift_JIS character whose trail byte looks like "\".
  const std::string sjis = bytes({'a', 0x95, 0x5C, '\\', 'b'});
  EXPECT_EQ(find_char(sjis, "\\", TextEncoding::ShiftJis), 3u);
  EXPECT_EQ(find_last_char(sjis + bytes({0x95, 0x5C}), "\\", TextEncoding::ShiftJis), 3u);
  EXPECT_EQ(find_text(bytes({0x95, 0x5C, 0x5C}), "\\", TextEncoding::ShiftJis), 2u);
  EXPECT_EQ(count_chars(sjis, TextEncoding::ShiftJis), 4u);
  EXPECT_EQ(count_chars_before(sjis, "b", TextEncoding::ShiftJis), 3u);
  EXPECT_EQ(count_chars_before(sjis, "z", TextEncoding::ShiftJis), kNotFound);
  // In UTF-16 the unit 0x2F00 holds a "/" byte but is not a slash.
  const std::string u16 = bytes({0x00, 0x2F, 0x2F, 0x00});
  EXPECT_EQ(find_char(u16, bytes({0x2F, 0x00}), TextEncoding::Utf16Le), 2u);
}

TEST(Search, SetsAndStopCharacters) {
  for (TextEncoding enc : kAllEncodings) {
    const uint32_t u = unit_size(enc);
    const std::string text = widen("  key = \"v\" ", enc);
    const TextView blanks = text_constants(enc).blanks;
    EXPECT_EQ(find_first_not_in(text, blanks, enc), 2 * u);
    EXPECT_EQ(find_last_not_in(text, blanks, enc), 10 * u);
    EXPECT_EQ(find_last_in(text, blanks, enc), 11 * u);
    EXPECT_EQ(find_first_in(text, widen("=\"", enc), enc), 6 * u);
    // The stop character comes before anything of the set.
    EXPECT_EQ(find_first_in(text, widen("\"", enc), enc, widen("=", enc)), kNotFound);
    EXPECT_EQ(find_first_in(text, widen("=", enc), enc, widen("\"", enc)), 6 * u);
    EXPECT_EQ(find_text(text, widen("\"v\"", enc), enc), 8 * u);
    EXPECT_EQ(find_text(text, widen("\"w", enc), enc), kNotFound);
  }
}

TEST(Search, EndsOnTruncatedAndInvalidText) {
  EXPECT_EQ(find_char(bytes({0x80, 0xFF, 0x82}), "x", TextEncoding::ShiftJis), kNotFound);
  EXPECT_EQ(count_chars(bytes({0x41, 0x00, 0x3D}), TextEncoding::Utf16Le), 2u);
  EXPECT_EQ(find_last_char(bytes({1, 2, 3, 4, 5}), bytes({1, 2, 3, 4}), TextEncoding::Utf32Le), 0u);
}

TEST(Compare, FoldsAsciiAndFallsBackToBytes) {
  EXPECT_EQ(compare("Disk.VMDK", "disk.vmdk", 100, true, TextEncoding::Utf8), 0);
  EXPECT_NE(compare("Disk.VMDK", "disk.vmdk", 100, false, TextEncoding::Utf8), 0);
  EXPECT_EQ(compare("abcX", "abcY", 3, false, TextEncoding::Utf8), 0);
  EXPECT_EQ(compare("ab", "abc", 100, false, TextEncoding::Utf8), -1);
  EXPECT_EQ(compare("abc", "ab", 100, false, TextEncoding::Utf8), 1);
  // UTF-16 compares code points, so a pair sorts above U+FFFF even though its first unit is lower.
  EXPECT_EQ(compare(bytes({0x00, 0xD8, 0x00, 0xDC}), bytes({0xFF, 0xFF}), 100, false, TextEncoding::Utf16Le), 1);
  // Invalid UTF-8: the rest is compared as unsigned bytes.
  EXPECT_EQ(compare(bytes({'a', 0xFF}), bytes({'a', 0x41}), 100, true, TextEncoding::Utf8), 1);
  EXPECT_EQ(compare(bytes({'A', 0xFF}), bytes({'a', 0xFF}), 100, true, TextEncoding::Utf8), 0);
}

TEST(SplitLine, HandlesEveryBreakInEveryEncoding) {
  for (TextEncoding enc : kAllEncodings) {
    const std::string text = widen("one\r\ntwo\rthree\n\nlast", enc);
    TextView line, rest = text;
    std::vector<std::string> lines;
    bool more = true;
    while (more) {
      more = split_line(rest, enc, line, rest);
      lines.emplace_back(line);
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], widen("one", enc));
    EXPECT_EQ(lines[2], widen("three", enc));
    EXPECT_TRUE(lines[3].empty());
    EXPECT_EQ(lines[4], widen("last", enc));
    // A trailing break: no more text behind it.
    const std::string tail = widen("x\n", enc);
    EXPECT_FALSE(split_line(tail, enc, line, rest));
    EXPECT_EQ(line, widen("x", enc));
    EXPECT_TRUE(rest.empty());
  }
}

TEST(TrimBlanks, KeepsInnerBlanks) {
  EXPECT_EQ(trim_blanks(" \t a b \t", TextEncoding::Utf8), "a b");
  const std::string blank = "  \t";
  const TextView t = trim_blanks(blank, TextEncoding::Utf8);
  EXPECT_TRUE(t.empty());
  EXPECT_EQ(t.data(), blank.data());
  const std::string u32 = widen(" x ", TextEncoding::Utf32Be);
  EXPECT_EQ(trim_blanks(u32, TextEncoding::Utf32Be), widen("x", TextEncoding::Utf32Be));
}

TEST(NextToken, QuotedAndPlainTokens) {
  TextView token, rest;
  bool none = true;
  ASSERT_TRUE(next_token("  \"my disk.vmdk\" 12", TextEncoding::Utf8, token, rest, none));
  EXPECT_FALSE(none);
  EXPECT_EQ(token, "my disk.vmdk");
  EXPECT_EQ(rest, " 12");
  ASSERT_TRUE(next_token(rest, TextEncoding::Utf8, token, rest, none));
  EXPECT_EQ(token, "12");
  EXPECT_TRUE(rest.empty());
  ASSERT_TRUE(next_token(rest, TextEncoding::Utf8, token, rest, none));
  EXPECT_TRUE(none);
  ASSERT_TRUE(next_token(" \t ", TextEncoding::Utf8, token, rest, none));
  EXPECT_TRUE(none);
  EXPECT_FALSE(next_token("ab\"c", TextEncoding::Utf8, token, rest, none));
  EXPECT_FALSE(next_token("\"unclosed", TextEncoding::Utf8, token, rest, none));
  ASSERT_TRUE(next_token("\"\" x", TextEncoding::Utf8, token, rest, none));
  EXPECT_TRUE(token.empty());
  EXPECT_FALSE(none);
  // A quote after the blank belongs to the next token.
  ASSERT_TRUE(next_token("ab \"c\"", TextEncoding::Utf8, token, rest, none));
  EXPECT_EQ(token, "ab");
  const std::string u16 = widen(" \"a b\" c", TextEncoding::Utf16Le);
  ASSERT_TRUE(next_token(u16, TextEncoding::Utf16Le, token, rest, none));
  EXPECT_EQ(token, widen("a b", TextEncoding::Utf16Le));
}

TEST(ParseDecimal, UnsignedAndSignedForms) {
  uint32_t u = 0;
  int32_t s = 0;
  int64_t s64 = 0;
  ASSERT_TRUE(parse_decimal("-12", TextEncoding::Utf8, s));
  EXPECT_EQ(s, -12);
  ASSERT_TRUE(parse_decimal(" \t+7 ", TextEncoding::Utf8, s));
  EXPECT_EQ(s, 7);
  EXPECT_FALSE(parse_decimal("1 2", TextEncoding::Utf8, s));
  s = 5;
  ASSERT_TRUE(parse_decimal("+", TextEncoding::Utf8, s));
  EXPECT_EQ(s, 0);
  EXPECT_FALSE(parse_decimal("", TextEncoding::Utf8, u));
  EXPECT_FALSE(parse_decimal("   ", TextEncoding::Utf8, u));
  EXPECT_FALSE(parse_decimal("-1", TextEncoding::Utf8, u));
  EXPECT_FALSE(parse_decimal("+-1", TextEncoding::Utf8, s));
  EXPECT_FALSE(parse_decimal("0x10", TextEncoding::Utf8, u));
  ASSERT_TRUE(parse_decimal(widen(" 4096 ", TextEncoding::Utf16Be), TextEncoding::Utf16Be, u));
  EXPECT_EQ(u, 4096u);
  ASSERT_TRUE(parse_decimal(widen("-33", TextEncoding::Utf32Le), TextEncoding::Utf32Le, s64));
  EXPECT_EQ(s64, -33);
}

TEST(ParseDecimal, RefusesValuesThatDoNotFit) {
  uint32_t u = 0;
  int32_t s = 0;
  uint64_t u64 = 0;
  int64_t s64 = 0;
  ASSERT_TRUE(parse_decimal("4294967295", TextEncoding::Utf8, u));
  EXPECT_EQ(u, 4294967295u);
  EXPECT_FALSE(parse_decimal("4294967296", TextEncoding::Utf8, u));  // would wrap to 0
  ASSERT_TRUE(parse_decimal("-2147483648", TextEncoding::Utf8, s));
  EXPECT_EQ(s, INT32_MIN);
  EXPECT_FALSE(parse_decimal("2147483648", TextEncoding::Utf8, s));
  ASSERT_TRUE(parse_decimal("18446744073709551615", TextEncoding::Utf8, u64));
  EXPECT_EQ(u64, UINT64_MAX);
  EXPECT_FALSE(parse_decimal("18446744073709551616", TextEncoding::Utf8, u64));
  ASSERT_TRUE(parse_decimal("-9223372036854775808", TextEncoding::Utf8, s64));
  EXPECT_EQ(s64, INT64_MIN);
  EXPECT_FALSE(parse_decimal("9223372036854775808", TextEncoding::Utf8, s64));
}

TEST(Numbers, PaddingBasesAndEncodings) {
  PathBuffer<32> out;
  ASSERT_TRUE(append_number(out, 42, 10, 5, false, false, TextEncoding::Utf8));
  ASSERT_TRUE(append_number(out, 42, 10, 5, true, false, TextEncoding::Utf8));
  ASSERT_TRUE(append_number(out, 0xBEEF, 16, 0, false, true, TextEncoding::Utf8));
  ASSERT_TRUE(append_number(out, 0, 10, 0, false, false, TextEncoding::Utf8));
  EXPECT_EQ(out.view(), "   4200042BEEF0");
  out.clear();
  ASSERT_TRUE(append_number(out, 255, 16, 4, true, false, TextEncoding::Utf16Be));
  EXPECT_EQ(out.view(), widen("00ff", TextEncoding::Utf16Be));
  PathBuffer<5> small;
  ASSERT_TRUE(small.assign("a"));
  EXPECT_FALSE(append_number(small, 12345, 10, 0, false, false, TextEncoding::Utf8));
  EXPECT_EQ(small.view(), "a");
  EXPECT_EQ(write_decimal(small, 1234, TextEncoding::Utf8), 4);
  small.clear();
  EXPECT_EQ(write_decimal(small, 12, TextEncoding::Utf16Le), 4);
  EXPECT_EQ(write_decimal(small, 1, TextEncoding::Utf16Le), -1);
  EXPECT_EQ(small.length(), 4u);
}

}  // namespace
}  // namespace qx
