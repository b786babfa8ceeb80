// Partition tables: the MBR and its chain of extended boot records, the GUID partition table
// behind a protective MBR, and the logical volumes of LVM2 physical volumes found in either.
#include "volume/partitions.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "fs/reader.hpp"
#include "image/primitives.hpp"
#include "volume/lvm2.hpp"

namespace qx {
namespace {

// On-disk structures, little-endian.
struct GptHeader {
  char signature[8];  // "EFI PART"
  le32_t revision;
  le32_t header_size;
  le32_t header_crc;
  le32_t reserved;
  le64_t current_lba;
  le64_t backup_lba;
  le64_t first_usable_lba;
  le64_t last_usable_lba;
  uint8_t disk_guid[16];
  le64_t entry_lba;
  le32_t entry_count;
  le32_t entry_size;
  le32_t entry_array_crc;
};
static_assert(sizeof(GptHeader) == 92);

struct GptEntry {
  uint8_t type_guid[16];
  uint8_t unique_guid[16];
  le64_t first_lba;
  le64_t last_lba;  // inclusive
  le64_t attributes;
  uint8_t name[72];
};
static_assert(sizeof(GptEntry) == 128);

constexpr size_t kMbrEntriesOffset = 446;
constexpr uint32_t kGptRevision = 0x00010000;
constexpr uint32_t kGptMaxEntries = 1024;
constexpr uint8_t kTypeEmpty = 0x00;
constexpr uint8_t kTypeProtective = 0xEE;
constexpr uint8_t kTypeLvm = 0x8E;
// E6D6D379-F507-44C2-A23C-238F2A3DF928 in the GUID's stored byte order.
constexpr uint8_t kGptLvmType[16] = {0x79, 0xD3, 0xD6, 0xE6, 0x07, 0xF5, 0xC2, 0x44,
                                     0xA2, 0x3C, 0x23, 0x8F, 0x2A, 0x3D, 0xF9, 0x28};
constexpr uint8_t kTypeLdm = 0x42;
// The types that name a kind of their own: LDM metadata 5808C8AA-7E8F-42E0-85D2-E1E90434CFB3,
// LDM data AF9B60A0-1431-4F62-BC68-3311714A69AD, Storage Spaces
// E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D.
struct NamedGptType {
  uint8_t guid[16];
  int32_t kind;
};
constexpr NamedGptType kNamedGptTypes[] = {
    {{0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42, 0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3}, KIND_LDM},
    {{0xA0, 0x60, 0x9B, 0xAF, 0x31, 0x14, 0x62, 0x4F, 0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD}, KIND_LDM},
    {{0x8F, 0xAF, 0x5C, 0xE7, 0x80, 0xF6, 0xEE, 0x4C, 0xAF, 0xA3, 0xB0, 0x01, 0xE5, 0x6E, 0xFC, 0x2D},
     KIND_STORAGE_SPACES}};

int32_t gpt_named_kind(const uint8_t (&type)[16]) noexcept {
  for (const NamedGptType& t : kNamedGptTypes)
    if (std::memcmp(t.guid, type, 16) == 0) return t.kind;
  return KIND_UNRECOGNISED;
}

// Enough entries to tell that a table reads.
constexpr uint32_t kMaxTableEntries = 256;
// A chain of extended boot records longer than this is taken as damaged.
constexpr uint32_t kMaxExtendedRecords = 1024;

using Sector = std::array<uint8_t, kSectorSize>;

bool is_extended(uint8_t type) noexcept { return type == 0x05 || type == 0x0F || type == 0x85; }

bool has_boot_signature(const Sector& s) noexcept { return s[510] == 0x55 && s[511] == 0xAA; }

std::array<PartitionEntry, 4> table_entries(const Sector& s) noexcept {
  std::array<PartitionEntry, 4> out;
  for (size_t i = 0; i < 4; ++i)
    std::memcpy(&out[i], s.data() + kMbrEntriesOffset + i * sizeof(PartitionEntry),
                sizeof(PartitionEntry));
  return out;
}

ErrorCode read_sector(DiskImage& image, uint64_t sector, Sector& out) {
  return read_bytes(image, sector * kSectorSize, out);
}

// One enumeration: where entries go, how many fit, and the extended records already visited.
class Enumeration {
 public:
  Enumeration(DiskImage& image, uint32_t limit, std::vector<PartitionEntry>& entries,
              std::vector<PartitionOrigin>* origins)
      : image_(image), limit_(limit), entries_(entries), origins_(origins) {}

