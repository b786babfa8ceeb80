// Small arithmetic and buffer helpers used by every driver and reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "image/error.hpp"
#include "image/sizes.hpp"

namespace qx {

// True for an empty buffer too.
inline bool is_all_zero(std::span<const uint8_t> data) noexcept {
  size_t i = 0;
  for (; i + 8 <= data.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, data.data() + i, 8);
    if (w != 0) return false;
  }
  for (; i < data.size(); ++i)
    if (data[i] != 0) return false;
  return true;
}

// (a + b - 1) / b; the sum wraps for a near 2^32, as callers of the 32-bit form expect.
constexpr uint32_t ceil_div32(uint32_t a, uint32_t b) noexcept { return (a + b - 1) / b; }
constexpr int64_t ceil_div64(int64_t a, int64_t b) noexcept { return (a + b - 1) / b; }
// Overflow-free form for unsigned 64-bit quantities taken from disk.
constexpr uint64_t ceil_div_u64(uint64_t a, uint64_t b) noexcept { return a / b + (a % b != 0); }

// 0 counts as a power of two here; callers that must reject 0 test it themselves.
constexpr bool is_power_of_two(uint64_t v) noexcept { return (v & (v - 1)) == 0; }

// Walks a byte or sector range in pieces that never cross a block boundary:
//   for (BlockSplit s(B, pos, n); s.more(); s.next()) use(s.block, s.offset, s.piece);
template <typename T>
struct BasicBlockSplit {
  T block_size;
  T block;
  T offset;
  T piece;
  T remaining;

  BasicBlockSplit(T block_size_, T position, T length) noexcept
      : block_size(block_size_),
        block(position / block_size_),
        offset(position % block_size_),
        piece(std::min<T>(length, block_size_ - position % block_size_)),
        remaining(length) {}
  bool more() const noexcept { return remaining != 0; }
  void next() noexcept {
    ++block;
    remaining -= piece;
    offset = 0;
    piece = std::min<T>(remaining, block_size);
  }
};
using BlockSplit = BasicBlockSplit<uint32_t>;
using BlockSplit64 = BasicBlockSplit<uint64_t>;

// Reads [offset, offset + out.size()) of a disk made of blocks a piece at a time:
// `piece(block, byte within it, the part of out)`.
template <typename Piece>
ErrorCode read_by_blocks(uint64_t block_bytes, uint64_t offset, std::span<uint8_t> out, Piece&& piece) {
  size_t done = 0;
  for (BlockSplit64 sp(block_bytes, offset, out.size()); sp.more(); sp.next()) {
    if (ErrorCode rc = piece(sp.block, sp.offset, out.subspan(done, static_cast<size_t>(sp.piece))); rc != OK)
      return rc;
    done += static_cast<size_t>(sp.piece);
  }
  return OK;
}

}  // namespace qx
