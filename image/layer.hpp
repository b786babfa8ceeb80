// The one question every layered format answers about itself: what its own layer holds over a
// run of sectors, without looking below. The decisions built on it (may these sectors be dropped,
// does this layer own a used sector) are written once, here, for every format that answers it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "image/error.hpp"

namespace qx {

class File;
class SectorUse;
struct DiskImage;
struct DriverState;
struct ProgressRelay;

enum class LayerHolding : uint8_t {
  kAbsent,  // nothing: what lies below shows through (the parent's data, or zeros without one)
  kZero,    // reads as zeros, whatever lies below
  kStored,  // the sectors lie one after another in `file`, from byte `offset` on
  kOther,   // held in another form (compressed, ...): only the image's own read gives them
};

struct LayerRun {
  LayerHolding holding = LayerHolding::kAbsent;
  uint32_t count = 0;     // sectors from the asked first one that share this answer
  File* file = nullptr;   // kStored
  uint64_t offset = 0;    // kStored: byte of the run's first sector in `file`
};

// An answer as a walk keeps it: the run from sector `first` on. Any part of it answers for its
// own sectors too (clip).
struct LayerAnswer {
  uint32_t first = 0;
  LayerRun run;

  uint64_t end() const noexcept { return uint64_t{first} + run.count; }
};
// The part of `a` over [from, to), which must lie inside it.
[[nodiscard]] LayerAnswer clip(const LayerAnswer& a, uint32_t from, uint32_t to) noexcept;

// What a layer's answer is checked against before anyone relies on it: at least one sector and no
// more than asked, and a stored run with a file and an end that an offset can hold. Where in the
// file it lies the driver checked against the file when it read its tables.
[[nodiscard]] ErrorCode check_layer_run(const LayerRun& run, uint32_t asked) noexcept;

// Work buffers of the generic decisions, kept with each layer so that a walk over a large disk
// allocates them once.
struct LayerScratch {
  std::vector<uint8_t> used;  // the map's answer for one piece
  std::vector<uint8_t> scan;  // stored bytes looked at for a non-zero byte
};

// What a layer holds of the sectors the map calls used in a range: some (as data or as zeros:
// leaving the layer's part out would change what the file systems own), and whether all of those
// read zero. What the layer leaves to the layer below is not looked at.
struct LayerUse {
  bool used = false;
  bool zeros = true;
};

// The answers the dispatcher gives for every format that answers the layer question. A range is
// free when no sector that the map calls used (every sector without a map) reads non-zero; what
// the layer does not hold is asked of the layer below. The relay's check-ins let a long question
// be cancelled, and it keeps the layer's answers where it has room for them.
ErrorCode layered_is_range_free(DriverState& state, const SectorUse* map, uint32_t first,
                                uint32_t count, bool& free, ProgressRelay* relay);
// One pass over the layer's runs; `zeros` is only looked for when `zeros_too` is set.
ErrorCode layered_use(DriverState& state, const SectorUse* map, uint32_t first, uint32_t count,
                      bool zeros_too, LayerUse& use, ProgressRelay* relay);

}  // namespace qx
