// The read-only drivers opened by id, including the strict VHD layouts that detection never tries:
// the first byte picks the driver, the rest is the file.
#include <array>

#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  static constexpr std::array<int32_t, 9> kFormats = {
      FORMAT_QCOW,         FORMAT_VHD_FIXED, FORMAT_COWD3,         FORMAT_COWD3_REDO, FORMAT_COWD1,
      FORMAT_COWD1_REDO,   FORMAT_VHD_CXSPARSE, FORMAT_VHD_511, FORMAT_VHD_CXSPARSE2};
  if (size == 0) return 0;
  const std::string path = fuzz::write_scratch("image.img", std::span(data + 1, size - 1));
  DiskImage image;
  if (open_image_as(image, path, true, kFormats[data[0] % kFormats.size()]) == OK) fuzz::exercise_image(image);
  return 0;
}
