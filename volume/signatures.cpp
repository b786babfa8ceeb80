#include "volume/signatures.hpp"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "image/byte_order.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

constexpr uint64_t kKiB = 1024;

// The region's bytes at `offset`, when they lie inside it and read.
bool read_region(DiskImage& image, uint32_t first, uint32_t count, uint64_t offset, std::span<uint8_t> out) {
  const uint64_t size = uint64_t{count} * kSectorSize;
  return offset <= size && out.size() <= size - offset &&
         read_bytes(image, uint64_t{first} * kSectorSize + offset, out) == OK;
}

bool bytes_at(std::span<const uint8_t> data, size_t offset, std::string_view expected) noexcept {
  return offset + expected.size() <= data.size() &&
         std::memcmp(data.data() + offset, expected.data(), expected.size()) == 0;
}

// The BitLocker identifier {4967D63B-2E29-4AD8-8399-F6A339E3D0xx} as stored: To Go's discovery
// volume carries it at 424 behind an ordinary FAT32 boot sector.
constexpr uint8_t kBitLockerGuid[15] = {0x3B, 0xD6, 0x67, 0x49, 0x29, 0x2E, 0xD8, 0x4A,
                                        0x83, 0x99, 0xF6, 0xA3, 0x39, 0xE3, 0xD0};

// APFS's Fletcher-64 over 32-bit words, the stored checksum itself left out.
uint64_t apfs_checksum(std::span<const uint8_t> block) noexcept {
  constexpr uint64_t kMod = 0xFFFFFFFF;
  uint64_t a = 0, b = 0;
  for (size_t i = 8; i + 4 <= block.size(); i += 4) {
    a = (a + le32(block.data() + i)) % kMod;
    b = (b + a) % kMod;
  }
  const uint64_t c1 = kMod - ((a + b) % kMod);
  const uint64_t c2 = kMod - ((a + c1) % kMod);
  return (c2 << 32) | c1;
}

bool is_apfs_container(DiskImage& image, uint32_t first, uint32_t count, std::span<const uint8_t> head) {
  if (!bytes_at(head, 32, "NXSB")) return false;
  const uint32_t block = le32(head.data() + 36);
  if (block < 4096 || block > 65536 || !is_power_of_two(block)) return false;
  std::vector<uint8_t> data(block);
  return read_region(image, first, count, 0, data) && apfs_checksum(data) == le64(data.data());
}

// A ZFS label holds an array of uberblocks from 128 KiB on; a member carries two labels at its
// start and two at its end, each of 256 KiB.
bool has_zfs_label(DiskImage& image, uint32_t first, uint32_t count) {
  constexpr uint64_t kLabel = 256 * kKiB, kMagic = 0x00BAB10C;
  const uint64_t size = uint64_t{count} * kSectorSize;
  if (size < 4 * kLabel) return false;
  const uint64_t end = size / kLabel * kLabel;
  std::vector<uint8_t> ring(128 * kKiB);
  for (const uint64_t label : {uint64_t{0}, kLabel, end - 2 * kLabel, end - kLabel}) {
    if (!read_region(image, first, count, label + 128 * kKiB, ring)) continue;
    for (size_t at = 0; at + 16 <= ring.size(); at += kKiB) {
      const uint8_t* p = ring.data() + at;
      const bool little = le64(p) == kMagic, big = be64(p) == kMagic;
      const uint64_t version = little ? le64(p + 8) : be64(p + 8);
      if ((little || big) && version >= 1 && version <= 5000) return true;
    }
  }
  return false;
}

