#include "support/flip_campaign.hpp"

#include "image/disk_image.hpp"
#include "image/error.hpp"
#include "support/file_patch.hpp"
#include "support/fs_support.hpp"

namespace qx::test {
namespace {

// Flips one random byte of the regions at a time, calls check(offset) with the damage in place
// and restores the byte; check answers false to end the campaign.
template <typename Check>
void flip_bytes(const std::string& path, const std::vector<ByteRegion>& regions, int iterations,
                uint32_t seed, FlipStats& stats, Check&& check,
                const std::function<void(uint64_t)>& reseal = {}) {
  uint64_t total = 0;
  for (const ByteRegion& r : regions) total += r.length;
  if (total == 0) return;
  FlipRandom random(seed);
  for (int it = 0; it < iterations; ++it) {
    uint64_t pick = random.next() % total;
    uint64_t at = 0;
    for (const ByteRegion& r : regions) {
      if (pick < r.length) {
        at = r.offset + pick;
        break;
      }
      pick -= r.length;
    }
    const uint8_t was = read_range(path, at, 1)[0];
    const uint8_t now = (random.next() & 1) ? static_cast<uint8_t>(was ^ (1u << (random.next() % 8)))
                                            : static_cast<uint8_t>(random.next());
    if (now == was) continue;
    DamagedBytes damage(path);
    damage.set(at, now);
    if (reseal) reseal(at);
    const bool go_on = check(at);
    damage.restore();
    if (reseal) reseal(at);
    ++stats.flips;
    if (!go_on) return;
  }
}

bool is_clean(ErrorCode rc) { return rc == OK || (rc <= ERR_OPEN && rc >= ERR_FILE_SYSTEM); }

}  // namespace

DamagedBytes::~DamagedBytes() {
  try {
    restore();
  } catch (...) {
  }
}

void DamagedBytes::set(uint64_t at, uint8_t value) {
  saved_.emplace_back(at, read_range(path_, at, 1)[0]);
  patch_byte(path_, at, value);
}

void DamagedBytes::flip(uint64_t at, uint8_t mask) {
  set(at, static_cast<uint8_t>(read_range(path_, at, 1)[0] ^ mask));
}

void DamagedBytes::restore() {
  for (; !saved_.empty(); saved_.pop_back()) patch_byte(path_, saved_.back().first, saved_.back().second);
}

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
