// VMDK (format 0): a descriptor naming sparse or flat extent files, optionally over a parent
// disk; its reader and the trim that rewrites every sparse extent file beside itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

extern const FormatDriver kVmdkDriver;

// Writes "<extent>_TEMP" for every extent and fills record.list; OK, CANCELLED or an error.
ErrorCode trim_vmdk(std::string_view path, DiskImage& image, const UsageMap& map,
                    WriterRecord& record, ProgressCallback progress, void* user);

// What open found, for the inspection tool and tests.
struct VmdkInfo {
  uint32_t extents = 0;
  bool is_split = false;
  bool is_flat = false;
  bool is_child = false;
  bool compressed = false;  // some extent holds compressed grains
  uint32_t heads = 0, sectors_per_track = 0;
};
// False when the handle is not an opened VMDK.
bool vmdk_info(const DiskImage& image, VmdkInfo& out) noexcept;

}  // namespace qx
