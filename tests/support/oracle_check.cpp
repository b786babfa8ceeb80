#include "support/oracle_check.hpp"

namespace qx::test {

OracleCheck compare_with_oracle(const ReaderResult& map, const OracleAllocation& oracle,
                                uint32_t sectors_per_unit, uint64_t data_first, uint64_t data_end) {
  OracleCheck c;
  auto note = [&](uint64_t s, const char* what) {
    if (c.first_problem.empty()) c.first_problem = "sector " + std::to_string(s) + ": " + what;
  };
  for (uint64_t s = 0; s < map.sectors; ++s) {
    const bool used = map.used(s);
    if (!used) ++c.free_sectors;
    const uint64_t unit = s / sectors_per_unit;
    const char state = unit < oracle.state.size() ? oracle.state[unit] : '?';
    const bool in_data = s >= data_first && s < data_end;
    if (state == 'a' && !used) {
      ++c.lost;
      note(s, "allocated for the oracle, free in the map");
    } else if (!in_data && !used) {
      ++c.outside_free;
      note(s, "outside the data area, free in the map");
    } else if (in_data && state == 'f') {
      ++c.oracle_free;
      if (used) {
        ++c.kept_free;
        note(s, "free for the oracle, used in the map");
      }
    } else if (in_data && state != 'a') {
      ++c.unknown;
      note(s, "the oracle says nothing");
    }
  }
  return c;
}

}  // namespace qx::test
