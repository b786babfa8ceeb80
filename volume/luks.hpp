// LUKS1 and LUKS2 volumes: found by their header, unlocked with the user's passphrases through the
// LUKS reference library, and read through a decrypting view of their payload by the same map
// that reads the disk. What is free inside is free in the image, an encryption sector at a time;
// the header and key slots are always kept.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fs/reader.hpp"
#include "image/disk_image.hpp"
#include "volume/usage_map.hpp"
#include "volume/volume_keys.hpp"

namespace qx {

// The decrypted payload of an unlocked volume, presented as a disk of its own.
inline constexpr FormatId FORMAT_DECRYPTED = -6;
extern const FormatDriver kDecryptedDriver;

// Unlocked volumes inside unlocked volumes are read this deep, no deeper.
inline constexpr uint32_t kMaxLuksDepth = 2;

// Where a header says the data lie and how they are encrypted, as the LUKS library reads it.
struct LuksPayload {
  uint32_t version = 0;        // 1 or 2
  uint64_t offset_sectors = 0;  // from the volume's start, in 512-byte sectors
  uint32_t sector_size = 512;  // the encryption sector
  uint64_t iv_offset = 0;      // added to the IV's sector number
  uint64_t header_bytes = 0;   // where the header and key slots end, from the volume's start
  std::string cipher;          // "aes"
  std::string mode;            // "xts-plain64"
};

// The LUKS version whose header starts the region (1 or 2; a LUKS2 volume also by its secondary
// header alone), or 0; `uuid` gets the header's UUID.
uint32_t luks_version_at(DiskImage& image, uint32_t first, uint32_t count, std::string& uuid);

// False when no LUKS header starts the region. True otherwise, with the entry of kind KIND_LUKS
// holding either the state of its unlocked payload or the reason it is kept whole. The keys of the
// context are tried: those naming this volume (by `partition_number`, 0 for none, or its UUID)
// first, then those for every volume.
bool probe_luks(VolumeEntry& entry, DiskImage& image, uint32_t partition_number, const MapContext& context);

// Checks the payload against the volume, opens the decrypting view with the volume key and maps
// what lies inside; OK with the entry's state set, or a reason in `why` (ERR_READ when the image
// could not be read).
ErrorCode open_luks_payload(VolumeEntry& entry, DiskImage& image, const LuksPayload& payload,
                            std::span<const uint8_t> volume_key, const MapContext& context,
                            KeptWholeReason& why);

// The reader row that answers for an unlocked volume's entry.
extern const FsReader kLuksReader;

// What lies inside an unlocked volume and the sector (of the volume) where its payload starts;
// null for any other entry.
const UsageMap* luks_inner_map(const VolumeEntry& entry, uint32_t& payload_offset) noexcept;

}  // namespace qx
