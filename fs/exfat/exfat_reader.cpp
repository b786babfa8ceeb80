// exFAT: the boot sector gives the layout, the root directory's first cluster names the allocation
// bitmap, and the bitmap (read along its chain in the allocation table) is kept as it is stored:
// one bit per cluster of the heap. Sectors in front of the heap and behind its last cluster are
// used.
#include "fs/exfat/exfat_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fs/unit_allocation.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

struct ExfatBootSector {
  uint8_t jump[3];
  uint8_t fs_name[8];
  uint8_t must_be_zero[53];
  le64_t partition_offset;
  le64_t volume_length;
  le32_t fat_offset;
  le32_t fat_length;
  le32_t cluster_heap_offset;
  le32_t cluster_count;
  le32_t root_cluster;
  le32_t serial_number;
  le16_t revision;
  le16_t volume_flags;
  uint8_t bytes_per_sector_shift;
  uint8_t sectors_per_cluster_shift;
  uint8_t fat_count;
  uint8_t drive_select;
  uint8_t percent_in_use;
  uint8_t reserved[7];
  uint8_t boot_code[390];
  le16_t boot_signature;
};
static_assert(sizeof(ExfatBootSector) == 512);

struct ExfatDirEntry {
  uint8_t type;
  uint8_t flags;
  uint8_t reserved[18];
  le32_t first_cluster;
  le64_t data_length;
};
static_assert(sizeof(ExfatDirEntry) == 32);

constexpr uint8_t kFsName[8] = {'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
constexpr uint16_t kBootSignature = 0xAA55;
constexpr uint8_t kMinSectorShift = 9;
constexpr uint8_t kMaxSectorShift = 13;
constexpr uint8_t kMaxClusterShift = 25;  // of sectors per cluster, and of bytes per cluster
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kBitmapEntry = 0x81;
constexpr uint32_t kFirstCluster = 2;
constexpr uint64_t kChunkBytes = 2 * 1024 * 1024;

struct ExfatLayout {
  uint32_t bytes_per_sector = 0;
  uint64_t bytes_per_cluster = 0;
  uint64_t fat_offset = 0;   // bytes from the volume start
  uint64_t fat_bytes = 0;
  uint64_t heap_offset = 0;  // bytes from the volume start
  uint32_t cluster_count = 0;
  uint32_t root_cluster = 0;
};

// Unit 0 is cluster number 2, as the bitmap counts.
using ExfatState = AllocationState;

ErrorCode read_layout(const ExfatBootSector& bs, uint32_t volume_sectors, ExfatLayout& out) {
  if (std::memcmp(bs.fs_name, kFsName, sizeof kFsName) != 0) return ERR_LAYOUT;
  if (!is_all_zero(bs.must_be_zero)) return ERR_LAYOUT;
  if (bs.boot_signature != kBootSignature) return ERR_LAYOUT;
  const uint32_t sector_shift = bs.bytes_per_sector_shift;
  const uint32_t cluster_shift = bs.sectors_per_cluster_shift;
  if (sector_shift > kMaxSectorShift || cluster_shift > kMaxClusterShift) return ERR_LAYOUT;
  // Sectors smaller than the disk's would put several clusters into one disk sector, and
  // clusters above 32 MiB are not exFAT.
  if (sector_shift < kMinSectorShift || sector_shift + cluster_shift > kMaxClusterShift)
    return ERR_LAYOUT;
  // With a second table and bitmap (TexFAT) the volume flags choose the live pair.
  if (bs.fat_count != 1) return ERR_LAYOUT;

  out.bytes_per_sector = 1u << sector_shift;
  out.bytes_per_cluster = uint64_t{1} << (sector_shift + cluster_shift);
  out.fat_offset = uint64_t{bs.fat_offset} << sector_shift;
  out.fat_bytes = uint64_t{bs.fat_length} << sector_shift;
  out.heap_offset = uint64_t{bs.cluster_heap_offset} << sector_shift;
  out.cluster_count = bs.cluster_count;
  out.root_cluster = bs.root_cluster;

  const uint64_t volume_bytes = uint64_t{volume_sectors} * kSectorSize;
  if (out.fat_bytes == 0 || out.fat_offset + out.fat_bytes > volume_bytes) return ERR_LAYOUT;
  // A heap that runs past the volume belongs to a cut image or a wrong partition.
  if (out.cluster_count == 0 ||
      out.heap_offset + uint64_t{out.cluster_count} * out.bytes_per_cluster > volume_bytes)
    return ERR_LAYOUT;
  if (out.root_cluster < kFirstCluster || out.root_cluster - kFirstCluster >= out.cluster_count)
    return ERR_LAYOUT;
  return OK;
}

bool in_heap(const ExfatLayout& layout, uint32_t cluster) {
  return cluster >= kFirstCluster && cluster - kFirstCluster < layout.cluster_count;
}

uint64_t cluster_byte(const ExfatLayout& layout, uint32_t cluster) {
  return layout.heap_offset + uint64_t{cluster - kFirstCluster} * layout.bytes_per_cluster;
}

// The entries of every cluster the heap can hold, as far as the table stores them.
ErrorCode load_fat(DiskImage& image, uint64_t volume_byte, const ExfatLayout& layout,
                   std::vector<uint8_t>& fat) {
  const uint64_t wanted = (uint64_t{layout.cluster_count} + kFirstCluster) * 4;
  fat.resize(static_cast<size_t>(std::min(wanted, layout.fat_bytes)));
  for (uint64_t pos = 0; pos < fat.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, fat.size() - pos));
    if (ErrorCode rc = read_bytes(image, volume_byte + layout.fat_offset + pos,
                                  std::span<uint8_t>(fat.data() + pos, n));
        rc != OK)
      return rc;
    pos += n;
  }
  return OK;
}

