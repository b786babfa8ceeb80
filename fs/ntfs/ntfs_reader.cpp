// NTFS: the boot sector leads to the master file table, whose own data runs lead to file record 6
// ($Bitmap); its data, one bit per cluster, is loaded once and answers every query. A volume that
// Windows left dirty or hibernated is refused: its true allocation may still be in memory.
#include "fs/ntfs/ntfs_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "image/byte_order.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

struct NtfsBootSector {
  uint8_t jump[3];
  uint8_t oem_id[8];
  le16_t bytes_per_sector;
  uint8_t sectors_per_cluster;
  uint8_t bios_parameters[26];
  le64_t total_sectors;
  le64_t mft_cluster;
  le64_t mft_mirror_cluster;
  uint8_t clusters_per_record;  // signed: negative n means 2^-n bytes
  uint8_t boot_code[445];
  le16_t signature;
};
static_assert(sizeof(NtfsBootSector) == 512);

struct FileRecordHeader {
  uint8_t magic[4];
  le16_t update_sequence_offset;
  le16_t update_sequence_count;
  le64_t log_sequence_number;
  le16_t sequence_number;
  le16_t link_count;
  le16_t first_attribute_offset;
  le16_t flags;
  le32_t bytes_in_use;
  le32_t bytes_allocated;
  le64_t base_record;
  le16_t next_attribute_id;
  uint8_t reserved[2];
  le32_t record_number;
};
static_assert(sizeof(FileRecordHeader) == 48);

struct AttributeHeader {
  le32_t type;
  le32_t length;
  uint8_t non_resident;
  uint8_t name_length;
  le16_t name_offset;
  le16_t flags;
  le16_t identifier;
};
static_assert(sizeof(AttributeHeader) == 16);

struct ResidentAttribute {
  AttributeHeader header;
  le32_t value_length;
  le16_t value_offset;
  uint8_t indexed;
  uint8_t reserved;
};
static_assert(sizeof(ResidentAttribute) == 24);

struct NonResidentAttribute {
  AttributeHeader header;
  le64_t first_vcn;
  le64_t last_vcn;
  le16_t runs_offset;
  le16_t compression_unit;
  uint8_t reserved[4];
  le64_t allocated_size;
  le64_t data_size;
  le64_t initialized_size;
};
static_assert(sizeof(NonResidentAttribute) == 64);

struct FileNameValue {
  le64_t parent_reference;
  le64_t times[4];
  le64_t allocated_size;
  le64_t real_size;
  le32_t flags;
  le32_t reparse_value;
  uint8_t name_length;  // UTF-16 code units following the value header
  uint8_t name_space;
};
static_assert(sizeof(FileNameValue) == 66);

struct VolumeInformationValue {
  uint8_t reserved[8];
  uint8_t major_version;
  uint8_t minor_version;
  le16_t flags;
};
static_assert(sizeof(VolumeInformationValue) == 12);

// Offsets count from the start of this header.
struct IndexNodeHeader {
  le32_t entries_offset;
  le32_t index_length;
  le32_t allocated_size;
  uint8_t flags;
  uint8_t reserved[3];
};
static_assert(sizeof(IndexNodeHeader) == 16);

struct IndexRootValue {
  le32_t indexed_type;
  le32_t collation_rule;
  le32_t block_size;
  uint8_t clusters_per_block;
  uint8_t reserved[3];
  IndexNodeHeader node;
};
static_assert(sizeof(IndexRootValue) == 32);

struct IndexBlockHeader {
  uint8_t magic[4];
  le16_t update_sequence_offset;
  le16_t update_sequence_count;
  le64_t log_sequence_number;
  le64_t vcn;
  IndexNodeHeader node;
};
static_assert(sizeof(IndexBlockHeader) == 40);

struct IndexEntryHeader {
  le64_t file_reference;  // record number (48 bits) and sequence number (16 bits)
  le16_t length;
  le16_t key_length;
  le16_t flags;
  uint8_t reserved[2];
};
static_assert(sizeof(IndexEntryHeader) == 16);

