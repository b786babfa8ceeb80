// Builds VDI files from the published layout, including the shapes no tool on the test machine
// makes: block extra data, other pre-header texts, header size 384, 0xFFFFFFFE entries, odd
// offsets and fields set to whatever a test needs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

inline const std::string kVdiOracleText = "<<< Oracle VM VirtualBox Disk Image >>>\n";

struct VdiShape {
  uint64_t disk_size = 8u << 20;
  uint32_t block_bytes = 1u << 20;
  uint32_t block_extra = 0;
  uint32_t image_type = 1;  // 1 normal, 2 fixed: every block stored, in disk order
  uint32_t header_size = 400;
  std::string pre_header = kVdiOracleText;
  uint32_t legacy_heads = 0;
  uint32_t legacy_sectors = 0;
  uint32_t block_map_offset = 512;
  std::optional<uint32_t> data_offset;       // default: the map's end rounded up to 512
  std::optional<uint32_t> block_count;       // default: enough blocks for the disk
  std::optional<uint32_t> blocks_allocated;  // default: the blocks stored
  uint32_t signature = 0xBEDA107F;
  uint32_t version = 0x00010001;
  uint32_t trailing_bytes = 0;               // appended after the last block
};

class VdiBuilder {
 public:
  explicit VdiBuilder(VdiShape shape = {});

  uint32_t block_sectors() const { return shape_.block_bytes / 512; }
  uint32_t block_count() const;
  uint32_t data_offset() const;
  const VdiShape& shape() const { return shape_; }

  // Stores whole sectors (data.size() a multiple of 512); blocks get their place in the data area
  // in the order they are first written.
  void write(uint32_t sector, std::span<const uint8_t> data);
  void fill(uint32_t sector, uint32_t count, uint8_t value);
  // A stored block of zeros.
  void allocate(uint32_t block);
  // The block's entry becomes 0xFFFFFFFE: not stored, reads as zeros.
  void mark_zero(uint32_t block);

  std::vector<uint8_t> bytes() const;
  void write_to(const std::string& path) const;
  // The disk as the builder holds it, total sectors x 512 bytes.
  std::vector<uint8_t> disk() const;

 private:
  std::vector<uint8_t>& block(uint32_t index);

  VdiShape shape_;
  std::map<uint32_t, uint32_t> index_;  // block -> place in the data area
  std::vector<std::vector<uint8_t>> data_;
  std::map<uint32_t, bool> zero_blocks_;
};

// The parts of a VDI file that tests check, read straight from the bytes.
struct VdiFileView {
  uint32_t header_size = 0;
  uint32_t image_type = 0;
  uint32_t block_map_offset = 0;
  uint32_t data_offset = 0;
  uint64_t disk_size = 0;
  uint32_t block_bytes = 0;
  uint32_t blocks_allocated = 0;
  std::vector<uint32_t> map;
};
// Throws when the file is too short for its header or map.
VdiFileView parse_vdi(const std::vector<uint8_t>& file);

}  // namespace qx::test
