// Builds hosted sparse VMDK extent files and descriptor texts from the published layout, including
// shapes no tool on the test machine makes: no redundant directory, compressed grains in a plain
// layout, odd grain sizes, and headers that tests damage afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

struct VmdkExtentShape {
  uint32_t capacity = 0;         // sectors
  uint32_t grain = 128;          // sectors
  bool redundant = true;         // a redundant directory (placed first, as qemu-img does)
  bool compressed = false;       // grains stored deflated behind a grain marker
  // The stream-optimized tail: the header says the directory is at the end, where a directory
  // marker, the directory, a footer marker, the footer and an end-of-stream marker follow.
  bool directory_at_end = false;
  std::string descriptor;        // embedded text; empty for none
  uint32_t descriptor_sectors = 20;
};

inline VmdkExtentShape vmdk_shape(uint32_t capacity, std::string descriptor = {}) {
  VmdkExtentShape s;
  s.capacity = capacity;
  s.descriptor = std::move(descriptor);
  return s;
}

// Field offsets of the header, for tests that damage it.
inline constexpr uint64_t kVmdkGrainSizeOffset = 20;
inline constexpr uint64_t kVmdkRgdOffset = 48;
inline constexpr uint64_t kVmdkGdOffset = 56;
inline constexpr uint64_t kVmdkOverheadOffset = 64;
inline constexpr uint64_t kVmdkUncleanOffset = 72;

class VmdkExtentBuilder {
 public:
  explicit VmdkExtentBuilder(VmdkExtentShape shape);

  // Whole sectors; the grains they touch are allocated (zeros elsewhere in them).
  void write(uint32_t sector, std::span<const uint8_t> data);
  void fill(uint32_t sector, uint32_t count, uint8_t value);
  // An allocated grain of zeros.
  void allocate(uint32_t grain_index);

  std::vector<uint8_t> bytes() const;
  void write_to(const std::string& path) const;

  uint64_t rgd() const { return rgd_; }
  uint64_t gd() const { return gd_; }
  uint64_t overhead() const { return overhead_; }
  uint32_t tables() const { return tables_; }
  const VmdkExtentShape& shape() const { return shape_; }

 private:
  std::vector<uint8_t>& grain(uint32_t index);

  VmdkExtentShape shape_;
  uint32_t tables_ = 0;
  uint64_t rgd_ = 0, gd_ = 0, overhead_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> grains_;
};

// A descriptor text: the header keys, one extent line per entry of `extents` (written as
// given), and the disk database; `parent` non-empty makes the child form.
std::string vmdk_descriptor(const std::string& create_type, const std::vector<std::string>& extents,
                            const std::string& parent = "", const std::string& cid = "12345678",
                            const std::string& parent_cid = "ffffffff");
// "RW <sectors> SPARSE \"name\"" and the flat form with an offset.
std::string sparse_extent_line(uint32_t sectors, const std::string& name);
std::string flat_extent_line(uint32_t sectors, const std::string& name, uint64_t offset = 0);

// A split image in `folder`: "d.vmdk" over three extents s0..s2.vmdk of 4096 sectors, each with
// 300 sectors of data and an allocated grain of zeros, and a child "c.vmdk" (extent c0.vmdk, one
// sector of its own) over it. Returns the descriptor's path.
std::string write_split_vmdk(const std::string& folder);

// Sparse extent header fields read from a file, for checks of a trimmed output.
struct VmdkHeaderView {
  uint64_t capacity = 0, grain = 0, rgd = 0, gd = 0, overhead = 0;
  uint32_t descriptor_sectors = 0;
};
VmdkHeaderView read_vmdk_header(const std::vector<uint8_t>& file);
// Grain table entry j of table k of the directory at `directory` (sectors).
uint32_t vmdk_grain_entry(const std::vector<uint8_t>& file, uint64_t directory, uint32_t k, uint32_t j);

}  // namespace qx::test
