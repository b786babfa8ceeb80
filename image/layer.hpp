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

// The rows that the driver table fills for every format that answers the layer question. A range
// is free when no sector that the map calls used (every sector without a map) reads non-zero;
// what the layer does not hold is asked of the layer below.
ErrorCode layered_is_range_free(DriverState& state, const SectorUse* map, uint32_t first,
                                uint32_t count, bool& free, ProgressRelay* relay);
// True in `zero` when every sector the map calls used that this layer holds reads zero; what the
// layer leaves to the layer below is not looked at.
ErrorCode layered_holds_only_zeros(DriverState& state, const SectorUse* map, uint32_t first,
                                   uint32_t count, bool& zero);
// Free in the layer when this layer holds (as data or as zeros) no sector the map calls used:
// leaving it out changes nothing the file systems own.
ErrorCode layered_is_range_free_in_layer(DriverState& state, const SectorUse* map, uint32_t first,
                                         uint32_t count, bool& free);

}  // namespace qx
