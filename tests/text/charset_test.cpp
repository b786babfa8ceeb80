#include <gtest/gtest.h>

#include <string>

#include "text/charset.hpp"
#include "text/jis_tables.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

using test::bytes;
using test::kAllEncodings;

// Converts or returns "<fail>".
std::string conv(std::string_view src, TextEncoding from, TextEncoding to) {
  PathBuffer<512> out;
  if (convert(src, from, &out, to) < 0) return "<fail>";
  return std::string(out.view());
}

TEST(JisTables, CountsAndSpotValues) {
  EXPECT_EQ(count_jis_mapped(kJis0208ToUnicode), 6879u);
  EXPECT_EQ(count_jis_mapped(kJis0212ToUnicode), 6067u);
  EXPECT_EQ(jis0208_to_unicode(0x2140), 0x005Cu);
  EXPECT_EQ(jis0208_to_unicode(0x2141), 0x301Cu);
  EXPECT_EQ(jis0208_to_unicode(0x2142), 0x2016u);
  EXPECT_EQ(jis0208_to_unicode(0x215D), 0x2212u);
  EXPECT_EQ(jis0208_to_unicode(0x2171), 0x00A2u);
  EXPECT_EQ(jis0208_to_unicode(0x2172), 0x00A3u);
  EXPECT_EQ(jis0208_to_unicode(0x224C), 0x00ACu);
  EXPECT_EQ(jis0208_to_unicode(0x2421), 0x3041u);
  EXPECT_EQ(jis0208_to_unicode(0x7F21), 0u);  // outside the 94 rows
  for (int row : {13, 89, 90, 91, 92, 93, 94}) {
    for (int cell = 0; cell < 94; ++cell) ASSERT_EQ(kJis0208ToUnicode[row - 1][cell], 0) << row;
  }
}

TEST(JisTables, ReverseTablesAreExactInverses) {
  uint32_t seen = 0;
  for (uint32_t row = 0x21; row <= 0x7E; ++row) {
    for (uint32_t cell = 0x21; cell <= 0x7E; ++cell) {
      const uint32_t code = (row << 8) | cell;
      if (const uint16_t u = jis0208_to_unicode(code)) {
        ASSERT_EQ(unicode_to_jis0208(u), code);
        ++seen;
      }
      if (const uint16_t u = jis0212_to_unicode(code)) {
        ASSERT_EQ(unicode_to_jis0212(u), code);
      }
    }
  }
  EXPECT_EQ(seen, 6879u);
  EXPECT_EQ(unicode_to_jis0208(0xFF3C), 0u);  // the full-width backslash is not in the table
  EXPECT_EQ(unicode_to_jis0208(0x0041), 0u);
}

TEST(ShiftJis, HiraganaAndBackslash) {
  EXPECT_EQ(conv(bytes({0x82, 0x9F}), TextEncoding::ShiftJis, TextEncoding::Utf16Be), bytes({0x30, 0x41}));
  EXPECT_EQ(conv(bytes({0x30, 0x41}), TextEncoding::Utf16Be, TextEncoding::ShiftJis), bytes({0x82, 0x9F}));
  EXPECT_EQ(conv("\\", TextEncoding::ShiftJis, TextEncoding::Utf8), "\\");
  EXPECT_EQ(conv("~", TextEncoding::ShiftJis, TextEncoding::Utf8), "~");
  EXPECT_EQ(conv(bytes({0x81, 0x5F}), TextEncoding::ShiftJis, TextEncoding::Utf8), "\\");
  EXPECT_EQ(conv("\\", TextEncoding::Utf8, TextEncoding::ShiftJis), "\\");
  EXPECT_EQ(conv("\\", TextEncoding::Utf8, TextEncoding::EucJp), "\\");
  EXPECT_EQ(conv(bytes({0x87, 0x40}), TextEncoding::ShiftJis, TextEncoding::Utf8), "<fail>");
  EXPECT_EQ(conv(bytes({0xF0, 0x40}), TextEncoding::ShiftJis, TextEncoding::Utf8), "<fail>");  // user area
  EXPECT_EQ(conv(bytes({0x82}), TextEncoding::ShiftJis, TextEncoding::Utf8), "<fail>");  // cut off
  // Half-width katakana: one byte, U+FF61-U+FF9F, EUC-JP 0x8E prefix.
  EXPECT_EQ(conv(bytes({0xB1}), TextEncoding::ShiftJis, TextEncoding::Utf8), bytes({0xEF, 0xBD, 0xB1}));
  EXPECT_EQ(conv(bytes({0xB1}), TextEncoding::ShiftJis, TextEncoding::EucJp), bytes({0x8E, 0xB1}));
  EXPECT_EQ(conv(bytes({0x8E, 0xB1}), TextEncoding::EucJp, TextEncoding::ShiftJis), bytes({0xB1}));
}

