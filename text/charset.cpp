#include "text/charset.hpp"

#include <new>

#include "text/encoding.hpp"
#include "text/jis_tables.hpp"

namespace qx {
namespace {

constexpr uint32_t kHalfWidthKatakanaOffset = 0xFEC0;  // byte A1-DF <-> U+FF61-FF9F

inline uint8_t byte_at(TextView v, uint32_t i) noexcept { return static_cast<uint8_t>(v[i]); }
inline bool is_surrogate(uint32_t cp) noexcept { return cp >= 0xD800 && cp <= 0xDFFF; }
inline bool is_half_width_katakana_byte(uint32_t b) noexcept { return b >= 0xA1 && b <= 0xDF; }

// Shift_JIS double-byte character to JIS row and cell; the row exceeds 0x7E for leads F0-FC.
void sjis_to_jis(uint8_t lead, uint8_t trail, uint32_t& row, uint32_t& cell) noexcept {
  const uint32_t l = lead >= 0xE0 ? lead - 0x40u : lead;
  row = (l - 0x81) * 2 + 0x21;
  if (trail >= 0x9F) {
    ++row;
    cell = trail - 0x7Eu;
  } else {
    cell = trail - (trail >= 0x80 ? 0x20u : 0x1Fu);
  }
}

void jis_to_sjis(uint32_t row, uint32_t cell, char (&out)[4]) noexcept {
  uint32_t lead = ((row - 0x21) >> 1) + 0x81;
  if (lead > 0x9F) lead += 0x40;
  uint32_t trail;
  if (row & 1) {
    trail = cell + 0x1F;
    if (trail >= 0x7F) ++trail;
  } else {
    trail = cell + 0x7E;
  }
  out[0] = static_cast<char>(lead);
  out[1] = static_cast<char>(trail);
}

int decode_sjis(TextView src, uint32_t& cp) noexcept {
  const uint32_t n = char_check(src, TextEncoding::ShiftJis);
  if (n == 0) return -1;
  const uint8_t b = byte_at(src, 0);
  if (n == 1) {
    if (b < 0x80) cp = b;
    else cp = b + kHalfWidthKatakanaOffset;
    return 1;
  }
  uint32_t row, cell;
  sjis_to_jis(b, byte_at(src, 1), row, cell);
  cp = jis0208_to_unicode((row << 8) | cell);
  return cp == 0 ? -1 : 2;
}

int decode_euc(TextView src, uint32_t& cp) noexcept {
  const uint32_t n = char_check(src, TextEncoding::EucJp);
  if (n == 0) return -1;
  const uint8_t b = byte_at(src, 0);
  if (n == 1) cp = b;
  else if (b == 0x8E) cp = byte_at(src, 1) + kHalfWidthKatakanaOffset;
  else if (b == 0x8F) cp = jis0212_to_unicode(((byte_at(src, 1) - 0x80u) << 8) | (byte_at(src, 2) - 0x80u));
  else cp = jis0208_to_unicode(((b - 0x80u) << 8) | (byte_at(src, 1) - 0x80u));
  return cp == 0 && n != 1 ? -1 : static_cast<int>(n);
}

int decode_utf8(TextView src, uint32_t& cp) noexcept {
  const uint32_t n = char_check(src, TextEncoding::Utf8);
  if (n == 0) return -1;
  const uint8_t lead = byte_at(src, 0);
  if (n == 1) {
    cp = lead;
    return 1;
  }
  uint32_t v = lead & (0x7Fu >> n);
  for (uint32_t i = 1; i < n; ++i) v = (v << 6) | (byte_at(src, i) & 0x3Fu);
  cp = v;
  return static_cast<int>(n);
}

int decode_utf16(TextView src, TextEncoding enc, uint32_t& cp) noexcept {
  const EncodingOps& ops = encoding_ops(enc);
  if (src.size() < 2) return -1;
  const uint32_t u = ops.read_unit(src.data());
  if (u >= 0xDC00 && u <= 0xDFFF) return -1;
  if (u < 0xD800 || u > 0xDBFF) {
    cp = u;
    return 2;
  }
  if (src.size() < 4) return -1;
  const uint32_t low = ops.read_unit(src.data() + 2);
  if (low < 0xDC00 || low > 0xDFFF) return -1;
  cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
  return 4;
}

int decode_utf32(TextView src, TextEncoding enc, uint32_t& cp) noexcept {
  if (src.size() < 4) return -1;
  const uint32_t v = encoding_ops(enc).read_unit(src.data());
  if (v > 0x10FFFF || is_surrogate(v)) return -1;
  cp = v;
  return 4;
}

int encode_sjis(uint32_t cp, char (&out)[4]) noexcept {
  if (cp < 0x80 || (cp >= 0xFF61 && cp <= 0xFF9F)) {
    out[0] = static_cast<char>(cp < 0x80 ? cp : cp - kHalfWidthKatakanaOffset);
    return 1;
  }
  if (cp > 0xFFFF) return -1;
  const uint16_t jis = unicode_to_jis0208(static_cast<uint16_t>(cp));
  if (jis == 0) return -1;
  jis_to_sjis(jis >> 8, jis & 0xFF, out);
  return 2;
}

int encode_euc(uint32_t cp, char (&out)[4]) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp >= 0xFF61 && cp <= 0xFF9F) {
    out[0] = static_cast<char>(0x8E);
    out[1] = static_cast<char>(cp - kHalfWidthKatakanaOffset);
    return 2;
  }
  if (cp > 0xFFFF) return -1;
  if (const uint16_t jis = unicode_to_jis0208(static_cast<uint16_t>(cp))) {
    out[0] = static_cast<char>((jis >> 8) | 0x80);
    out[1] = static_cast<char>((jis & 0xFF) | 0x80);
    return 2;
  }
  if (const uint16_t jis = unicode_to_jis0212(static_cast<uint16_t>(cp))) {
    out[0] = static_cast<char>(0x8F);
    out[1] = static_cast<char>((jis >> 8) | 0x80);
    out[2] = static_cast<char>((jis & 0xFF) | 0x80);
    return 3;
  }
  return -1;
}

