// FAT12/16/32: the boot sector gives the layout, one pass over the allocation table (checked
// against its copies) leaves one bit per cluster. Sectors in front of the data area and behind the
// last whole cluster are used.
#include "fs/fat/fat_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fs/unit_allocation.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"

namespace qx {
namespace {

// The boot sector up to the end of the FAT32 extension.
struct FatBootSector {
  uint8_t jump[3];
  uint8_t oem_name[8];
  le16_t bytes_per_sector;
  uint8_t sectors_per_cluster;
  le16_t reserved_sectors;
  uint8_t fat_count;
  le16_t root_entries;
  le16_t total_sectors16;
  uint8_t media;
  le16_t sectors_per_fat16;
  le16_t sectors_per_track;
  le16_t heads;
  le32_t hidden_sectors;
  le32_t total_sectors32;
  le32_t sectors_per_fat32;
  le16_t ext_flags;
  le16_t version;
  le32_t root_cluster;
  le16_t fsinfo_sector;
  le16_t backup_boot_sector;
  uint8_t reserved[12];
  uint8_t drive_number;
  uint8_t reserved1;
  uint8_t boot_signature;
  le32_t volume_id;
  uint8_t volume_label[11];
  uint8_t fs_type[8];
};
static_assert(sizeof(FatBootSector) == 90);

enum class FatType { FAT12, FAT16, FAT32 };

constexpr uint64_t kMaxFat12Clusters = 4084;
constexpr uint64_t kMaxFat16Clusters = 65524;
constexpr uint32_t kMaxClusterBytes = 32768;
constexpr uint32_t kDirEntryBytes = 32;
constexpr uint64_t kFirstCluster = 2;  // cluster number of the data area's first cluster
// A multiple of 12 bytes, so that no entry of any width straddles two chunks.
constexpr uint64_t kChunkBytes = 1536 * 1024;
static_assert(kChunkBytes % 12 == 0);

struct FatLayout {
  FatType type = FatType::FAT12;
  uint64_t fat_offset = 0;   // bytes from the volume start
  uint64_t fat_bytes = 0;    // one copy
  uint32_t fat_count = 0;
  uint64_t data_offset = 0;  // bytes from the volume start
  uint64_t cluster_count = 0;
  uint32_t cluster_bytes = 0;
};

// Unit 0 is cluster number 2.
struct FatState : AllocationState {
  FatType type = FatType::FAT12;
};

bool valid_bytes_per_sector(uint32_t v) { return v == 512 || v == 1024 || v == 2048 || v == 4096; }
bool valid_sectors_per_cluster(uint32_t v) { return v >= 1 && v <= 128 && is_power_of_two(v); }
bool valid_media(uint8_t m) { return m == 0xF0 || m >= 0xF8; }

FatType type_of(uint64_t cluster_count) {
  if (cluster_count <= kMaxFat12Clusters) return FatType::FAT12;
  if (cluster_count <= kMaxFat16Clusters) return FatType::FAT16;
  return FatType::FAT32;
}

ErrorCode read_layout(const FatBootSector& bs, uint32_t volume_sectors, FatLayout& out) {
  const uint32_t bps = bs.bytes_per_sector;
  const uint32_t spc = bs.sectors_per_cluster;
  if (!valid_bytes_per_sector(bps) || !valid_sectors_per_cluster(spc)) return ERR_LAYOUT;
  if (bps * spc > kMaxClusterBytes) return ERR_LAYOUT;
  if (bs.reserved_sectors == 0 || bs.fat_count == 0) return ERR_LAYOUT;
  if (uint32_t{bs.root_entries} * kDirEntryBytes % bps != 0) return ERR_LAYOUT;
  if (!valid_media(bs.media)) return ERR_LAYOUT;

  const uint64_t root_dir_sectors = uint64_t{bs.root_entries} * kDirEntryBytes / bps;
  const bool fat32_layout = bs.sectors_per_fat16 == 0;
  const uint64_t sectors_per_fat = fat32_layout ? bs.sectors_per_fat32.get() : bs.sectors_per_fat16.get();
  const uint64_t total = bs.total_sectors16 ? bs.total_sectors16.get() : bs.total_sectors32.get();
  const uint64_t metadata = bs.reserved_sectors + sectors_per_fat * bs.fat_count + root_dir_sectors;
  // Fewer sectors than the metadata would wrap the count of data sectors.
  if (total < metadata) return ERR_LAYOUT;
  // A file system larger than its volume (a cut image, a wrong partition) cannot be vouched for.
  if (total * bps > uint64_t{volume_sectors} * kSectorSize) return ERR_LAYOUT;

  out.cluster_count = (total - metadata) / spc;
  out.type = type_of(out.cluster_count);
  // The cluster count decides the entry width; a table laid out for the other family would be
  // read at the wrong width and free clusters of one family would be used ones of the other.
  if ((out.type == FatType::FAT32) != fat32_layout) return ERR_LAYOUT;
  out.fat_offset = uint64_t{bs.reserved_sectors} * bps;
  out.fat_bytes = sectors_per_fat * bps;
  out.fat_count = bs.fat_count;
  out.data_offset = (bs.reserved_sectors + root_dir_sectors) * bps + out.fat_bytes * bs.fat_count;
  out.cluster_bytes = bps * spc;
  return OK;
}

uint64_t entry_offset(FatType type, uint64_t n) {
  switch (type) {
    case FatType::FAT12: return n * 3 / 2;
    case FatType::FAT16: return n * 2;
    case FatType::FAT32: break;
  }
  return n * 4;
}

uint32_t entry_width(FatType type) { return type == FatType::FAT32 ? 4 : 2; }

// Entries that lie wholly inside a table of `bytes` bytes.
uint64_t entries_in(FatType type, uint64_t bytes) {
  switch (type) {
    case FatType::FAT12: return bytes < 2 ? 0 : (2 * (bytes - 2) + 1) / 3 + 1;
    case FatType::FAT16: return bytes / 2;
    case FatType::FAT32: break;
  }
  return bytes / 4;
}

// The value of entry n stored at p; the top four bits of a FAT32 entry are reserved.
uint32_t entry_value(FatType type, const uint8_t* p, uint64_t n) {
  switch (type) {
    case FatType::FAT12: return n % 2 ? le16(p) >> 4 : le16(p) & 0x0FFFu;
    case FatType::FAT16: return le16(p);
    case FatType::FAT32: break;
  }
  return le32(p) & 0x0FFFFFFFu;
}

// Reads the first table in chunks, compares every further copy with it, and clears the bit of
// each cluster whose entry is 0. Clusters without an entry in the table stay used.
ErrorCode load_table(DiskImage& image, uint64_t volume_byte, const FatLayout& layout,
                     UnitAllocation& out) {
  const uint64_t entries = entries_in(layout.type, layout.fat_bytes);
  const uint64_t units = entries > kFirstCluster
                             ? std::min(layout.cluster_count, entries - kFirstCluster)
                             : 0;
  if (ErrorCode rc = out.reset(units, true); rc != OK) return rc;
  out.first_unit_sector = static_cast<uint32_t>(layout.data_offset / kSectorSize);
  out.sectors_per_unit = layout.cluster_bytes / kSectorSize;

  const size_t buffer_bytes = static_cast<size_t>(std::min(kChunkBytes, layout.fat_bytes));
  std::vector<uint8_t> table(buffer_bytes);
  std::vector<uint8_t> copy(layout.fat_count > 1 ? buffer_bytes : 0);
  const uint64_t table_byte = volume_byte + layout.fat_offset;
  const uint64_t end_entry = kFirstCluster + units;
  uint64_t next = kFirstCluster;
  for (uint64_t pos = 0; pos < layout.fat_bytes;) {
    const size_t n = static_cast<size_t>(std::min(kChunkBytes, layout.fat_bytes - pos));
    const std::span<uint8_t> chunk(table.data(), n);
    if (ErrorCode rc = read_bytes(image, table_byte + pos, chunk); rc != OK) return rc;
    for (uint32_t i = 1; i < layout.fat_count; ++i) {
      const std::span<uint8_t> other(copy.data(), n);
      if (ErrorCode rc = read_bytes(image, table_byte + i * layout.fat_bytes + pos, other); rc != OK)
        return rc;
      if (std::memcmp(chunk.data(), other.data(), n) != 0) return ERR_LAYOUT;
    }
    for (; next < end_entry; ++next) {
      const uint64_t at = entry_offset(layout.type, next);
      if (at < pos || at + entry_width(layout.type) > pos + n) break;
      if (entry_value(layout.type, chunk.data() + (at - pos), next) == 0)
        put_bit(out.used, next - kFirstCluster, false);
    }
    pos += n;
  }
  return OK;
}

ErrorCode fat_probe(DiskImage& image, uint32_t first, uint32_t count,
                    std::unique_ptr<ReaderState>& state) {
  return guard_no_memory([&]() -> ErrorCode {
    std::array<uint8_t, sizeof(FatBootSector)> raw{};
    if (uint64_t{count} * kSectorSize < raw.size()) return ERR_LAYOUT;
    const uint64_t volume_byte = uint64_t{first} * kSectorSize;
    if (ErrorCode rc = read_bytes(image, volume_byte, raw); rc != OK) return rc;
    FatBootSector bs;
    if (!read_struct(std::span<const uint8_t>(raw), 0, bs)) return ERR_LAYOUT;
    FatLayout layout;
    if (ErrorCode rc = read_layout(bs, count, layout); rc != OK) return rc;
    auto st = std::make_unique<FatState>();
    st->type = layout.type;
    if (ErrorCode rc = load_table(image, volume_byte, layout, st->allocation); rc != OK) return rc;
    state = std::move(st);
    return OK;
  });
}


}  // namespace

const FsReader kFatReader = {"fat", fat_probe, mark_allocation};

}  // namespace qx
