#include <gtest/gtest.h>

#include "text/encoding.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

using test::bytes;
using test::widen;

TEST(CharSize, JudgesTheLeadUnitOnly) {
  EXPECT_EQ(char_size(bytes({0x41}), TextEncoding::ShiftJis), 1u);
  EXPECT_EQ(char_size(bytes({0xB1}), TextEncoding::ShiftJis), 1u);  // half-width katakana
  EXPECT_EQ(char_size(bytes({0x82}), TextEncoding::ShiftJis), 2u);
  EXPECT_EQ(char_size(bytes({0xFC}), TextEncoding::ShiftJis), 2u);
  EXPECT_EQ(char_size(bytes({0x80}), TextEncoding::ShiftJis), 0u);
  EXPECT_EQ(char_size(bytes({0xA0}), TextEncoding::ShiftJis), 0u);
  EXPECT_EQ(char_size(bytes({0x8E}), TextEncoding::EucJp), 2u);
  EXPECT_EQ(char_size(bytes({0x8F}), TextEncoding::EucJp), 3u);
  EXPECT_EQ(char_size(bytes({0xA0}), TextEncoding::EucJp), 0u);
  EXPECT_EQ(char_size(bytes({0xC1}), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_size(bytes({0xF4}), TextEncoding::Utf8), 4u);
  EXPECT_EQ(char_size(bytes({0xF5}), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_size(bytes({0x3D, 0xD8}), TextEncoding::Utf16Le), 4u);
  EXPECT_EQ(char_size(bytes({0xD8, 0x3D}), TextEncoding::Utf16Le), 2u);
  EXPECT_EQ(char_size(bytes({0xD8}), TextEncoding::Utf16Be), 0u);  // less than one unit
}

TEST(CharCheck, RejectsMalformedAndCutOffCharacters) {
  EXPECT_EQ(char_check(TextView(), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_check(bytes({0x82, 0x9F}), TextEncoding::ShiftJis), 2u);
  EXPECT_EQ(char_check(bytes({0x82, 0x7F}), TextEncoding::ShiftJis), 0u);
  EXPECT_EQ(char_check(bytes({0x82}), TextEncoding::ShiftJis), 0u);
  EXPECT_EQ(char_check(bytes({0x8E, 0xE0}), TextEncoding::EucJp), 0u);
  EXPECT_EQ(char_check(bytes({0x8F, 0xA1, 0xA1}), TextEncoding::EucJp), 3u);
  EXPECT_EQ(char_check(bytes({0x8F, 0xA1}), TextEncoding::EucJp), 0u);
  // Overlongs, surrogates and values above U+10FFFF.
  EXPECT_EQ(char_check(bytes({0xC0, 0xAF}), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_check(bytes({0xE0, 0x80, 0xAF}), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_check(bytes({0xED, 0xA0, 0x80}), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_check(bytes({0xF4, 0x90, 0x80, 0x80}), TextEncoding::Utf8), 0u);
  EXPECT_EQ(char_check(bytes({0xF0, 0x9F, 0x98, 0x80}), TextEncoding::Utf8), 4u);
  EXPECT_EQ(char_check(bytes({0xF0, 0x9F, 0x98}), TextEncoding::Utf8), 0u);
  // UTF-16: a lone low surrogate passes, a high one needs its partner.
  EXPECT_EQ(char_check(bytes({0x00, 0xDC}), TextEncoding::Utf16Le), 2u);
  EXPECT_EQ(char_check(bytes({0x3D, 0xD8, 0x41, 0x00}), TextEncoding::Utf16Le), 0u);
  EXPECT_EQ(char_check(bytes({0x3D, 0xD8, 0x00, 0xDE}), TextEncoding::Utf16Le), 4u);
  EXPECT_EQ(char_check(bytes({0x00, 0x11, 0x00, 0x00}), TextEncoding::Utf32Be), 0u);
  EXPECT_EQ(char_check(bytes({0x00, 0x10, 0xFF, 0xFF}), TextEncoding::Utf32Be), 4u);
}

TEST(CharStep, AlwaysAdvancesWithinTheView) {
  EXPECT_EQ(char_step(bytes({0x80, 0x41}), TextEncoding::ShiftJis), 1u);  // invalid lead
  EXPECT_EQ(char_step(bytes({0x82}), TextEncoding::ShiftJis), 1u);        // cut off
  EXPECT_EQ(char_step(bytes({0x3D, 0xD8, 0x00}), TextEncoding::Utf16Le), 3u);
  EXPECT_EQ(char_step(bytes({0x41}), TextEncoding::Utf32Le), 1u);
}

TEST(CharCompare, OrdersBySizeCodePointAndFoldsAsciiOnly) {
  EXPECT_EQ(char_compare("a", "B", false, TextEncoding::ShiftJis), 1);
  EXPECT_EQ(char_compare("a", "A", true, TextEncoding::ShiftJis), 0);
  EXPECT_EQ(char_compare(bytes({0xB1}), bytes({0x82, 0x9F}), false, TextEncoding::ShiftJis), -1);
  EXPECT_EQ(char_compare(bytes({0xC3, 0xA9}), bytes({0xC3, 0x89}), true, TextEncoding::Utf8), 1);  // é vs É
  EXPECT_EQ(char_compare(bytes({0xEF, 0xBF, 0xBF}), bytes({0xF0, 0x90, 0x80, 0x80}), false, TextEncoding::Utf8), -1);
  // A surrogate pair orders above every BMP unit, U+FFFF included.
  EXPECT_EQ(char_compare(bytes({0x00, 0xD8, 0x00, 0xDC}), bytes({0xFF, 0xFF}), false, TextEncoding::Utf16Le), 1);
  EXPECT_EQ(char_compare(widen("Z", TextEncoding::Utf32Be), widen("z", TextEncoding::Utf32Be), true,
                         TextEncoding::Utf32Be), 0);
}

TEST(DigitsAndLetters, NeedOneCodeUnit) {
  uint32_t v = 99;
  EXPECT_TRUE(char_digit(widen("7", TextEncoding::Utf16Be), TextEncoding::Utf16Be, v));
  EXPECT_EQ(v, 7u);
  EXPECT_FALSE(char_digit(bytes({0x82, 0x4F}), TextEncoding::ShiftJis, v));  // full-width 0
  EXPECT_FALSE(char_digit(bytes({0x30, 0x01}), TextEncoding::Utf16Le, v));  // U+0130
  EXPECT_TRUE(char_is_letter(widen("q", TextEncoding::Utf32Le), TextEncoding::Utf32Le));
  EXPECT_FALSE(char_is_letter("@", TextEncoding::Utf8));
  EXPECT_FALSE(char_is_letter("[", TextEncoding::Utf8));
}

TEST(Constants, AreEncodedPerEncoding) {
  EXPECT_EQ(text_constants(TextEncoding::EucJp).crlf, "\r\n");
  EXPECT_EQ(text_constants(TextEncoding::Utf16Be).slash, bytes({0x00, 0x2F}));
  EXPECT_EQ(text_constants(TextEncoding::Utf32Le).nul, bytes({0, 0, 0, 0}));
  EXPECT_EQ(text_constants(TextEncoding::Utf32Be).stored_name_forbidden, widen("/:,;*?\"<>|", TextEncoding::Utf32Be));
  EXPECT_EQ(text_constants(TextEncoding::Utf16Le).double_backslash, widen("\\\\", TextEncoding::Utf16Le));
}

TEST(Terminated, StopsAtTheEncodingsNul) {
  const std::string u16 = bytes({0x00, 0x41, 0x00, 0x00, 0x42});  // LE: U+4100, then NUL
  EXPECT_EQ(view_of_terminated(u16.c_str(), TextEncoding::Utf16Le).size(), 2u);
  const std::string u32 = widen("ab", TextEncoding::Utf32Be) + std::string(4, '\0');
  EXPECT_EQ(view_of_terminated(u32.c_str(), TextEncoding::Utf32Be).size(), 8u);
}

TEST(StoredText, ChecksUpToTheNulOrTheFieldEnd) {
  uint32_t len = 0;
  std::string field = widen("ab", TextEncoding::Utf16Le) + std::string(6, '\0');
  ASSERT_TRUE(stored_text_length(field, TextEncoding::Utf16Le, len));
  EXPECT_EQ(len, 4u);
  ASSERT_TRUE(stored_text_length(widen("abc", TextEncoding::Utf16Le), TextEncoding::Utf16Le, len));
  EXPECT_EQ(len, kNotFound);
  // An invalid character before the NUL fails; one behind it does not matter.
  EXPECT_FALSE(stored_text_length(bytes({0x41, 0xFF, 0x00}), TextEncoding::Utf8, len));
  ASSERT_TRUE(stored_text_length(bytes({0x41, 0x00, 0xFF}), TextEncoding::Utf8, len));
  EXPECT_EQ(len, 1u);
  // A character cut off by the field end is invalid.
  EXPECT_FALSE(stored_text_length(bytes({0x41, 0x82}), TextEncoding::ShiftJis, len));
  TextView text;
  ASSERT_TRUE(stored_text(bytes({0x82, 0x9F, 0x41}), TextEncoding::ShiftJis, text));
  EXPECT_EQ(text.size(), 3u);
}

TEST(EncodeLiteral, WidensIntoScratch) {
  char scratch[20];
  TextView v;
  ASSERT_TRUE(encode_literal(v, scratch, "_TEMP", TextEncoding::Utf32Le));
  EXPECT_EQ(v, widen("_TEMP", TextEncoding::Utf32Le));
  const std::string_view lit = "_temp";
  ASSERT_TRUE(encode_literal(v, scratch, lit, TextEncoding::Utf8));
  EXPECT_EQ(v.data(), lit.data());  // narrow encodings use the literal itself
  EXPECT_FALSE(encode_literal(v, std::span<char>(scratch, 19), "_TEMP", TextEncoding::Utf32Be));
  const EncodedLiteral quote("\"", TextEncoding::Utf16Be);
  EXPECT_EQ(quote.view(), bytes({0x00, 0x22}));
}

}  // namespace
}  // namespace qx
