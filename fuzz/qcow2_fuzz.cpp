// The QCOW2 driver alone, open to trim: the input is the file. The trim writes its copy into the
// scratch folder and the copy is thrown away, as after a failed run; then the file itself is
// trimmed in place.
#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  const std::string path = fuzz::write_scratch("image.qcow2", std::span(data, size));
  DiskImage image;
  if (open_image_as(image, path, true, FORMAT_QCOW2) != OK) return 0;
  fuzz::exercise_image(image);
  fuzz::trim_and_discard(image, path);
  fuzz::trim_in_place(image, path);
  return 0;
}
