// Partition tables, LVM2 labels and metadata text, and every file-system reader behind them: the
// input is a raw disk.
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  if (size < 512) return 0;
  const std::string path = fuzz::write_scratch("disk.raw", std::span(data, size));
  DiskImage image;
  const DiskGeometry g{static_cast<uint32_t>(size / 512), 16, 63, 512};
  if (open_flat(image, path, true, 0, g) == OK) fuzz::exercise_image(image);
  return 0;
}