constexpr uint8_t kOemId[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
constexpr uint8_t kRecordMagic[4] = {'F', 'I', 'L', 'E'};
constexpr uint8_t kIndexMagic[4] = {'I', 'N', 'D', 'X'};
constexpr uint16_t kBootSignature = 0xAA55;
constexpr uint32_t kMinRecordSize = 512;
constexpr uint32_t kMaxRecordSize = 64 * 1024;
// The NTFS 3.0 header ends where its update sequence array begins.
constexpr uint16_t kMinUpdateSequenceOffset = 0x2A;
constexpr uint16_t kRecordInUse = 0x0001;
constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kAttributeList = 0x20;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kVolumeInformation = 0x70;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kIndexRoot = 0x90;
constexpr uint32_t kIndexAllocation = 0xA0;
constexpr uint32_t kEndOfAttributes = 0xFFFFFFFF;
// Compression method bits, encrypted, sparse: data that is not a plain copy of its runs.
constexpr uint16_t kUnplainData = 0x00FF | 0x4000 | 0x8000;
constexpr uint64_t kVolumeRecord = 3;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint16_t kVolumeDirty = 0x0001;
constexpr uint16_t kEntryHasChild = 0x0001;
constexpr uint16_t kEntryIsLast = 0x0002;
// The root folder holds a few dozen names; a deeper or wider walk is not worth trusting.
constexpr uint32_t kMaxIndexBlocks = 1024;
constexpr size_t kMaxHibernationFiles = 4;
constexpr uint64_t kRecordNumberMask = (uint64_t{1} << 48) - 1;
constexpr size_t kReadChunk = 4u << 20;
// A table in a few thousand pieces is far beyond what Windows makes; refuse rather than walk it.
constexpr uint64_t kMaxAttributeListBytes = 256u << 10;
constexpr size_t kMaxListedPieces = 4096;
// Type, length, name length and offset, lowest VCN, file reference, attribute id.
constexpr size_t kListEntryHeader = 26;
// From this update sequence offset on, a record header holds its own number.
constexpr uint16_t kRecordNumberHeader = 0x30;

struct VolumeLayout {
  uint64_t base = 0;  // byte offset of the volume on the disk
  uint32_t sectors_per_cluster = 0;
  uint32_t cluster_size = 0;
  uint32_t cluster_count = 0;
  uint64_t mft_cluster = 0;
  uint32_t record_size = 0;
};

struct Run {
  uint64_t cluster;
  uint64_t length;
};

// A system file's unnamed, uncompressed data attribute.
struct DataStream {
  std::vector<Run> runs;
  uint64_t clusters = 0;  // sum of the run lengths
  uint64_t data_size = 0;
  uint64_t initialized_size = 0;
};

using NtfsState = AllocationState;

// The published rule: a non-negative byte counts clusters; negative n gives 2^-n bytes.
bool record_size_of(uint8_t raw, uint32_t cluster_size, uint32_t& size) {
  const int value = static_cast<int8_t>(raw);
  uint64_t bytes = 0;
  if (value < 0) {
    if (-value > 16) return false;
    bytes = uint64_t{1} << -value;
  } else {
    bytes = uint64_t{static_cast<uint32_t>(value)} * cluster_size;
  }
  if (bytes < kMinRecordSize || bytes > kMaxRecordSize || !is_power_of_two(bytes)) return false;
  size = static_cast<uint32_t>(bytes);
  return true;
}

ErrorCode read_boot_sector(DiskImage& image, uint32_t first, uint32_t count, VolumeLayout& out) {
  if (count == 0) return ERR_LAYOUT;
  std::vector<uint8_t> sector(kSectorSize);
  const uint64_t base = uint64_t{first} * kSectorSize;
  if (ErrorCode rc = read_bytes(image, base, sector); rc != OK) return rc;
  NtfsBootSector boot;
  if (!read_struct(sector, 0, boot)) return ERR_LAYOUT;
  if (std::memcmp(boot.oem_id, kOemId, sizeof kOemId) != 0 || boot.bytes_per_sector != kSectorSize ||
      boot.signature != kBootSignature)
    return ERR_LAYOUT;
  const uint32_t spc = boot.sectors_per_cluster;
  if (spc == 0 || !is_power_of_two(spc)) return ERR_LAYOUT;
  // A file system larger than its partition is cut off: nothing in it can be vouched for.
  const uint64_t total = boot.total_sectors;
  if (total > count || total / spc == 0) return ERR_LAYOUT;
  out.base = base;
  out.sectors_per_cluster = spc;
  out.cluster_size = spc * kSectorSize;
  out.cluster_count = static_cast<uint32_t>(total / spc);
  if (!record_size_of(boot.clusters_per_record, out.cluster_size, out.record_size)) return ERR_LAYOUT;
  out.mft_cluster = boot.mft_cluster;
  const uint64_t volume_bytes = uint64_t{out.cluster_count} * out.cluster_size;
  if (out.mft_cluster >= out.cluster_count ||
      out.mft_cluster * out.cluster_size + out.record_size > volume_bytes)
    return ERR_LAYOUT;
  return OK;
}

// Undoes the update sequence in place: the last two bytes of every 512-byte block hold the
// sequence number, their true contents wait in the array, which follows a header of that size.
bool undo_update_sequence(std::span<uint8_t> block, size_t header) {
  if (block.size() < kSectorSize) return false;
  const uint32_t offset = le16(&block[4]), count = le16(&block[6]);
  if (offset < header || offset + 2 * count > kSectorSize - 2) return false;
  const size_t blocks = block.size() / kSectorSize;
  if (count != blocks + 1) return false;
  const uint16_t sequence = le16(&block[offset]);
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* tail = &block[i * kSectorSize + kSectorSize - 2];
    if (le16(tail) != sequence) return false;
    std::memcpy(tail, &block[offset + 2 * (i + 1)], 2);
  }
  return true;
}