int encode_utf8(uint32_t cp, char (&out)[4]) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

int encode_utf16(uint32_t cp, TextEncoding enc, char (&out)[4]) noexcept {
  const EncodingOps& ops = encoding_ops(enc);
  if (cp < 0x10000) {
    ops.write_unit(out, cp);
    return 2;
  }
  const uint32_t v = cp - 0x10000;
  ops.write_unit(out, 0xD800 + (v >> 10));
  ops.write_unit(out + 2, 0xDC00 + (v & 0x3FF));
  return 4;
}

using ArithmeticStep = int (*)(TextView, char (&)[4], uint32_t&) noexcept;

}  // namespace

int decode_char(TextView src, TextEncoding enc, uint32_t& cp) noexcept {
  switch (enc) {
    case TextEncoding::ShiftJis: return decode_sjis(src, cp);
    case TextEncoding::EucJp: return decode_euc(src, cp);
    case TextEncoding::Utf8: return decode_utf8(src, cp);
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be: return decode_utf16(src, enc, cp);
    case TextEncoding::Utf32Le:
    case TextEncoding::Utf32Be: return decode_utf32(src, enc, cp);
  }
  return -1;
}

int encode_char(uint32_t cp, TextEncoding enc, char (&out)[4]) noexcept {
  if (cp > 0x10FFFF || is_surrogate(cp)) return -1;
  switch (enc) {
    case TextEncoding::ShiftJis: return encode_sjis(cp, out);
    case TextEncoding::EucJp: return encode_euc(cp, out);
    case TextEncoding::Utf8: return encode_utf8(cp, out);
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be: return encode_utf16(cp, enc, out);
    case TextEncoding::Utf32Le:
    case TextEncoding::Utf32Be: encoding_ops(enc).write_unit(out, cp); return 4;
  }
  return -1;
}

