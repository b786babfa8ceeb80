// Placeholder until partition enumeration lands: no disk can be mapped yet.
#include "volume/usage_map.hpp"

namespace qx {

const char* volume_kind_name(int32_t kind) noexcept {
  switch (kind) {
    case KIND_NTFS: return "ntfs";
    case KIND_EXT: return "ext";
    case KIND_FAT: return "fat";
    case KIND_XFS: return "xfs";
    case KIND_EXFAT: return "exfat";
    case KIND_PLACEHOLDER_5: return "placeholder5";
    case KIND_HFSPLUS: return "hfsplus";
    case KIND_PLACEHOLDER_7: return "placeholder7";
    case KIND_UNRECOGNISED: return "unrecognised";
    case KIND_GAP: return "gap";
    default: return "unknown";
  }
}

std::unique_ptr<UsageMap> build_usage_map(DiskImage&, ErrorCode& error, uint32_t& recognised) noexcept {
  recognised = 0;
  error = ERR_UNSUPPORTED;
  return nullptr;
}

ErrorCode query_used(const UsageMap&, uint32_t, uint32_t, std::span<uint8_t>) {
  return ERR_UNSUPPORTED;
}

ErrorCode is_block_droppable(const UsageMap&, uint32_t, uint32_t, bool& droppable,
                             std::span<const uint8_t>) {
  droppable = false;
  return ERR_UNSUPPORTED;
}

void destroy_usage_map(UsageMap& map) noexcept { map.volumes.clear(); }

}  // namespace qx