// Checks the header of a file record in use and restores it. A base record names no base; an
// extension record names the base record it continues.
bool restore_record(std::span<uint8_t> record, uint64_t base_reference = 0) {
  FileRecordHeader h;
  if (!read_struct(record, 0, h)) return false;
  if (std::memcmp(h.magic, kRecordMagic, sizeof kRecordMagic) != 0) return false;
  if (!undo_update_sequence(record, kMinUpdateSequenceOffset)) return false;
  return (h.flags & kRecordInUse) && h.base_record == base_reference &&
         h.bytes_in_use <= record.size() &&
         h.first_attribute_offset >= h.update_sequence_offset + 2 * h.update_sequence_count;
}

// Walks the attributes of a restored record, one at a time, inside its bytes in use.
class AttributeCursor {
 public:
  explicit AttributeCursor(std::span<const uint8_t> record) {
    FileRecordHeader h;
    if (!read_struct(record, 0, h)) return;
    used_ = record.first(std::min<size_t>(h.bytes_in_use, record.size()));
    pos_ = h.first_attribute_offset;
  }

  // The next attribute whole, or an empty span when it does not fit.
  std::span<const uint8_t> next() {
    AttributeHeader h;
    if (!read_struct(used_, pos_, h) || h.type == kEndOfAttributes) return {};
    const uint32_t length = h.length;
    if (length < sizeof h || length > used_.size() - pos_) return {};
    std::span<const uint8_t> attribute = used_.subspan(pos_, length);
    pos_ += length;
    return attribute;
  }

 private:
  std::span<const uint8_t> used_;
  size_t pos_ = 0;
};

// A resident attribute of that type whose value lies inside it; false for anything else.
bool find_resident_value(std::span<const uint8_t> attribute, uint32_t type,
                         std::span<const uint8_t>& value) {
  ResidentAttribute a;
  if (!read_struct(attribute, 0, a) || a.header.type != type || a.header.non_resident != 0) return false;
  const size_t offset = a.value_offset, length = a.value_length;
  if (offset > attribute.size() || length > attribute.size() - offset) return false;
  value = attribute.subspan(offset, length);
  return true;
}

std::span<const uint8_t> resident_value(std::span<const uint8_t> attribute, uint32_t type) {
  std::span<const uint8_t> value;
  return find_resident_value(attribute, type, value) ? value : std::span<const uint8_t>{};
}

