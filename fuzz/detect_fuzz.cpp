// Format detection over every driver: the first byte picks the file's extension (detection
// tries the drivers that own it first), the rest is the file.
#include <array>
#include <string_view>

#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  static constexpr std::array<std::string_view, 16> kExtensions = {
      "img", "vhd", "vhdx", "vmdk", "vdi", "hdd", "qcow", "chd",
      "hdi", "thd", "nhd", "h0",   "dsk", "xml", "bin", "im2"};
  if (size == 0) return 0;
  const std::string name = "image." + std::string(kExtensions[data[0] % kExtensions.size()]);
  const std::string path = fuzz::write_scratch(name, std::span(data + 1, size - 1));
  DiskImage image;
  if (open_image(image, path, true) == OK) fuzz::exercise_image(image);
  return 0;
}
