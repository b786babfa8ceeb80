// Compares a reader's map of a volume with what The Sleuth Kit says of each unit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "support/fs_support.hpp"

namespace qx::test {

struct OracleComparison {
  uint64_t units = 0;           // units the oracle described
  uint64_t free_units = 0;      // of those, free ones
  uint64_t mismatches = 0;
  uint64_t allocated_marked_free = 0;  // sectors: the loss that must never happen
  uint64_t free_marked_used = 0;       // sectors the map keeps although the oracle calls them free
  std::string first_mismatch;   // a readable note on the first one
};

// Unit u covers sectors [first_unit_sector + u × sectors_per_unit, ...). Every sector of a unit the
// oracle calls allocated must be used in the map; every sector of a free unit must be free unless
// `kept_used(sector)` says the reader rightly keeps it.
OracleComparison compare_with_oracle(const ReaderResult& map, const OracleAllocation& oracle,
                                     uint32_t sectors_per_unit, uint64_t first_unit_sector = 0,
                                     const std::function<bool(uint64_t)>& kept_used = {});

}  // namespace qx::test
