// Encoding-aware searching, comparison, descriptor line/token splitting and decimal numbers.
// Walks step over whole characters (a Shift_JIS trail byte is never taken for ASCII); a
// character argument (ch, stop) is one character in the text's encoding, a set is a view of
// characters. Searches answer byte offsets or kNotFound.
#pragma once

#include <cstdint>

#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/text_view.hpp"

namespace qx {

uint32_t find_char(TextView text, TextView ch, TextEncoding enc) noexcept;
uint32_t find_last_char(TextView text, TextView ch, TextEncoding enc) noexcept;
// First character in / not in set; kNotFound also when the stop character (if given) comes first.
uint32_t find_first_in(TextView text, TextView set, TextEncoding enc, TextView stop = {}) noexcept;
uint32_t find_first_not_in(TextView text, TextView set, TextEncoding enc, TextView stop = {}) noexcept;
uint32_t find_last_in(TextView text, TextView set, TextEncoding enc) noexcept;
uint32_t find_last_not_in(TextView text, TextView set, TextEncoding enc) noexcept;
// First occurrence of needle starting on a character boundary; an empty needle is found at 0.
uint32_t find_text(TextView text, TextView needle, TextEncoding enc) noexcept;
uint32_t count_chars(TextView text, TextEncoding enc) noexcept;
// Number of characters before the first ch, or kNotFound when text holds no ch.
uint32_t count_chars_before(TextView text, TextView ch, TextEncoding enc) noexcept;
// True when the character at the start of text is one of set.
bool starts_with_one_of(TextView text, TextView set, TextEncoding enc) noexcept;

// Character by character over at most max_bytes of each view; an invalid character on either
// side turns the rest into an unsigned bytewise comparison; the shorter view orders first.
int compare(TextView a, TextView b, uint32_t max_bytes, bool fold, TextEncoding enc) noexcept;

// Splits at the first CR, LF or CR LF. Without a break the whole text is the line and rest is
// empty. Returns whether text follows the break.
[[nodiscard]] bool split_line(TextView text, TextEncoding enc, TextView& line, TextView& rest) noexcept;

// Without leading and trailing blanks (space, tab); all-blank text gives an empty view at its start.
TextView trim_blanks(TextView text, TextEncoding enc) noexcept;

// Next blank-separated token; a token opening with a double quote runs to the closing quote
// (no escapes) and rest starts behind it. none is set (and the call succeeds) when only blanks
// are left. Fails on a missing closing quote or a quote inside an unquoted token.
[[nodiscard]] bool next_token(TextView text, TextEncoding enc, TextView& token, TextView& rest,
                              bool& none) noexcept;

// Decimal numbers between optional blanks; the signed forms take one leading "+" or "-" (a lone
// sign reads as 0). Empty text, any other character or a value out of range fails.
[[nodiscard]] bool parse_decimal(TextView text, TextEncoding enc, uint32_t& out) noexcept;
[[nodiscard]] bool parse_decimal(TextView text, TextEncoding enc, int32_t& out) noexcept;
[[nodiscard]] bool parse_decimal(TextView text, TextEncoding enc, uint64_t& out) noexcept;
[[nodiscard]] bool parse_decimal(TextView text, TextEncoding enc, int64_t& out) noexcept;

// Appends the digits of value in base 2..16 (most significant first, one code unit each),
// padded on the left to min_width with "0" or blanks. At least one digit is always written.
[[nodiscard]] bool append_number(PathString& out, uint64_t value, uint32_t base, uint32_t min_width,
                                 bool zero_pad, bool upper, TextEncoding enc) noexcept;
// Appends the decimal digits of value; returns the bytes written or -1 when they do not fit.
int64_t write_decimal(PathString& out, uint32_t value, TextEncoding enc) noexcept;

}  // namespace qx
