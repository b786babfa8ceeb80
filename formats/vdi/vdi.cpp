// VDI (format 20): VirtualBox normal and fixed images. A 472-byte header at the start, a block map
// of 32-bit entries, and a data area of equal-sized blocks in the order they were allocated.
#include "formats/vdi/vdi.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/format_ids.hpp"
#include "formats/trim_walk.hpp"
#include "image/byte_order.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"
#include "image/sector_bitmap.hpp"
#include "image/sector_use.hpp"

namespace qx {
namespace {

struct VdiHeader {
  char pre_header[64];
  le32_t signature;
  le32_t version;
  le32_t header_size;
  le32_t image_type;
  le32_t image_flags;
  char description[256];
  le32_t block_map_offset;
  le32_t data_offset;
  le32_t legacy_cylinders;
  le32_t legacy_heads;
  le32_t legacy_sectors;
  le32_t legacy_sector_size;
  le32_t unused;
  le64_t disk_size;
  le32_t block_size;
  le32_t block_extra;
  le32_t block_count;
  le32_t blocks_allocated;
  uint8_t image_uuid[16];
  uint8_t modification_uuid[16];
  uint8_t link_uuid[16];
  uint8_t parent_modification_uuid[16];
  le32_t logical_geometry[4];
};
static_assert(sizeof(VdiHeader) == 472);

constexpr uint32_t kSignature = 0xBEDA107F;
constexpr uint32_t kVersion = 0x00010001;
constexpr uint32_t kTypeNormal = 1;
constexpr uint32_t kTypeFixed = 2;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;
// This and every value above it: the block is not stored (0xFFFFFFFE reads as zeros).
constexpr uint32_t kFirstUnstored = 0xFFFFFFFEu;
constexpr uint32_t kDefaultHeads = 16;
constexpr uint32_t kDefaultSectorsPerTrack = 63;

struct VdiImage : DriverState {
  File file;
  VdiHeader header{};
  std::vector<uint32_t> map;  // host order
  DiskGeometry geometry;
  uint32_t block_bytes = 0;
  uint32_t block_sectors = 0;
  uint64_t stride = 0;           // block size + block extra data

  bool read_failed() const noexcept override { return file.read_failed(); }
};

VdiImage& vdi(DriverState& s) { return static_cast<VdiImage&>(s); }
const VdiImage& vdi(const DriverState& s) { return static_cast<const VdiImage&>(s); }

bool is_stored(uint32_t entry) noexcept { return entry < kFirstUnstored; }

uint64_t block_data_offset(const VdiImage& st, uint32_t entry) noexcept {
  return uint64_t{st.header.data_offset} + entry * st.stride + st.header.block_extra;
}

// ---- open ----

// Every field that places something in the file is checked against the file's length here,
// before the map is allocated from the block count.
ErrorCode check_header(const VdiHeader& h, uint64_t length) {
  const uint32_t type = h.image_type, header_size = h.header_size;
  if (h.signature != kSignature || h.version != kVersion ||
      (header_size != 384 && header_size != 400) || (type != kTypeNormal && type != kTypeFixed))
    return ERR_BAD_FORMAT;
  const uint64_t map_end = uint64_t{h.block_map_offset} + uint64_t{h.block_count} * 4;
  if (h.block_map_offset < sizeof(VdiHeader) || h.data_offset < map_end) return ERR_BAD_FORMAT;
  // A block size of 0 would divide by zero; one of part sectors has no place in a sector walk.
  const uint32_t block = h.block_size;
  if (block == 0 || block % kSectorSize != 0) return ERR_BAD_FORMAT;
  // Blocks of the disk without an entry would be read from beyond the map.
  if (ceil_div_u64(h.disk_size, block) > h.block_count) return ERR_BAD_FORMAT;
  const uint64_t stride = uint64_t{block} + h.block_extra;
  if (length < h.data_offset) return ERR_BAD_FORMAT;
  const uint64_t data = length - h.data_offset;
  if (data % stride != 0 || data / stride != h.blocks_allocated) return ERR_BAD_FORMAT;
  return OK;
}

ErrorCode read_map(VdiImage& st) {
  st.map.resize(st.header.block_count);
  auto bytes = std::span(reinterpret_cast<uint8_t*>(st.map.data()), st.map.size() * 4);
  if (!st.file.read_at(st.header.block_map_offset, bytes)) return ERR_READ;
  // An entry beyond the data area would read past the end of the file or into another block's
  // place in a trimmed copy.
  const uint32_t allocated = st.header.blocks_allocated;
  for (uint32_t& e : st.map) {
    e = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&e));
    if (is_stored(e) && e >= allocated) return ERR_BAD_FORMAT;
  }
  return OK;
}

