// LVM2 physical volumes: the label, the metadata area and the volume-group metadata text, turned
// into one partition entry per logical volume for the one simple layout that is accepted.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "image/disk_image.hpp"
#include "volume/partitions.hpp"

namespace qx {

inline constexpr uint32_t kLvmCrcInitial = 0xF597A6CF;
// Longest metadata text read from a metadata area.
inline constexpr uint32_t kLvmMaxMetadataBytes = 2048;
inline constexpr uint32_t kLvmMaxGroups = 4;
inline constexpr uint32_t kLvmMaxPhysicalVolumes = 4;
inline constexpr uint32_t kLvmMaxLogicalVolumes = 4;
inline constexpr uint32_t kLvmMaxSegments = 4;
inline constexpr uint32_t kLvmMaxStripes = 4;

// LVM's own CRC: reflected polynomial 0xEDB88320, no final inversion.
uint32_t lvm_crc(uint32_t initial, std::span<const uint8_t> data) noexcept;

// The parsed metadata text. Text values are views into the parsed text; numbers are 32-bit.
struct LvmStripe {
  std::string_view pv_name;
  uint32_t start_extent = 0;
};

struct LvmSegment {
  std::string_view name;
  uint32_t start_extent = 0;
  uint32_t extent_count = 0;
  std::string_view type;
  uint32_t stripe_count = 0;
  uint32_t stripe_pairs = 0;
  LvmStripe stripes[kLvmMaxStripes];
  uint32_t seen = 0;  // one bit per listed key
};

struct LvmLogicalVolume {
  std::string_view name;
  std::string_view id;
  std::string_view creation_host;
  uint32_t creation_time = 0;
  uint32_t segment_count = 0;
  uint32_t segments_found = 0;
  LvmSegment segments[kLvmMaxSegments];
  uint32_t seen = 0;
};

struct LvmPhysicalVolume {
  std::string_view name;
  std::string_view id;
  std::string_view device;
  uint32_t dev_size = 0;
  uint32_t pe_start = 0;
  uint32_t pe_count = 0;
  uint32_t seen = 0;
};

struct LvmVolumeGroup {
  std::string_view name;
  std::string_view id;
  uint32_t seqno = 0;
  uint32_t extent_size = 0;
  uint32_t max_lv = 0;
  uint32_t max_pv = 0;
  uint32_t metadata_copies = 0;
  uint32_t pv_count = 0;
  LvmPhysicalVolume pvs[kLvmMaxPhysicalVolumes];
  uint32_t lv_count = 0;
  LvmLogicalVolume lvs[kLvmMaxLogicalVolumes];
  uint32_t seen = 0;
};

struct LvmMetadata {
  std::string_view contents;
  uint32_t version = 0;
  std::string_view description;
  std::string_view creation_host;
  uint32_t creation_time = 0;
  uint32_t vg_count = 0;
  LvmVolumeGroup vgs[kLvmMaxGroups];
  uint32_t seen = 0;
};

// Parses metadata text; false for malformed text, a listed key given twice, missing required
// content or more items than the fixed capacities hold. Keys that a section does not list are
// skipped, as are sections of unknown meaning.
[[nodiscard]] bool parse_lvm_metadata(std::string_view text, LvmMetadata& out) noexcept;

// True when one of the first sectors of the volume at `pv_start` holds a valid LVM2 label.
bool holds_lvm_label(DiskImage& image, uint32_t pv_start);

// Appends (from `count` on, at most up to `max`) one entry of type 0 per logical volume of the
// physical volume that starts at sector `pv_start`; with no entries only the count advances.
// ERR_LAYOUT for a damaged or unsupported volume, read errors as they are; nothing is appended
// unless every check passes.
ErrorCode read_lvm_physical_volume(DiskImage& image, uint32_t pv_start, uint32_t max,
                                   std::vector<PartitionEntry>& entries);

}  // namespace qx
