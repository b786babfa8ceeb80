// The formatting engine used to build file names: appends a format with its arguments to a
// PathString, converting every piece of text to the output encoding.
//
// Conversions: %d %i (signed 32-bit), %u (unsigned 32-bit), %x %X (hexadecimal), %w (signed
// 64-bit), %s %t (text with its encoding), %%. A "0" flag and a decimal width apply to %u, %x
// and %X. Anything else between "%" and the letter, the letters c C o e E f F g G a A S p, a
// "%" at the end, a missing or mismatched argument, an argument left over, a conversion error or
// a full buffer fails the call. The output encoding's NUL is written behind the result.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/text_view.hpp"

namespace qx {

class FormatArg {
 public:
  enum class Kind : uint8_t { Int32, Uint32, Int64, Text };

  FormatArg(int32_t v) noexcept : kind_(Kind::Int32), number_(static_cast<uint32_t>(v)) {}
  FormatArg(uint32_t v) noexcept : kind_(Kind::Uint32), number_(v) {}
  FormatArg(int64_t v) noexcept : kind_(Kind::Int64), number_(static_cast<uint64_t>(v)) {}
  FormatArg(TextView text, TextEncoding enc) noexcept : kind_(Kind::Text), text_(text), enc_(enc) {}
  // A text that ends in its encoding's NUL character.
  static FormatArg terminated(const char* text, TextEncoding enc) noexcept {
    return FormatArg(view_of_terminated(text, enc), enc);
  }

  Kind kind() const noexcept { return kind_; }
  bool is_word() const noexcept { return kind_ == Kind::Int32 || kind_ == Kind::Uint32; }
  uint32_t word() const noexcept { return static_cast<uint32_t>(number_); }
  int64_t wide() const noexcept { return static_cast<int64_t>(number_); }
  TextView text() const noexcept { return text_; }
  TextEncoding encoding() const noexcept { return enc_; }

 private:
  Kind kind_;
  uint64_t number_ = 0;
  TextView text_;
  TextEncoding enc_ = TextEncoding::Utf8;
};

[[nodiscard]] bool append_formatted(PathString& out, TextEncoding out_enc, TextView format,
                                    TextEncoding format_enc, std::span<const FormatArg> args) noexcept;

[[nodiscard]] inline bool append_formatted(PathString& out, TextEncoding out_enc, TextView format,
                                           TextEncoding format_enc,
                                           std::initializer_list<FormatArg> args = {}) noexcept {
  return append_formatted(out, out_enc, format, format_enc,
                          std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace qx