// MD superblocks: 1.1 at the start, 1.2 at 4 KiB, 1.0 near the end (each knowing its own place),
// and the old 0.90 in the last 64 KiB-aligned 64 KiB.
const char* md_member(DiskImage& image, uint32_t first, uint32_t count) {
  constexpr uint32_t kMagic = 0xA92B4EFC;
  std::array<uint8_t, 256> sb{};
  const uint64_t sectors = count;
  struct Place {
    uint64_t sector;
    const char* text;
  };
  const Place places[] = {
      {0, "a Linux MD RAID member (metadata 1.1); this tool does not read inside it"},
      {8, "a Linux MD RAID member (metadata 1.2); this tool does not read inside it"},
      {sectors >= 16 ? (sectors - 16) & ~uint64_t{7} : UINT64_MAX,
       "a Linux MD RAID member (metadata 1.0); this tool does not read inside it"}};
  for (const Place& p : places) {
    if (p.sector == UINT64_MAX || !read_region(image, first, count, p.sector * kSectorSize, sb)) continue;
    if (le32(sb.data()) == kMagic && le32(sb.data() + 4) == 1 && le64(sb.data() + 144) == p.sector)
      return p.text;
  }
  const uint64_t bytes = sectors * kSectorSize;
  if (bytes >= 128 * kKiB) {
    const uint64_t at = (bytes & ~(64 * kKiB - 1)) - 64 * kKiB;
    if (read_region(image, first, count, at, sb)) {
      const bool little = le32(sb.data()) == kMagic, big = be32(sb.data()) == kMagic;
      const auto field = [&](size_t o) { return little ? le32(sb.data() + o) : be32(sb.data() + o); };
      if ((little || big) && field(4) == 0 && field(8) == 90)
        return "a Linux MD RAID member (metadata 0.90); this tool does not read inside it";
    }
  }
  return nullptr;
}

}  // namespace

NamedVolume named_volume_of_kind(int32_t kind) noexcept {
  switch (kind) {
    case KIND_LDM:
      return {kind, "a Windows dynamic disk (LDM) partition; this tool does not read inside it"};
    case KIND_STORAGE_SPACES:
      return {kind, "a Windows Storage Spaces member; this tool does not read inside it"};
    default: return {};
  }
}

NamedVolume find_named_volume(DiskImage& image, uint32_t first, uint32_t count) {
  std::array<uint8_t, 512> head{};
  if (!read_region(image, first, count, 0, head)) return {};
  const std::span<const uint8_t> h(head);
  if (bytes_at(h, 3, "-FVE-FS-"))
    return {KIND_BITLOCKER, "a BitLocker volume (encrypted by Windows); this tool does not read inside it"};
  if (std::memcmp(head.data() + 424, kBitLockerGuid, sizeof kBitLockerGuid) == 0 && head[439] <= 1 &&
      head[510] == 0x55 && head[511] == 0xAA)
    return {KIND_BITLOCKER, "a BitLocker To Go volume (encrypted by Windows); this tool does not read inside it"};
  if (bytes_at(h, 3, std::string_view("ReFS\0\0\0\0", 8)) && bytes_at(h, 16, "FSRS"))
    return {KIND_REFS, "a ReFS volume; this tool does not read inside it"};
  if (is_apfs_container(image, first, count, h))
    return {KIND_APFS, "an APFS container (macOS; FileVault encrypts inside it); this tool does not read inside it"};
  if (bytes_at(h, 88, "CS") && le16(head.data() + 8) == 1 && le16(head.data() + 10) == 0x0010)
    return {KIND_FILEVAULT, "a Core Storage volume of macOS (FileVault); this tool does not read inside it"};
  if (bytes_at(h, 0, std::string_view("integrt\0", 8)) && head[8] >= 1 && head[8] <= 6)
    return {KIND_DM_INTEGRITY, "a dm-integrity device; this tool does not read inside it"};
  if (bytes_at(h, 0, "dmvdo001"))
    return {KIND_VDO, "a VDO volume (deduplicated and compressed); this tool does not read inside it"};
  // bcache's superblock at 4 KiB records its own sector.
  constexpr uint8_t kBcacheMagic[16] = {0xC6, 0x85, 0x73, 0xF6, 0x4E, 0x1A, 0x45, 0xCA,
                                        0x82, 0x65, 0xF5, 0x7F, 0x48, 0xBA, 0x6D, 0x81};
  std::array<uint8_t, 40> cache{};
  if (read_region(image, first, count, 4096, cache) && le64(cache.data() + 8) == 8 &&
      std::memcmp(cache.data() + 24, kBcacheMagic, 16) == 0)
    return {KIND_BCACHE, "a bcache device; this tool does not read inside it"};
  if (const char* md = md_member(image, first, count)) return {KIND_MD_RAID, md};
  if (has_zfs_label(image, first, count))
    return {KIND_ZFS, "a ZFS pool member; this tool does not read inside it"};
  return {};
}

}  // namespace qx
