// One file-system reader's probe and mark, straight on a volume: the first byte picks the kind,
// the rest is the volume.
#include <vector>

#include "fs/reader.hpp"
#include "fuzz/fuzz_support.hpp"
#include "image/sector_bitmap.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  if (size < 513) return 0;
  const int32_t kind = data[0] % kReaderKindCount;
  const std::string path = fuzz::write_scratch("volume.raw", std::span(data + 1, size - 1));
  const uint32_t sectors = static_cast<uint32_t>((size - 1) / 512);
  DiskImage image;
  if (open_flat(image, path, true, 0, DiskGeometry{sectors, 16, 63, 512}) != OK) return 0;
  const FsReader& reader = fs_reader(kind);
  std::unique_ptr<ReaderState> state;
  if (reader.probe(image, 0, sectors, state) != OK || !state) return 0;
  std::vector<uint8_t> bits(bitmap_bytes(sectors));
  (void)reader.mark(*state, 0, sectors, bits, 0);
  if (sectors > 3) (void)reader.mark(*state, 1, sectors - 3, bits, 2);
  return 0;
}