char ascii_lower(uint16_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

// Whether `units` UTF-16LE code units at `offset` spell the ASCII `name` (in any case with
// `fold_case`).
bool utf16_is(std::span<const uint8_t> bytes, size_t offset, size_t units, std::string_view name,
              bool fold_case = false) {
  if (units != name.size()) return false;
  if (units == 0) return true;
  if (offset > bytes.size() || bytes.size() - offset < 2 * units) return false;
  for (size_t i = 0; i < units; ++i) {
    const uint16_t c = le16(&bytes[offset + 2 * i]);
    if (c > 0x7F || (fold_case ? ascii_lower(c) != ascii_lower(static_cast<uint8_t>(name[i]))
                               : c != static_cast<uint8_t>(name[i])))
      return false;
  }
  return true;
}

bool file_name_is(std::span<const uint8_t> value, std::string_view name, bool fold_case = false) {
  FileNameValue v;
  return read_struct(value, 0, v) && utf16_is(value, sizeof v, v.name_length, name, fold_case);
}

bool attribute_named(std::span<const uint8_t> attribute, std::string_view name) {
  AttributeHeader h;
  return read_struct(attribute, 0, h) && utf16_is(attribute, h.name_offset, h.name_length, name);
}

// One run list entry: a header byte, then the length and the signed cluster offset.
bool decode_run(std::span<const uint8_t> runs, size_t& pos, uint64_t& length, int64_t& delta) {
  const uint8_t h = runs[pos++];
  const size_t length_size = h & 0x0F, offset_size = h >> 4;
  // No offset bytes mark a sparse run, which a system file cannot have.
  if (length_size == 0 || length_size > 8 || offset_size == 0 || offset_size > 8) return false;
  if (runs.size() - pos < length_size + offset_size) return false;
  length = 0;
  for (size_t i = 0; i < length_size; ++i) length |= uint64_t{runs[pos + i]} << (8 * i);
  pos += length_size;
  uint64_t raw = 0;
  for (size_t i = 0; i < offset_size; ++i) raw |= uint64_t{runs[pos + i]} << (8 * i);
  if (offset_size < 8 && (runs[pos + offset_size - 1] & 0x80)) raw |= ~uint64_t{0} << (8 * offset_size);
  pos += offset_size;
  delta = static_cast<int64_t>(raw);
  return length != 0;
}

// Every run must lie inside the volume; a list that leaves it is damaged.
bool decode_runs(std::span<const uint8_t> runs, uint32_t cluster_count, DataStream& out) {
  uint64_t cluster = 0;
  size_t pos = 0;
  for (;;) {
    if (pos >= runs.size()) return false;
    if (runs[pos] == 0) return true;
    uint64_t length = 0;
    int64_t delta = 0;
    if (!decode_run(runs, pos, length, delta)) return false;
    if (delta < 0) {
      const uint64_t back = uint64_t{0} - static_cast<uint64_t>(delta);
      if (back > cluster) return false;
      cluster -= back;
    } else {
      if (static_cast<uint64_t>(delta) >= cluster_count) return false;
      cluster += static_cast<uint64_t>(delta);
    }
    if (cluster >= cluster_count || length > cluster_count - cluster) return false;
    out.runs.push_back({cluster, length});
    out.clusters += length;
  }
}

// The runs of a non-resident attribute, or empty when they do not start inside it.
std::span<const uint8_t> run_list_of(std::span<const uint8_t> attribute) {
  NonResidentAttribute a;
  if (!read_struct(attribute, 0, a) || a.runs_offset < sizeof a || a.runs_offset >= attribute.size())
    return {};
  return attribute.subspan(a.runs_offset);
}

// A plain non-resident attribute of that type and name ("" for none) held whole in this piece.
ErrorCode read_stream_attribute(std::span<const uint8_t> attribute, uint32_t type, std::string_view name,
                                const VolumeLayout& volume, DataStream& out) {
  NonResidentAttribute a;
  if (!read_struct(attribute, 0, a) || a.header.type != type || a.header.non_resident != 1 ||
      !attribute_named(attribute, name) || (a.header.flags & kUnplainData) != 0)
    return ERR_BAD_RECORD;
  const std::span<const uint8_t> runs = run_list_of(attribute);
  if (runs.empty() || !decode_runs(runs, volume.cluster_count, out)) return ERR_BAD_RECORD;
  out.data_size = a.data_size;
  out.initialized_size = a.initialized_size;
  if (a.first_vcn != 0 || out.clusters == 0 || a.last_vcn != out.clusters - 1 ||
      out.initialized_size > out.data_size || out.data_size > out.clusters * volume.cluster_size)
    return ERR_BAD_RECORD;
  return OK;
}

// Reads stream bytes [offset, offset + out.size()) through the runs, across run boundaries.
ErrorCode read_stream(DiskImage& image, const VolumeLayout& volume, const DataStream& stream,
                      uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  for (const Run& run : stream.runs) {
    if (done == out.size()) break;
    const uint64_t run_bytes = run.length * volume.cluster_size;
    if (offset >= run_bytes) {
      offset -= run_bytes;
      continue;
    }
    while (offset < run_bytes && done < out.size()) {
      const size_t piece = static_cast<size_t>(
          std::min<uint64_t>({run_bytes - offset, out.size() - done, kReadChunk}));
      const uint64_t at = volume.base + run.cluster * volume.cluster_size + offset;
      if (ErrorCode rc = read_bytes(image, at, out.subspan(done, piece)); rc != OK) return rc;
      done += piece;
      offset += piece;
    }
    offset = 0;
  }
  return done == out.size() ? OK : ERR_UNSUPPORTED;
}

ErrorCode read_record(DiskImage& image, const VolumeLayout& volume, uint64_t at,
                      std::vector<uint8_t>& record) {
  record.resize(volume.record_size);
  if (ErrorCode rc = read_bytes(image, at, record); rc != OK) return rc;
  return restore_record(record) ? OK : ERR_BAD_RECORD;
}

// Record `number` of the table, read through its runs.
ErrorCode read_table_record(DiskImage& image, const VolumeLayout& volume, const DataStream& mft,
                            uint64_t number, std::vector<uint8_t>& record) {
  if (number >= mft.data_size / volume.record_size) return ERR_UNSUPPORTED;
  record.resize(volume.record_size);
  if (ErrorCode rc = read_stream(image, volume, mft, number * volume.record_size, record); rc != OK)
    return rc;
  return restore_record(record) ? OK : ERR_BAD_RECORD;
}

// One piece of an attribute that an attribute list places: in the base record or in an
// extension record, starting at its lowest VCN.
struct ListEntry {
  uint32_t type = 0;
  bool unnamed = false;
  uint64_t lowest_vcn = 0;
  uint64_t reference = 0;  // record number | sequence number << 48
};

ErrorCode parse_attribute_list(std::span<const uint8_t> value, std::vector<ListEntry>& out) {
  for (size_t pos = 0; pos < value.size();) {
    if (value.size() - pos < kListEntryHeader) return ERR_BAD_RECORD;
    const std::span<const uint8_t> e = value.subspan(pos);
    const size_t length = le16(&e[4]), name_units = e[6], name_offset = e[7];
    if (length < kListEntryHeader || length > e.size() ||
        (name_units && (name_offset < kListEntryHeader || name_offset + 2 * name_units > length)))
      return ERR_BAD_RECORD;
    if (out.size() >= 4 * kMaxListedPieces) return ERR_BAD_RECORD;
    out.push_back({le32(&e[0]), name_units == 0, le64(&e[8]), le64(&e[16])});
    pos += length;
  }
  return OK;
}

// The value of an attribute list, resident or held in plain runs of its own.
ErrorCode read_attribute_list(DiskImage& image, const VolumeLayout& volume,
                              std::span<const uint8_t> attribute, std::vector<ListEntry>& out) {
  AttributeHeader h;
  if (!read_struct(attribute, 0, h) || h.type != kAttributeList) return ERR_BAD_RECORD;
  if (h.non_resident == 0) {
    std::span<const uint8_t> value;
    if (!find_resident_value(attribute, kAttributeList, value)) return ERR_BAD_RECORD;
    return parse_attribute_list(value, out);
  }
  DataStream stream;
  if (ErrorCode rc = read_stream_attribute(attribute, kAttributeList, "", volume, stream); rc != OK)
    return rc;
  if (stream.data_size > kMaxAttributeListBytes || stream.initialized_size != stream.data_size)
    return ERR_BAD_RECORD;
  std::vector<uint8_t> value(static_cast<size_t>(stream.data_size));
  if (ErrorCode rc = read_stream(image, volume, stream, 0, value); rc != OK) return rc;
  return parse_attribute_list(value, out);
}

// Where the pieces of a system file's data are read from: the table itself, or for the table's
// own record the runs found so far.
struct RecordSource {
  DiskImage& image;
  const VolumeLayout& volume;
  const DataStream& table;
  uint64_t base_number;
  uint64_t base_reference;      // what extension records must name as their base
  std::span<const uint8_t> base;
};

// The record a list entry names, restored: the base record itself or one of its extensions.
ErrorCode listed_record(const RecordSource& src, uint64_t reference, std::vector<uint8_t>& record) {
  const uint64_t number = reference & kRecordNumberMask;
  if (number == src.base_number) {
    if (reference != src.base_reference) return ERR_BAD_RECORD;
    record.assign(src.base.begin(), src.base.end());
    return OK;
  }
  if (number >= src.table.data_size / src.volume.record_size) return ERR_UNSUPPORTED;
  record.resize(src.volume.record_size);
  if (ErrorCode rc = read_stream(src.image, src.volume, src.table, number * src.volume.record_size, record);
      rc != OK)
    return rc;
  FileRecordHeader h;
  if (!restore_record(record, src.base_reference) || !read_struct(record, 0, h) ||
      h.sequence_number != reference >> 48 ||
      (h.update_sequence_offset >= kRecordNumberHeader && h.record_number != number))
    return ERR_BAD_RECORD;
  return OK;
}

// The attribute of that type in a record: unnamed and non-resident starting at `vcn` for data
// pieces, or the resident file name.
std::span<const uint8_t> find_piece(std::span<const uint8_t> record, uint32_t type, uint64_t vcn) {
  AttributeCursor cursor(record);
  for (std::span<const uint8_t> a = cursor.next(); !a.empty(); a = cursor.next()) {
    NonResidentAttribute n;
    if (le32(a.data()) != type || !attribute_named(a, "")) continue;
    if (type == kFileName) return a;
    if (read_struct(a, 0, n) && n.header.non_resident == 1 && n.first_vcn == vcn) return a;
  }
  return {};
}

// A system file whose attributes spread over several records: its name is checked where the
// list places it, and the pieces of its data are joined in VCN order, each starting where the
// one before ended, until they cover the whole allocation. For the table's own record each
// piece is read through the runs the earlier pieces gave.
ErrorCode read_listed_system_file(const RecordSource& src, std::span<const uint8_t> list_attribute,
                                  std::string_view name, DataStream& out) {
  std::vector<ListEntry> entries;
  if (ErrorCode rc = read_attribute_list(src.image, src.volume, list_attribute, entries); rc != OK)
    return rc;
  std::vector<ListEntry> pieces;
  for (const ListEntry& e : entries)
    if (e.type == kData && e.unnamed) pieces.push_back(e);
  if (pieces.empty() || pieces.size() > kMaxListedPieces) return ERR_BAD_RECORD;
  std::vector<uint8_t> record;
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const ListEntry& a, const ListEntry& b) { return a.lowest_vcn < b.lowest_vcn; });
  uint64_t allocated = 0;
  for (const ListEntry& piece : pieces) {
    if (piece.lowest_vcn != out.clusters) return ERR_BAD_RECORD;
    if (ErrorCode rc = listed_record(src, piece.reference, record); rc != OK) return rc;
    const std::span<const uint8_t> a = find_piece(record, kData, piece.lowest_vcn);
    NonResidentAttribute n;
    if (!read_struct(a, 0, n) || (n.header.flags & kUnplainData) != 0) return ERR_BAD_RECORD;
    const std::span<const uint8_t> runs = run_list_of(a);
    const uint64_t before = out.clusters;
    if (runs.empty() || !decode_runs(runs, src.volume.cluster_count, out) || out.clusters == before ||
        n.last_vcn != out.clusters - 1)
      return ERR_BAD_RECORD;
    // Only the first piece carries the sizes of the whole stream.
    if (piece.lowest_vcn == 0) {
      allocated = n.allocated_size;
      out.data_size = n.data_size;
      out.initialized_size = n.initialized_size;
    }
  }
  if (out.clusters * src.volume.cluster_size != allocated || out.initialized_size > out.data_size ||
      out.data_size > allocated)
    return ERR_BAD_RECORD;
  // Checked last: the name may sit in an extension record that only the whole table reaches.
  for (const ListEntry& e : entries) {
    if (e.type != kFileName) continue;
    if (ErrorCode rc = listed_record(src, e.reference, record); rc != OK) return rc;
    if (file_name_is(resident_value(find_piece(record, kFileName, 0), kFileName), name)) return OK;
  }
  return ERR_BAD_RECORD;
}

