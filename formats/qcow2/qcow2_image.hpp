// What the QCOW2 driver and its writer share: the on-disk header, the state of an open image and
// the decoding of its L2 entries.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "image/byte_order.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "image/sizes.hpp"
#include "text/path_string.hpp"

namespace qx {

struct Qcow2Header {
  be32_t magic;
  be32_t version;
  be64_t backing_file_offset;
  be32_t backing_file_size;
  be32_t cluster_bits;
  be64_t size;
  be32_t crypt_method;
  be32_t l1_size;
  be64_t l1_table_offset;
  be64_t refcount_table_offset;
  be32_t refcount_table_clusters;
  be32_t nb_snapshots;
  be64_t snapshots_offset;
  // Version 3 from here on.
  be64_t incompatible_features;
  be64_t compatible_features;
  be64_t autoclear_features;
  be32_t refcount_order;
  be32_t header_length;
};
static_assert(sizeof(Qcow2Header) == 104);
inline constexpr uint32_t kQcow2V2HeaderLength = 72;
inline constexpr size_t kQcow2CompressionTypeAt = 104;

inline constexpr uint64_t kIncompatDirty = 1u << 0;
inline constexpr uint64_t kIncompatCorrupt = 1u << 1;
inline constexpr uint64_t kIncompatExternalData = 1u << 2;
inline constexpr uint64_t kIncompatCompressionType = 1u << 3;
inline constexpr uint64_t kIncompatExtendedL2 = 1u << 4;
inline constexpr uint64_t kIncompatKnown = (1u << 5) - 1;
inline constexpr uint64_t kAutoclearBitmaps = 1u << 0;
inline constexpr uint64_t kAutoclearRawExternal = 1u << 1;

// Bits 9-55 of table entries and standard L2 entries: a cluster-aligned host offset.
inline constexpr uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ull;
inline constexpr uint64_t kCopiedFlag = uint64_t{1} << 63;
inline constexpr uint64_t kCompressedFlag = uint64_t{1} << 62;
inline constexpr uint64_t kZeroFlag = 1;

inline constexpr uint32_t kBitmapInUse = 1u << 0;

// One guest cluster as its L2 entry describes it. Without extended entries a cluster is one
// subcluster: `alloc` says it lies at `host`, `zero` that it reads as zeros.
struct Qcow2Cluster {
  bool compressed = false;
  uint64_t host = 0;    // standard: the host cluster (0: none); compressed: the first byte
  uint64_t length = 0;  // compressed: bytes from `host` to the end of its last sector
  uint32_t alloc = 0;   // subcluster bits
  uint32_t zero = 0;
};

struct Qcow2Snapshot {
  uint64_t l1_offset = 0;
  uint32_t l1_size = 0;
  size_t entry_at = 0;  // of its entry in the snapshot table
};

struct Qcow2Bitmap {
  uint64_t table_offset = 0;
  uint32_t table_size = 0;
  uint32_t flags = 0;
  uint32_t granularity_bits = 0;
  size_t entry_at = 0;  // of its entry in the bitmap directory
};

struct Qcow2Image : DriverState {
  ~Qcow2Image() override;
  File file;
  uint64_t file_length = 0;
  PathBuffer<4096> path;
  std::vector<uint8_t> head;  // the first cluster: header, extensions, backing file name

  uint32_t version = 0;
  uint32_t cluster_bits = 0;
  uint64_t cluster = 0;
  uint64_t size = 0;
  uint64_t incompatible = 0;
  uint64_t autoclear = 0;
  uint32_t refcount_order = 4;
  uint8_t compression_type = 0;
  bool extended = false;
  uint32_t subclusters = 1;  // per cluster
  uint64_t l2_entries = 0;   // per table
  uint32_t l1_size = 0;
  uint64_t l1_offset = 0;
  std::vector<uint64_t> l1;
  DiskGeometry geometry;

  // The last L2 table read, in host order (two words an entry when extended).
  std::vector<uint64_t> l2;
  uint64_t l2_at = 0;

  // Every table of the file, sorted, checked not to overlap; data clusters may not lie in them.
  struct Extent {
    uint64_t offset, length;
    bool shared;  // an L2 table, which several L1 tables may name
  };
  std::vector<Extent> metadata;
  size_t merged_metadata = 0;  // its length when repeated names were last merged

