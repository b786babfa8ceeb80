// The map of used sectors: the disk cut into consecutive volumes, each answered by the allocation
// reader of its file system (or counted as wholly used).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "image/error.hpp"
#include "image/sector_use.hpp"
#include "volume/volume_keys.hpp"

namespace qx {

struct VolumeEntry {
  uint32_t start = 0;
  uint32_t length = 0;
  int32_t kind = KIND_UNRECOGNISED;
  std::unique_ptr<ReaderState> state;
  KeptWholeReason reason = {};  // only on unrecognised volumes and gaps
};

struct UsageMap : SectorUse {
  std::vector<VolumeEntry> volumes;
  // What the partition tables said of themselves (a backup table read in place of the primary, or
  // why the whole disk is kept); empty when nothing.
  KeptWholeReason table_note;

  ErrorCode query(uint32_t first, uint32_t count, std::span<uint8_t> bitmap) const override;
};

// What a map needs beyond the disk: the user's keys for encrypted volumes, and how many unlocked
// volumes lie around the disk being mapped.
struct MapContext {
  const VolumeKeys* keys = nullptr;
  uint32_t depth = 0;
};

[[nodiscard]] std::unique_ptr<UsageMap> build_usage_map(DiskImage& image, ErrorCode& error,
                                                        uint32_t& recognised) noexcept;
[[nodiscard]] std::unique_ptr<UsageMap> build_usage_map(DiskImage& image, ErrorCode& error,
                                                        uint32_t& recognised,
                                                        const MapContext& context) noexcept;
// True when the disk holds a layout that a map can be built from: a partition table, or a file
// system over the whole disk that a reader knows (even one it would keep whole).
[[nodiscard]] bool holds_known_layout(DiskImage& image) noexcept;
// Ends every entry and empties the volume list.
void destroy_usage_map(UsageMap& map) noexcept;

// Test hook: maps built from now on probe and query `reader` for `kind` instead of the reader
// table's entry; null restores the table's reader.
void override_fs_reader(int32_t kind, const FsReader* reader) noexcept;

}  // namespace qx
