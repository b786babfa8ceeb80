// A volume's allocation in equal units (clusters, blocks), held as one bit per unit (1 = used),
// and the translation of sector queries into it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "image/error.hpp"
#include "fs/reader.hpp"

namespace qx {

struct UnitAllocation {
  uint32_t first_unit_sector = 0;  // volume-relative sector where unit 0 begins
  uint32_t sectors_per_unit = 1;
  uint64_t unit_count = 0;         // units that `used` describes
  std::vector<uint8_t> used;       // bit u (LSB first) set when unit u is in use

  // Sizes the bitmap for `units` units, all marked `value`; ERR_NO_MEMORY when it cannot.
  ErrorCode reset(uint64_t units, bool value) noexcept;
  // Marks units [first, first + n) clamped to the unit count.
  void set_units(uint64_t first, uint64_t n, bool value) noexcept;
  bool unit_used(uint64_t unit) const noexcept;

  // Sectors before unit 0 and behind the last described unit count as used.
  void mark(uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
            uint32_t bit_index) const noexcept;
};

// The state of a reader whose whole answer is one UnitAllocation loaded at probe time.
struct AllocationState : ReaderState {
  UnitAllocation allocation;
  // The units described: mark() keeps everything behind them anyway.
  uint64_t declared_sectors() const noexcept override {
    return allocation.first_unit_sector + allocation.unit_count * allocation.sectors_per_unit;
  }
};

// The allocation inside a reader state of this shape, or null for any other state.
const UnitAllocation* allocation_of(const ReaderState& state) noexcept;

// The mark operation shared by readers whose state is an AllocationState.
ErrorCode mark_allocation(const ReaderState& state, uint32_t first, uint32_t count,
                          std::span<uint8_t> bitmap, uint32_t bit_index);

}  // namespace qx