// The shape every system file record has: standard information, its one file name, its data.
// When the record holds an attribute list instead, the list says where the rest lies.
ErrorCode read_system_file(DiskImage& image, const VolumeLayout& volume, std::span<const uint8_t> record,
                           uint64_t number, std::string_view name, const DataStream* table,
                           DataStream& out) {
  AttributeCursor cursor(record);
  if (resident_value(cursor.next(), kStandardInformation).empty()) return ERR_BAD_RECORD;
  const std::span<const uint8_t> second = cursor.next();
  AttributeHeader h;
  if (read_struct(second, 0, h) && h.type == kAttributeList) {
    FileRecordHeader r;
    if (!read_struct(record, 0, r)) return ERR_BAD_RECORD;
    const RecordSource src{image, volume, table ? *table : out, number,
                           number | uint64_t{r.sequence_number} << 48, record};
    return read_listed_system_file(src, second, name, out);
  }
  if (!file_name_is(resident_value(second, kFileName), name)) return ERR_BAD_RECORD;
  return read_stream_attribute(cursor.next(), kData, "", volume, out);
}

// Windows sets the dirty flag while the volume is mounted and clears it at a clean shutdown.
bool volume_is_clean(std::span<const uint8_t> record) {
  AttributeCursor cursor(record);
  bool named = false;
  for (std::span<const uint8_t> a = cursor.next(); !a.empty(); a = cursor.next()) {
    named |= file_name_is(resident_value(a, kFileName), "$Volume");
    if (le32(a.data()) != kVolumeInformation) continue;
    VolumeInformationValue v;
    return named && read_struct(resident_value(a, kVolumeInformation), 0, v) &&
           (v.flags & kVolumeDirty) == 0;
  }
  return false;
}

