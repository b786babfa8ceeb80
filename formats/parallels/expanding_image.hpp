// The Parallels expanding image file: a 64-byte header, a table of cluster positions and the
// clusters. Read alone (format 15) and as the "Compressed" image of a bundle storage (format 16),
// with slightly different header rules; one writer serves both.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "image/byte_order.hpp"
#include "image/disk_image.hpp"
#include "formats/trim_walk.hpp"
#include "image/file.hpp"

namespace qx {

struct ParallelsHeader {
  char signature[16];
  le32_t version;
  le32_t heads;
  le32_t cylinders;
  le32_t cluster_sectors;
  le32_t bat_entries;
  le64_t total_sectors;
  le32_t in_use;
  le32_t data_offset;  // sectors
  le32_t flags;
  le64_t extension_offset;
};
static_assert(sizeof(ParallelsHeader) == 64);

// Left in the in-use field by a hypervisor that still has (or never closed) the image.
inline constexpr uint32_t kParallelsInUse = 0x746F6E59;

// How the table's entries are read: the rules of the stand-alone image or of a bundle storage.
struct ExpandingRules {
  bool in_bundle = false;
  uint32_t padding = 0;       // bundle: added to every entry of the sector-counting signature
  uint32_t first_sector = 0;  // bundle: where the storage begins on the bundle's disk
};

struct ExpandingImage {
  File file;
  ParallelsHeader header{};
  ExpandingRules rules;
  bool cluster_entries = false;  // "WithouFreSpacExt": entries count clusters, not sectors
  uint32_t cluster_sectors = 0;
  uint32_t cluster_bytes = 0;
  std::vector<uint32_t> bat;
  uint64_t data_start = 0;  // bytes
  uint64_t length = 0;
  DiskGeometry geometry;    // the disk this file serves
  std::vector<uint8_t> scratch;
};

ErrorCode open_expanding(ExpandingImage& img, std::string_view path, const ExpandingRules& rules);

// Byte offset of cluster i in the file, 0 when it is not allocated.
uint64_t cluster_position(const ExpandingImage& img, uint32_t i) noexcept;

// Bytes of the served disk; unallocated clusters read as zeros.
ErrorCode read_expanding(ExpandingImage& img, uint64_t offset, std::span<uint8_t> out);
// What the file holds from sector `first` of the disk it serves on (the layer question): a run
// never crosses a cluster.
ErrorCode expanding_layer_status(ExpandingImage& img, uint32_t first, uint32_t count, LayerRun& out);

// Why a header may not be rewritten: still in use, or it points at an extension cluster that a
// repacked file would not keep.
bool expanding_trimmable(const ExpandingImage& img) noexcept;

// Where the writer puts things and how it asks about the disk.
struct ExpandingTrimPlan {
  uint32_t disk_first = 0;          // the image's sector 0 on the disk that the walk asks
  uint32_t visible_sectors = 0;     // sectors of the image that the disk shows
  uint64_t data_start = 0;          // bytes, a multiple of 512 (and of the cluster for clusters)
  uint32_t entry_bias = 0;          // subtracted from sector positions (the bundle's padding)
  bool fill_words = false;          // 0xFFFFFFFF after the entries up to data_start, else zeros
  bool set_data_offset = false;     // store data_start in the copied header
  bool layer_local = false;
};

// Writes the trimmed copy of img that replaces `target`, walking `disk` over the sectors the image
// serves. Sectors of allocated clusters beyond the visible ones are kept whenever they hold a
// non-zero byte.
ErrorCode trim_expanding(ExpandingImage& img, DiskImage& disk, TrimJob& job, TextView target,
                         const ExpandingTrimPlan& plan);

}  // namespace qx