  DiskImage& image() noexcept { return image_; }
  bool full() const noexcept { return entries_.size() >= limit_; }

  // A partition at absolute `start`; sectors past 32 bits cannot be on the disk.
  ErrorCode append(const PartitionEntry& e, uint64_t start, PartitionOrigin origin = {}) {
    if (start > UINT32_MAX) return ERR_LAYOUT;
    entries_.push_back(e);
    entries_.back().start_sector = static_cast<uint32_t>(start);
    if (origins_) origins_->push_back(origin);
    return OK;
  }

  ErrorCode read_lvm(uint64_t pv_start) {
    if (pv_start > UINT32_MAX) return ERR_LAYOUT;
    const ErrorCode rc = read_lvm_physical_volume(image_, static_cast<uint32_t>(pv_start), limit_, entries_);
    if (origins_) origins_->resize(entries_.size());
    return rc;
  }

  // Logical partitions are numbered from 5 on, in the order of their chain.
  uint32_t next_logical_number() noexcept { return next_logical_++; }

  // False when the record was met before (the chain loops) or the chain grew too long.
  bool visit_extended_record(uint64_t sector) {
    if (visited_.size() >= kMaxExtendedRecords ||
        std::find(visited_.begin(), visited_.end(), sector) != visited_.end())
      return false;
    visited_.push_back(sector);
    return true;
  }

 private:
  DiskImage& image_;
  uint32_t limit_;
  std::vector<PartitionEntry>& entries_;
  std::vector<PartitionOrigin>* origins_;
  std::vector<uint64_t> visited_;
  uint32_t next_logical_ = 5;
};

int32_t mbr_named_kind(uint8_t type) noexcept { return type == kTypeLdm ? KIND_LDM : KIND_UNRECOGNISED; }

// Walks the tree of extended boot records depth-first, in entry order, without recursion:
// links are relative to the extended base, logical partitions to their own record.
ErrorCode walk_extended(Enumeration& en, uint64_t extended_base) {
  struct Frame {
    uint64_t sector;
    std::array<PartitionEntry, 4> entries;
    size_t next;
  };
  std::vector<Frame> stack;
  auto enter = [&](uint64_t sector) -> ErrorCode {
    if (!en.visit_extended_record(sector)) return ERR_BAD_FORMAT;
    Sector s;
    if (ErrorCode rc = read_sector(en.image(), sector, s); rc != OK) return rc;
    if (!has_boot_signature(s)) return ERR_BAD_FORMAT;
    stack.push_back(Frame{sector, table_entries(s), 0});
    return OK;
  };
  if (ErrorCode rc = enter(extended_base); rc != OK) return rc;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.entries.size()) {
      stack.pop_back();
      continue;
    }
    const PartitionEntry e = top.entries[top.next++];
    const uint64_t record = top.sector;
    const uint32_t start = e.start_sector;
    if (e.type == kTypeEmpty) continue;
    ErrorCode rc = OK;
    if (is_extended(e.type)) {
      rc = enter(extended_base + start);
    } else if (e.type == kTypeLvm) {
      (void)en.next_logical_number();  // a physical volume takes its number too
      rc = en.read_lvm(record + start);
    } else {
      rc = en.append(e, record + start, {en.next_logical_number(), mbr_named_kind(e.type)});
    }
    if (rc != OK) return rc;
    if (en.full()) return OK;
  }
  return OK;
}

