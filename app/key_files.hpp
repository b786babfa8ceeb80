// --key-file, shared by quorvex and quorvex-inspect: the passphrases of encrypted volumes, read
// from files (never from the command line) as cryptsetup reads them.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "volume/volume_keys.hpp"

namespace qx {

// The largest key file read, as cryptsetup's default.
inline constexpr size_t kMaxKeyFileBytes = size_t{8} << 20;

// Takes "--key-file VALUE" or "--key-file=VALUE" at args[i] (the value in args[i + 1] for the first
// form, which must lie before `limit`); true with `i` on the last argument taken.
bool take_key_file_option(std::span<const char* const> args, size_t& i, size_t limit,
                          std::vector<std::string_view>& out);

// Reads each FILE, "-" (standard input, up to its first line end) or VOLUME=FILE (VOLUME a
// partition number or a LUKS UUID); false with words for the user when one cannot be had.
[[nodiscard]] bool read_key_files(std::span<const std::string_view> specs, VolumeKeys& out, std::string& failure);

}  // namespace qx
