// Encoded text: the seven encodings and non-owning views of encoded bytes.
#pragma once

#include <cstdint>
#include <string_view>

namespace qx {

enum class TextEncoding : uint8_t {
  ShiftJis = 0,
  EucJp = 1,
  Utf8 = 2,
  Utf16Le = 3,
  Utf16Be = 4,
  Utf32Le = 5,
  Utf32Be = 6,
};
inline constexpr int kTextEncodingCount = 7;

// A view of encoded bytes; the encoding travels beside it. Positions are byte offsets.
using TextView = std::string_view;

// Returned by searches that find nothing.
inline constexpr uint32_t kNotFound = 0xFFFFFFFFu;

}  // namespace qx