// The next cluster of a chain, or 0 when the table holds no usable link (end of chain, bad
// cluster, or an entry outside the table or the heap).
uint32_t next_cluster(const ExfatLayout& layout, std::span<const uint8_t> fat, uint32_t cluster) {
  uint32_t next = 0;
  if (!read_le(fat, size_t{cluster} * 4, next) || !in_heap(layout, next)) return 0;
  return next;
}

// Finds the first allocation bitmap entry in the root directory's first cluster.
ErrorCode find_bitmap_entry(DiskImage& image, uint64_t volume_byte, const ExfatLayout& layout,
                            ExfatDirEntry& found) {
  const uint64_t root = volume_byte + cluster_byte(layout, layout.root_cluster);
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(kChunkBytes, layout.bytes_per_cluster)));
  for (uint64_t pos = 0; pos < layout.bytes_per_cluster;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), layout.bytes_per_cluster - pos));
    const std::span<uint8_t> chunk(buf.data(), n);
    if (ErrorCode rc = read_bytes(image, root + pos, chunk); rc != OK) return rc;
    for (size_t at = 0; at + sizeof(ExfatDirEntry) <= n; at += sizeof(ExfatDirEntry)) {
      ExfatDirEntry e;
      if (!read_struct(std::span<const uint8_t>(chunk), at, e)) return ERR_LAYOUT;
      if (e.type == kEndOfDirectory) return ERR_LAYOUT;
      if (e.type == kBitmapEntry) {
        found = e;
        return OK;
      }
    }
    pos += n;
  }
  return ERR_LAYOUT;
}

// Clusters the stored bitmap describes: all of the heap unless its data length falls short.
uint64_t bitmap_units(const ExfatLayout& layout, const ExfatDirEntry& entry) {
  const uint64_t stored_bits = std::min<uint64_t>(entry.data_length, layout.cluster_count) * 8;
  return std::min<uint64_t>(layout.cluster_count, stored_bits);
}

