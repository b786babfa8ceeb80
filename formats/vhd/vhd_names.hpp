// The parent's name as a VHD stores it (UTF-16 big-endian) turned into a path beside the child.
#pragma once

#include <cstdint>
#include <span>

#include "text/path_string.hpp"

namespace qx {

// Appends the name up to its first NUL (or the end of the field) as UTF-8; false for an unpaired
// surrogate or when it does not fit.
[[nodiscard]] bool append_utf16be_name(std::span<const uint8_t> field, PathString& out) noexcept;

// A bare file name: none of / : , ; * ? " < > |.
[[nodiscard]] bool is_valid_stored_name(TextView name) noexcept;

// The directory of `base` (up to and with its last '/') followed by `name`; "." and ".." are not
// names of files.
[[nodiscard]] bool resolve_beside(TextView name, TextView base, PathString& out) noexcept;

}  // namespace qx
