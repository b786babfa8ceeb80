// VMDK (format 0): a descriptor naming sparse or flat extent files, optionally over a parent
// disk; its reader and the trim that rewrites every sparse extent file beside itself.
#pragma once

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVmdkDriver;

}  // namespace qx
