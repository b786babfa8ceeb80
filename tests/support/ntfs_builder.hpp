// Small NTFS volumes built byte by byte: a boot sector, a master file table laid along chosen
// runs, and a cluster bitmap, with every structure open to tampering. Also the pieces (run lists,
// attributes, file records with their update sequence) for tests that craft their own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qx::test {

struct NtfsRun {
  uint64_t cluster;
  uint64_t length;
};

// A run list as NTFS stores it: per run a header byte, the length, and the offset from the
// previous run's cluster in the fewest signed bytes; ends with a zero byte.
std::vector<uint8_t> encode_ntfs_runs(const std::vector<NtfsRun>& runs);

// Attribute builders; the results are 8-byte aligned. Names are ASCII, stored as UTF-16LE.
std::vector<uint8_t> ntfs_resident_attribute(uint32_t type, const std::vector<uint8_t>& value,
                                             const std::string& name = "");
std::vector<uint8_t> ntfs_file_name_value(const std::string& name);
struct NtfsNonResident {
  uint32_t type = 0x80;
  std::vector<uint8_t> runs;  // encoded run list
  uint64_t clusters = 0;      // sum of the run lengths (last VCN + 1)
  uint32_t cluster_size = 4096;
  uint64_t data_size = 0;
  uint64_t initialized_size = UINT64_MAX;  // UINT64_MAX: same as data_size
  uint16_t flags = 0;
  std::string name;  // ASCII, stored as UTF-16LE
};
std::vector<uint8_t> ntfs_nonresident_attribute(const NtfsNonResident& a);

// A file record (not yet protected) holding the attributes in order, then the end marker.
std::vector<uint8_t> ntfs_file_record(uint32_t record_size, uint32_t number,
                                      const std::vector<std::vector<uint8_t>>& attributes);
// The usual system file record: standard information, the file name, the unnamed data.
std::vector<uint8_t> ntfs_system_record(uint32_t record_size, uint32_t number, const std::string& name,
                                        const NtfsNonResident& data);

// $Volume (record 3) with its volume information: version 3.1 and these flags (1: dirty).
std::vector<uint8_t> ntfs_volume_record(uint32_t record_size, uint16_t flags);

// Folder index pieces. An entry names a file of the root folder; `child` (when set) is the index
// block of the names sorting before it. The entry list ends with the last entry, which may
// lead to a block of the names after all others.
struct NtfsIndexEntry {
  uint64_t reference;  // record number | sequence number << 48
  std::string name;
  uint64_t child = UINT64_MAX;
};
std::vector<uint8_t> ntfs_index_entries(const std::vector<NtfsIndexEntry>& entries,
                                        uint64_t last_child = UINT64_MAX);
// The $INDEX_ROOT value of a file name index over those entries.
std::vector<uint8_t> ntfs_index_root_value(uint32_t block_size, const std::vector<uint8_t>& entries);
// An index block ("INDX", not yet protected) holding those entries.
std::vector<uint8_t> ntfs_index_block(uint32_t block_size, uint64_t vcn, const std::vector<uint8_t>& entries);
// The root folder (record 5): standard information, the name ".", the $I30 index root over
// `entries` with 4 KiB blocks, and the $I30 index allocation when `blocks` has runs.
std::vector<uint8_t> ntfs_root_record(uint32_t record_size, const std::vector<uint8_t>& entries,
                                      const NtfsNonResident& blocks = {});

// Applies the update sequence: the true last two bytes of every 512-byte block move into the
// array and the sequence number takes their place.
void protect_ntfs_record(std::span<uint8_t> record, uint16_t sequence = 0x0001);
// Undoes it without checking; for tests that edit a record read from a volume.
void unprotect_ntfs_record(std::span<uint8_t> record);

struct NtfsVolumeSpec {
  uint32_t volume_sectors = 32768;  // size of the file
  uint64_t total_sectors = 0;       // the boot sector's field; 0: volume_sectors - 1
  uint8_t sectors_per_cluster = 8;
  uint16_t bytes_per_sector = 512;
  uint8_t clusters_per_record = 0xF6;  // -10
  uint32_t record_size = 1024;
  uint64_t mft_cluster = UINT64_MAX;   // UINT64_MAX: the first MFT run's cluster
  uint32_t mft_records = 16;           // data size of the table in records
  std::vector<NtfsRun> mft_runs;
  std::vector<NtfsRun> bitmap_runs;
  std::vector<uint8_t> bitmap;         // $Bitmap data; its size is the data size
  // Unprotected replacements for records 0 and 6 (empty: the usual shape from the runs above).
  std::vector<uint8_t> record0;
  std::vector<uint8_t> record6;
  // Records 3 and 5 likewise; by default a clean $Volume with `volume_flags` and a root folder
  // whose index holds no name.
  uint16_t volume_flags = 0;
  std::vector<uint8_t> record3;
  std::vector<uint8_t> record5;
  // Further unprotected records of the table, by number (written over the ones above).
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
  // Bytes written last at volume byte offsets (index blocks, file contents).
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
};

// Writes the volume to `path` (free clusters hold a non-zero pattern).
void write_ntfs_volume(const std::string& path, const NtfsVolumeSpec& spec);

// A ready spec: 16 MiB, 4 KiB clusters, the table at cluster 4, the bitmap at cluster 100, and
// the clusters of the table, the bitmap and a few files marked used.
NtfsVolumeSpec basic_ntfs_spec();

// Used bits of a cluster bitmap.
void set_ntfs_clusters(std::vector<uint8_t>& bitmap, uint64_t first, uint64_t count);

}  // namespace qx::test
