// The legacy "COWD" sparse disks: version 3 base (5) and redo log (6), single or split into
// numbered parts, and version 1 base (7) and redo log (8). Read-only.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kCowd3Driver;
extern const FormatDriver kCowd3RedoDriver;
extern const FormatDriver kCowd1Driver;
extern const FormatDriver kCowd1RedoDriver;

}  // namespace qx