TEST(EucJp, BothJisSetsAndTheArithmeticPath) {
  EXPECT_EQ(conv(bytes({0xA4, 0xA1}), TextEncoding::EucJp, TextEncoding::Utf16Be), bytes({0x30, 0x41}));
  EXPECT_EQ(conv(bytes({0xA4, 0xA1}), TextEncoding::EucJp, TextEncoding::ShiftJis), bytes({0x82, 0x9F}));
  // JIS X 0212 0x2237 is U+007E; as ASCII it comes back as a single byte.
  EXPECT_EQ(conv(bytes({0x8F, 0xA2, 0xB7}), TextEncoding::EucJp, TextEncoding::Utf8), "~");
  const std::string u = conv(bytes({0x8F, 0xB0, 0xA1}), TextEncoding::EucJp, TextEncoding::Utf8);
  ASSERT_NE(u, "<fail>");
  EXPECT_EQ(conv(u, TextEncoding::Utf8, TextEncoding::EucJp), bytes({0x8F, 0xB0, 0xA1}));
  EXPECT_EQ(conv(u, TextEncoding::Utf8, TextEncoding::ShiftJis), "<fail>");
  EXPECT_EQ(conv(bytes({0x8F, 0xB0, 0xA1}), TextEncoding::EucJp, TextEncoding::ShiftJis), "<fail>");
  // Unassigned codes still map arithmetically, but not those beyond row 94.
  EXPECT_EQ(conv(bytes({0x87, 0x40}), TextEncoding::ShiftJis, TextEncoding::EucJp), bytes({0xAD, 0xA1}));
  EXPECT_EQ(conv(bytes({0xAD, 0xA1}), TextEncoding::EucJp, TextEncoding::ShiftJis), bytes({0x87, 0x40}));
  EXPECT_EQ(conv(bytes({0xF0, 0x40}), TextEncoding::ShiftJis, TextEncoding::EucJp), "<fail>");
  EXPECT_EQ(conv(bytes({0xEF, 0xFC}), TextEncoding::ShiftJis, TextEncoding::EucJp), bytes({0xFE, 0xFE}));
}

TEST(ShiftJis, EveryMappedCodeRoundTrips) {
  for (uint32_t lead = 0x81; lead <= 0xEF; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (uint32_t trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      const std::string sjis = bytes({static_cast<int>(lead), static_cast<int>(trail)});
      const std::string u16 = conv(sjis, TextEncoding::ShiftJis, TextEncoding::Utf16Le);
      if (u16 == "<fail>" || u16 == bytes({0x5C, 0x00})) continue;
      ASSERT_EQ(conv(u16, TextEncoding::Utf16Le, TextEncoding::ShiftJis), sjis) << lead << " " << trail;
      ASSERT_EQ(conv(conv(sjis, TextEncoding::ShiftJis, TextEncoding::EucJp), TextEncoding::EucJp,
                     TextEncoding::ShiftJis), sjis);
    }
  }
}

TEST(Unicode, AstralCharacterAcrossUtfFormsButNotJapanese) {
  const std::string utf8 = bytes({0xF0, 0x9F, 0x98, 0x80});
  const std::string u16le = bytes({0x3D, 0xD8, 0x00, 0xDE});
  const std::string u32be = bytes({0x00, 0x01, 0xF6, 0x00});
  EXPECT_EQ(conv(utf8, TextEncoding::Utf8, TextEncoding::Utf16Le), u16le);
  EXPECT_EQ(conv(utf8, TextEncoding::Utf8, TextEncoding::Utf16Be), bytes({0xD8, 0x3D, 0xDE, 0x00}));
  EXPECT_EQ(conv(u16le, TextEncoding::Utf16Le, TextEncoding::Utf32Be), u32be);
  EXPECT_EQ(conv(u32be, TextEncoding::Utf32Be, TextEncoding::Utf8), utf8);
  EXPECT_EQ(conv(u32be, TextEncoding::Utf32Be, TextEncoding::Utf16Le), u16le);
  EXPECT_EQ(conv(utf8, TextEncoding::Utf8, TextEncoding::ShiftJis), "<fail>");
  EXPECT_EQ(conv(u16le, TextEncoding::Utf16Le, TextEncoding::EucJp), "<fail>");
}

