#include "image/content_check.hpp"

#include <vector>

#include "image/file.hpp"

namespace qx {
namespace {

// Stored data mostly shows in its first bytes: the first read is small and each one after it
// twice the size, up to the scratch buffer.
constexpr size_t kFirstScanChunk = 4u << 10;

}  // namespace

ErrorCode is_file_range_zero(File& file, uint64_t offset, uint64_t length, std::span<uint8_t> scratch,
                             bool& zero) {
  zero = true;
  if (scratch.empty()) return length ? ERR_NO_MEMORY : OK;
  size_t limit = std::min(kFirstScanChunk, scratch.size());
  while (length) {
    const std::span<uint8_t> buf = scratch.first(static_cast<size_t>(std::min<uint64_t>(length, limit)));
    if (!file.read_at(offset, buf)) return ERR_READ;
    if (!is_all_zero(buf)) {
      zero = false;
      return OK;
    }
    offset += buf.size();
    length -= buf.size();
    limit = std::min(limit * 2, scratch.size());
  }
  return OK;
}

ErrorCode is_block_droppable(const SectorUse& map, uint32_t first, uint32_t count, bool& droppable,
                             std::span<const uint8_t> data) {
  if (data.size() / kSectorSize < count) return ERR_UNSUPPORTED;
  return guard_no_memory([&] {
    std::vector<uint8_t> used(bitmap_bytes(count));
    if (ErrorCode rc = query_used(map, first, count, used); rc != OK) return rc;
    droppable = true;
    for (uint32_t i = 0; i < count; ++i) {
      if (test_bit(used, i) && !is_all_zero(data.subspan(size_t{i} * kSectorSize, kSectorSize))) {
        droppable = false;
        break;
      }
    }
    return OK;
  });
}

}  // namespace qx
