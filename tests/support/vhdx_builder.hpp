// Builds dynamic and differencing VHDX files from the published layout, including what qemu-img
// does not make: parents and their locators, partially present blocks with sector bitmaps, logs
// still to replay, 4096-byte logical sectors and metadata in an unusual order; and reads them
// back the same way, as an oracle independent of the driver.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

using VhdxGuid = std::array<uint8_t, 16>;

struct VhdxShape {
  uint64_t disk_bytes = 64u << 20;
  uint32_t block_bytes = 1u << 20;
  uint32_t logical_sector = 512;
  uint32_t physical_sector = 4096;
  uint32_t log_bytes = 1u << 20;
  uint32_t extra_flags = 0;             // file parameter flags beyond has-parent
  VhdxGuid data_write_guid{};           // default: derived from the disk size
  std::optional<VhdxGuid> log_guid;     // set: the log holds writes still to replay
  uint64_t sequence[2] = {1, 2};        // of the headers at 64 KiB and 128 KiB
  // Items in reverse order at the far end of the region, after an unknown optional item.
  bool odd_metadata = false;
  // A differencing file names its parent with these (ASCII; empty ones are left out).
  bool has_parent = false;
  std::string relative_path;
  std::string absolute_win32_path;
  std::optional<VhdxGuid> parent_linkage;
  std::optional<VhdxGuid> parent_linkage2;
};

class VhdxBuilder {
 public:
  explicit VhdxBuilder(VhdxShape shape);

  const VhdxShape& shape() const { return shape_; }
  uint32_t block_count() const;
  uint32_t chunk_ratio() const;

  // Stores whole logical sectors at a byte offset of the disk and marks them present.
  void write(uint64_t offset, std::span<const uint8_t> data);
  void fill(uint64_t offset, uint64_t length, uint8_t value);
  // A block with no data of its own in a given state (0 to 7, 4 and 5 included).
  void set_state(uint32_t block, uint8_t state);
  // Every block of a raw disk with a non-zero byte, fully present.
  void copy_raw(const std::string& raw_path);

  std::vector<uint8_t> bytes() const;
  void write_to(const std::string& path) const;

  // Where the builder puts things.
  static constexpr uint64_t kLogOffset = 1u << 20;
  uint64_t metadata_offset() const;
  uint64_t bat_offset() const;
  uint64_t first_block_offset() const;

 private:
  struct Block {
    std::vector<uint8_t> data;
    std::vector<bool> present;  // per logical sector
  };
  Block& block(uint32_t index);
  std::vector<uint8_t> metadata_region() const;

  VhdxShape shape_;
  std::map<uint32_t, Block> blocks_;
  std::map<uint32_t, uint8_t> states_;
};

// Recomputes the CRC-32C of the structure of `size` bytes at `offset` (its checksum at +4).
void vhdx_reseal(std::vector<uint8_t>& file, uint64_t offset, size_t size);
// The same for a header (4096 bytes) or a region table (64 KiB) at its offset.
void vhdx_reseal_header(std::vector<uint8_t>& file, uint64_t offset);
void vhdx_reseal_region_table(std::vector<uint8_t>& file, uint64_t offset);

// The parts of a VHDX file that tests check, read straight from the bytes.
struct VhdxFileView {
  uint32_t current_header = 0;        // 0: at 64 KiB, 1: at 128 KiB
  bool headers_ok[2] = {};
  bool region_tables_ok[2] = {};
  uint64_t log_offset = 0;
  uint32_t log_length = 0;
  VhdxGuid data_write_guid{};
  uint64_t metadata_offset = 0;       // from the first valid region table
  uint64_t bat_offset = 0;
  uint32_t bat_length = 0;
  uint32_t block_bytes = 0;
  uint32_t logical_sector = 0;
  uint64_t disk_bytes = 0;
  uint32_t file_flags = 0;
  uint32_t chunk_ratio = 0;
  uint32_t data_blocks = 0;
  std::vector<uint64_t> bat;
  std::string relative_path;          // as stored, ASCII
  uint32_t payload_entry(uint32_t block) const { return block + block / chunk_ratio; }
  uint32_t state(uint32_t block) const { return static_cast<uint32_t>(bat[payload_entry(block)] & 7); }
};
// Throws when the file is too damaged to parse at all.
VhdxFileView parse_vhdx(const std::vector<uint8_t>& file);

// The whole virtual disk, following relative_path parents: an oracle independent of the driver.
std::vector<uint8_t> vhdx_read_disk(const std::string& path);

// The disk as libvhdi's vhdimount reads it, or nothing when vhdimount or FUSE is missing. libvhdi
// finds a parent by the file name in absolute_win32_path, in the child's folder.
std::optional<std::vector<uint8_t>> libvhdi_read_disk(const std::string& path, const std::string& work_dir);

VhdxGuid vhdx_data_write_guid(const std::string& path);
VhdxGuid guid_of(uint8_t seed);

}  // namespace qx::test
