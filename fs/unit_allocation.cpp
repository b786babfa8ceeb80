#include "fs/unit_allocation.hpp"

#include <algorithm>

#include "image/sector_bitmap.hpp"

namespace qx {

ErrorCode UnitAllocation::reset(uint64_t units, bool value) noexcept {
  return guard_no_memory([&] {
    used.assign(bitmap_bytes(units), value ? 0xFF : 0x00);
    unit_count = units;
    return OK;
  });
}

void UnitAllocation::set_units(uint64_t first, uint64_t n, bool value) noexcept {
  if (first >= unit_count) return;
  n = std::min(n, unit_count - first);
  put_bits(used, first, n, value);
}

bool UnitAllocation::unit_used(uint64_t unit) const noexcept {
  return unit >= unit_count || test_bit(used, unit);
}

void UnitAllocation::mark(uint32_t first, uint32_t count, std::span<uint8_t> bitmap,
                          uint32_t bit_index) const noexcept {
  uint64_t s = first;
  const uint64_t end = uint64_t{first} + count;
  uint64_t out = bit_index;
  if (s < first_unit_sector) {
    const uint64_t n = std::min<uint64_t>(end, first_unit_sector) - s;
    put_bits(bitmap, out, n, true);
    s += n;
    out += n;
  }
  const uint64_t spu = sectors_per_unit ? sectors_per_unit : 1;
  while (s < end) {
    const uint64_t unit = (s - first_unit_sector) / spu;
    if (unit >= unit_count) {
      put_bits(bitmap, out, end - s, true);
      return;
    }
    // Extend over following units of the same state so long runs cost one bit fill.
    const bool value = test_bit(used, unit);
    uint64_t last = unit;
    const uint64_t last_needed = std::min<uint64_t>((end - 1 - first_unit_sector) / spu, unit_count - 1);
    while (last < last_needed && test_bit(used, last + 1) == value) ++last;
    const uint64_t run_end = std::min<uint64_t>(end, first_unit_sector + (last + 1) * spu);
    put_bits(bitmap, out, run_end - s, value);
    out += run_end - s;
    s = run_end;
  }
}

const UnitAllocation* allocation_of(const ReaderState& state) noexcept {
  const auto* s = dynamic_cast<const AllocationState*>(&state);
  return s ? &s->allocation : nullptr;
}

ErrorCode mark_allocation(const ReaderState& state, uint32_t first, uint32_t count,
                          std::span<uint8_t> bitmap, uint32_t bit_index) {
  const UnitAllocation* allocation = allocation_of(state);
  if (!allocation) return ERR_FILE_SYSTEM;
  if (uint64_t{bit_index} + count > uint64_t{bitmap.size()} * 8) return ERR_UNSUPPORTED;
  allocation->mark(first, count, bitmap, bit_index);
  return OK;
}

}  // namespace qx
