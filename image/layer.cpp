#include "image/layer.hpp"

#include <algorithm>

#include "image/content_check.hpp"
#include "image/disk_image.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {
namespace {

// The map is asked for at most this many sectors at a time, so that a run of any length costs a
// bitmap of bounded size.
constexpr uint32_t kPieceSectors = 1u << 16;
constexpr size_t kScanBytes = 1u << 20;

ErrorCode ensure_scratch(LayerScratch& s) {
  return guard_no_memory([&] {
    if (s.used.size() < bitmap_bytes(kPieceSectors)) s.used.resize(bitmap_bytes(kPieceSectors));
    if (s.scan.size() < kScanBytes) s.scan.resize(kScanBytes);
    return OK;
  });
}

// Calls `used_run(i, n)` for every maximal run of sectors [i, i + n) (relative to `first`) that
// the map calls used, in pieces of at most kPieceSectors; without a map the whole range is one
// used run. Stops at the first answer other than OK or once `stop` is set.
template <typename UsedRun>
ErrorCode for_each_used_run(LayerScratch& s, const SectorUse* map, uint32_t first, uint32_t count,
                            const bool& stop, UsedRun&& used_run) {
  if (!map) return used_run(0u, count);
  for (uint32_t base = 0; base < count && !stop;) {
    const uint32_t n = std::min(kPieceSectors, count - base);
    if (ErrorCode rc = query_used(*map, first + base, n, s.used); rc != OK) return rc;
    for (uint32_t i = 0; i < n && !stop;) {
      if (!test_bit(s.used, i)) {
        ++i;
        continue;
      }
      uint32_t j = i + 1;
      while (j < n && test_bit(s.used, j)) ++j;
      if (ErrorCode rc = used_run(base + i, j - i); rc != OK) return rc;
      i = j;
    }
    base += n;
  }
  return OK;
}

// A run the layer holds in another form: its used sectors are read through the driver.
ErrorCode other_run_free(DriverState& state, const SectorUse* map, uint32_t first, uint32_t count,
                         bool& free) {
  const FormatDriver& d = *state.driver;
  free = true;
  bool stop = false;
  return for_each_used_run(state.layer_scratch, map, first, count, stop,
                           [&](uint32_t i, uint32_t n) -> ErrorCode {
    for (uint32_t done = 0; done < n && !stop;) {
      const auto len = static_cast<uint32_t>(std::min<uint64_t>(n - done, state.layer_scratch.scan.size() / kSectorSize));
      const std::span<uint8_t> buf(state.layer_scratch.scan.data(), size_t{len} * kSectorSize);
      if (ErrorCode rc = d.read_bytes(state, uint64_t{first + i + done} * kSectorSize, buf); rc != OK)
        return rc;
      free = is_all_zero(buf);
      stop = !free;
      done += len;
    }
    return OK;
  });
}

ErrorCode stored_run_free(DriverState& state, const SectorUse* map, const LayerRun& run,
                          uint32_t first, bool& free) {
  free = true;
  bool stop = false;
  return for_each_used_run(state.layer_scratch, map, first, run.count, stop,
                           [&](uint32_t i, uint32_t n) -> ErrorCode {
    const ErrorCode rc = is_file_range_zero(*run.file, run.offset + uint64_t{i} * kSectorSize,
                                            uint64_t{n} * kSectorSize, state.layer_scratch.scan, free);
    stop = !free;
    return rc;
  });
}

}  // namespace

ErrorCode check_layer_run(const LayerRun& run, uint32_t asked) noexcept {
  if (run.count == 0 || run.count > asked) return ERR_BAD_FORMAT;
  if (run.holding == LayerHolding::kStored &&
      (!run.file || run.offset > UINT64_MAX - uint64_t{run.count} * kSectorSize))
    return ERR_BAD_FORMAT;
  return OK;
}

LayerAnswer clip(const LayerAnswer& a, uint32_t from, uint32_t to) noexcept {
  LayerAnswer part = a;
  part.first = from;
  part.run.count = to - from;
  if (a.run.holding == LayerHolding::kStored) part.run.offset += uint64_t{from - a.first} * kSectorSize;
  return part;
}

namespace {

// The layer's answer for the run from `pos` on, checked, and kept for the walk that asked.
ErrorCode ask_layer(DriverState& state, uint32_t pos, uint32_t count, LayerRun& run, ProgressRelay* relay) {
  if (ErrorCode rc = state.driver->layer_status(state, pos, count, run); rc != OK) return rc;
  if (ErrorCode rc = check_layer_run(run, count); rc != OK) return rc;
  if (relay && relay->answers) relay->answers->push_back({pos, run});
  return OK;
}

// Whether the used sectors of a run this layer holds read zero.
ErrorCode run_zero(DriverState& state, const SectorUse* map, const LayerRun& run, uint32_t pos, bool& zero) {
  zero = true;
  if (run.holding == LayerHolding::kStored) return stored_run_free(state, map, run, pos, zero);
  if (run.holding == LayerHolding::kOther) return other_run_free(state, map, pos, run.count, zero);
  return OK;
}

}  // namespace

ErrorCode layered_is_range_free(DriverState& state, const SectorUse* map, uint32_t first,
                                uint32_t count, bool& free, ProgressRelay* relay) {
  const FormatDriver& d = *state.driver;
  if (ErrorCode rc = ensure_scratch(state.layer_scratch); rc != OK) return rc;
  DiskImage* parent = d.parent ? d.parent(state) : nullptr;
  free = true;
  for (uint32_t pos = first, end = first + count; pos < end;) {
    LayerRun run;
    if (ErrorCode rc = ask_layer(state, pos, end - pos, run, relay); rc != OK) return rc;
    const ErrorCode rc = run.holding == LayerHolding::kAbsent
                             ? (parent ? is_range_free(*parent, map, pos, run.count, free, nullptr) : OK)
                             : run_zero(state, map, run, pos, free);
    if (rc != OK || !free) return rc;
    if (!relay_check_in(run.count, relay)) return CANCELLED;
    pos += run.count;
  }
  return OK;
}

ErrorCode layered_use(DriverState& state, const SectorUse* map, uint32_t first, uint32_t count,
                      bool zeros_too, LayerUse& use, ProgressRelay* relay) {
  if (ErrorCode rc = ensure_scratch(state.layer_scratch); rc != OK) return rc;
  use = LayerUse{};
  for (uint32_t pos = first, end = first + count; pos < end;) {
    LayerRun run;
    if (ErrorCode rc = ask_layer(state, pos, end - pos, run, relay); rc != OK) return rc;
    if (run.holding != LayerHolding::kAbsent) {
      bool any_used = false;
      if (ErrorCode rc = for_each_used_run(state.layer_scratch, map, pos, run.count, any_used,
                                           [&](uint32_t, uint32_t) {
                                             any_used = true;
                                             return OK;
                                           });
          rc != OK)
        return rc;
      use.used = use.used || any_used;
      if (any_used && zeros_too)
        if (ErrorCode rc = run_zero(state, map, run, pos, use.zeros); rc != OK) return rc;
      if (use.used && (!zeros_too || !use.zeros)) return OK;
    }
    if (!relay_check_in(run.count, relay)) return CANCELLED;
    pos += run.count;
  }
  return OK;
}

}  // namespace qx
