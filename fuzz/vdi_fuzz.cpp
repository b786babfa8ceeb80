// The VDI driver alone, open to trim: the input is the file. The trim writes its copy into the
// scratch folder and the copy is thrown away, as after a failed run.
#include "image/replacement.hpp"
#include "formats/format_ids.hpp"
#include "fuzz/fuzz_support.hpp"
#include "volume/usage_map.hpp"

namespace {

bool keep_going(uint32_t, uint32_t, void*) { return true; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  const std::string path = fuzz::write_scratch("image.vdi", std::span(data, size));
  DiskImage image;
  if (open_image_as(image, path, true, FORMAT_VDI) != OK) return 0;
  fuzz::exercise_image(image);
  ErrorCode error = OK;
  uint32_t recognised = 0;
  auto map = build_usage_map(image, error, recognised);
  if (!map) return 0;
  WriterRecord record;
  (void)trim_image(image, path, *map, record, keep_going, nullptr);
  (void)discard_writer_record(record);
  return 0;
}
