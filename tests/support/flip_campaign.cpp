#include "support/flip_campaign.hpp"

#include <fstream>
#include <stdexcept>

#include "image/disk_image.hpp"
#include "image/error.hpp"
#include "support/fs_support.hpp"

namespace qx::test {
namespace {

void patch_byte(const std::string& path, uint64_t offset, uint8_t value) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.put(static_cast<char>(value));
  if (!f) throw std::runtime_error("cannot patch " + path);
}

uint8_t byte_at(const std::string& path, uint64_t offset) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  const int c = f.get();
  if (c < 0) throw std::runtime_error("cannot read " + path);
  return static_cast<uint8_t>(c);
}

// Flips one random byte of the regions at a time, calls check(offset) with the damage in place
// and restores the byte; check answers false to end the campaign.
template <typename Check>
void flip_bytes(const std::string& path, const std::vector<ByteRegion>& regions, int iterations,
                uint32_t seed, FlipStats& stats, Check&& check,
                const std::function<void(uint64_t)>& reseal = {}) {
  uint64_t total = 0;
  for (const ByteRegion& r : regions) total += r.length;
  if (total == 0) return;
  uint32_t state = seed;
  const auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (int it = 0; it < iterations; ++it) {
    uint64_t pick = next() % total;
    uint64_t at = 0;
    for (const ByteRegion& r : regions) {
      if (pick < r.length) {
        at = r.offset + pick;
        break;
      }
      pick -= r.length;
    }
    const uint8_t was = byte_at(path, at);
    const uint8_t now = (next() & 1) ? static_cast<uint8_t>(was ^ (1u << (next() % 8)))
                                     : static_cast<uint8_t>(next());
    if (now == was) continue;
    patch_byte(path, at, now);
    if (reseal) reseal(at);
    const bool go_on = check(at);
    patch_byte(path, at, was);
    if (reseal) reseal(at);
    ++stats.flips;
    if (!go_on) return;
  }
}

bool is_clean(ErrorCode rc) { return rc == OK || (rc <= ERR_OPEN && rc >= ERR_FILE_SYSTEM); }

}  // namespace

FlipStats run_flip_campaign(const std::string& path, int32_t kind,
                            const std::vector<ByteRegion>& regions, int iterations, uint32_t seed,
                            const std::function<void(uint64_t)>& reseal) {
  FlipStats stats;
  const ReaderResult original = map_volume_file(path, kind);
  if (original.probe != OK) {
    stats.failure = "the undamaged volume is not recognised";
    return stats;
  }
  flip_bytes(path, regions, iterations, seed, stats, [&](uint64_t at) {
    const ReaderResult damaged = map_volume_file(path, kind);
    if (damaged.probe != OK) return true;
    ++stats.accepted;
    if (damaged.mark != OK) {
      stats.failure = "mark failed after a flip at byte " + std::to_string(at);
      return false;
    }
    for (size_t i = 0; i < original.bitmap.size(); ++i) {
      if (original.bitmap[i] & ~damaged.bitmap[i]) {
        stats.failure = "a flip at byte " + std::to_string(at) + " freed a used sector near " +
                        std::to_string(i * 8);
        return false;
      }
    }
    return true;
  }, reseal);
  return stats;
}

FlipStats run_image_flip_campaign(const std::string& path, int32_t format,
                                  const std::vector<ByteRegion>& regions, int iterations, uint32_t seed) {
  FlipStats stats;
  constexpr uint32_t kProbeSectors = 4096;
  std::vector<uint8_t> buf(size_t{kProbeSectors} * 512);
  flip_bytes(path, regions, iterations, seed, stats, [&](uint64_t at) {
    DiskImage image;
    const ErrorCode rc = format < 0 ? open_image(image, path, true) : open_image_as(image, path, true, format);
    std::string what;
    if (!is_clean(rc)) what = "open";
    if (rc == OK) {
      ++stats.accepted;
      const uint32_t total = get_geometry(image).total_sectors;
      const uint32_t n = std::min(total, kProbeSectors);
      // The start and the end of the disk: tables are damaged anywhere, but reading a whole
      // disk that a damaged header made huge would take too long.
      for (uint32_t first : {0u, total - n}) {
        bool free = false;
        if (!is_clean(read_bytes(image, uint64_t{first} * 512, std::span(buf).first(size_t{n} * 512))))
          what = "read";
        if (!is_clean(is_range_free(image, nullptr, first, n, free, nullptr))) what = "is_range_free";
      }
      (void)parent_chain_status(image);
      (void)image_identity(image);
    }
    if (what.empty()) return true;
    stats.failure = what + " answered an unknown code after a flip at byte " + std::to_string(at);
    return false;
  });
  return stats;
}

}  // namespace qx::test