ErrorCode read_gpt(Enumeration& en, uint32_t base) {
  Sector s;
  if (ErrorCode rc = read_sector(en.image(), uint64_t{base} + 1, s); rc != OK) return rc;
  GptHeader h;
  if (!read_struct(std::span<const uint8_t>(s), 0, h)) return ERR_BAD_FORMAT;
  if (std::memcmp(h.signature, "EFI PART", 8) != 0 || h.revision.get() != kGptRevision ||
      h.header_size.get() != sizeof(GptHeader) || h.current_lba.get() != 1 ||
      h.entry_count.get() > kGptMaxEntries || h.entry_size.get() != sizeof(GptEntry))
    return ERR_BAD_FORMAT;
  const uint32_t n = h.entry_count.get();
  if (n == 0) return OK;
  if (h.entry_lba.get() > UINT32_MAX) return ERR_BAD_FORMAT;
  // At most 128 KiB: the whole array in one read.
  std::vector<uint8_t> array(size_t{n} * sizeof(GptEntry));
  if (ErrorCode rc = read_bytes(en.image(), (base + h.entry_lba.get()) * kSectorSize, array);
      rc != OK)
    return rc;
  for (uint32_t i = 0; i < n; ++i) {
    GptEntry g;
    if (!read_struct(std::span<const uint8_t>(array), size_t{i} * sizeof(GptEntry), g))
      return ERR_BAD_FORMAT;
    if (is_all_zero(g.type_guid)) continue;
    const uint64_t first = g.first_lba.get(), last = g.last_lba.get();
    // An entry that ends before it starts, or lies past 32-bit sectors, describes no region of
    // this disk; truncating it would invent one.
    if (first > UINT32_MAX || last > UINT32_MAX || last < first) return ERR_LAYOUT;
    ErrorCode rc = OK;
    if (std::memcmp(g.type_guid, kGptLvmType, 16) == 0) {
      rc = en.read_lvm(base + first);
    } else {
      PartitionEntry e;
      e.sector_count = static_cast<uint32_t>(last - first + 1);
      rc = en.append(e, base + first, {i + 1, gpt_named_kind(g.type_guid)});
    }
    if (rc != OK) return rc;
    if (en.full()) return OK;
  }
  return OK;
}

// Entries that a partitioning tool could have written: at least one, each with a known boot flag,
// inside the disk and clear of the others.
bool valid_table(const std::array<PartitionEntry, 4>& entries, uint64_t sectors) noexcept {
  bool any = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& e = entries[i];
    if (e.type == kTypeEmpty) continue;
    const uint64_t start = e.start_sector.get(), end = start + e.sector_count.get();
    if ((e.boot_indicator != 0 && e.boot_indicator != 0x80) || start == 0 || end == start ||
        end > sectors)
      return false;
    for (size_t j = 0; j < i; ++j) {
      const PartitionEntry& o = entries[j];
      const uint64_t o_start = o.start_sector.get(), o_end = o_start + o.sector_count.get();
      if (o.type != kTypeEmpty && start < o_end && o_start < end) return false;
    }
    any = true;
  }
  return any;
}

