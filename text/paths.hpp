// Path splitting, validation, normalisation and resolution of stored file names, in any encoding.
#pragma once

#include <cstdint>

#include "text/path_string.hpp"
#include "text/text_view.hpp"

namespace qx {

// Unix paths use "/", Windows-form names (as some image formats store them) use "\".
enum class PathStyle { Unix, Windows };

TextView path_separator(TextEncoding enc, PathStyle style) noexcept;

// The last separator ends the directory (which keeps it); without one the directory is empty.
void split_dir(TextView path, TextEncoding enc, TextView& dir, TextView& name,
               PathStyle style = PathStyle::Unix) noexcept;
// As split_dir, then the name's last "." parts stem and extension (the dot belongs to neither).
// Without a dot the extension is empty and sits at the end of the name.
void split_path(TextView path, TextEncoding enc, TextView& dir, TextView& stem, TextView& ext,
                PathStyle style = PathStyle::Unix) noexcept;
// As split_dir and split_path for a path of this system's own (an image's path as the user gave
// it): "/" separates, and on Windows "\" too; on other systems "\" is part of a name.
void split_host_dir(TextView path, TextView& dir, TextView& name) noexcept;
void split_host_path(TextView path, TextView& dir, TextView& stem, TextView& ext) noexcept;

// Two spellings of one path of this system: equal bytes, but on Windows "\" and "/" alike.
bool same_host_path(TextView a, TextView b) noexcept;

// A name stored by an image and meant for the image's own directory: none of / : , ; * ? " < > |.
bool is_valid_stored_name(TextView name, TextEncoding enc) noexcept;
// A name stored in Windows form: an optional "X:\" and then none of / : * ? " < > |, no leading
// "\" and no "\\".
bool is_valid_windows_path(TextView name, TextEncoding enc) noexcept;
// Unix: a leading "/"; Windows: a drive prefix "X:\".
bool is_absolute_path(TextView path, TextEncoding enc, PathStyle style = PathStyle::Unix) noexcept;
// Bytes of the root prefix: Unix "/"; Windows "X:\", "\\server\" or "\"; 0 for a relative path.
uint32_t root_prefix_length(TextView path, TextEncoding enc, PathStyle style) noexcept;

// Appends path to out with "." and empty components dropped and ".." applied. A ".." that
// climbs above the root fails; at the start of a relative path it is kept, in order. A
// trailing separator is kept; a relative path that cancels out gives ".". On failure out keeps
// its old length. path must not lie inside out's storage.
[[nodiscard]] bool normalize_path(TextView path, TextEncoding enc, PathString& out, PathStyle style) noexcept;

// Makes a usable path of a file name stored by an image: an absolute name is taken as is, a
// relative one is put behind the directory of base; both are converted to out_enc (through
// work, left empty afterwards) and normalised. With Unix style, base is a path of this system
// (split as split_host_dir does) and on Windows a name on a drive ("X:\") is absolute too. out is replaced; on failure it is left empty.
[[nodiscard]] bool resolve_stored_name(TextView name, TextEncoding name_enc, TextView base,
                                       TextEncoding base_enc, PathString& work, PathString& out,
                                       TextEncoding out_enc, PathStyle style) noexcept;

// Appends the path of file `to` relative to the directory of file `from` (both normalised and
// both absolute or both relative; in Windows style on the same drive). Fails otherwise or when
// out is full, leaving out's length as it was.
[[nodiscard]] bool relative_path(TextView from, TextView to, TextEncoding enc, PathString& out,
                                 PathStyle style) noexcept;

}  // namespace qx
