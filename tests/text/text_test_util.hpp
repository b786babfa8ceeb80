// Helpers for the text tests: ASCII widened to any encoding, bytes as strings.
#pragma once

#include <string>

#include "text/encoding.hpp"

namespace qx::test {

inline constexpr TextEncoding kAllEncodings[] = {
    TextEncoding::ShiftJis, TextEncoding::EucJp,   TextEncoding::Utf8,    TextEncoding::Utf16Le,
    TextEncoding::Utf16Be,  TextEncoding::Utf32Le, TextEncoding::Utf32Be,
};

// ASCII text with each byte as one code unit of enc.
inline std::string widen(std::string_view ascii, TextEncoding enc) {
  const EncodingOps& ops = encoding_ops(enc);
  std::string out(ascii.size() * ops.unit, '\0');
  for (size_t i = 0; i < ascii.size(); ++i) ops.write_unit(out.data() + i * ops.unit, static_cast<uint8_t>(ascii[i]));
  return out;
}

inline std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

}  // namespace qx::test
