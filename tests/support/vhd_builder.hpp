// Builds dynamic and differencing VHD files from the published layout, including the shapes no
// tool on the test machine makes: 511-byte footers, gaps before the first block, padded blocks,
// parent names and locators, and fields set to whatever a test needs.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

struct VhdLocatorShape {
  std::string code;            // four characters: "W2ku", "W2ru", "Wi2k", "Mac "...
  std::vector<uint8_t> data;   // stored after the BAT in whole sectors
  std::optional<uint32_t> reserved;
};

struct VhdShape {
  uint32_t total_sectors = 0;        // the disk; cylinders x heads x sectors gives it exactly
  uint32_t block_bytes = 2u << 20;
  uint32_t disk_type = 3;            // 3 dynamic, 4 differencing
  bool footer_511 = false;
  uint32_t gap_sectors = 0;          // zero sectors between the metadata and the first block
  uint32_t padding_sectors = 0;      // zero sectors after every block
  uint64_t data_offset = 512;
  uint64_t table_offset = 1536;
  std::optional<uint64_t> current_size;               // default total_sectors x 512
  std::optional<std::array<uint32_t, 3>> geometry;     // cylinders, heads, sectors per track
  std::optional<uint32_t> max_table_entries;          // default the block count
  bool zero_footer_checksum = false;
  std::string parent_name;                             // UTF-8; stored as UTF-16 big-endian
  // Default: the builder's own unique id, so that builder children match builder parents.
  std::optional<std::array<uint8_t, 16>> unique_id;
  std::optional<std::array<uint8_t, 16>> parent_unique_id;
  std::vector<VhdLocatorShape> locators;
};

class VhdBuilder {
 public:
  explicit VhdBuilder(VhdShape shape);

  uint32_t total_sectors() const { return shape_.total_sectors; }
  uint32_t block_sectors() const { return shape_.block_bytes / 512; }
  uint32_t block_count() const;
  const VhdShape& shape() const { return shape_; }

  // Stores whole sectors (data.size() a multiple of 512) and marks them present.
  void write(uint32_t sector, std::span<const uint8_t> data);
  // Present sectors that all hold one byte value.
  void fill(uint32_t sector, uint32_t count, uint8_t value);
  // Marks sectors present without giving them data (they hold zeros in the file).
  void mark_present(uint32_t sector, uint32_t count);
  // Allocates a block whose sectors are all absent.
  void allocate(uint32_t block);
  // Copies a raw disk: every block with a non-zero sector is allocated; with only_nonzero the
  // zero sectors of such blocks stay absent, otherwise every sector of the block is present.
  void copy_raw(const std::string& raw_path, bool only_nonzero = true);

  std::vector<uint8_t> bytes() const;
  void write_to(const std::string& path) const;

  // Where the builder puts things in the file it writes.
  uint64_t first_block_offset() const;
  uint32_t bitmap_bytes() const;

 private:
  struct Block {
    std::vector<uint8_t> bitmap;
    std::vector<uint8_t> data;
  };
  Block& block(uint32_t index);
  void set_present(uint32_t sector);

  VhdShape shape_;
  std::map<uint32_t, Block> blocks_;
};

// The published checksum: one's complement of the byte sum, the four checksum bytes left out.
uint32_t vhd_checksum_of(std::span<const uint8_t> bytes, size_t checksum_offset);
// Recomputes the checksum of the footer at the end of the file and of its copy at the start, or
// of the dynamic header at `header_offset`, after a test changed a field.
void vhd_fix_footer_checksums(std::vector<uint8_t>& file);
void vhd_fix_header_checksum(std::vector<uint8_t>& file, uint64_t header_offset = 512);

// The parts of a VHD file that tests check, read straight from the bytes.
struct VhdFileView {
  uint32_t footer_length = 0;
  uint64_t data_offset = 0;
  uint64_t table_offset = 0;
  uint32_t max_table_entries = 0;
  uint32_t block_bytes = 0;
  uint32_t disk_type = 0;
  uint32_t bitmap_bytes = 0;
  std::vector<uint32_t> bat;   // max_table_entries entries
  bool footer_checksum_ok = false;
  bool header_checksum_ok = false;
  bool copies_equal = false;   // the footer at the start equals the one at the end
};
// Throws when the file is too damaged to parse at all.
VhdFileView parse_vhd(const std::vector<uint8_t>& file);
// Whether sector i of a block's bitmap is set (most significant bit first).
bool vhd_bit(const std::vector<uint8_t>& file, const VhdFileView& view, uint32_t block, uint32_t i);

// The whole virtual disk of a dynamic or differencing file read straight from the published
// layout, following ASCII parent names in the same folder: an oracle independent of the driver.
std::vector<uint8_t> vhd_read_disk(const std::string& path);

// The read-only variants: a strict 2 MiB-block dynamic (disk type 3) or differencing (4) file, and
// a fixed image with a 4096-byte head and a 511-byte footer.
struct VhdStrictShape {
  std::array<uint32_t, 3> geometry{};            // cylinders, heads, sectors per track
  uint32_t disk_type = 3;
  std::optional<uint64_t> original_size;         // default the geometry rounded up to a MiB
  std::optional<uint32_t> max_table_entries;     // default half the MiB count, rounded up
  std::optional<uint32_t> header_mark;           // default 0x0000FFFF
  std::string parent_name;                       // UTF-8, differencing only
  std::array<uint8_t, 16> parent_id{};
};
// `sectors` maps a disk sector to its 512 bytes; each one is stored and marked present.
std::vector<uint8_t> vhd_strict_bytes(const VhdStrictShape& shape,
                                      const std::map<uint32_t, std::vector<uint8_t>>& sectors);
// The footer's unique id that every footer of these builders carries unless told otherwise.
std::array<uint8_t, 16> vhd_builder_unique_id();
// A fixed VHD: the disk (padded to the geometry's size) and a 512-byte footer with its checksum.
std::vector<uint8_t> vhd_fixed_bytes(const std::array<uint32_t, 3>& geometry, const std::vector<uint8_t>& disk);
std::vector<uint8_t> vhd_headed_bytes(const std::array<uint32_t, 3>& geometry,
                                      const std::vector<uint8_t>& disk);
// The unique id in the footer at the end of a VHD file.
std::array<uint8_t, 16> vhd_unique_id(const std::string& path);

// UTF-16 little-endian bytes of an ASCII text, as the Windows locators store paths.
std::vector<uint8_t> utf16le_bytes(const std::string& ascii);

}  // namespace qx::test
