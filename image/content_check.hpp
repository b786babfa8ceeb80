// The free-range rule of images that keep no allocation of their own: a range is free when no
// sector that the map calls used (every sector without a map) holds a non-zero byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "image/disk_image.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {

class File;

// True in `zero` when the file's bytes [offset, offset + length) are all zero. A small piece is
// read first, since stored data usually shows at once; then pieces that double up to the scratch
// buffer's size.
ErrorCode is_file_range_zero(File& file, uint64_t offset, uint64_t length, std::span<uint8_t> scratch,
                             bool& zero);

// `read(byte_offset, buffer)` reads disk bytes; the work buffer sets the piece size.
template <typename Read>
ErrorCode is_range_free_by_content(Read&& read, std::span<uint8_t> work, const SectorUse* map,
                                   uint32_t first, uint32_t count, bool& free,
                                   ProgressRelay* relay) {
  free = true;
  const auto piece_sectors = static_cast<uint32_t>(work.size() / kSectorSize);
  if (piece_sectors == 0) return ERR_NO_MEMORY;
  for (uint64_t pos = first, end = uint64_t{first} + count; pos < end;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(piece_sectors, end - pos));
    std::span<uint8_t> buf = work.first(size_t{n} * kSectorSize);
    if (ErrorCode rc = read(pos * kSectorSize, buf); rc != OK) return rc;
    bool piece_free = false;
    if (map) {
      if (ErrorCode rc = is_block_droppable(*map, static_cast<uint32_t>(pos), n, piece_free, buf);
          rc != OK)
        return rc;
    } else {
      piece_free = is_all_zero(buf);
    }
    if (!piece_free) {
      free = false;
      return OK;
    }
    if (!relay_check_in(n, relay)) return CANCELLED;
    pos += n;
  }
  return OK;
}

}  // namespace qx