  uint32_t nb_snapshots = 0;
  uint64_t snapshots_offset = 0;
  std::vector<uint8_t> snapshot_table;
  std::vector<Qcow2Snapshot> snapshots;

  size_t bitmaps_ext_at = 0;  // of the bitmaps extension's data in `head`; 0 without one
  std::vector<uint8_t> bitmap_directory;
  std::vector<Qcow2Bitmap> bitmaps;

  DiskImage backing;
  bool has_backing = false;
  File data_file;
  bool external = false;

  std::vector<uint8_t> packed;    // compressed bytes of one cluster
  std::vector<uint8_t> unpacked;  // the last cluster inflated
  uint64_t unpacked_entry = 0;    // its L2 entry; 0 while none is cached
  void* zstd = nullptr;           // the decompression context, made on first use

  const char* refusal = nullptr;  // why the image may not be trimmed
  const char* refusal_key = nullptr;

  uint64_t subcluster_bytes() const noexcept { return cluster / subclusters; }
  uint32_t cluster_sectors() const noexcept { return static_cast<uint32_t>(cluster / kSectorSize); }
  uint64_t entry_words() const noexcept { return extended ? 2 : 1; }
  uint32_t all_subclusters() const noexcept {
    return subclusters == 32 ? 0xFFFFFFFFu : (1u << subclusters) - 1;
  }
  File& data() noexcept { return external ? data_file : file; }
  bool read_failed() const noexcept override {
    return file.read_failed() || data_file.read_failed() || image_read_failed(backing);
  }
};

inline Qcow2Image& qcow2(DriverState& s) { return static_cast<Qcow2Image&>(s); }
inline const Qcow2Image& qcow2(const DriverState& s) { return static_cast<const Qcow2Image&>(s); }

// True when [offset, offset + length) lies inside the file.
inline bool qcow2_in_file(const Qcow2Image& st, uint64_t offset, uint64_t length) noexcept {
  return offset <= st.file_length && length <= st.file_length - offset;
}

// Reads the L2 table at `offset` into `out` (host order), checking where it lies; every entry is
// checked as it is decoded.
[[nodiscard]] ErrorCode qcow2_read_table(Qcow2Image& st, uint64_t offset, std::vector<uint64_t>& out);
// Decodes and checks one L2 entry (`bitmap` is the second word of an extended entry).
[[nodiscard]] ErrorCode qcow2_decode(const Qcow2Image& st, uint64_t entry, uint64_t bitmap,
                                     Qcow2Cluster& out);
// The active L2 entry of guest cluster `index`, decoded.
[[nodiscard]] ErrorCode qcow2_cluster(Qcow2Image& st, uint64_t index, Qcow2Cluster& out);

// The refcount table where the header names it, as block offsets (0: no block there).
[[nodiscard]] ErrorCode qcow2_refcount_table(Qcow2Image& st, std::vector<uint64_t>& out);
// Entry `i` of a refcount block: big-endian words of 8 bits and more, narrower ones packed from
// the low bits of a byte.
inline uint64_t qcow2_refcount_entry(std::span<const uint8_t> block, uint64_t i, uint32_t order) noexcept {
  const uint32_t width = 1u << order;
  if (width < 8) return (block[static_cast<size_t>(i * width / 8)] >> (i * width % 8)) & ((1u << width) - 1);
  uint64_t out = 0;
  for (uint32_t b = 0; b < width / 8; ++b) out = out << 8 | block[static_cast<size_t>(i * (width / 8) + b)];
  return out;
}
// Counts the references to every host cluster (header, tables, snapshots, bitmaps, data and
// compressed clusters, as qemu-img check counts them) and holds them against the refcounts: OK
// when no cluster is named more often than its refcount says, nor twice while an active entry
// flags it "copied"; ERR_UNSUPPORTED with the refusal "corrupt" noted otherwise. Leaks pass.
[[nodiscard]] ErrorCode qcow2_check_references(Qcow2Image& st);

// The trim into new files (qcow2_trim.cpp), and the one inside the live file (qcow2_in_place.cpp):
// images it cannot keep consistent that way are ERR_UNSUPPORTED with a refusal note, nothing
// changed.
ErrorCode qcow2_trim(DiskImage& image, TrimJob& job);
ErrorCode qcow2_trim_in_place(DiskImage& image, TrimJob& job);

}  // namespace qx
