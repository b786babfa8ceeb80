// Character primitives of the seven text encodings, chosen through a table indexed by the
// encoding, and the per-encoding constants (blank set, separators, NUL, ...).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "text/text_view.hpp"

namespace qx {

struct EncodingOps {
  uint32_t unit;  // code unit size in bytes: 1, 2 or 4
  // Size of the character starting at p, judged from its first code unit (which must be
  // readable); 0 when that unit cannot start a character.
  uint32_t (*size)(const char* p) noexcept;
  // Size of the well-formed character at the start of text, or 0 when it is invalid or cut off.
  uint32_t (*check)(TextView text) noexcept;
  // Orders two characters: -1, 0 or 1; fold maps ASCII A-Z to a-z first.
  int (*compare)(TextView a, TextView b, bool fold) noexcept;
  // Value of the code unit at p (unit bytes must be readable).
  uint32_t (*read_unit)(const char* p) noexcept;
  // Stores a code unit at p (unit bytes).
  void (*write_unit)(char* p, uint32_t value) noexcept;
};

const EncodingOps& encoding_ops(TextEncoding enc) noexcept;

inline uint32_t unit_size(TextEncoding enc) noexcept { return encoding_ops(enc).unit; }
inline bool is_narrow(TextEncoding enc) noexcept { return unit_size(enc) == 1; }

// Size of the character at p judged from its first code unit; 0 when it cannot start one.
inline uint32_t char_size(const char* p, TextEncoding enc) noexcept { return encoding_ops(enc).size(p); }
// The same for the first character of a view; 0 when the view holds less than one code unit.
uint32_t char_size(TextView text, TextEncoding enc) noexcept;
// Size of the valid character at the start of text, 0 when invalid (a length of 0 is invalid).
inline uint32_t char_check(TextView text, TextEncoding enc) noexcept { return encoding_ops(enc).check(text); }
// a and b are one character each.
inline int char_compare(TextView a, TextView b, bool fold, TextEncoding enc) noexcept {
  return encoding_ops(enc).compare(a, b, fold);
}

// Bytes to advance over the character at the start of text: never 0 for a non-empty view and
// never more than the view holds, so that walks over unchecked text always end.
uint32_t char_step(TextView text, TextEncoding enc) noexcept;

// The ASCII value of a character that is exactly one code unit below 0x80, else -1.
int ascii_value(TextView ch, TextEncoding enc) noexcept;
// ASCII digit "0".."9" as one code unit; value receives 0..9.
[[nodiscard]] bool char_digit(TextView ch, TextEncoding enc, uint32_t& value) noexcept;
// ASCII letter A-Z or a-z as one code unit.
bool char_is_letter(TextView ch, TextEncoding enc) noexcept;

// Constants in one encoding (narrow encodings share the plain bytes).
struct TextConstants {
  TextView blanks;     // space, tab
  TextView backslash;
  TextView slash;
  TextView nul;
  TextView dot;
  TextView dotdot;
  TextView colon;
  TextView plus;
  TextView minus;
  TextView cr;
  TextView lf;
  TextView crlf;
  TextView quote;
  TextView stored_name_forbidden;  // / : , ; * ? " < > |
  TextView windows_forbidden;      // / : * ? " < > |
  TextView double_slash;
  TextView double_backslash;
};
const TextConstants& text_constants(TextEncoding enc) noexcept;

// View from text up to, not including, its first NUL character.
TextView view_of_terminated(const char* text, TextEncoding enc) noexcept;

// For a name kept in a fixed-size field: checks each character up to the first NUL. length
// receives the NUL's byte position, or kNotFound when the field holds none (the whole field is
// the name). False when an invalid character comes first.
[[nodiscard]] bool stored_text_length(TextView field, TextEncoding enc, uint32_t& length) noexcept;
// The same, giving the name's view directly.
[[nodiscard]] bool stored_text(TextView field, TextEncoding enc, TextView& text) noexcept;

// An ASCII literal in an encoding: narrow encodings get the literal itself, the others one
// code unit per byte written to scratch (which needs 4 bytes per character). False when scratch
// is too small or the literal is not ASCII.
[[nodiscard]] bool encode_literal(TextView& out, std::span<char> scratch, std::string_view literal,
                                  TextEncoding enc) noexcept;

// An encoded literal with its own scratch storage, for short suffixes and marks.
class EncodedLiteral {
 public:
  static constexpr uint32_t kMaxChars = 32;
  // An empty view results when the literal is too long or not ASCII.
  EncodedLiteral(std::string_view literal, TextEncoding enc) noexcept {
    if (!encode_literal(view_, scratch_, literal, enc)) view_ = TextView();
  }
  EncodedLiteral(const EncodedLiteral&) = delete;
  EncodedLiteral& operator=(const EncodedLiteral&) = delete;
  TextView view() const noexcept { return view_; }
  operator TextView() const noexcept { return view_; }

 private:
  char scratch_[kMaxChars * 4] = {};
  TextView view_;
};

}  // namespace qx
