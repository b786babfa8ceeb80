#include "support/flip_campaign.hpp"

#include <fstream>
#include <stdexcept>

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

}  // namespace

FlipStats run_flip_campaign(const std::string& path, const std::vector<ByteRegion>& regions,
                            int iterations, uint32_t seed, const FlipCheck& check) {
  FlipStats stats;
  uint64_t total = 0;
  for (const ByteRegion& r : regions) total += r.length;
  if (total == 0) return stats;
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
    const FlipVerdict verdict = check();
    patch_byte(path, at, was);
    ++stats.flips;
    stats.accepted += verdict.accepted;
    if (!verdict.failure.empty()) {
      stats.failure = "a flip at byte " + std::to_string(at) + ": " + verdict.failure;
      return stats;
    }
  }
  return stats;
}

FlipStats run_flip_campaign(const std::string& path, int32_t kind,
                            const std::vector<ByteRegion>& regions, int iterations, uint32_t seed) {
  const ReaderResult original = map_volume_file(path, kind);
  if (original.probe != OK) return FlipStats{0, 0, "the undamaged volume is not recognised"};
  return run_flip_campaign(path, regions, iterations, seed, [&]() -> FlipVerdict {
    const ReaderResult damaged = map_volume_file(path, kind);
    if (damaged.probe != OK) return {};
    if (damaged.mark != OK) return {true, "mark failed"};
    for (size_t i = 0; i < original.bitmap.size(); ++i)
      if (original.bitmap[i] & ~damaged.bitmap[i])
        return {true, "freed a used sector near " + std::to_string(i * 8)};
    return {true, ""};
  });
}

}  // namespace qx::test
