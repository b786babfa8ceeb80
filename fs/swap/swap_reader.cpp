// Linux swap area reader: recognised by the signature at the end of its first page, whatever the
// partition type says, and answered from one bitmap of pages.
#include "fs/swap/swap_reader.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "fs/unit_allocation.hpp"
#include "image/byte_order.hpp"
#include "image/primitives.hpp"

namespace qx {
namespace {

// The version-1 header behind the 1024 bytes left to boot loaders and disk labels, in the byte
// order of the system that made it (only little-endian areas are read).
struct SwapHeader {
  uint8_t boot_bits[1024];
  le32_t version;
  le32_t last_page;
  le32_t bad_page_count;
  uint8_t uuid[16];
  uint8_t label[16];
  le32_t padding[117];
};
static_assert(sizeof(SwapHeader) == 1536);

constexpr std::array<uint32_t, 4> kPageSizes = {4096, 8192, 16384, 65536};
constexpr uint32_t kMaxPageSize = 65536;
constexpr size_t kSignatureSize = 10;
constexpr char kSignature[] = "SWAPSPACE2";
constexpr uint32_t kVersion = 1;

uint32_t max_bad_pages(uint32_t page_size) {
  return static_cast<uint32_t>((page_size - kSignatureSize - sizeof(SwapHeader)) / 4);
}

bool signature_at(std::span<const uint8_t> page, uint32_t page_size) {
  return page.size() >= page_size &&
         std::memcmp(page.data() + page_size - kSignatureSize, kSignature, kSignatureSize) == 0;
}

// The smallest page size whose signature is in place. Where a smaller page size's signature
// would stand there must be nothing but zeros or the bad-page list: anything else (a hibernation
// signature of a system with smaller pages, say) makes the area someone else's.
uint32_t find_page_size(std::span<const uint8_t> first, uint32_t volume_bytes_limit) {
  for (size_t k = 0; k < kPageSizes.size(); ++k) {
    const uint32_t size = kPageSizes[k];
    if (size > volume_bytes_limit || !signature_at(first, size)) continue;
    const uint32_t bad = le32(first.data() + offsetof(SwapHeader, bad_page_count));
    const size_t list_end = sizeof(SwapHeader) + size_t{std::min(bad, max_bad_pages(size))} * 4;
    for (size_t j = 0; j < k; ++j) {
      const size_t at = kPageSizes[j] - kSignatureSize;
      if (at < list_end) continue;
      if (!is_all_zero(first.subspan(at, kSignatureSize))) return 0;
    }
    return size;
  }
  return 0;
}

// The signatures Linux and its resumers leave in place of the swap signature of a 4 KiB page.
bool hibernated(std::span<const uint8_t> first) {
  if (first.size() < 4096) return false;
  const std::string_view tail(reinterpret_cast<const char*>(first.data()) + 4096 - kSignatureSize,
                              kSignatureSize);
  return tail.find("SUSPEND") != std::string_view::npos || tail == "LINHIB0001";
}

ErrorCode swap_probe(DiskImage& image, uint32_t first, uint32_t count,
                     std::unique_ptr<ReaderState>& out) {
  return guard_no_memory([&]() -> ErrorCode {
    const uint64_t volume_bytes = uint64_t{count} * kSectorSize;
    const uint32_t readable = static_cast<uint32_t>(std::min<uint64_t>(volume_bytes, kMaxPageSize));
    if (readable < kPageSizes[0]) return ERR_LAYOUT;
    std::vector<uint8_t> page(readable);
    if (ErrorCode e = read_bytes(image, uint64_t{first} * kSectorSize, page); e != OK) return e;
    const uint32_t page_size = find_page_size(page, readable);
    if (page_size == 0) {
      if (hibernated(page))
        keep_whole_because("hibernated", "swap: the area holds a hibernation image; resume or shut down the guest");
      return ERR_LAYOUT;
    }
    SwapHeader header;
    if (!read_struct(std::span<const uint8_t>(page), 0, header)) return ERR_LAYOUT;
    const uint32_t last_page = header.last_page;
    const uint32_t bad_pages = header.bad_page_count;
    if (header.version != kVersion || last_page == 0 || bad_pages > max_bad_pages(page_size))
      return ERR_LAYOUT;
    // The area must lie wholly inside its volume.
    if ((uint64_t{last_page} + 1) * page_size > volume_bytes) return ERR_LAYOUT;

    auto state = std::make_unique<AllocationState>();
    UnitAllocation& pages = state->allocation;
    pages.sectors_per_unit = page_size / kSectorSize;
    if (ErrorCode e = pages.reset(uint64_t{last_page} + 1, false); e != OK) return e;
    pages.set_units(0, 1, true);
    for (uint32_t i = 0; i < bad_pages; ++i) {
      const uint32_t bad = le32(page.data() + sizeof(SwapHeader) + size_t{i} * 4);
      if (bad == 0 || bad > last_page) return ERR_LAYOUT;
      // Nothing is ever written there, but keeping them costs little.
      pages.set_units(bad, 1, true);
    }
    out = std::move(state);
    return OK;
  });
}

}  // namespace

const FsReader kSwapReader = {"swap", swap_probe, mark_allocation};

}  // namespace qx
