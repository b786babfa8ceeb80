// Partition tables: the MBR and its chain of extended boot records, the GUID partition table
// behind a protective MBR, and the logical volumes of LVM2 physical volumes found in either.
#include "volume/partitions.hpp"

#include <algorithm>
#include <zlib.h>

#include <array>
#include <cstddef>
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
  Enumeration(DiskImage& image, uint32_t limit, std::vector<PartitionEntry>& entries, TableFindings& findings,
              std::vector<PartitionOrigin>* origins)
      : image_(image), limit_(limit), entries_(entries), findings_(findings), origins_(origins) {}

  DiskImage& image() noexcept { return image_; }
  TableFindings& findings() noexcept { return findings_; }
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
  TableFindings& findings_;
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

// One GPT as found at a header's sector: the header and its entry array, each checked whole.
struct GptTable {
  uint64_t lba = 0;  // of the header, relative to the table's base
  bool header_holds = false;
  GptHeader h{};
  std::vector<uint8_t> array;
  uint64_t array_sectors() const noexcept { return ceil_div_u64(array.size(), kSectorSize); }
};

uint32_t gpt_crc(std::span<const uint8_t> bytes) noexcept {
  return static_cast<uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// The header in sector `s` read from `lba` of a disk of `sectors`: its own checksum over the size it
// declares, its place, and usable limits inside the disk.
bool gpt_header_holds(const Sector& s, uint64_t lba, uint64_t sectors, GptHeader& h) noexcept {
  if (!read_struct(std::span<const uint8_t>(s), 0, h)) return false;
  const uint32_t size = h.header_size.get();
  if (std::memcmp(h.signature, "EFI PART", 8) != 0 || h.revision.get() != kGptRevision ||
      size < sizeof(GptHeader) || size > kSectorSize || h.current_lba.get() != lba)
    return false;
  Sector zeroed = s;
  std::memset(zeroed.data() + offsetof(GptHeader, header_crc), 0, sizeof h.header_crc);
  if (gpt_crc(std::span(zeroed).first(size)) != h.header_crc.get()) return false;
  return h.first_usable_lba.get() <= h.last_usable_lba.get() + 1 && h.last_usable_lba.get() < sectors &&
         h.entry_count.get() <= kGptMaxEntries && h.entry_size.get() == sizeof(GptEntry);
}

// The table whose header lies at `lba` (relative to `base`): false in `valid` when the header or its
// entry array does not check out; an error only when the disk cannot be read.
ErrorCode read_gpt_table(DiskImage& image, uint32_t base, uint64_t lba, uint64_t sectors, GptTable& out,
                         bool& valid) {
  valid = false;
  out = GptTable{};
  if (lba == 0 || lba >= sectors) return OK;
  Sector s;
  if (ErrorCode rc = read_sector(image, base + lba, s); rc != OK) return rc;
  out.lba = lba;
  out.header_holds = gpt_header_holds(s, lba, sectors, out.h);
  if (!out.header_holds) return OK;
  const uint64_t bytes = uint64_t{out.h.entry_count.get()} * sizeof(GptEntry);
  const uint64_t at = out.h.entry_lba.get();
  // The array lies inside the disk, clear of the header, before a byte of it is read (at most 128 KiB).
  if (at == 0 || at >= sectors || ceil_div_u64(bytes, kSectorSize) > sectors - at ||
      (lba >= at && lba < at + ceil_div_u64(bytes, kSectorSize)))
    return OK;
  out.array.resize(static_cast<size_t>(bytes));
  if (ErrorCode rc = read_bytes(image, (base + at) * kSectorSize, out.array); rc != OK) return rc;
  valid = gpt_crc(out.array) == out.h.entry_array_crc.get();
  return OK;
}

GptEntry gpt_entry(const GptTable& t, uint32_t i) noexcept {
  GptEntry g{};
  (void)read_struct(std::span<const uint8_t>(t.array), size_t{i} * sizeof(GptEntry), g);
  return g;
}

// True when both tables name the same partitions (type and sectors) in the same order.
bool same_partitions(const GptTable& a, const GptTable& b) noexcept {
  std::vector<GptEntry> ea, eb;
  for (const auto& [t, out] : {std::pair{&a, &ea}, std::pair{&b, &eb}})
    for (uint32_t i = 0; i < t->h.entry_count.get(); ++i)
      if (const GptEntry g = gpt_entry(*t, i); !is_all_zero(g.type_guid)) out->push_back(g);
  return std::equal(ea.begin(), ea.end(), eb.begin(), eb.end(), [](const GptEntry& x, const GptEntry& y) {
    return std::memcmp(x.type_guid, y.type_guid, 16) == 0 && x.first_lba.get() == y.first_lba.get() &&
           x.last_lba.get() == y.last_lba.get();
  });
}

// Sectors [first, last] of a partition or a table.
struct LbaRange {
  uint64_t first, last;
};

// True when two partitions share a sector, or one lies over the protective MBR, a header or an
// entry array of the tables found.
bool partitions_overlap(std::vector<LbaRange> parts, std::span<const GptTable* const> tables) {
  std::vector<LbaRange> all = std::move(parts);
  const size_t partitions = all.size();
  all.push_back({0, 1});
  for (const GptTable* t : tables) {
    all.push_back({t->lba, t->lba});
    if (!t->array.empty()) all.push_back({t->h.entry_lba.get(), t->h.entry_lba.get() + t->array_sectors() - 1});
  }
  for (size_t i = 0; i < partitions; ++i)
    for (size_t j = i + 1; j < all.size(); ++j)
      if (all[i].first <= all[j].last && all[j].first <= all[i].last) return true;
  return false;
}

// The GUID partition table as firmware and partitioning tools read it: the primary when its header
// and entries check out, else the backup (at the primary's alternate sector or the disk's last);
// the whole disk is kept when neither does, when they name different partitions, or when a
// partition lies over another or over a table.
ErrorCode read_gpt(Enumeration& en, uint32_t base) {
  TableFindings& findings = en.findings();
  const uint64_t sectors = get_geometry(en.image()).total_sectors - uint64_t{base};
  const auto keep_whole = [&](const char* key, const char* text) {
    findings.note = {key, text};
    findings.keep_whole = true;
    return OK;
  };
  GptTable primary, backup;
  bool primary_valid = false, backup_valid = false;
  if (ErrorCode rc = read_gpt_table(en.image(), base, 1, sectors, primary, primary_valid); rc != OK) return rc;
  // A primary header that holds names its backup even when its entries do not.
  const uint64_t last = sectors - 1;
  const uint64_t alternate = primary.header_holds ? primary.h.backup_lba.get() : last;
  if (ErrorCode rc = read_gpt_table(en.image(), base, alternate, sectors, backup, backup_valid); rc != OK) return rc;
  if (!backup_valid && alternate != last)
    if (ErrorCode rc = read_gpt_table(en.image(), base, last, sectors, backup, backup_valid); rc != OK) return rc;
  if (!primary_valid && !backup_valid)
    return keep_whole("gpt_damaged",
                      "neither the primary GPT nor its backup checks out (their checksums or fields are "
                      "wrong), so no partition can be trusted; the whole disk is kept");
  if (primary_valid && backup_valid && !same_partitions(primary, backup))
    return keep_whole("gpt_tables_differ",
                      "the primary GPT and its backup name different partitions; the whole disk is kept "
                      "until one is chosen (gdisk's recovery menu)");
  const GptTable& table = primary_valid ? primary : backup;
  if (!primary_valid)
    findings.note = {"gpt_backup_used",
                     "the primary GPT is damaged (its checksum does not match); the partitions were read "
                     "from the backup GPT at the end of the disk, as firmware and gdisk read them "
                     "(gdisk or sgdisk can rewrite the primary from it)"};
  std::vector<LbaRange> parts;
  for (uint32_t i = 0; i < table.h.entry_count.get(); ++i) {
    const GptEntry g = gpt_entry(table, i);
    if (is_all_zero(g.type_guid)) continue;
    const uint64_t first = g.first_lba.get(), last_lba = g.last_lba.get();
    // An entry that ends before it starts, or lies past 32-bit sectors, describes no region of
    // this disk; truncating it would invent one.
    if (first > UINT32_MAX || last_lba > UINT32_MAX || last_lba < first) return ERR_LAYOUT;
    parts.push_back({first, last_lba});
  }
  std::vector<const GptTable*> tables = {&table};
  if (primary_valid && backup_valid) tables.push_back(&backup);
  if (partitions_overlap(parts, tables))
    return keep_whole("partitions_overlap",
                      "a GPT partition lies over another partition or over the partition table itself; "
                      "the whole disk is kept");
  for (uint32_t i = 0; i < table.h.entry_count.get(); ++i) {
    const GptEntry g = gpt_entry(table, i);
    if (is_all_zero(g.type_guid)) continue;
    const uint64_t first = g.first_lba.get(), last_lba = g.last_lba.get();
    ErrorCode rc = OK;
    if (std::memcmp(g.type_guid, kGptLvmType, 16) == 0) {
      rc = en.read_lvm(base + first);
    } else {
      PartitionEntry e;
      e.sector_count = static_cast<uint32_t>(last_lba - first + 1);
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
                               std::vector<PartitionEntry>& entries, TableFindings* findings,
                               std::vector<PartitionOrigin>* origins) {
  entries.clear();
  if (origins) origins->clear();
  TableFindings ignored;
  TableFindings& found = findings ? *findings : ignored;
  found = {};
  if (max == 0) return OK;
  return guard_no_memory([&] {
    Enumeration en(image, max, entries, found, origins);
    const ErrorCode rc = read_mbr(en, base);
    if (rc == OK && found.keep_whole) {
      entries.clear();
      if (origins) origins->clear();
    }
    return rc;
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