// The boot sector of FAT, NTFS or exFAT (a jump and a plausible parameter block), or the magic
// of ext2/3/4, XFS, Btrfs or a swap area where those file systems keep it.
bool starts_a_file_system(DiskImage& image, uint32_t base, const Sector& s) {
  const bool jump = s[0] == 0xE9 || (s[0] == 0xEB && s[2] == 0x90);
  if (jump && (std::memcmp(s.data() + 3, "NTFS    ", 8) == 0 ||
               std::memcmp(s.data() + 3, "EXFAT   ", 8) == 0))
    return true;
  const uint16_t bytes_per_sector = le16(s.data() + 11);
  const uint8_t cluster = s[13], fats = s[16], media = s[21];
  if (jump && (bytes_per_sector == 512 || bytes_per_sector == 1024 || bytes_per_sector == 2048 ||
               bytes_per_sector == 4096) &&
      cluster != 0 && is_power_of_two(cluster) && le16(s.data() + 14) != 0 && (fats == 1 || fats == 2) &&
      (media == 0xF0 || media >= 0xF8))
    return true;
  if (std::memcmp(s.data(), "XFSB", 4) == 0) return true;
  struct Magic {
    uint64_t offset;
    std::string_view bytes;
  };
  static constexpr Magic kMagics[] = {{1080, "\x53\xEF"},         {65536 + 64, "_BHRfS_M"},
                                      {4096 - 10, "SWAPSPACE2"}, {8192 - 10, "SWAPSPACE2"},
                                      {16384 - 10, "SWAPSPACE2"}, {65536 - 10, "SWAPSPACE2"}};
  for (const Magic& m : kMagics) {
    std::array<uint8_t, 10> found{};
    const auto part = std::span(found).first(m.bytes.size());
    if (read_bytes(image, uint64_t{base} * kSectorSize + m.offset, part) == OK &&
        std::memcmp(part.data(), m.bytes.data(), part.size()) == 0)
      return true;
  }
  return false;
}

ErrorCode read_mbr(Enumeration& en, uint32_t base) {
  Sector s;
  if (ErrorCode rc = read_sector(en.image(), base, s); rc != OK) return rc;
  const uint32_t sectors = get_geometry(en.image()).total_sectors - base;
  PartitionEntry whole;
  whole.sector_count = sectors;
  // A disk without a table may be an LVM2 physical volume as a whole (as inside an encrypted
  // volume).
  if (!has_boot_signature(s)) return holds_lvm_label(en.image(), base) ? en.read_lvm(base) : en.append(whole, base);
  const auto entries = table_entries(s);
  // A file system written over the whole disk keeps the signature of its boot sector; a real
  // table with valid entries stays a table, whatever its first bytes look like.
  const bool protective = entries[0].type == kTypeProtective && entries[0].start_sector.get() == 1;
  if (!protective && !valid_table(entries, sectors) && starts_a_file_system(en.image(), base, s))
    return en.append(whole, base);
  for (size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& e = entries[i];
    const uint64_t start = uint64_t{base} + e.start_sector.get();
    if (i == 0 && e.type == kTypeProtective && e.start_sector.get() == 1) return read_gpt(en, base);
    if (e.type == kTypeEmpty) continue;
    ErrorCode rc = OK;
    if (is_extended(e.type)) rc = walk_extended(en, start);
    else if (e.type == kTypeLvm) rc = en.read_lvm(start);
    else rc = en.append(e, start, {static_cast<uint32_t>(i + 1), mbr_named_kind(e.type)});
    if (rc != OK) return rc;
    if (en.full()) return OK;
  }
  return OK;
}

}  // namespace

ErrorCode enumerate_partitions(DiskImage& image, uint32_t base, uint32_t max,
                               std::vector<PartitionEntry>& entries,
                               std::vector<PartitionOrigin>* origins) {
  entries.clear();
  if (origins) origins->clear();
  if (max == 0) return OK;
  return guard_no_memory([&] {
    Enumeration en(image, max, entries, origins);
    return read_mbr(en, base);
  });
}

bool holds_partition_table(DiskImage& image) {
  Sector s;
  if (read_sector(image, 0, s) != OK || !has_boot_signature(s)) return false;
  const auto entries = table_entries(s);
  const bool protective = entries[0].type == kTypeProtective && entries[0].start_sector.get() == 1;
  if (!protective && !valid_table(entries, get_geometry(image).total_sectors)) return false;
  std::vector<PartitionEntry> found;
  return enumerate_partitions(image, 0, kMaxTableEntries, found) == OK;
}

void sort_partitions(std::span<PartitionEntry> entries) noexcept {
  std::sort(entries.begin(), entries.end(), [](const PartitionEntry& a, const PartitionEntry& b) {
    return a.start_sector.get() < b.start_sector.get();
  });
}

}  // namespace qx
