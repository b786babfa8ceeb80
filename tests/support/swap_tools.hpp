// Linux swap areas made by mkswap for reader tests, and swaplabel as their reader afterwards.
#pragma once

#include <cstdint>
#include <string>

namespace qx::test {

bool have_swap_tools();

// A dirty file of `bytes` bytes whose first `area_bytes` (all when 0) mkswap turns into a swap
// area with pages of `page_size` bytes. False when mkswap fails.
bool make_swap_area(const std::string& path, uint64_t bytes, uint32_t page_size,
                    uint64_t area_bytes = 0);

// True when swaplabel still reads the area's header (and finds the label mkswap gave it).
bool swap_area_readable(const std::string& path);

}  // namespace qx::test
