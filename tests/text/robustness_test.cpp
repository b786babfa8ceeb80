// Random bytes through every walker: nothing may read outside its view, hang or half-write.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/test_support.hpp"
#include "text/charset.hpp"
#include "text/format.hpp"
#include "text/paths.hpp"
#include "text/text_ops.hpp"
#include "text_test_util.hpp"

namespace qx {
namespace {

std::string random_text(std::mt19937& rng) {
  // Mostly path-like ASCII with stray high bytes and NULs.
  static const char kAlphabet[] = "/\\.:\" \t\r\n%0123456789abcAB";
  std::uniform_int_distribution<int> len(0, 24), pick(0, 9), any(0, 255);
  std::uniform_int_distribution<size_t> letter(0, sizeof kAlphabet - 2);
  std::string s(static_cast<size_t>(len(rng)), '\0');
  for (char& c : s) c = pick(rng) < 7 ? kAlphabet[letter(rng)] : static_cast<char>(any(rng));
  return s;
}

TEST(Robustness, RandomBytesInEveryEncoding) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 3000; ++i) {
    const std::string text = random_text(rng);
    const std::string other = random_text(rng);
    const TextEncoding enc = test::kAllEncodings[i % 7];
    const TextEncoding to = test::kAllEncodings[(i / 7) % 7];
    (void)count_chars(text, enc);
    (void)find_text(text, other.substr(0, 2), enc);
    (void)compare(text, other, 16, true, enc);
    TextView line, rest, token;
    bool none = false;
    (void)split_line(text, enc, line, rest);
    (void)next_token(text, enc, token, rest, none);
    uint32_t u = 0;
    int64_t s = 0;
    (void)parse_decimal(text, enc, u);
    (void)parse_decimal(text, enc, s);
    uint32_t len = 0;
    (void)stored_text_length(text, enc, len);
    (void)is_valid_windows_path(text, enc);
    PathBuffer<64> relative;
    (void)relative_path(text, other, enc, relative, PathStyle::Windows);

    PathBuffer<40> out;
    ASSERT_TRUE(out.assign("keep"));
    const int64_t measured = convert(text, enc, nullptr, to);
    const int64_t written = convert(text, enc, &out, to);
    if (written < 0) {
      ASSERT_EQ(out.view(), "keep");
    } else {
      ASSERT_EQ(written, measured);
      ASSERT_EQ(out.length(), 4 + written);
    }
    out.clear();
    if (!normalize_path(text, enc, out, i % 2 ? PathStyle::Unix : PathStyle::Windows)) {
      ASSERT_EQ(out.length(), 0u);
    }
    PathBuffer<48> formatted;
    if (!append_formatted(formatted, to, text, enc, {7u, {other, enc}})) {
      ASSERT_EQ(formatted.length(), 0u);
    }
  }
}

TEST(JisGenerator, CommittedTablesMatchTheGenerator) {
  const std::string enc_dir = "/usr/share/tcltk/tcl8.6/encoding";
  if (!test::have_tool("python3") || test::read_file(enc_dir + "/jis0208.enc").empty()) {
    GTEST_SKIP() << "python3 or the Tcl encoding files are missing";
  }
  test::TempDir dir;
  const std::string out = dir.file("jis_tables.cpp");
  const auto r = test::run_command("python3 " + test::shell_quote(test::source_dir() + "/tools/gen_jis_tables.py") +
                                   " " + test::shell_quote(enc_dir) + " " + test::shell_quote(out));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(test::read_file(out), test::read_file(test::source_dir() + "/text/jis_tables.cpp"));
}

}  // namespace
}  // namespace qx
