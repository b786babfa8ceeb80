// The "NVT " differencing file (id -2): a header naming the parent, and three levels of 256-entry
// tables of sector numbers that lead from a disk offset to a stored 64 KiB chunk. Whatever the
// tables do not lead to is read from the parent.
#include "formats/nvt/nvt.hpp"

#include <array>
#include <cstring>

#include "image/byte_order.hpp"
#include "formats/format_ids.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

struct NvtHeader {
  le32_t magic;
  le32_t version;
  le32_t flat_parent;
  le32_t reserved1;
  le32_t parent_data_offset;
  le32_t reserved2;
  le32_t parent_total_sectors;
  le32_t reserved3;
  le32_t parent_heads;
  le32_t parent_sectors_per_track;
  le32_t parent_bytes_per_sector;
  le32_t reserved4;
};
static_assert(sizeof(NvtHeader) == 48);

constexpr uint32_t kMagic = 0x2054564E;  // "NVT "
constexpr uint64_t kShortestFile = 2048;
constexpr uint64_t kParentNameOffset = 512;
constexpr size_t kParentNameBytes = 512;
constexpr uint64_t kFirstTableOffset = 1024;
constexpr uint64_t kChunkBytes = 64 * 1024;
// Each parent opens through detection again; a file that names itself must still end.
constexpr uint32_t kMaxParentDepth = 32;

using Table = std::array<uint32_t, 256>;

struct NvtImage : DriverState {
  File file;
  DiskImage parent;
  Table first{};
  Table second{};
  int64_t second_index = -1;
  Table third{};
  int64_t third_index = -1;

  bool read_failed() const noexcept override { return file.read_failed() || image_read_failed(parent); }
};

NvtImage& nvt(DriverState& s) { return static_cast<NvtImage&>(s); }
const NvtImage& nvt(const DriverState& s) { return static_cast<const NvtImage&>(s); }

struct OpenDepth {
  static inline uint32_t depth = 0;
  OpenDepth() noexcept { ++depth; }
  ~OpenDepth() { --depth; }
  OpenDepth(const OpenDepth&) = delete;
  OpenDepth& operator=(const OpenDepth&) = delete;
};

bool read_table(File& file, uint64_t offset, Table& out) {
  if (!file.read_at(offset, std::span(reinterpret_cast<uint8_t*>(out.data()), sizeof out))) return false;
  for (uint32_t& e : out) e = load_le<uint32_t>(reinterpret_cast<const uint8_t*>(&e));
  return true;
}

// The directory of this file (with its separator) and the stored name, or ERR_UNSUPPORTED when both do
// not fit the path buffer.
ErrorCode parent_path(std::string_view own, std::span<const uint8_t> field, PathString& out) {
  const auto* name = reinterpret_cast<const char*>(field.data());
  const void* nul = std::memchr(name, 0, field.size());
  if (!nul || nul == name) return ERR_BAD_FORMAT;
  const std::string_view stored(name, static_cast<size_t>(static_cast<const char*>(nul) - name));
  TextView dir, file;
  split_host_dir(own, dir, file);
  if (!out.assign(dir, stored) || !out.append_terminator()) return ERR_UNSUPPORTED;
  return OK;
}

ErrorCode open_parent(NvtImage& st, const NvtHeader& h, std::string_view parent) {
  if (!h.flat_parent) return open_image(st.parent, parent, true);
  const DiskGeometry g{h.parent_total_sectors, h.parent_heads, h.parent_sectors_per_track,
                       h.parent_bytes_per_sector};
  return open_flat(st.parent, parent, true, h.parent_data_offset, g);
}

ErrorCode nvt_open(NvtImage& st, std::string_view path, bool read_only) {
  st.file = File::open_existing(path, read_only);
  if (!st.file) return ERR_OPEN;
  uint64_t length = 0;
  if (!st.file.length(length)) return ERR_FILE_SIZE;
  if (length < kShortestFile) return ERR_BAD_FORMAT;
  NvtHeader h{};
  if (!st.file.read_at(0, std::span(reinterpret_cast<uint8_t*>(&h), sizeof h))) return ERR_READ;
  if (h.magic != kMagic || h.version != 0) return ERR_BAD_FORMAT;
  std::array<uint8_t, kParentNameBytes> name{};
  if (!st.file.read_at(kParentNameOffset, name) || !read_table(st.file, kFirstTableOffset, st.first))
    return ERR_READ;
  PathBuffer<4096> parent;
  if (ErrorCode rc = parent_path(path, name, parent); rc != OK) return rc;
  if (OpenDepth::depth >= kMaxParentDepth) return ERR_BAD_FORMAT;
  OpenDepth guard;
  return open_parent(st, h, parent.view());
}

DiskGeometry nvt_geometry(const DriverState& s) { return get_geometry(nvt(s).parent); }

ErrorCode nvt_chain_status(const DriverState& s) { return parent_chain_status(nvt(s).parent); }

// The file offset of the chunk that holds disk offset `offset`, or 0 when the parent holds it.
ErrorCode find_chunk(NvtImage& st, uint64_t offset, uint64_t& chunk) {
  chunk = 0;
  const uint64_t i1 = offset >> 32;
  if (i1 >= st.first.size() || st.first[i1] == 0) return OK;
  if (st.second_index != static_cast<int64_t>(i1)) {
    st.second_index = st.third_index = -1;
    if (!read_table(st.file, uint64_t{st.first[i1]} * kSectorSize, st.second)) return ERR_READ;
    st.second_index = static_cast<int64_t>(i1);
  }
  const uint64_t i2 = (offset >> 24) & 0xFF;
  if (st.second[i2] == 0) return OK;
  const auto key = static_cast<int64_t>(offset >> 24);
  if (st.third_index != key) {
    st.third_index = -1;
    if (!read_table(st.file, uint64_t{st.second[i2]} * kSectorSize, st.third)) return ERR_READ;
    st.third_index = key;
  }
  chunk = uint64_t{st.third[(offset >> 16) & 0xFF]} * kSectorSize;
  return OK;
}

ErrorCode nvt_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  NvtImage& st = nvt(s);
  return read_by_blocks(kChunkBytes, offset, out, [&](uint64_t index, uint64_t in, std::span<uint8_t> piece) {
    uint64_t chunk = 0;
    if (ErrorCode rc = find_chunk(st, index * kChunkBytes + in, chunk); rc != OK) return rc;
    if (chunk == 0) return read_bytes(st.parent, index * kChunkBytes + in, piece);
    return st.file.read_at(chunk + in, piece) ? OK : ERR_READ;
  });
}

}  // namespace

const FormatDriver kNvtDriver = {
    .name = "nvt",
    .make_state = make_driver_state<NvtImage>,
    .open = nullptr,  // opened through open_nvt_image
    .get_geometry = nvt_geometry,
    .read_bytes = nvt_read,
    .is_range_free = nullptr,  // the file keeps no account of what its chunks hold
    .chain_status = nvt_chain_status,
};

ErrorCode open_nvt_image(DiskImage& image, std::string_view path, bool read_only) {
  return guard_no_memory([&]() -> ErrorCode {
    auto state = std::make_unique<NvtImage>();
    if (ErrorCode rc = nvt_open(*state, path, read_only); rc != OK) return rc;
    adopt_state(image, FORMAT_NVT, std::move(state));
    return OK;
  });
}

}  // namespace qx
