// QCOW version 1 (format 19): read-only, with compressed clusters and a backing file.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kQcowDriver;

}  // namespace qx
