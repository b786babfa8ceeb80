// Volumes known by their published signatures that this tool never reads inside: encrypted,
// pooled, cached or deduplicated storage of other systems. Each is kept whole with a reason that
// names it.
#pragma once

#include <cstdint>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"

namespace qx {

struct NamedVolume {
  int32_t kind = KIND_UNRECOGNISED;
  const char* text = nullptr;  // why it is kept whole
};

// The kind whose signature the region [first, first + count) carries; kind KIND_UNRECOGNISED when
// none does. A failed read finds nothing (the map reports it afterwards).
NamedVolume find_named_volume(DiskImage& image, uint32_t first, uint32_t count);
// The words for a kind that a partition table names (LDM, Storage Spaces).
NamedVolume named_volume_of_kind(int32_t kind) noexcept;

}  // namespace qx