ErrorCode vdi_open(DriverState& s, std::string_view path, bool read_only) {
  VdiImage& st = vdi(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  uint64_t length = 0;
  if (!st.file.length(length)) return ERR_FILE_SIZE;
  if (length < sizeof(VdiHeader)) return ERR_BAD_FORMAT;
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&st.header), sizeof(VdiHeader))))
    return ERR_READ;
  const VdiHeader& h = st.header;
  if (ErrorCode rc = check_header(h, length); rc != OK) return rc;
  const uint64_t sectors = ceil_div_u64(h.disk_size, kSectorSize);
  if (sectors > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry.total_sectors = static_cast<uint32_t>(sectors);
  st.geometry.heads = h.legacy_heads != 0 ? uint32_t{h.legacy_heads} : kDefaultHeads;
  st.geometry.sectors_per_track = h.legacy_sectors != 0 ? uint32_t{h.legacy_sectors} : kDefaultSectorsPerTrack;
  st.geometry.bytes_per_sector = kSectorSize;
  st.block_bytes = h.block_size;
  st.block_sectors = st.block_bytes / kSectorSize;
  st.stride = uint64_t{st.block_bytes} + h.block_extra;
  if (ErrorCode rc = read_map(st); rc != OK) return rc;
  return OK;
}

DiskGeometry vdi_geometry(const DriverState& s) { return vdi(s).geometry; }

// ---- reading ----

ErrorCode vdi_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  VdiImage& st = vdi(s);
  return read_by_blocks(st.block_bytes, offset, out, [&](uint64_t block, uint64_t in, std::span<uint8_t> piece) {
    const uint32_t entry = st.map[static_cast<size_t>(block)];
    if (!is_stored(entry)) std::memset(piece.data(), 0, piece.size());
    else if (!st.file.read_at(block_data_offset(st, entry) + in, piece)) return ERR_READ;
    return OK;
  });
}

// ---- the layer question ----

LayerHolding holding_of(uint32_t entry) noexcept {
  if (is_stored(entry)) return LayerHolding::kStored;
  return entry == kUnallocated ? LayerHolding::kAbsent : LayerHolding::kZero;
}

// A run never crosses a block: each block is one question, as a walk over blocks asks it.
ErrorCode vdi_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  VdiImage& st = vdi(s);
  const uint32_t entry = st.map[first / st.block_sectors];
  const uint32_t in = first % st.block_sectors;
  out.holding = holding_of(entry);
  out.count = std::min(count, st.block_sectors - in);
  if (out.holding == LayerHolding::kStored) {
    out.file = &st.file;
    out.offset = block_data_offset(st, entry) + uint64_t{in} * kSectorSize;
  }
  return OK;
}

// The writer packs bare blocks; extra data before each block would have to be carried along.
bool vdi_can_trim(const DriverState& s) { return vdi(s).header.block_extra == 0; }

// ---- trim ----

// Kept blocks are packed in disk order from the data offset on, always whole (zeros after the
// disk's end); the header keeps everything but the allocated count.
class VdiWriter : public BlockWriter {
 public:
  explicit VdiWriter(const VdiImage& st) : st_(st) {}

  ErrorCode begin(TrimWalk&) override {
    return guard_no_memory([&] {
      new_map_.resize(st_.map.size());
      for (le32_t& e : new_map_) e = kUnallocated;
      return OK;
    });
  }

  ErrorCode keep(TrimWalk& walk, uint32_t block, uint32_t first, uint32_t n) override {
    if (kept_ >= kFirstUnstored) return ERR_UNSUPPORTED;
    const uint64_t at = uint64_t{st_.header.data_offset} + uint64_t{kept_} * st_.block_bytes;
    new_map_[block] = kept_++;
    return walk.put_sectors(first, n, at, st_.block_bytes);
  }

  // The new map exactly where the header places it, zeros everywhere else up to the data offset.
  ErrorCode finish(TrimWalk& walk) override {
    TrimSink& out = walk.out();
    VdiHeader header = st_.header;
    header.blocks_allocated = kept_;
    const uint64_t map_at = header.block_map_offset;
    const uint64_t map_end = map_at + new_map_.size() * 4;
    if (ErrorCode rc = out.write(0, bytes_of(header)); rc != OK) return rc;
    if (ErrorCode rc = out.write_zeros(sizeof header, map_at); rc != OK) return rc;
    const std::span<const uint8_t> map(reinterpret_cast<const uint8_t*>(new_map_.data()), map_end - map_at);
    if (ErrorCode rc = out.write(map_at, map); rc != OK) return rc;
    return out.write_zeros(map_end, header.data_offset);
  }

 private:
  const VdiImage& st_;
  std::vector<le32_t> new_map_;
  uint32_t kept_ = 0;
};

ErrorCode vdi_trim(DiskImage& image, TrimJob& job) {
  VdiImage& st = vdi(*image.state);
  VdiWriter writer(st);
  return trim_file(image, job, job.path, st.file, TrimSpan{0, st.geometry.total_sectors, st.block_sectors, false},
                   writer);
}

}  // namespace

const FormatDriver kVdiDriver = {
    .name = "vdi",
    .make_state = make_driver_state<VdiImage>,
    .open = vdi_open,
    .get_geometry = vdi_geometry,
    .read_bytes = vdi_read,
    .can_trim = vdi_can_trim,
    .trim = vdi_trim,
    .layer_status = vdi_layer_status,
};

}  // namespace qx