int sjis_to_euc_char(TextView src, char (&out)[4], uint32_t& written) noexcept {
  const uint32_t n = char_check(src, TextEncoding::ShiftJis);
  if (n == 0) return -1;
  const uint8_t b = byte_at(src, 0);
  if (n == 1) {
    if (is_half_width_katakana_byte(b)) {
      out[0] = static_cast<char>(0x8E);
      out[1] = static_cast<char>(b);
      written = 2;
    } else {
      out[0] = static_cast<char>(b);
      written = 1;
    }
    return 1;
  }
  uint32_t row, cell;
  sjis_to_jis(b, byte_at(src, 1), row, cell);
  if (row > 0x7E) return -1;  // leads F0-FC lie outside the 94 rows EUC-JP can hold
  out[0] = static_cast<char>(row | 0x80);
  out[1] = static_cast<char>(cell | 0x80);
  written = 2;
  return 2;
}

int euc_to_sjis_char(TextView src, char (&out)[4], uint32_t& written) noexcept {
  const uint32_t n = char_check(src, TextEncoding::EucJp);
  if (n == 0 || n == 3) return -1;
  const uint8_t b = byte_at(src, 0);
  if (n == 1 || b == 0x8E) {
    out[0] = static_cast<char>(n == 1 ? b : byte_at(src, 1));
    written = 1;
    return static_cast<int>(n);
  }
  jis_to_sjis(b & 0x7Fu, byte_at(src, 1) & 0x7Fu, out);
  written = 2;
  return 2;
}

int64_t convert(TextView src, TextEncoding src_enc, PathString* out, TextEncoding out_enc) noexcept {
  if (src.empty()) return 0;
  if (src_enc == out_enc) {
    if (out != nullptr && !out->append(src)) return -1;
    return static_cast<int64_t>(src.size());
  }
  const uint32_t before = out != nullptr ? out->length() : 0;
  ArithmeticStep arithmetic = nullptr;
  if (src_enc == TextEncoding::ShiftJis && out_enc == TextEncoding::EucJp) arithmetic = sjis_to_euc_char;
  if (src_enc == TextEncoding::EucJp && out_enc == TextEncoding::ShiftJis) arithmetic = euc_to_sjis_char;
  int64_t total = 0;
  while (!src.empty()) {
    char scratch[4];
    int consumed;
    uint32_t written = 0;
    if (arithmetic != nullptr) {
      consumed = arithmetic(src, scratch, written);
    } else {
      uint32_t cp = 0;
      consumed = decode_char(src, src_enc, cp);
      const int n = consumed < 0 ? -1 : encode_char(cp, out_enc, scratch);
      if (n < 0) consumed = -1;
      written = n < 0 ? 0 : static_cast<uint32_t>(n);
    }
    if (consumed <= 0 || (out != nullptr && !out->append(TextView(scratch, written)))) {
      if (out != nullptr) out->truncate(before);
      return -1;
    }
    total += written;
    src.remove_prefix(static_cast<size_t>(consumed));
  }
  return total;
}

std::optional<std::vector<char>> convert_to_new(TextView src, TextEncoding src_enc, TextEncoding out_enc) noexcept {
  const int64_t size = convert(src, src_enc, nullptr, out_enc);
  const uint32_t nul = nul_size(out_enc);
  if (size < 0 || static_cast<uint64_t>(size) > UINT32_MAX - nul) return std::nullopt;
  try {
    std::vector<char> buffer(static_cast<size_t>(size) + nul, '\0');
    PathString text(buffer.data(), static_cast<uint32_t>(buffer.size()));
    if (convert(src, src_enc, &text, out_enc) != size || !text.append_terminator(out_enc)) return std::nullopt;
    return buffer;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

bool append_converted(PathString& out, TextEncoding out_enc, TextView v, TextEncoding v_enc) noexcept {
  return convert(v, v_enc, &out, out_enc) >= 0;
}

}  // namespace qx
