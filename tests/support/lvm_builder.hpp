// LVM2 physical volumes built in code from the documented layout: label sector, PV header,
// metadata area header and metadata text as LVM2 writes them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qx::test {

struct LvmSegmentSpec {
  uint32_t start_extent = 0;  // within the logical volume
  uint32_t extent_count = 1;
  std::string type = "striped";
  std::vector<std::pair<std::string, uint32_t>> stripes = {{"pv0", 0}};  // PV name, PV extent
};

struct LvmLvSpec {
  std::string name;
  std::vector<LvmSegmentSpec> segments;
};

// A linear volume: one segment of `extents` extents at PV extent `pv_extent`.
LvmLvSpec linear_lv(const std::string& name, uint32_t pv_extent, uint32_t extents);

struct LvmPvSpec {
  std::string vg_name = "vg0";
  std::string pv_name = "pv0";
  std::string pv_id = "7mOXNMcccGYdOrxJxKhYXxNRV9g8zAIK";  // 32 characters, as in the label
  uint32_t extent_size = 8192;                              // sectors
  uint32_t pe_start = 2048;                                 // sectors
  uint32_t pe_count = 3;
  uint64_t dev_size = 32768;  // sectors
  std::vector<LvmLvSpec> lvs;
  uint32_t label_sector = 1;
  uint64_t mda_offset = 4096;  // bytes from the PV start
  uint64_t mda_size = 1044480;
  uint64_t raw_offset = 512;   // of the text, from the area's start
  uint32_t raw_flags = 0;
};

// "7mOXNM-cccG-YdOr-xJxK-hYXx-NRV9-g8zAIK" from the 32 raw characters.
std::string formatted_pv_id(const std::string& raw);
// Metadata text in the form LVM2 writes it on disk, with `format = "lvm2"` and comments.
std::string lvm_metadata_text(const LvmPvSpec& desc);
// LVM2's CRC, computed independently of the reader (through zlib).
uint32_t lvm_reference_crc(const uint8_t* data, size_t size);

// The 512-byte label sector (label header + PV header + extension) with a valid CRC.
std::vector<uint8_t> lvm_label_sector(const LvmPvSpec& desc);
// The 512-byte metadata area header for the raw text bytes `raw` (the text and its NUL as LVM2
// writes them), with their checksum and a valid CRC.
std::vector<uint8_t> lvm_mda_header(const LvmPvSpec& desc, const std::vector<uint8_t>& raw);
// Recomputes the CRC of a label sector / metadata area header after a test changed it.
void reseal_label(std::vector<uint8_t>& sector);
void reseal_mda_header(std::vector<uint8_t>& header);

// Writes the whole PV (label, metadata area header, text plus its NUL) into an existing file at
// byte `pv_offset`; `text` defaults to lvm_metadata_text(desc).
void write_lvm_pv(const std::string& path, uint64_t pv_offset, const LvmPvSpec& desc);
void write_lvm_pv(const std::string& path, uint64_t pv_offset, const LvmPvSpec& desc,
                  const std::string& text);

}  // namespace qx::test
