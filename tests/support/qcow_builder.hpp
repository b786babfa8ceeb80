// Builds QCOW version 1 and QCOW2 files from a raw disk, including what qemu-img does not make:
// small clusters, encrypted headers, clusters that inflate short, chosen feature bits and
// subcluster states.
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

// Raw deflate (no header), as both QCOW versions store compressed clusters.
std::vector<uint8_t> raw_deflate(const uint8_t* data, size_t n);

struct Qcow2Shape {
  uint64_t size = 4u << 20;
  uint32_t version = 3;
  uint32_t cluster_bits = 16;
  bool extended = false;       // 32 subclusters a cluster
  bool compressed = false;     // every cluster with data deflated
  uint64_t incompatible = 0;   // feature bits set besides the extended-entries bit
  uint32_t crypt_method = 0;
  std::string backing, backing_format;
};

// A cluster whose entry says more than its data: subclusters (one bit each; bit 0 for the whole
// cluster without extended entries) that read as zeros, or that are left to the backing file.
struct Qcow2Special {
  uint64_t cluster = 0;
  uint32_t zero = 0;
  uint32_t absent = 0;
};

struct Qcow2Built {
  std::vector<uint8_t> bytes;
  uint64_t l1_offset = 0, refcount_table = 0, first_l2 = 0;
};

// Header, one refcount table, refcount blocks of 16 bits, L1, every L2 table, then the data: each
// cluster with a non-zero byte is stored (packed back to back when compressed).
Qcow2Built qcow2_bytes(const Qcow2Shape& shape, const std::vector<uint8_t>& disk,
                       const std::vector<Qcow2Special>& special = {});

}  // namespace qx::test
