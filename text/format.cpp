#include "text/format.hpp"

#include "text/charset.hpp"
#include "text/text_ops.hpp"

namespace qx {
namespace {

// Every letter that ends a conversion; those without a case below are refused.
constexpr std::string_view kConversionLetters = "dicCouxXeEfFgGaAsSpwt";

struct Conversion {
  bool zero_pad = false;
  uint32_t width = 0;
  char letter = 0;
};

// Flags between "%" and the letter: an optional "0", then an optional decimal width.
bool parse_flags(TextView flags, TextEncoding enc, Conversion& conv) noexcept {
  if (!flags.empty() && ascii_value(flags.substr(0, char_step(flags, enc)), enc) == '0') {
    conv.zero_pad = true;
    flags.remove_prefix(char_step(flags, enc));
  }
  if (flags.empty()) return true;
  // Blanks are not part of a width (parse_decimal would skip them).
  if (find_first_in(flags, text_constants(enc).blanks, enc) != kNotFound) return false;
  return parse_decimal(flags, enc, conv.width);
}

class Formatter {
 public:
  Formatter(PathString& out, TextEncoding out_enc, std::span<const FormatArg> args) noexcept
      : out_(out), enc_(out_enc), args_(args) {}

  bool all_arguments_used() const noexcept { return next_ == args_.size(); }

  bool convert(const Conversion& conv) noexcept {
    switch (conv.letter) {
      case 'd':
      case 'i': {
        const FormatArg* a = take();
        if (a == nullptr || !a->is_word()) return false;
        return signed_decimal(static_cast<int32_t>(a->word()));
      }
      case 'w': {
        const FormatArg* a = take();
        if (a == nullptr || a->kind() != FormatArg::Kind::Int64) return false;
        return signed_decimal(a->wide());
      }
      case 'u':
      case 'x':
      case 'X': {
        const FormatArg* a = take();
        if (a == nullptr || !a->is_word()) return false;
        return append_number(out_, a->word(), conv.letter == 'u' ? 10 : 16, conv.width, conv.zero_pad,
                             conv.letter == 'X', enc_);
      }
      case 's':
      case 't': {
        const FormatArg* a = take();
        if (a == nullptr || a->kind() != FormatArg::Kind::Text) return false;
        return append_converted(out_, enc_, a->text(), a->encoding());
      }
      default: return false;
    }
  }

 private:
  const FormatArg* take() noexcept { return next_ < args_.size() ? &args_[next_++] : nullptr; }

  bool signed_decimal(int64_t v) noexcept {
    const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    const uint32_t before = out_.length();
    if ((v < 0 && !out_.append_ascii('-', enc_)) || !append_number(out_, magnitude, 10, 0, false, false, enc_)) {
      out_.truncate(before);
      return false;
    }
    return true;
  }

  PathString& out_;
  TextEncoding enc_;
  std::span<const FormatArg> args_;
  size_t next_ = 0;
};

bool format_into(PathString& out, TextEncoding out_enc, TextView format, TextEncoding format_enc,
                 std::span<const FormatArg> args) noexcept {
  const EncodedLiteral percent("%", format_enc);
  const EncodedLiteral letters(kConversionLetters, format_enc);
  Formatter formatter(out, out_enc, args);
  TextView rest = format;
  while (!rest.empty()) {
    const uint32_t pos = find_char(rest, percent, format_enc);
    if (!append_converted(out, out_enc, rest.substr(0, pos), format_enc)) return false;
    if (pos == kNotFound) break;
    rest.remove_prefix(pos + percent.view().size());
    if (rest.empty()) return false;  // "%" at the end
    if (rest.starts_with(percent.view())) {
      if (!out.append_ascii('%', out_enc)) return false;
      rest.remove_prefix(percent.view().size());
      continue;
    }
    const uint32_t letter_pos = find_first_in(rest, letters, format_enc);
    if (letter_pos == kNotFound) return false;
    Conversion conv;
    if (!parse_flags(rest.substr(0, letter_pos), format_enc, conv)) return false;
    const TextView letter = rest.substr(letter_pos, char_step(rest.substr(letter_pos), format_enc));
    conv.letter = static_cast<char>(ascii_value(letter, format_enc));
    if (!formatter.convert(conv)) return false;
    rest.remove_prefix(letter_pos + letter.size());
  }
  return formatter.all_arguments_used() && out.append_terminator(out_enc);
}

}  // namespace

bool append_formatted(PathString& out, TextEncoding out_enc, TextView format, TextEncoding format_enc,
                      std::span<const FormatArg> args) noexcept {
  const uint32_t before = out.length();
  if (format_into(out, out_enc, format, format_enc, args)) return true;
  out.truncate(before);
  return false;
}

}  // namespace qx
