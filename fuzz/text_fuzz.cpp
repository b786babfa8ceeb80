// The small text parsers that describe raw disks: the ".ndi" description beside a raw file, and
// the split raw image's description text. The first byte picks which.
#include "fuzz/fuzz_support.hpp"
#include "formats/ndi/ndi.hpp"
#include "formats/split_raw/split_raw.hpp"
#include "image/detect.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  if (size == 0) return 0;
  const std::span<const uint8_t> text(data + 1, size - 1);
  DiskImage image;
  ErrorCode rc = ERR_UNSUPPORTED;
  if (data[0] & 1) {
    static const uint8_t kDisk[4096] = {};
    const std::string raw = fuzz::write_scratch("disk.raw", kDisk);
    (void)fuzz::write_scratch("disk.ndi", text);
    rc = open_ndi_image(image, raw, true);
  } else {
    rc = open_split_raw_description(image, fuzz::write_scratch("disk.txt", text), true);
  }
  if (rc == OK) fuzz::exercise_image(image);
  return 0;
}
