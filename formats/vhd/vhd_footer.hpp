// The footer that every VHD file carries, shared by the dynamic driver and the read-only variants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "image/byte_order.hpp"
#include "image/disk_image.hpp"

namespace qx {

struct VhdFooter {
  char cookie[8];
  be32_t features;
  be32_t format_version;
  be64_t data_offset;
  be32_t time_stamp;
  char creator_application[4];
  be32_t creator_version;
  be32_t creator_host_os;
  be64_t original_size;
  be64_t current_size;
  be16_t cylinders;
  uint8_t heads;
  uint8_t sectors_per_track;
  be32_t disk_type;
  be32_t checksum;
  uint8_t unique_id[16];
  uint8_t saved_state;
  uint8_t reserved[427];
};
static_assert(sizeof(VhdFooter) == 512);

inline constexpr uint32_t kVhdFooterChecksumOffset = 64;
inline constexpr uint32_t kVhdFormatVersion = 0x00010000;

// One's complement of the byte sum, the four checksum bytes left out.
inline uint32_t vhd_checksum(std::span<const uint8_t> bytes, size_t checksum_offset) noexcept {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (i < checksum_offset || i >= checksum_offset + 4) sum += bytes[i];
  return ~sum;
}

inline ImageIdentity footer_identity(const VhdFooter& footer) noexcept {
  ImageIdentity id;
  id.kind = ImageIdentity::VHD_UNIQUE_ID;
  for (size_t i = 0; i < sizeof footer.unique_id; ++i) id.bytes[i] = footer.unique_id[i];
  return id;
}

}  // namespace qx
