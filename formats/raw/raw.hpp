// Raw disk image (format 29): a file that is the disk itself, sector for sector, known by its name
// (".img", ".raw", ".bin") and by a layout the tool reads in its first sectors. Its trim leaves a
// hole wherever whole host blocks are free: in a new file, or in the image itself.
#pragma once

#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kRawDriver;

// A name a raw disk is known by: ".img", ".raw" or ".bin", in any case.
[[nodiscard]] bool raw_disk_name(std::string_view path) noexcept;
// Opens the file as a raw disk whatever its name says, for a user who named the format.
ErrorCode open_raw_named(DiskImage& image, std::string_view path, bool read_only);

// Writes "<path>_TEMP" of the same length, free host blocks left as holes and the rest copied
// (shared where the host can), and fills record.single; OK, CANCELLED or an error.
ErrorCode raw_trim(std::string_view path, DiskImage& image, const SectorUse& map,
                   WriterRecord& record, ProgressCallback progress, void* user);

// Punches holes into the image itself over every free run of whole host blocks; OK, CANCELLED
// (the holes punched so far stay) or an error. A host that cannot punch holes is ERR_UNSUPPORTED
// with a refusal note and the image untouched.
ErrorCode raw_trim_in_place(std::string_view path, DiskImage& image, const SectorUse& map,
                            ProgressCallback progress, void* user);

}  // namespace qx
