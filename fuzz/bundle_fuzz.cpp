// The Parallels bundle: the first two bytes (little-endian) give the length of the descriptor
// that follows; the rest is the image file "a.hds" beside it in the bundle's folder.
#include <sys/stat.h>

#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  if (size < 2) return 0;
  const size_t length = std::min<size_t>(size - 2, data[0] | size_t{data[1]} << 8);
  const std::string folder = fuzz::scratch_dir() + "/bundle.hdd";
  ::mkdir(folder.c_str(), 0700);
  (void)fuzz::write_scratch("bundle.hdd/DiskDescriptor.xml", std::span(data + 2, length));
  (void)fuzz::write_scratch("bundle.hdd/a.hds", std::span(data + 2 + length, size - 2 - length));
  DiskImage image;
  if (open_image_as(image, folder, true, FORMAT_PARALLELS_BUNDLE) == OK) fuzz::exercise_image(image);
  return 0;
}
