// Raw disk image (format 29): a file that is the disk itself, sector for sector, known by its name
// (".img", ".raw", ".bin") and by a layout the tool reads in its first sectors. Its trim leaves a
// hole wherever whole host blocks are free: in a new file of the same length (the rest copied,
// shared where the host can), or in the image itself (a host that cannot punch holes refuses
// with the image untouched).
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kRawDriver;

// A name a raw disk is known by: ".img", ".raw" or ".bin", in any case.
[[nodiscard]] bool raw_disk_name(std::string_view path) noexcept;
// Opens the file as a raw disk whatever its name says, for a user who named the format.
ErrorCode open_raw_named(DiskImage& image, std::string_view path, bool read_only);

}  // namespace qx
