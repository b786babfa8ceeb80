#include "text/text_ops.hpp"

#include <cstring>
#include <limits>
#include <type_traits>

namespace qx {
namespace {

// Characters are equal when they have the same bytes (true of every valid encoded character).
inline bool same_char(TextView a, TextView b) noexcept { return a == b; }

bool in_set(TextView ch, TextView set, TextEncoding enc) noexcept {
  while (!set.empty()) {
    const uint32_t n = char_step(set, enc);
    if (same_char(ch, set.substr(0, n))) return true;
    set.remove_prefix(n);
  }
  return false;
}

// Walks text calling visit(pos, ch) for each character until it returns false.
template <typename Visit>
void walk(TextView text, TextEncoding enc, Visit visit) noexcept {
  uint32_t pos = 0;
  while (pos < text.size()) {
    const TextView rest = text.substr(pos);
    const uint32_t n = char_step(rest, enc);
    if (!visit(pos, rest.substr(0, n))) return;
    pos += n;
  }
}

uint32_t find_first_matching(TextView text, TextView set, TextEncoding enc, TextView stop,
                             bool want_in) noexcept {
  uint32_t found = kNotFound;
  walk(text, enc, [&](uint32_t pos, TextView ch) {
    if (in_set(ch, set, enc) == want_in) {
      found = pos;
      return false;
    }
    return stop.empty() || !same_char(ch, stop);
  });
  return found;
}

uint32_t find_last_matching(TextView text, TextView set, TextEncoding enc, bool want_in) noexcept {
  uint32_t found = kNotFound;
  walk(text, enc, [&](uint32_t pos, TextView ch) {
    if (in_set(ch, set, enc) == want_in) found = pos;
    return true;
  });
  return found;
}

int bytewise(TextView a, TextView b) noexcept {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c < 0 ? -1 : 1;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

template <typename U>
bool parse_unsigned(TextView digits, TextEncoding enc, U& out) noexcept {
  U value = 0;
  bool ok = true;
  walk(digits, enc, [&](uint32_t, TextView ch) {
    uint32_t d = 0;
    if (!char_digit(ch, enc, d) || value > (std::numeric_limits<U>::max() - d) / 10) {
      ok = false;
      return false;
    }
    value = static_cast<U>(value * 10 + d);
    return true;
  });
  if (ok) out = value;
  return ok;
}

template <typename U>
bool parse_unsigned_form(TextView text, TextEncoding enc, U& out) noexcept {
  text = trim_blanks(text, enc);
  return !text.empty() && parse_unsigned(text, enc, out);
}

template <typename S>
bool parse_signed_form(TextView text, TextEncoding enc, S& out) noexcept {
  using U = std::make_unsigned_t<S>;
  text = trim_blanks(text, enc);
  if (text.empty()) return false;
  const TextConstants& k = text_constants(enc);
  bool negative = false;
  if (text.starts_with(k.minus) || text.starts_with(k.plus)) {
    negative = text.starts_with(k.minus);
    text.remove_prefix(k.minus.size());
    if (text.empty()) {
      out = 0;
      return true;
    }
  }
  U magnitude = 0;
  if (!parse_unsigned(text, enc, magnitude)) return false;
  const U limit = static_cast<U>(std::numeric_limits<S>::max()) + (negative ? 1u : 0u);
  if (magnitude > limit) return false;
  out = negative ? static_cast<S>(U(0) - magnitude) : static_cast<S>(magnitude);
  return true;
}

}  // namespace

uint32_t find_char(TextView text, TextView ch, TextEncoding enc) noexcept {
  uint32_t found = kNotFound;
  walk(text, enc, [&](uint32_t pos, TextView c) {
    if (!same_char(c, ch)) return true;
    found = pos;
    return false;
  });
  return found;
}

uint32_t find_last_char(TextView text, TextView ch, TextEncoding enc) noexcept {
  uint32_t found = kNotFound;
  walk(text, enc, [&](uint32_t pos, TextView c) {
    if (same_char(c, ch)) found = pos;
    return true;
  });
  return found;
}

uint32_t find_first_in(TextView text, TextView set, TextEncoding enc, TextView stop) noexcept {
  return find_first_matching(text, set, enc, stop, true);
}
uint32_t find_first_not_in(TextView text, TextView set, TextEncoding enc, TextView stop) noexcept {
  return find_first_matching(text, set, enc, stop, false);
}
uint32_t find_last_in(TextView text, TextView set, TextEncoding enc) noexcept {
  return find_last_matching(text, set, enc, true);
}
uint32_t find_last_not_in(TextView text, TextView set, TextEncoding enc) noexcept {
  return find_last_matching(text, set, enc, false);
}

uint32_t find_text(TextView text, TextView needle, TextEncoding enc) noexcept {
  if (needle.empty()) return 0;
  uint32_t found = kNotFound;
  walk(text, enc, [&](uint32_t pos, TextView) {
    if (!text.substr(pos).starts_with(needle)) return true;
    found = pos;
    return false;
  });
  return found;
}

uint32_t count_chars(TextView text, TextEncoding enc) noexcept {
  uint32_t n = 0;
  walk(text, enc, [&](uint32_t, TextView) {
    ++n;
    return true;
  });
  return n;
}

uint32_t count_chars_before(TextView text, TextView ch, TextEncoding enc) noexcept {
  uint32_t n = 0;
  bool found = false;
  walk(text, enc, [&](uint32_t, TextView c) {
    if (same_char(c, ch)) {
      found = true;
      return false;
    }
    ++n;
    return true;
  });
  return found ? n : kNotFound;
}

bool starts_with_one_of(TextView text, TextView set, TextEncoding enc) noexcept {
  if (text.empty()) return false;
  return in_set(text.substr(0, char_step(text, enc)), set, enc);
}

int compare(TextView a, TextView b, uint32_t max_bytes, bool fold, TextEncoding enc) noexcept {
  a = a.substr(0, max_bytes);
  b = b.substr(0, max_bytes);
  while (!a.empty() && !b.empty()) {
    const uint32_t na = char_check(a, enc);
    const uint32_t nb = char_check(b, enc);
    if (na == 0 || nb == 0) return bytewise(a, b);
    const int c = char_compare(a.substr(0, na), b.substr(0, nb), fold, enc);
    if (c != 0) return c;
    a.remove_prefix(na);
    b.remove_prefix(nb);
  }
  if (a.empty() && b.empty()) return 0;
  return a.empty() ? -1 : 1;
}

bool split_line(TextView text, TextEncoding enc, TextView& line, TextView& rest) noexcept {
  const TextConstants& k = text_constants(enc);
  const uint32_t pos = find_first_in(text, k.crlf, enc);
  if (pos == kNotFound) {
    line = text;
    rest = text.substr(text.size());
    return false;
  }
  line = text.substr(0, pos);
  TextView after = text.substr(pos);
  after.remove_prefix(after.starts_with(k.crlf) ? k.crlf.size() : k.cr.size());
  rest = after;
  return !rest.empty();
}

TextView trim_blanks(TextView text, TextEncoding enc) noexcept {
  const TextView blanks = text_constants(enc).blanks;
  const uint32_t first = find_first_not_in(text, blanks, enc);
  if (first == kNotFound) return text.substr(0, 0);
  const uint32_t last = find_last_not_in(text, blanks, enc);
  const uint32_t end = last + char_step(text.substr(last), enc);
  return text.substr(first, end - first);
}

bool next_token(TextView text, TextEncoding enc, TextView& token, TextView& rest, bool& none) noexcept {
  const TextConstants& k = text_constants(enc);
  none = false;
  const uint32_t start = find_first_not_in(text, k.blanks, enc);
  if (start == kNotFound) {
    none = true;
    token = text.substr(text.size());
    rest = token;
    return true;
  }
  TextView body = text.substr(start);
  if (body.starts_with(k.quote)) {
    body.remove_prefix(k.quote.size());
    const uint32_t close = find_char(body, k.quote, enc);
    if (close == kNotFound) return false;
    token = body.substr(0, close);
    rest = body.substr(close + k.quote.size());
    return true;
  }
  // An unquoted token must not hold a quote before its end.
  const uint32_t end = find_first_in(body, k.blanks, enc);
  const TextView word = end == kNotFound ? body : body.substr(0, end);
  if (find_char(word, k.quote, enc) != kNotFound) return false;
  token = word;
  rest = body.substr(word.size());
  return true;
}

bool parse_decimal(TextView text, TextEncoding enc, uint32_t& out) noexcept {
  return parse_unsigned_form(text, enc, out);
}
bool parse_decimal(TextView text, TextEncoding enc, uint64_t& out) noexcept {
  return parse_unsigned_form(text, enc, out);
}
bool parse_decimal(TextView text, TextEncoding enc, int32_t& out) noexcept {
  return parse_signed_form(text, enc, out);
}
bool parse_decimal(TextView text, TextEncoding enc, int64_t& out) noexcept {
  return parse_signed_form(text, enc, out);
}

bool append_number(PathString& out, uint64_t value, uint32_t base, uint32_t min_width, bool zero_pad,
                   bool upper, TextEncoding enc) noexcept {
  if (base < 2 || base > 16) return false;
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[64];
  uint32_t count = 0;
  do {
    reversed[count++] = digits[value % base];
    value /= base;
  } while (value != 0);
  const EncodingOps& ops = encoding_ops(enc);
  const uint32_t pad = min_width > count ? min_width - count : 0;
  if (pad > out.free_space() / ops.unit || count > out.free_space() / ops.unit - pad) return false;
  for (uint32_t i = 0; i < pad; ++i) {
    if (!out.append_ascii(zero_pad ? '0' : ' ', enc)) return false;
  }
  while (count != 0) {
    if (!out.append_ascii(reversed[--count], enc)) return false;
  }
  return true;
}

int64_t write_decimal(PathString& out, uint32_t value, TextEncoding enc) noexcept {
  const uint32_t before = out.length();
  if (!append_number(out, value, 10, 0, false, false, enc)) return -1;
  return out.length() - before;
}

}  // namespace qx
