// A used-sector map whose answer a test sets sector by sector, served by a stand-in reader of the
// placeholder kind 7 for as long as the map lives.
#pragma once

#include <cstdint>
#include <vector>

#include "volume/usage_map.hpp"

namespace qx::test {

class ExplicitUsageMap {
 public:
  // Every sector used.
  explicit ExplicitUsageMap(uint32_t total);
  ~ExplicitUsageMap();
  ExplicitUsageMap(const ExplicitUsageMap&) = delete;
  ExplicitUsageMap& operator=(const ExplicitUsageMap&) = delete;

  void set_free(uint32_t first, uint32_t count);
  const UsageMap& map() const { return map_; }

 private:
  UsageMap map_;
  std::vector<uint8_t>* bits_ = nullptr;
};

}  // namespace qx::test
