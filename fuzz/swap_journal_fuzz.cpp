// The journal a swap of several files leaves beside the image, read back by the next run.
#include "image/replacement.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  SwapJournal journal;
  if (!parse_swap_journal(std::span<const uint8_t>(data, size), journal)) return 0;
  // What recovery builds its names from.
  for (const SwapJournalEntry& e : journal.entries) {
    PathBuffer<4096> name;
    (void)name.assign(e.target, journal.suffix);
  }
  return 0;
}