// Collects the children and the entries named like the hibernation file of one index node;
// false when an entry leaves the node or none ends it.
bool scan_index_node(std::span<const uint8_t> node, std::vector<uint64_t>& children,
                     std::vector<uint64_t>& hibernation_files) {
  IndexNodeHeader h;
  if (!read_struct(node, 0, h) || h.index_length > node.size()) return false;
  const std::span<const uint8_t> entries = node.first(h.index_length);
  for (size_t pos = h.entries_offset; pos >= sizeof h;) {
    IndexEntryHeader e;
    if (!read_struct(entries, pos, e) || e.length < sizeof e || e.length > entries.size() - pos)
      return false;
    const std::span<const uint8_t> entry = entries.subspan(pos, e.length);
    const size_t child_bytes = (e.flags & kEntryHasChild) ? sizeof(uint64_t) : 0;
    if (entry.size() < sizeof e + child_bytes) return false;
    if (child_bytes) children.push_back(le64(&entry[entry.size() - child_bytes]));
    if (e.flags & kEntryIsLast) return true;
    if (e.key_length > entry.size() - sizeof e - child_bytes) return false;
    if (file_name_is(entry.subspan(sizeof e, e.key_length), "hiberfil.sys", true))
      hibernation_files.push_back(e.file_reference);
    pos += e.length;
  }
  return false;
}

