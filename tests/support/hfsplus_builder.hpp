// Lays out small but complete HFS+ and HFSX volumes in a file: volume header and its backup, an
// allocation file (optionally fragmented beyond its eight inline extents), an extents overflow
// B-tree, a catalog B-tree with the root folder, its thread and a few files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::test {

struct HfsPlusFileSpec {
  std::string name;  // lower-case ASCII, unique within the volume
  uint32_t blocks = 1;
  uint32_t fragments =
      1;  // pieces with a free block between them; beyond 8 they need overflow records
  uint32_t at_block = 0;  // first block; 0 places the file behind what is already laid out
};

enum class HfsJournal { kNone, kClean, kPending };

struct HfsPlusOptions {
  uint64_t volume_bytes = 16u << 20;  // total blocks = volume_bytes / block_size
  uint64_t offset = 0;                // byte offset of the volume inside the file
  uint32_t block_size = 4096;
  bool hfsx = false;
  uint32_t allocation_fragments = 1;  // pieces of the allocation file, a free block between them
  uint32_t allocation_extra_blocks = 0;
  uint32_t extents_node_size = 4096;
  uint32_t extents_min_nodes = 4;
  uint32_t catalog_node_size = 4096;
  std::vector<HfsPlusFileSpec> files;
  std::string volume_name = "qxhfs";
  HfsJournal journal = HfsJournal::kNone;
  bool clean_unmount = true;
  bool dirty = false;  // fill the volume with a non-zero pattern before laying it out
  // hfsplus 1.0.4 (hpmount, hpfsck) reads the backup header from sector 1 of the volume; a copy
  // there, in the unused boot-block area, lets those tools open the volume.
  bool header_copy_in_boot_blocks = false;
};

struct HfsPlusExtent {
  uint32_t start = 0;
  uint32_t count = 0;
};

struct HfsPlusNode {
  uint32_t number = 0;
  int8_t kind = 0;      // -1 leaf, 0 index, 1 header
  uint64_t offset = 0;  // byte offset in the file
};

struct HfsPlusLayout {
  uint32_t block_size = 0;
  uint32_t total_blocks = 0;
  uint64_t volume_offset = 0;
  uint64_t volume_bytes = 0;
  std::vector<bool> used;  // what the allocation file says, per block
  std::vector<HfsPlusExtent> allocation_extents;
  HfsPlusExtent extents_file;
  HfsPlusExtent catalog_file;
  std::vector<std::vector<HfsPlusExtent>> file_extents;  // per file of the options
  std::vector<HfsPlusNode> extents_nodes;                // header first, then leaves, then index
  std::vector<uint64_t> overflow_records;  // file offsets of the extent records, key order
  std::vector<HfsPlusNode> catalog_nodes;
  uint32_t journal_info_block = 0;
  uint64_t journal_header = 0;  // file offset of the journal header (little-endian)

  uint64_t header_offset() const { return volume_offset + 1024; }
  uint64_t block_offset(uint64_t block) const { return volume_offset + block * block_size; }
};

// The data fork of file `index`: every byte names its file and its logical block, so that a fork
// read with a wrong or missing extent shows.
std::vector<uint8_t> hfsplus_file_content(size_t index, uint64_t bytes, uint32_t block_size);
// A file's logical size: its blocks less 100 bytes, so that the last block is partly used.
uint64_t hfsplus_file_bytes(const HfsPlusFileSpec& file, uint32_t block_size);

// Creates or extends `path` and writes the volume; throws std::runtime_error on a layout that
// does not fit.
HfsPlusLayout build_hfsplus(const std::string& path, const HfsPlusOptions& options);

}  // namespace qx::test