TEST(Unicode, MalformedInputFails) {
  EXPECT_EQ(conv(bytes({0x00, 0xDC}), TextEncoding::Utf16Le, TextEncoding::Utf8), "<fail>");        // lone low
  EXPECT_EQ(conv(bytes({0x3D, 0xD8, 0x41, 0x00}), TextEncoding::Utf16Le, TextEncoding::Utf8), "<fail>");
  EXPECT_EQ(conv(bytes({0x3D, 0xD8}), TextEncoding::Utf16Le, TextEncoding::Utf16Be), "<fail>");
  EXPECT_EQ(conv(bytes({0x41, 0x00, 0x42}), TextEncoding::Utf16Le, TextEncoding::Utf8), "<fail>");  // odd length
  EXPECT_EQ(conv(bytes({0x00, 0x11, 0x00, 0x00}), TextEncoding::Utf32Be, TextEncoding::Utf16Be), "<fail>");
  EXPECT_EQ(conv(bytes({0x00, 0x00, 0xD8, 0x00}), TextEncoding::Utf32Be, TextEncoding::Utf8), "<fail>");
  EXPECT_EQ(conv(bytes({0xC0, 0xAF}), TextEncoding::Utf8, TextEncoding::Utf16Le), "<fail>");       // overlong "/"
  EXPECT_EQ(conv(bytes({0xED, 0xA0, 0x80}), TextEncoding::Utf8, TextEncoding::Utf32Le), "<fail>");
  EXPECT_EQ(conv(bytes({0xC2, 0xA5}), TextEncoding::Utf8, TextEncoding::ShiftJis), "<fail>");  // yen sign
}

TEST(Convert, EmptyAndMeasuringAndAllOrNothing) {
  PathBuffer<8> out;
  ASSERT_TRUE(out.assign("ab"));
  EXPECT_EQ(convert(TextView(), TextEncoding::Utf8, &out, TextEncoding::Utf32Le), 0);
  EXPECT_EQ(out.view(), "ab");
  EXPECT_EQ(convert("xyz", TextEncoding::Utf8, nullptr, TextEncoding::Utf32Le), 12);
  // Runs out of space on the second character.
  EXPECT_EQ(convert("xy", TextEncoding::Utf8, &out, TextEncoding::Utf32Le), -1);
  EXPECT_EQ(out.view(), "ab");
  // Fails on a character behind some that fitted.
  EXPECT_EQ(convert(bytes({'x', 0xFF}), TextEncoding::Utf8, &out, TextEncoding::Utf16Le), -1);
  EXPECT_EQ(out.view(), "ab");
  EXPECT_EQ(convert("abcdefg", TextEncoding::Utf8, &out, TextEncoding::Utf8), -1);
  EXPECT_EQ(out.view(), "ab");
  EXPECT_TRUE(append_converted(out, TextEncoding::Utf16Be, "xyz", TextEncoding::Utf8));
  EXPECT_EQ(out.view(), std::string("ab") + test::widen("xyz", TextEncoding::Utf16Be));
}

TEST(Convert, ToNewBufferIsTerminatedAndExact) {
  const auto wide = convert_to_new("disk", TextEncoding::Utf8, TextEncoding::Utf16Le);
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(std::string(wide->begin(), wide->end()), test::widen("disk", TextEncoding::Utf16Le) + std::string(2, '\0'));
  const auto empty = convert_to_new("", TextEncoding::Utf8, TextEncoding::Utf32Be);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 4u);
  EXPECT_FALSE(convert_to_new(bytes({0x87, 0x40}), TextEncoding::ShiftJis, TextEncoding::Utf8).has_value());
  PathBuffer<16> out;
  EXPECT_EQ(utf8_to_utf16be("A", &out), 2);
  EXPECT_EQ(utf16be_to_utf8(out.view(), &out), 1);
  EXPECT_EQ(out.view().substr(2), "A");
}

TEST(Convert, RoundTripsAcrossAllPairs) {
  // ASCII, a Latin-1 sign, hiragana, kanji and a half-width katakana: every encoding holds them.
  const std::string sample = "VM disk_01 \xC2\xA7 \xE3\x81\x81\xE6\xBC\xA2\xEF\xBD\xB1 ~\\";
  for (TextEncoding from : kAllEncodings) {
    const std::string src = conv(sample, TextEncoding::Utf8, from);
    ASSERT_NE(src, "<fail>") << static_cast<int>(from);
    for (TextEncoding to : kAllEncodings) {
      const std::string there = conv(src, from, to);
      ASSERT_NE(there, "<fail>") << static_cast<int>(from) << "->" << static_cast<int>(to);
      EXPECT_EQ(convert(src, from, nullptr, to), static_cast<int64_t>(there.size()));
      EXPECT_EQ(conv(there, to, from), src) << static_cast<int>(from) << "->" << static_cast<int>(to);
      EXPECT_EQ(conv(there, to, TextEncoding::Utf8), sample);
    }
  }
}

}  // namespace
}  // namespace qx