// Checks the header of an index block and restores it.
bool restore_index_block(std::span<uint8_t> block, uint64_t vcn) {
  IndexBlockHeader h;
  return read_struct(block, 0, h) && std::memcmp(h.magic, kIndexMagic, sizeof kIndexMagic) == 0 &&
         h.vcn == vcn && undo_update_sequence(block, sizeof h);
}

// Walks the root folder's name index from its root through every block it reaches, whatever the
// order of the names, and collects the references of the hibernation file.
ErrorCode find_hibernation_files(DiskImage& image, const VolumeLayout& volume,
                                 std::span<const uint8_t> record, std::vector<uint64_t>& found) {
  AttributeCursor cursor(record);
  bool named = false;
  std::span<const uint8_t> root, allocation;
  for (std::span<const uint8_t> a = cursor.next(); !a.empty(); a = cursor.next()) {
    named |= file_name_is(resident_value(a, kFileName), ".");
    if (!attribute_named(a, "$I30")) continue;
    if (le32(a.data()) == kIndexRoot) root = resident_value(a, kIndexRoot);
    if (le32(a.data()) == kIndexAllocation) allocation = a;
  }
  IndexRootValue r;
  if (!named || !read_struct(root, 0, r) || r.indexed_type != kFileName) return ERR_LAYOUT;
  const uint32_t block_size = r.block_size;
  if (block_size < kSectorSize || block_size > kMaxRecordSize || !is_power_of_two(block_size))
    return ERR_LAYOUT;
  std::vector<uint64_t> pending;
  if (!scan_index_node(root.subspan(sizeof(IndexRootValue) - sizeof(IndexNodeHeader)), pending, found))
    return ERR_LAYOUT;
  if (pending.empty()) return OK;

  DataStream blocks;
  if (read_stream_attribute(allocation, kIndexAllocation, "$I30", volume, blocks) != OK)
    return ERR_LAYOUT;
  // Block numbers count clusters, or 512-byte units when a block is smaller than a cluster.
  const uint64_t unit = block_size < volume.cluster_size ? kSectorSize : volume.cluster_size;
  std::vector<uint8_t> block(block_size);
  for (uint32_t visits = 0; !pending.empty(); ++visits) {
    if (visits + pending.size() > kMaxIndexBlocks || found.size() > kMaxHibernationFiles)
      return ERR_LAYOUT;
    const uint64_t vcn = pending.back();
    pending.pop_back();
    if (vcn >= blocks.initialized_size / unit || vcn * unit + block_size > blocks.initialized_size)
      return ERR_LAYOUT;
    if (ErrorCode rc = read_stream(image, volume, blocks, vcn * unit, block); rc != OK) return rc;
    if (!restore_index_block(block, vcn) ||
        !scan_index_node(std::span(block).subspan(sizeof(IndexBlockHeader) - sizeof(IndexNodeHeader)),
                         pending, found))
      return ERR_LAYOUT;
  }
  return found.size() > kMaxHibernationFiles ? ERR_LAYOUT : OK;
}

bool is_hibernation_signature(std::span<const uint8_t> head) {
  auto is = [&](std::string_view magic) {
    for (size_t i = 0; i < magic.size(); ++i)
      if (ascii_lower(head[i]) != magic[i]) return false;
    return true;
  };
  return head.size() >= 4 && (is("hibr") || is("wake"));
}

// Windows hibernated, also by its fast startup, keeps the volume's state in memory and marks the
// header of its hibernation file; a file too short for a header holds none.
ErrorCode check_not_hibernated(DiskImage& image, const VolumeLayout& volume, const DataStream& mft,
                               uint64_t reference) {
  std::vector<uint8_t> record;
  if (ErrorCode rc = read_table_record(image, volume, mft, reference & kRecordNumberMask, record);
      rc != OK)
    return rc;
  FileRecordHeader h;
  if (!read_struct(record, 0, h) || h.sequence_number != reference >> 48) return ERR_LAYOUT;
  AttributeCursor cursor(record);
  for (std::span<const uint8_t> a = cursor.next(); !a.empty(); a = cursor.next()) {
    if (le32(a.data()) != kData || !attribute_named(a, "")) continue;
    std::span<const uint8_t> head;
    if (a[8] == 0) {
      if (!find_resident_value(a, kData, head)) return ERR_LAYOUT;
      return is_hibernation_signature(head) ? ERR_LAYOUT : OK;
    }
    NonResidentAttribute n;
    if (!read_struct(a, 0, n) || n.header.non_resident != 1 || n.first_vcn != 0 ||
        (n.header.flags & kUnplainData) != 0)
      return ERR_LAYOUT;
    if (std::min<uint64_t>(n.data_size, n.initialized_size) < 4) return OK;
    const std::span<const uint8_t> runs = run_list_of(a);
    size_t pos = 0;
    uint64_t length = 0;
    int64_t cluster = 0;
    if (runs.empty() || !decode_run(runs, pos, length, cluster) || cluster < 0 ||
        static_cast<uint64_t>(cluster) >= volume.cluster_count)
      return ERR_LAYOUT;
    std::vector<uint8_t> sector(kSectorSize);
    const uint64_t at = volume.base + static_cast<uint64_t>(cluster) * volume.cluster_size;
    if (ErrorCode rc = read_bytes(image, at, sector); rc != OK) return rc;
    return is_hibernation_signature(sector) ? ERR_LAYOUT : OK;
  }
  return ERR_LAYOUT;
}

