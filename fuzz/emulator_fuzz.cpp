// The emulator drivers opened directly, so that every input reaches their header and
// table checks: the first byte picks the driver, the rest is the file. Chained images get the
// same bytes as their parent generation; NVT files find a small flat parent beside them.
#include <array>
#include <vector>

#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"
#include "formats/nvt/nvt.hpp"
#include "image/detect.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  struct Target {
    int32_t format;
    const char* name;
  };
  static constexpr std::array<Target, 9> kTargets = {{{FORMAT_BOCHS, "image.bochs"},
                                                      {FORMAT_CHAINED, "image.im2"},
                                                      {FORMAT_CHD, "image.chd"},
                                                      {FORMAT_HDI, "image.hdi"},
                                                      {FORMAT_THD, "image.thd"},
                                                      {FORMAT_NHD, "image.nhd"},
                                                      {FORMAT_HDD, "image.hdd"},
                                                      {FORMAT_H0, "image.h0"},
                                                      {FORMAT_NVT, "image.nvt"}}};
  if (size == 0) return 0;
  static const std::string parent = fuzz::write_scratch("parent.raw", std::vector<uint8_t>(1 << 20, 0x5A));
  (void)parent;
  const Target& t = kTargets[data[0] % kTargets.size()];
  const std::span<const uint8_t> file(data + 1, size - 1);
  const std::string path = fuzz::write_scratch(t.name, file);
  if (t.format == FORMAT_CHAINED) (void)fuzz::write_scratch("image.im1", file);
  DiskImage image;
  const ErrorCode rc = t.format == FORMAT_NVT ? open_nvt_image(image, path, true)
                                              : open_image_as(image, path, true, t.format);
  if (rc == OK) fuzz::exercise_image(image);
  return 0;
}
