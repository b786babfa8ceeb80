#include "text/encoding.hpp"

#include <array>
#include <cstring>

namespace qx {
namespace {

inline uint8_t byte_at(const char* p, uint32_t i) noexcept { return static_cast<uint8_t>(p[i]); }
inline uint8_t byte_at(TextView v, uint32_t i) noexcept { return static_cast<uint8_t>(v[i]); }

inline uint32_t fold_ascii(uint32_t c, bool fold) noexcept {
  return (fold && c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

inline int order(uint32_t a, uint32_t b) noexcept { return a < b ? -1 : (a > b ? 1 : 0); }

// Japanese encodings: fewer bytes first, then bytewise; single bytes fold.
int compare_multibyte(TextView a, TextView b, bool fold) noexcept {
  if (a.size() != b.size()) return order(static_cast<uint32_t>(a.size()), static_cast<uint32_t>(b.size()));
  if (a.size() == 1) return order(fold_ascii(byte_at(a, 0), fold), fold_ascii(byte_at(b, 0), fold));
  for (uint32_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return order(byte_at(a, i), byte_at(b, i));
  }
  return 0;
}

// ---- Shift_JIS

uint32_t sjis_size(const char* p) noexcept {
  const uint8_t b = byte_at(p, 0);
  if (b <= 0x7F || (b >= 0xA1 && b <= 0xDF)) return 1;
  if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) return 2;
  return 0;
}

uint32_t sjis_check(TextView t) noexcept {
  if (t.empty()) return 0;
  const uint32_t n = sjis_size(t.data());
  if (n != 2) return n;
  if (t.size() < 2) return 0;
  const uint8_t trail = byte_at(t, 1);
  return ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC)) ? 2 : 0;
}

// ---- EUC-JP

uint32_t euc_size(const char* p) noexcept {
  const uint8_t b = byte_at(p, 0);
  if (b <= 0x7F) return 1;
  if (b == 0x8E || (b >= 0xA1 && b <= 0xFE)) return 2;
  if (b == 0x8F) return 3;
  return 0;
}

inline bool euc_cell(uint8_t b) noexcept { return b >= 0xA1 && b <= 0xFE; }

uint32_t euc_check(TextView t) noexcept {
  if (t.empty()) return 0;
  const uint8_t lead = byte_at(t, 0);
  const uint32_t n = euc_size(t.data());
  if (n <= 1 || t.size() < n) return n <= 1 ? n : 0;
  const uint8_t second = byte_at(t, 1);
  if (lead == 0x8E) return (second >= 0xA1 && second <= 0xDF) ? 2 : 0;
  if (lead == 0x8F) return (euc_cell(second) && euc_cell(byte_at(t, 2))) ? 3 : 0;
  return euc_cell(second) ? 2 : 0;
}

// ---- UTF-8

uint32_t utf8_size(const char* p) noexcept {
  const uint8_t b = byte_at(p, 0);
  if (b <= 0x7F) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

inline bool continuation(uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

uint32_t utf8_check(TextView t) noexcept {
  if (t.empty()) return 0;
  const uint32_t n = utf8_size(t.data());
  if (n <= 1) return n;
  if (t.size() < n) return 0;
  const uint8_t lead = byte_at(t, 0);
  const uint8_t second = byte_at(t, 1);
  // The second byte's range rules out overlongs, surrogates and values above U+10FFFF.
  uint8_t lo = 0x80, hi = 0xBF;
  if (lead == 0xE0) lo = 0xA0;
  if (lead == 0xED) hi = 0x9F;
  if (lead == 0xF0) lo = 0x90;
  if (lead == 0xF4) hi = 0x8F;
  if (second < lo || second > hi) return 0;
  for (uint32_t i = 2; i < n; ++i) {
    if (!continuation(byte_at(t, i))) return 0;
  }
  return n;
}

// Decodes a character already known to span t (its bytes are trusted only as far as masks go).
uint32_t utf8_value(TextView t) noexcept {
  const uint8_t lead = byte_at(t, 0);
  if (t.size() == 1) return lead;
  uint32_t v = lead & (0x7F >> t.size());
  for (uint32_t i = 1; i < t.size(); ++i) v = (v << 6) | (byte_at(t, i) & 0x3F);
  return v;
}

int utf8_compare(TextView a, TextView b, bool fold) noexcept {
  if (a.empty() || b.empty()) return order(!a.empty(), !b.empty());
  return order(fold_ascii(utf8_value(a), fold), fold_ascii(utf8_value(b), fold));
}

// ---- UTF-16

uint32_t u16le_read(const char* p) noexcept { return byte_at(p, 0) | (byte_at(p, 1) << 8); }
uint32_t u16be_read(const char* p) noexcept { return (byte_at(p, 0) << 8) | byte_at(p, 1); }
void u16le_write(char* p, uint32_t v) noexcept {
  p[0] = static_cast<char>(v & 0xFF);
  p[1] = static_cast<char>((v >> 8) & 0xFF);
}
void u16be_write(char* p, uint32_t v) noexcept {
  p[0] = static_cast<char>((v >> 8) & 0xFF);
  p[1] = static_cast<char>(v & 0xFF);
}

inline bool high_surrogate(uint32_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
inline bool low_surrogate(uint32_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

template <uint32_t (*Read)(const char*)>
uint32_t u16_size(const char* p) noexcept {
  return high_surrogate(Read(p)) ? 4 : 2;
}

template <uint32_t (*Read)(const char*)>
uint32_t u16_check(TextView t) noexcept {
  if (t.size() < 2) return 0;
  if (!high_surrogate(Read(t.data()))) return 2;
  return (t.size() >= 4 && low_surrogate(Read(t.data() + 2))) ? 4 : 0;
}

template <uint32_t (*Read)(const char*)>
uint32_t u16_value(TextView t) noexcept {
  if (t.size() < 2) return 0;
  const uint32_t u = Read(t.data());
  if (t.size() >= 4 && high_surrogate(u)) {
    return 0x10000 + ((u - 0xD800) << 10) + (Read(t.data() + 2) & 0x3FF);
  }
  return u;
}

template <uint32_t (*Read)(const char*)>
int u16_compare(TextView a, TextView b, bool fold) noexcept {
  return order(fold_ascii(u16_value<Read>(a), fold), fold_ascii(u16_value<Read>(b), fold));
}

// ---- UTF-32

uint32_t u32le_read(const char* p) noexcept {
  return byte_at(p, 0) | (byte_at(p, 1) << 8) | (byte_at(p, 2) << 16) | (static_cast<uint32_t>(byte_at(p, 3)) << 24);
}
uint32_t u32be_read(const char* p) noexcept {
  return (static_cast<uint32_t>(byte_at(p, 0)) << 24) | (byte_at(p, 1) << 16) | (byte_at(p, 2) << 8) | byte_at(p, 3);
}
void u32le_write(char* p, uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void u32be_write(char* p, uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * (3 - i))) & 0xFF);
}

uint32_t u32_size(const char*) noexcept { return 4; }

template <uint32_t (*Read)(const char*)>
uint32_t u32_check(TextView t) noexcept {
  return (t.size() >= 4 && Read(t.data()) <= 0x10FFFF) ? 4 : 0;
}

template <uint32_t (*Read)(const char*)>
int u32_compare(TextView a, TextView b, bool fold) noexcept {
  const uint32_t va = a.size() >= 4 ? Read(a.data()) : 0;
  const uint32_t vb = b.size() >= 4 ? Read(b.data()) : 0;
  return order(fold_ascii(va, fold), fold_ascii(vb, fold));
}

// ---- narrow code units

uint32_t byte_read(const char* p) noexcept { return byte_at(p, 0); }
void byte_write(char* p, uint32_t v) noexcept { p[0] = static_cast<char>(v & 0xFF); }

constexpr EncodingOps kOps[kTextEncodingCount] = {
    {1, sjis_size, sjis_check, compare_multibyte, byte_read, byte_write},
    {1, euc_size, euc_check, compare_multibyte, byte_read, byte_write},
    {1, utf8_size, utf8_check, utf8_compare, byte_read, byte_write},
    {2, u16_size<u16le_read>, u16_check<u16le_read>, u16_compare<u16le_read>, u16le_read, u16le_write},
    {2, u16_size<u16be_read>, u16_check<u16be_read>, u16_compare<u16be_read>, u16be_read, u16be_write},
    {4, u32_size, u32_check<u32le_read>, u32_compare<u32le_read>, u32le_read, u32le_write},
    {4, u32_size, u32_check<u32be_read>, u32_compare<u32be_read>, u32be_read, u32be_write},
};

// ---- constants: one pool for the narrow encodings and one per wide encoding

struct Lit {
  std::array<char, 40> bytes{};
  uint32_t size = 0;
};

constexpr Lit widen(std::string_view ascii, uint32_t unit, bool big_endian) {
  Lit lit;
  for (char c : ascii) {
    for (uint32_t i = 0; i < unit; ++i) {
      const uint32_t pos = big_endian ? unit - 1 - i : i;
      lit.bytes[lit.size + pos] = i == 0 ? c : '\0';
    }
    lit.size += unit;
  }
  return lit;
}

struct Pool {
  Lit blanks, backslash, slash, nul, dot, dotdot, colon, plus, minus, cr, lf, crlf, quote;
  Lit stored_name_forbidden, windows_forbidden, double_slash, double_backslash;
};

constexpr Pool make_pool(uint32_t unit, bool big) {
  using namespace std::string_view_literals;
  return Pool{widen(" \t", unit, big),         widen("\\", unit, big),   widen("/", unit, big),
              widen("\0"sv, unit, big),         widen(".", unit, big),    widen("..", unit, big),
              widen(":", unit, big),            widen("+", unit, big),    widen("-", unit, big),
              widen("\r", unit, big),           widen("\n", unit, big),   widen("\r\n", unit, big),
              widen("\"", unit, big),           widen("/:,;*?\"<>|", unit, big),
              widen("/:*?\"<>|", unit, big),    widen("//", unit, big),   widen("\\\\", unit, big)};
}

constexpr Pool kPools[5] = {make_pool(1, false), make_pool(2, false), make_pool(2, true),
                            make_pool(4, false), make_pool(4, true)};

constexpr TextView view_of(const Lit& lit) { return TextView(lit.bytes.data(), lit.size); }

constexpr TextConstants make_constants(const Pool& p) {
  return TextConstants{view_of(p.blanks), view_of(p.backslash), view_of(p.slash), view_of(p.nul),
                       view_of(p.dot), view_of(p.dotdot), view_of(p.colon), view_of(p.plus),
                       view_of(p.minus), view_of(p.cr), view_of(p.lf), view_of(p.crlf),
                       view_of(p.quote), view_of(p.stored_name_forbidden),
                       view_of(p.windows_forbidden), view_of(p.double_slash),
                       view_of(p.double_backslash)};
}

constexpr TextConstants kConstants[5] = {make_constants(kPools[0]), make_constants(kPools[1]),
                                         make_constants(kPools[2]), make_constants(kPools[3]),
                                         make_constants(kPools[4])};

inline uint32_t index_of(TextEncoding enc) noexcept {
  const auto i = static_cast<uint32_t>(enc);
  return i < kTextEncodingCount ? i : static_cast<uint32_t>(TextEncoding::Utf8);
}

}  // namespace

const EncodingOps& encoding_ops(TextEncoding enc) noexcept { return kOps[index_of(enc)]; }

const TextConstants& text_constants(TextEncoding enc) noexcept {
  const uint32_t i = index_of(enc);
  return kConstants[i <= 2 ? 0 : i - 2];
}

uint32_t char_size(TextView text, TextEncoding enc) noexcept {
  const EncodingOps& ops = encoding_ops(enc);
  return text.size() < ops.unit ? 0 : ops.size(text.data());
}

uint32_t char_step(TextView text, TextEncoding enc) noexcept {
  const EncodingOps& ops = encoding_ops(enc);
  const auto left = static_cast<uint32_t>(text.size());
  if (left < ops.unit) return left;
  uint32_t n = ops.size(text.data());
  if (n == 0) n = ops.unit;
  return n < left ? n : left;
}

int ascii_value(TextView ch, TextEncoding enc) noexcept {
  const EncodingOps& ops = encoding_ops(enc);
  if (ch.size() != ops.unit) return -1;
  const uint32_t v = ops.read_unit(ch.data());
  return v < 0x80 ? static_cast<int>(v) : -1;
}

bool char_digit(TextView ch, TextEncoding enc, uint32_t& value) noexcept {
  const int c = ascii_value(ch, enc);
  if (c < '0' || c > '9') return false;
  value = static_cast<uint32_t>(c - '0');
  return true;
}

bool char_is_letter(TextView ch, TextEncoding enc) noexcept {
  const int c = ascii_value(ch, enc);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

TextView view_of_terminated(const char* text, TextEncoding enc) noexcept {
  if (text == nullptr) return TextView();
  const uint32_t unit = unit_size(enc);
  uint32_t n = 0;
  for (;;) {
    bool zero = true;
    for (uint32_t i = 0; i < unit; ++i) zero = zero && text[n + i] == '\0';
    if (zero) return TextView(text, n);
    n += unit;
  }
}

bool stored_text_length(TextView field, TextEncoding enc, uint32_t& length) noexcept {
  const uint32_t unit = unit_size(enc);
  uint32_t pos = 0;
  while (pos < field.size()) {
    const TextView rest = field.substr(pos);
    if (rest.size() >= unit && std::memcmp(rest.data(), text_constants(enc).nul.data(), unit) == 0) {
      length = pos;
      return true;
    }
    const uint32_t n = char_check(rest, enc);
    if (n == 0) return false;
    pos += n;
  }
  length = kNotFound;
  return true;
}

bool stored_text(TextView field, TextEncoding enc, TextView& text) noexcept {
  uint32_t length = 0;
  if (!stored_text_length(field, enc, length)) return false;
  text = length == kNotFound ? field : field.substr(0, length);
  return true;
}

bool encode_literal(TextView& out, std::span<char> scratch, std::string_view literal,
                    TextEncoding enc) noexcept {
  for (char c : literal) {
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  }
  const EncodingOps& ops = encoding_ops(enc);
  if (ops.unit == 1) {
    out = literal;
    return true;
  }
  if (literal.size() > scratch.size() / ops.unit) return false;
  for (size_t i = 0; i < literal.size(); ++i) {
    ops.write_unit(scratch.data() + i * ops.unit, static_cast<uint8_t>(literal[i]));
  }
  out = TextView(scratch.data(), literal.size() * ops.unit);
  return true;
}

}  // namespace qx
