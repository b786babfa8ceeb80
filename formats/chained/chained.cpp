// The chained block image (format 18): a 256-byte header, a table of block numbers, the blocks
// from the first block-aligned offset behind the table on; blocks the file does not hold come from
// the parent "name<d-1>" of "name<d>", or are zero.
#include "formats/chained/chained.hpp"
#include "formats/format_ids.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/byte_order.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"
#include "text/path_string.hpp"

namespace qx {
namespace {

struct ChainedHeader {
  le32_t magic;
  le32_t version;
  le32_t block_size;
  le32_t block_count;
  uint8_t reserved[240];
};
static_assert(sizeof(ChainedHeader) == 256);

constexpr uint32_t kMagic = 0x02468ACE;
constexpr uint32_t kVersion = 1;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;

struct ChainedImage : DriverState {
  File file;
  ChainedHeader header{};
  std::vector<uint32_t> table;
  uint32_t next_free_block = 0;
  uint64_t data_start = 0;
  uint32_t block_sectors = 0;
  DiskGeometry geometry;
  DiskImage parent;
  bool has_parent = false;

  bool read_failed() const noexcept override { return file.read_failed() || image_read_failed(parent); }
};

ChainedImage& chained(DriverState& s) { return static_cast<ChainedImage&>(s); }
const ChainedImage& chained(const DriverState& s) { return static_cast<const ChainedImage&>(s); }

// ---- open ----

ErrorCode read_table(ChainedImage& st, uint64_t length) {
  const uint64_t count = st.header.block_count;
  const uint64_t block = st.header.block_size;
  // Bounded by the file before anything is allocated.
  if ((length - sizeof(ChainedHeader)) / 4 < count) return ERR_BAD_FORMAT;
  st.data_start = ceil_div_u64(sizeof(ChainedHeader) + count * 4, block) * block;
  st.table.resize(static_cast<size_t>(count));
  if (!st.file.read_at(sizeof(ChainedHeader),
                       std::span(reinterpret_cast<uint8_t*>(st.table.data()), st.table.size() * 4)))
    return ERR_READ;
  st.next_free_block = 0;
  for (uint32_t& e : st.table) {
    e = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&e));
    if (e != kUnallocated) st.next_free_block = std::max(st.next_free_block, e + 1);
  }
  return OK;
}

// "disk.im3" lies over "disk.im2"; a name that does not end in a digit from 1 to 9 has no parent,
// and neither has one whose parent file does not exist.
ErrorCode open_parent(ChainedImage& st, std::string_view path) {
  if (path.empty() || path.back() < '1' || path.back() > '9') return OK;
  PathBuffer<4096> name;
  if (!name.assign(path)) return ERR_UNSUPPORTED;
  name.data()[name.length() - 1] = static_cast<char>(path.back() - 1);
  DiskImage parent;
  const ErrorCode rc = open_image_as(parent, name.view(), true, FORMAT_CHAINED);
  if (rc == ERR_OPEN) return OK;
  if (rc != OK) return rc;
  const DiskGeometry g = get_geometry(parent);
  if (g.total_sectors != st.geometry.total_sectors || g.bytes_per_sector != st.geometry.bytes_per_sector)
    return ERR_BAD_FORMAT;
  st.parent = std::move(parent);
  st.has_parent = true;
  return OK;
}

ErrorCode chained_open(DriverState& s, std::string_view path, bool read_only) {
  ChainedImage& st = chained(s);
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&st.header), sizeof st.header)))
    return ERR_READ;
  const uint32_t block = st.header.block_size;
  // Blocks are whole sectors, so that the sector queries of the map fall on block borders.
  if (st.header.magic != kMagic || st.header.version != kVersion || !is_power_of_two(block) ||
      block < kSectorSize)
    return ERR_BAD_FORMAT;
  st.block_sectors = block / kSectorSize;
  const uint64_t sectors = uint64_t{st.block_sectors} * st.header.block_count;
  if (sectors > UINT32_MAX) return ERR_UNSUPPORTED;
  st.geometry = {static_cast<uint32_t>(sectors), 16, 63, kSectorSize};
  uint64_t length = 0;
  if (!st.file.length(length)) return ERR_FILE_SIZE;
  if (ErrorCode rc = read_table(st, length); rc != OK) return rc;
  return open_parent(st, path);
}

DiskGeometry chained_geometry(const DriverState& s) { return chained(s).geometry; }

ErrorCode chained_chain_status(const DriverState& s) {
  const ChainedImage& st = chained(s);
  return st.has_parent ? parent_chain_status(st.parent) : OK;
}

uint64_t block_offset(const ChainedImage& st, uint32_t block) noexcept {
  return st.data_start + uint64_t{st.table[block]} * st.header.block_size;
}

// ---- reading ----

ErrorCode chained_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  ChainedImage& st = chained(s);
  return read_by_blocks(st.header.block_size, offset, out, [&](uint64_t b, uint64_t in, std::span<uint8_t> piece) {
    const auto block = static_cast<uint32_t>(b);
    if (st.table[block] != kUnallocated)
      return st.file.read_at(block_offset(st, block) + in, piece) ? OK : ERR_READ;
    if (st.has_parent) return read_bytes(st.parent, b * st.header.block_size + in, piece);
    std::memset(piece.data(), 0, piece.size());
    return OK;
  });
}

// ---- the layer question ----

// A run never crosses a block; blocks the file does not hold are the parent's.
ErrorCode chained_layer_status(DriverState& s, uint32_t first, uint32_t count, LayerRun& out) {
  ChainedImage& st = chained(s);
  const uint32_t block = first / st.block_sectors, in = first % st.block_sectors;
  out = LayerRun{};
  out.count = std::min(count, st.block_sectors - in);
  if (st.table[block] != kUnallocated) {
    out.holding = LayerHolding::kStored;
    out.file = &st.file;
    out.offset = block_offset(st, block) + uint64_t{in} * kSectorSize;
  }
  return OK;
}

DiskImage* chained_parent(DriverState& s) { return chained(s).has_parent ? &chained(s).parent : nullptr; }

}  // namespace

const FormatDriver kChainedDriver = {
    .name = "chained block image",
    .make_state = make_driver_state<ChainedImage>,
    .open = chained_open,
    .get_geometry = chained_geometry,
    .read_bytes = chained_read,
    .chain_status = chained_chain_status,
    .layer_status = chained_layer_status,
    .parent = chained_parent,
};

}  // namespace qx
