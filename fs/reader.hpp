// The allocation readers, one per volume kind, that the used-sector map probes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "image/disk_image.hpp"
#include "volume/usage_map.hpp"

namespace qx {

struct FsReader {
  const char* name;
  // OK when the region [first, first + count) holds this file system; `state` then holds what
  // later queries need. Any error otherwise, with `state` left empty.
  ErrorCode (*probe)(DiskImage& image, uint32_t first, uint32_t count,
                     std::unique_ptr<ReaderState>& state);
  // Writes bit bit_index + i for the volume-relative sector first + i (1 used, 0 free).
  ErrorCode (*mark)(const ReaderState& state, uint32_t first, uint32_t count,
                    std::span<uint8_t> bitmap, uint32_t bit_index);
};

// The reader of kinds 0 to kReaderKindCount - 1.
const FsReader& fs_reader(int32_t kind) noexcept;

}  // namespace qx