// The clusters that hold the first `bytes` bytes of a chain, in order. A link that leaves the heap
// or the loaded table, an early end, or a cluster met twice leaves the chain unusable.
ErrorCode collect_chain(const ExfatLayout& layout, std::span<const uint8_t> fat, uint32_t first,
                        uint64_t bytes, std::vector<uint32_t>& out) {
  const uint64_t n = ceil_div_u64(bytes, layout.bytes_per_cluster);
  out.clear();
  if (n == 0) return OK;
  if (!in_heap(layout, first)) return ERR_LAYOUT;
  out.reserve(static_cast<size_t>(n));
  out.push_back(first);
  while (out.size() < n) {
    const uint32_t next = next_cluster(layout, fat, out.back());
    if (next == 0) return ERR_LAYOUT;
    out.push_back(next);
  }
  std::vector<uint32_t> sorted = out;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return ERR_LAYOUT;
  return OK;
}

// Reads the bitmap along its chain, runs of consecutive clusters at once; bits the stored bitmap
// does not reach stay used.
ErrorCode load_bitmap(DiskImage& image, uint64_t volume_byte, const ExfatLayout& layout,
                      std::span<const uint8_t> fat, const ExfatDirEntry& entry,
                      UnitAllocation& out) {
  if (ErrorCode rc = out.reset(bitmap_units(layout, entry), true); rc != OK) return rc;
  out.first_unit_sector = static_cast<uint32_t>(layout.heap_offset / kSectorSize);
  out.sectors_per_unit = static_cast<uint32_t>(layout.bytes_per_cluster / kSectorSize);

  const uint64_t wanted = out.used.size();
  std::vector<uint32_t> clusters;
  if (ErrorCode rc = collect_chain(layout, fat, entry.first_cluster, wanted, clusters); rc != OK)
    return rc;
  uint64_t done = 0;
  for (size_t i = 0; i < clusters.size();) {
    size_t j = i + 1;
    while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1 &&
           (j - i) * layout.bytes_per_cluster < kChunkBytes)
      ++j;
    const uint64_t n = std::min((j - i) * layout.bytes_per_cluster, wanted - done);
    if (ErrorCode rc = read_bytes(image, volume_byte + cluster_byte(layout, clusters[i]),
                                  std::span<uint8_t>(out.used.data() + done, static_cast<size_t>(n)));
        rc != OK)
      return rc;
    done += n;
    i = j;
  }

  // A bitmap that calls its own clusters or the root directory free is not the volume's.
  auto allocated = [&](uint32_t cluster) { return out.unit_used(cluster - kFirstCluster); };
  if (!allocated(layout.root_cluster)) return ERR_LAYOUT;
  for (uint32_t c : clusters)
    if (!allocated(c)) return ERR_LAYOUT;
  return OK;
}

ErrorCode exfat_probe(DiskImage& image, uint32_t first, uint32_t count,
                      std::unique_ptr<ReaderState>& state) {
  return guard_no_memory([&]() -> ErrorCode {
    std::array<uint8_t, sizeof(ExfatBootSector)> raw{};
    if (uint64_t{count} * kSectorSize < raw.size()) return ERR_LAYOUT;
    const uint64_t volume_byte = uint64_t{first} * kSectorSize;
    if (ErrorCode rc = read_bytes(image, volume_byte, raw); rc != OK) return rc;
    ExfatBootSector bs;
    if (!read_struct(std::span<const uint8_t>(raw), 0, bs)) return ERR_LAYOUT;
    ExfatLayout layout;
    if (ErrorCode rc = read_layout(bs, count, layout); rc != OK) return rc;
    ExfatDirEntry entry;
    if (ErrorCode rc = find_bitmap_entry(image, volume_byte, layout, entry); rc != OK) return rc;
    // The table is needed only to follow a bitmap over more than one cluster.
    std::vector<uint8_t> fat;
    if (ceil_div_u64(bitmap_units(layout, entry), 8) > layout.bytes_per_cluster) {
      if (ErrorCode rc = load_fat(image, volume_byte, layout, fat); rc != OK) return rc;
    }
    auto st = std::make_unique<ExfatState>();
    if (ErrorCode rc = load_bitmap(image, volume_byte, layout, fat, entry, st->allocation); rc != OK)
      return rc;
    state = std::move(st);
    return OK;
  });
}


}  // namespace

const FsReader kExfatReader = {"exfat", exfat_probe, mark_allocation};

}  // namespace qx
