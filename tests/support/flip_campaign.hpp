// Byte-flip campaigns against an allocation reader: damage one byte of a volume file at a time,
// probe again, and check that whatever is still accepted never frees a sector the undamaged
// volume keeps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qx::test {

// Bytes of a file changed for one probe, put back in reverse order when it ends (also when a
// failed assertion leaves the scope) or at restore().
class DamagedBytes {
 public:
  explicit DamagedBytes(std::string path) : path_(std::move(path)) {}
  ~DamagedBytes();
  DamagedBytes(const DamagedBytes&) = delete;
  DamagedBytes& operator=(const DamagedBytes&) = delete;
  void set(uint64_t at, uint8_t value);
  // XORs the byte at `at` with `mask`.
  void flip(uint64_t at, uint8_t mask);
  void restore();

 private:
  std::string path_;
  std::vector<std::pair<uint64_t, uint8_t>> saved_;
};

// The campaigns' generator: the same seed gives the same damage on every machine.
class FlipRandom {
 public:
  explicit FlipRandom(uint32_t seed) : state_(seed) {}
  uint32_t next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }

 private:
  uint32_t state_;
};

struct ByteRegion {
  uint64_t offset;
  uint64_t length;
};

struct FlipStats {
  int flips = 0;         // damaged volumes probed
  int accepted = 0;      // of which the reader still recognised
  std::string failure;   // empty, or the first flip that freed a used sector
};

// Deterministic for a given seed. The file is patched in place and restored after every flip.
// `reseal`, when given, is called with the flipped byte's offset after the flip and again after
// the byte is restored: to recompute a checksum over it, so that the damage reaches the parser.
FlipStats run_flip_campaign(const std::string& path, int32_t kind,
                            const std::vector<ByteRegion>& regions, int iterations, uint32_t seed,
                            const std::function<void(uint64_t)>& reseal = {});

// The same damage against an image driver: after each flip the file is opened again (through
// format detection when `format` is negative, else as that format), and whatever opens is read
// and asked which ranges are free, at the start and at the end of its disk. Only clean results
// are allowed: the sanitizers watch for the rest. `accepted` counts the damaged files that
// opened; `failure` names a flip whose open or query crashed into an unexpected code.
FlipStats run_image_flip_campaign(const std::string& path, int32_t format,
                                  const std::vector<ByteRegion>& regions, int iterations, uint32_t seed);

}  // namespace qx::test
