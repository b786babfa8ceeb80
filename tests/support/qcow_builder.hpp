// Builds QCOW version 1 files from a raw disk, including what qemu-img does not make: small
// clusters, encrypted headers, clusters that inflate short.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

struct QcowShape {
  uint64_t size = 0;          // bytes of the virtual disk
  uint8_t cluster_bits = 12;
  uint8_t l2_bits = 9;
  uint32_t crypt_method = 0;
  bool compressed = false;    // deflate every stored cluster that shrinks
  bool inflate_short = false; // compressed clusters hold one sector less than a cluster
  std::string backing;        // stored backing file name, none when empty
};

// Every cluster of `disk` with a non-zero byte is stored; the rest stay unallocated.
std::vector<uint8_t> qcow_bytes(const QcowShape& shape, const std::vector<uint8_t>& disk);

}  // namespace qx::test
