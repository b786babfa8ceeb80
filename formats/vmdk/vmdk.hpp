// VMDK (format 0): a descriptor naming sparse or flat extent files, optionally over a parent
// disk; its reader and the trim that rewrites every sparse extent file beside itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVmdkDriver;

// The descriptor's own path and its extents' paths, as an open resolves them, from the descriptor
// alone (no extent is opened); ERR_BAD_FORMAT when it is no VMDK descriptor or names an extent
// that no open would take.
ErrorCode vmdk_files(std::string_view path, std::vector<std::string>& out);

}  // namespace qx
