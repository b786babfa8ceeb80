#include "image/content_check.hpp"

#include "image/file.hpp"

namespace qx {
namespace {

constexpr size_t kFirstScanChunk = 64u << 10;

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
    limit = scratch.size();
  }
  return OK;
}

}  // namespace qx
