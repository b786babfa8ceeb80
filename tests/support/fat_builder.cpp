#include "support/fat_builder.hpp"

#include <stdexcept>
#include <vector>

#include "support/file_patch.hpp"
#include "support/test_support.hpp"

namespace qx::test {
namespace {

uint64_t table_bytes(int bits, uint64_t entries) {
  return bits == 12 ? (entries * 3 + 1) / 2 : entries * static_cast<uint64_t>(bits / 8);
}

}  // namespace

FatVolume build_fat_volume(const std::string& path, const FatSpec& spec) {
  FatVolume v;
  v.spec = spec;
  v.path = path;
  v.fat_bits = spec.fat_bits ? spec.fat_bits
               : spec.cluster_count < 4085 ? 12
               : spec.cluster_count < 65525 ? 16 : 32;
  const uint32_t bps = spec.bytes_per_sector;
  uint64_t spf = spec.sectors_per_fat;
  if (!spf) spf = (table_bytes(v.fat_bits, spec.cluster_count + 2) + bps - 1) / bps;
  const uint64_t root_sectors = (uint64_t{spec.root_entries} * 32 + bps - 1) / bps;
  v.total_sectors = spec.reserved_sectors + spf * spec.fat_count + root_sectors +
                    spec.cluster_count * spec.sectors_per_cluster + spec.trailing_sectors;
  v.fat_offset = uint64_t{spec.reserved_sectors} * bps;
  v.fat_bytes = spf * bps;
  v.data_offset = v.fat_offset + v.fat_bytes * spec.fat_count + root_sectors * bps;
  v.cluster_bytes = bps * spec.sectors_per_cluster;

  write_file(path, {});
  make_sparse_file(path, v.total_sectors * bps + spec.extra_volume_bytes);

  std::vector<uint8_t> boot(512, 0);
  boot[0] = 0xEB;
  boot[1] = 0x3C;
  boot[2] = 0x90;
  for (int i = 0; i < 8; ++i) boot[3 + i] = static_cast<uint8_t>("QXBUILD "[i]);
  put16(boot, 11, bps);
  boot[13] = static_cast<uint8_t>(spec.sectors_per_cluster);
  put16(boot, 14, spec.reserved_sectors);
  boot[16] = static_cast<uint8_t>(spec.fat_count);
  put16(boot, 17, spec.root_entries);
  if (v.total_sectors < 0x10000 && v.fat_bits != 32) put16(boot, 19, static_cast<uint32_t>(v.total_sectors));
  else put32(boot, 32, static_cast<uint32_t>(v.total_sectors));
  boot[21] = spec.media;
  if (v.fat_bits == 32) {
    put32(boot, 36, static_cast<uint32_t>(spf));
    put32(boot, 44, 2);
  } else {
    if (spf > 0xFFFF) throw std::runtime_error("FAT too large for a 16-bit field");
    put16(boot, 22, static_cast<uint32_t>(spf));
  }
  boot[510] = 0x55;
  boot[511] = 0xAA;
  patch_file(path, 0, boot);

  const uint32_t eoc = v.fat_bits == 12 ? 0xFFF : v.fat_bits == 16 ? 0xFFFF : 0x0FFFFFFF;
  v.set_entry(0, (eoc & ~0xFFu) | spec.media);
  v.set_entry(1, eoc);
  return v;
}

void FatVolume::set_entry(uint64_t n, uint32_t value, int copy) const {
  for (uint32_t c = 0; c < spec.fat_count; ++c) {
    if (copy >= 0 && static_cast<uint32_t>(copy) != c) continue;
    const uint64_t base = fat_offset + c * fat_bytes;
    if (fat_bits == 12) {
      const uint64_t at = base + n * 3 / 2;
      std::vector<uint8_t> b = read_range(path, at, 2);
      uint32_t pair = b[0] | (b[1] << 8);
      if (n % 2) pair = (pair & 0x000F) | ((value & 0xFFF) << 4);
      else pair = (pair & 0xF000) | (value & 0xFFF);
      patch_file_le16(path, at, static_cast<uint16_t>(pair));
    } else if (fat_bits == 16) {
      patch_file_le16(path, base + n * 2, static_cast<uint16_t>(value));
    } else {
      patch_file_le32(path, base + n * 4, value);
    }
  }
}

}  // namespace qx::test
