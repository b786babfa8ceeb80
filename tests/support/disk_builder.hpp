// Partition tables built in code: MBR and extended boot records, protective MBR and GPT, written
// into (sparse) disk files at exact sectors.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qx::test {

using Guid = std::array<uint8_t, 16>;

// "E6D6D379-F507-44C2-A23C-238F2A3DF928" in the GUID's stored (mixed-endian) byte order.
Guid guid_from_text(const std::string& text);
inline const std::string kGuidLinuxData = "0FC63DAF-8483-4772-8E79-3D69E4C47DE4";
inline const std::string kGuidLinuxLvm = "E6D6D379-F507-44C2-A23C-238F2A3DF928";
inline const std::string kGuidBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B97199C7";

// Writes bytes at a byte offset of an existing file (the file grows if needed).
void write_at(const std::string& path, uint64_t offset, std::span<const uint8_t> data);

// One 16-byte entry of an MBR or EBR; start is relative as the table stores it.
struct MbrSlot {
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
  uint8_t boot = 0;
};

// A boot sector holding up to four entries (slot i at 446 + 16 i), with or without 0x55 0xAA.
std::vector<uint8_t> boot_sector(const std::vector<MbrSlot>& slots, bool signature = true);
void write_boot_sector(const std::string& path, uint64_t sector, const std::vector<MbrSlot>& slots,
                       bool signature = true);

struct GptPart {
  Guid type{};
  uint64_t first_lba = 0;
  uint64_t last_lba = 0;  // inclusive
};

struct GptLayout {
  uint64_t entry_lba = 2;
  uint32_t entry_count = 128;
  uint32_t entry_size = 128;
  uint32_t header_size = 92;
  uint32_t revision = 0x00010000;
  uint64_t current_lba = 1;
  std::string signature = "EFI PART";
  bool backup = false;  // also the backup: its entry array, then its header in the last sector
};

// Protective MBR (0xEE at start 1), GPT header at sector 1 and its entry array, with valid CRCs;
// disk_sectors sets the header's backup and last usable LBAs.
void write_gpt(const std::string& path, uint64_t disk_sectors, const std::vector<GptPart>& parts,
               const GptLayout& layout = {});
// Recomputes the CRCs of the GPT header at `lba`: its entry array's, then its own.
void reseal_gpt(const std::string& path, uint64_t lba);

}  // namespace qx::test
