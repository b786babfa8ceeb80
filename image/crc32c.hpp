// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), as VHDX and the ext4/XFS metadata use it.
#pragma once

#include <cstdint>
#include <span>

namespace qx {

// Continues a running CRC without the initial or final inversion: start with ~0u and complement
// the result at the end (crc32c below does both).
uint32_t crc32c_update(uint32_t crc, std::span<const uint8_t> data) noexcept;

// The standard CRC-32C of data: initial value ~0, final complement ("123456789" gives 0xE3069283).
uint32_t crc32c(std::span<const uint8_t> data) noexcept;

}  // namespace qx
