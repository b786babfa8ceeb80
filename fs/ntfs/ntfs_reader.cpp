// NTFS: the boot sector leads to the master file table, whose own data runs lead to file record 6
// ($Bitmap); its data, one bit per cluster, is loaded once and answers every query.
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

constexpr uint8_t kOemId[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
constexpr uint8_t kRecordMagic[4] = {'F', 'I', 'L', 'E'};
constexpr uint16_t kBootSignature = 0xAA55;
constexpr uint32_t kMinRecordSize = 512;
constexpr uint32_t kMaxRecordSize = 64 * 1024;
// The NTFS 3.0 header ends where its update sequence array begins.
constexpr uint16_t kMinUpdateSequenceOffset = 0x2A;
constexpr uint16_t kRecordInUse = 0x0001;
constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
// Compression method bits, encrypted, sparse: data that is not a plain copy of its runs.
constexpr uint16_t kUnplainData = 0x00FF | 0x4000 | 0x8000;
constexpr uint64_t kBitmapRecord = 6;
constexpr size_t kReadChunk = 4u << 20;

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

struct NtfsState final : ReaderState {
  UnitAllocation clusters;
};

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

// Checks the header and undoes the update sequence in place: the last two bytes of every 512-byte
// block hold the sequence number, their true contents wait in the array.
bool restore_record(std::span<uint8_t> record) {
  FileRecordHeader h;
  if (!read_struct(record, 0, h)) return false;
  if (std::memcmp(h.magic, kRecordMagic, sizeof kRecordMagic) != 0) return false;
  const uint32_t offset = h.update_sequence_offset, count = h.update_sequence_count;
  if (offset < kMinUpdateSequenceOffset || offset + 2 * count > kSectorSize - 2) return false;
  const size_t blocks = record.size() / kSectorSize;
  if (count != blocks + 1) return false;
  const uint16_t sequence = le16(&record[offset]);
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* tail = &record[i * kSectorSize + kSectorSize - 2];
    if (le16(tail) != sequence) return false;
    std::memcpy(tail, &record[offset + 2 * (i + 1)], 2);
  }
  return (h.flags & kRecordInUse) && h.base_record == 0 && h.bytes_in_use <= record.size() &&
         h.first_attribute_offset >= offset + 2 * count;
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
    if (!read_struct(used_, pos_, h)) return {};
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

// A resident attribute of that type whose value lies inside it; the value, or empty.
std::span<const uint8_t> resident_value(std::span<const uint8_t> attribute, uint32_t type) {
  ResidentAttribute a;
  if (!read_struct(attribute, 0, a) || a.header.type != type || a.header.non_resident != 0) return {};
  const size_t offset = a.value_offset, length = a.value_length;
  if (offset > attribute.size() || length > attribute.size() - offset) return {};
  return attribute.subspan(offset, length);
}

bool file_name_is(std::span<const uint8_t> value, std::string_view name) {
  FileNameValue v;
  if (!read_struct(value, 0, v) || v.name_length != name.size()) return false;
  if (value.size() - sizeof v < 2 * name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (le16(&value[sizeof v + 2 * i]) != static_cast<uint8_t>(name[i])) return false;
  return true;
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

// The shape every system file record has: standard information, its one file name, its data.
ErrorCode read_system_file(std::span<const uint8_t> record, std::string_view name,
                           const VolumeLayout& volume, DataStream& out) {
  AttributeCursor cursor(record);
  if (resident_value(cursor.next(), kStandardInformation).empty()) return ERR_BAD_RECORD;
  if (!file_name_is(resident_value(cursor.next(), kFileName), name)) return ERR_BAD_RECORD;
  const std::span<const uint8_t> data = cursor.next();
  NonResidentAttribute a;
  if (!read_struct(data, 0, a) || a.header.type != kData || a.header.non_resident != 1 ||
      a.header.name_length != 0 || (a.header.flags & kUnplainData) != 0)
    return ERR_BAD_RECORD;
  const size_t runs_offset = a.runs_offset;
  if (runs_offset < sizeof a || runs_offset > data.size()) return ERR_BAD_RECORD;
  if (!decode_runs(data.subspan(runs_offset), volume.cluster_count, out)) return ERR_BAD_RECORD;
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

ErrorCode probe_ntfs(DiskImage& image, uint32_t first, uint32_t count,
                     std::unique_ptr<ReaderState>& state) {
  VolumeLayout volume;
  if (ErrorCode rc = read_boot_sector(image, first, count, volume); rc != OK) return rc;

  std::vector<uint8_t> record;
  const uint64_t mft_at = volume.base + volume.mft_cluster * volume.cluster_size;
  if (ErrorCode rc = read_record(image, volume, mft_at, record); rc != OK) return rc;
  DataStream mft;
  if (ErrorCode rc = read_system_file(record, "$MFT", volume, mft); rc != OK) return rc;
  // The table's own record must be the one the boot sector pointed at.
  if (mft.runs.front().cluster != volume.mft_cluster) return ERR_BAD_RECORD;

  const uint64_t bitmap_at = kBitmapRecord * volume.record_size;
  if (mft.data_size < bitmap_at + volume.record_size) return ERR_UNSUPPORTED;
  if (ErrorCode rc = read_stream(image, volume, mft, bitmap_at, record); rc != OK) return rc;
  if (!restore_record(record)) return ERR_BAD_RECORD;
  DataStream bitmap;
  if (ErrorCode rc = read_system_file(record, "$Bitmap", volume, bitmap); rc != OK) return rc;

  // Clusters the loaded bytes do not describe stay used.
  auto loaded = std::make_unique<NtfsState>();
  UnitAllocation& clusters = loaded->clusters;
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

ErrorCode ntfs_mark(const ReaderState& state, uint32_t first, uint32_t count,
                    std::span<uint8_t> bitmap, uint32_t bit_index) {
  const UnitAllocation* clusters = ntfs_allocation(state);
  if (!clusters) return ERR_FILE_SYSTEM;
  clusters->mark(first, count, bitmap, bit_index);
  return OK;
}

}  // namespace

const UnitAllocation* ntfs_allocation(const ReaderState& state) noexcept {
  const auto* ntfs = dynamic_cast<const NtfsState*>(&state);
  return ntfs ? &ntfs->clusters : nullptr;
}

const FsReader kNtfsReader = {"ntfs", ntfs_probe, ntfs_mark};

}  // namespace qx