// Whether the on-disk allocation can be trusted: neither dirty nor hibernated. The journal is not
// replayed or checked for pending records; a Windows crash leaves the dirty flag set as well.
ErrorCode check_volume_state(DiskImage& image, const VolumeLayout& volume, const DataStream& mft) {
  std::vector<uint8_t> record;
  if (ErrorCode rc = read_table_record(image, volume, mft, kVolumeRecord, record); rc != OK) return rc;
  if (!volume_is_clean(record)) {
    keep_whole_because("not_cleanly_unmounted",
                       "NTFS: the volume is marked dirty (Windows did not shut down cleanly); run chkdsk in the guest");
    return ERR_LAYOUT;
  }
  if (ErrorCode rc = read_table_record(image, volume, mft, kRootRecord, record); rc != OK) return rc;
  std::vector<uint64_t> hibernation_files;
  if (ErrorCode rc = find_hibernation_files(image, volume, record, hibernation_files); rc != OK)
    return rc;
  for (uint64_t reference : hibernation_files)
    if (ErrorCode rc = check_not_hibernated(image, volume, mft, reference); rc != OK) {
      if (rc == ERR_LAYOUT)
        keep_whole_because("hibernated", "NTFS: Windows is hibernated (or used fast startup); shut it down fully");
      return rc;
    }
  return OK;
}

ErrorCode probe_ntfs(DiskImage& image, uint32_t first, uint32_t count,
                     std::unique_ptr<ReaderState>& state) {
  VolumeLayout volume;
  if (ErrorCode rc = read_boot_sector(image, first, count, volume); rc != OK) return rc;

  std::vector<uint8_t> record;
  const uint64_t mft_at = volume.base + volume.mft_cluster * volume.cluster_size;
  if (ErrorCode rc = read_record(image, volume, mft_at, record); rc != OK) return rc;
  DataStream mft;
  if (ErrorCode rc = read_system_file(image, volume, record, 0, "$MFT", nullptr, mft); rc != OK)
    return rc;
  // The table's own record must be the one the boot sector pointed at.
  if (mft.runs.front().cluster != volume.mft_cluster) return ERR_BAD_RECORD;

  if (ErrorCode rc = read_table_record(image, volume, mft, kBitmapRecord, record); rc != OK) return rc;
  DataStream bitmap;
  if (ErrorCode rc = read_system_file(image, volume, record, kBitmapRecord, "$Bitmap", &mft, bitmap);
      rc != OK)
    return rc;
  // A state it cannot read refuses the volume as surely as a dirty or hibernated one.
  if (ErrorCode rc = check_volume_state(image, volume, mft); rc != OK)
    return rc == ERR_BAD_RECORD || rc == ERR_UNSUPPORTED ? ERR_LAYOUT : rc;

  // Clusters the loaded bytes do not describe stay used.
  auto loaded = std::make_unique<NtfsState>();
  UnitAllocation& clusters = loaded->allocation;
  clusters.sectors_per_unit = volume.sectors_per_cluster;
  if (ErrorCode rc = clusters.reset(volume.cluster_count, true); rc != OK) return rc;
  const uint64_t wanted = std::min<uint64_t>(clusters.used.size(), bitmap.initialized_size);
  std::span<uint8_t> bytes(clusters.used.data(), static_cast<size_t>(wanted));
  if (ErrorCode rc = read_stream(image, volume, bitmap, 0, bytes); rc != OK) return rc;
  state = std::move(loaded);
  return OK;
}

ErrorCode ntfs_probe(DiskImage& image, uint32_t first, uint32_t count,
                     std::unique_ptr<ReaderState>& state) {
  return guard_no_memory([&] { return probe_ntfs(image, first, count, state); });
}


}  // namespace

const UnitAllocation* ntfs_allocation(const ReaderState& state) noexcept {
  return allocation_of(state);
}

const FsReader kNtfsReader = {"ntfs", ntfs_probe, mark_allocation};

}  // namespace qx
