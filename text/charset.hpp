// Conversion between any two of the seven text encodings. There is no replacement character:
// a character that is invalid in the source or has no mapping in the target fails the whole
// conversion. Shift_JIS and EUC-JP reach Unicode through one UTF-16 unit (BMP only).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "text/path_string.hpp"
#include "text/text_view.hpp"

namespace qx {

// Appends src converted to out_enc to *out (or only measures when out is null) and returns the
// bytes produced, or -1. All or nothing: on failure out's length is restored.
int64_t convert(TextView src, TextEncoding src_enc, PathString* out, TextEncoding out_enc) noexcept;

// The converted text followed by out_enc's NUL, in a buffer of exactly that size.
std::optional<std::vector<char>> convert_to_new(TextView src, TextEncoding src_enc,
                                                TextEncoding out_enc) noexcept;

[[nodiscard]] bool append_converted(PathString& out, TextEncoding out_enc, TextView v,
                                    TextEncoding v_enc) noexcept;

// Shortcuts between the working encoding and UTF-16.
inline int64_t utf8_to_utf16le(TextView src, PathString* out) noexcept {
  return convert(src, TextEncoding::Utf8, out, TextEncoding::Utf16Le);
}
inline int64_t utf8_to_utf16be(TextView src, PathString* out) noexcept {
  return convert(src, TextEncoding::Utf8, out, TextEncoding::Utf16Be);
}
inline int64_t utf16le_to_utf8(TextView src, PathString* out) noexcept {
  return convert(src, TextEncoding::Utf16Le, out, TextEncoding::Utf8);
}
inline int64_t utf16be_to_utf8(TextView src, PathString* out) noexcept {
  return convert(src, TextEncoding::Utf16Be, out, TextEncoding::Utf8);
}

// One-character steps. decode_char answers the source bytes consumed (code point in cp) and
// encode_char the bytes written to out; both -1 on failure.
int decode_char(TextView src, TextEncoding enc, uint32_t& cp) noexcept;
int encode_char(uint32_t cp, TextEncoding enc, char (&out)[4]) noexcept;

// Shift_JIS <-> EUC-JP by arithmetic on row and cell, assigned or not; JIS X 0212 characters
// have no Shift_JIS form. Source bytes consumed (written bytes in written), or -1.
int sjis_to_euc_char(TextView src, char (&out)[4], uint32_t& written) noexcept;
int euc_to_sjis_char(TextView src, char (&out)[4], uint32_t& written) noexcept;

}  // namespace qx
