// Hosted sparse extents (header, grain directory, grain tables, grains) and flat extents of a
// VMDK image: how each is opened, read and asked whether a range holds anything.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "image/byte_order.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "text/path_string.hpp"

namespace qx {

struct SparseExtentHeader {
  le32_t magic;
  le32_t version;
  le32_t flags;
  le64_t capacity;
  le64_t grain_size;
  le64_t descriptor_offset;
  le64_t descriptor_size;
  le32_t gtes_per_gt;
  le64_t rgd_offset;
  le64_t gd_offset;
  le64_t overhead;
  uint8_t unclean_shutdown;
  uint8_t line_chars[4];
  le16_t compress_algorithm;
  uint8_t padding_first;

  uint32_t descriptor_offset_sectors() const noexcept { return static_cast<uint32_t>(descriptor_offset.get()); }
  uint32_t descriptor_size_sectors() const noexcept { return static_cast<uint32_t>(descriptor_size.get()); }
  uint32_t grain_sectors() const noexcept { return static_cast<uint32_t>(grain_size.get()); }
  bool compressed() const noexcept { return (flags.get() >> 16) & 1u; }
  // Table entries of 1 then stand for grains of zeros that hide the parent.
  bool zeroed_entries() const noexcept { return (flags.get() >> 2) & 1u; }
};
static_assert(sizeof(SparseExtentHeader) == 80);

inline constexpr uint32_t kSparseMagic = 0x564D444B;  // "KDMV"
inline constexpr uint32_t kTableEntries = 512;
inline constexpr uint64_t kDirectoryAtEnd = ~uint64_t{0};
inline constexpr uint32_t kZeroedGrain = 1;
// Grains of more than 32 MiB exist in no tool's output; larger ones would only size buffers.
inline constexpr uint32_t kMaxGrainSectors = 1u << 16;

bool is_valid_sparse_header(const SparseExtentHeader& h) noexcept;

struct SparseExtent {
  File file;
  SparseExtentHeader header{};
  uint32_t size = 0;        // sectors, from the descriptor
  uint32_t tables = 0;      // directory entries n
  std::vector<uint32_t> directory;
  std::vector<uint32_t> redundant;  // empty when the file keeps none
  std::vector<uint32_t> table;      // the cached grain table
  int64_t table_index = -1;
  DiskImage* parent = nullptr;      // the image's, not owned
  uint32_t first_sector = 0;        // on the virtual disk
  bool compressed = false;
  bool zeroed_entries = false;
  z_stream* stream = nullptr;       // the image's, shared
  std::vector<uint8_t> packed;      // compressed data of one grain
  std::vector<uint8_t> grain;       // the inflated grain cache
  int64_t grain_index = -1;         // within the cached table
  PathBuffer<4096> path;

  uint32_t grain_sectors() const noexcept { return header.grain_sectors(); }
  uint32_t sectors_per_table() const noexcept { return kTableEntries * grain_sectors(); }
};

struct FlatExtent {
  File file;
  uint64_t data_offset = 0;  // bytes
  uint32_t size = 0;
  uint32_t first_sector = 0;
  PathBuffer<4096> path;
};

ErrorCode open_sparse_extent(SparseExtent& e, std::string_view path, bool read_only, bool split_type,
                             DiskImage* parent, z_stream* stream, uint32_t first_sector,
                             uint32_t size);
ErrorCode read_sparse_extent(SparseExtent& e, uint64_t offset, std::span<uint8_t> out);
// What the extent holds from its sector `first` on (the layer question, in extent sectors); a run
// never crosses a grain, nor an absent table's span.
ErrorCode sparse_layer_status(SparseExtent& e, uint32_t first, uint32_t count, LayerRun& out);
// Makes table k the cached one.
ErrorCode load_table(SparseExtent& e, uint32_t k);

ErrorCode open_flat_extent(FlatExtent& e, std::string_view path, bool read_only, uint64_t offset,
                           uint32_t first_sector, uint32_t size);
ErrorCode read_flat_extent(FlatExtent& e, uint64_t offset, std::span<uint8_t> out);
ErrorCode flat_layer_status(FlatExtent& e, uint32_t first, uint32_t count, LayerRun& out);

}  // namespace qx
