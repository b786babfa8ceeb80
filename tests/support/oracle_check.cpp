#include "support/oracle_check.hpp"

namespace qx::test {

OracleComparison compare_with_oracle(const ReaderResult& map, const OracleAllocation& oracle,
                                     uint32_t sectors_per_unit, uint64_t first_unit_sector,
                                     const std::function<bool(uint64_t)>& kept_used) {
  OracleComparison c;
  c.units = oracle.state.size();
  for (uint64_t u = 0; u < oracle.state.size(); ++u) {
    const char st = oracle.state[u];
    if (st == 'f') ++c.free_units;
    for (uint32_t k = 0; k < sectors_per_unit; ++k) {
      const uint64_t s = first_unit_sector + u * sectors_per_unit + k;
      bool ok;
      if (s >= map.sectors) ok = false;
      else if (st == 'a') ok = map.used(s);
      else if (st == 'f') ok = !map.used(s) || (kept_used && kept_used(s));
      else ok = false;  // the oracle skipped this unit
      if (st == 'a' && !ok) ++c.allocated_marked_free;
      if (st == 'f' && !ok) ++c.free_marked_used;
      if (!ok) {
        if (c.mismatches++ == 0)
          c.first_mismatch = "unit " + std::to_string(u) + " ('" + std::string(1, st) +
                             "') sector " + std::to_string(s) +
                             (s < map.sectors ? (map.used(s) ? " used" : " free") : " outside");
      }
    }
  }
  return c;
}

}  // namespace qx::test
