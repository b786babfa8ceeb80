// Compares a reader's sector map with what the Sleuth Kit says of every unit of the volume.
#pragma once

#include <cstdint>
#include <string>

#include "support/fs_support.hpp"

namespace qx::test {

struct OracleCheck {
  uint64_t lost = 0;           // allocated for the oracle, free in the map: data loss
  uint64_t kept_free = 0;      // free for the oracle inside the data area, used in the map
  uint64_t outside_free = 0;   // outside the data area yet free in the map
  uint64_t unknown = 0;        // data-area sectors the oracle said nothing of
  uint64_t free_sectors = 0;   // sectors the map calls free
  uint64_t oracle_free = 0;    // data-area sectors the oracle calls free
  std::string first_problem;
  bool exact() const { return lost == 0 && kept_free == 0 && outside_free == 0 && unknown == 0; }
};

// `sectors_per_unit` 512-byte sectors make one oracle unit; [data_first, data_end) is the region
// in which the map must free exactly what the oracle frees; outside it everything must be used.
OracleCheck compare_with_oracle(const ReaderResult& map, const OracleAllocation& oracle,
                                uint32_t sectors_per_unit, uint64_t data_first, uint64_t data_end);

}  // namespace qx::test
