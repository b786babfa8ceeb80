// Builders of the read-only emulator formats from their published layouts: the headed flat
// images (formats 22 to 27), Bochs redologs, chained block images, CHD v3/v4 and NVT differencing
// files. Each wraps the bytes of a raw disk; tests patch the returned bytes for edge cases.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

using Bytes = std::vector<uint8_t>;

struct FlatGeometry {
  uint32_t cylinders = 0;
  uint32_t heads = 0;
  uint32_t sectors_per_track = 0;
  uint32_t bytes_per_sector = 512;
};

// The header of format 22, 24 or 25 for that geometry (format 23: the cylinder count alone); the
// disk's bytes follow it in the file.
Bytes headed_flat_header(int32_t format, const FlatGeometry& g);
// A file of format 22..27 holding the disk, padded with zeros to whole cylinders (whole MiB for
// 27); format 26 takes disks up to 128,000 sectors and fills the tail beyond the disk with junk.
// disk_bytes tells how many bytes the format's disk has.
Bytes wrap_headed_flat(int32_t format, std::span<const uint8_t> disk, uint64_t* disk_bytes = nullptr);

struct BochsShape {
  uint32_t extent_bytes = 64 * 1024;
  uint32_t bitmap_bytes = 512;
  std::string subtype = "Growing";
  bool size_at_84 = true;  // the older layout, which qemu-img reads as version 1
};
// Extents holding a non-zero sector are stored, with the bits of their non-zero sectors set.
Bytes wrap_bochs(std::span<const uint8_t> disk, const BochsShape& shape = {});
// Where the catalog starts in what wrap_bochs builds.
inline constexpr uint64_t kBochsCatalogOffset = 512;

// Blocks for which `hold` answers true are stored (default: those with a non-zero byte); the disk
// must be whole blocks.
Bytes wrap_chained(std::span<const uint8_t> disk, uint32_t block_bytes,
                   const std::function<bool(uint32_t block)>& hold = {});

// Hunks of one repeated 8-byte value become patterns, repeats of an earlier hunk copies, the
// rest raw deflate when that is shorter, stored plainly otherwise. The disk is padded to whole
// hunks; logical bytes is the disk's own size.
Bytes wrap_chd(std::span<const uint8_t> disk, uint32_t version, uint32_t hunk_bytes);
uint64_t chd_map_offset(uint32_t version);
Bytes raw_deflate(std::span<const uint8_t> data);

struct NvtFlatParent {
  uint32_t data_offset = 0;
  uint32_t total_sectors = 0;
  uint32_t heads = 16;
  uint32_t sectors_per_track = 63;
  uint32_t bytes_per_sector = 512;
};
// An NVT file naming `parent_name` that stores the given 64 KiB chunks (by chunk number, each
// 65,536 bytes); tables and chunks follow the fixed 2048-byte head in that order.
Bytes nvt_file(const std::string& parent_name, const std::optional<NvtFlatParent>& flat,
               const std::map<uint64_t, Bytes>& chunks);

// The whole disk of an image file as format detection opens it (empty when it does not open).
Bytes read_image_disk(const std::string& path, int32_t* format = nullptr);

}  // namespace qx::test
