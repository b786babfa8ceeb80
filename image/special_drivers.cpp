// The drivers of the negative ids: flat, window and split raw live in the image layer itself, the
// others with the numbered formats.
#include "image/special_drivers.hpp"

namespace qx {

const FormatDriver* special_driver(int32_t id) noexcept {
  switch (id) {
    case FORMAT_FLAT: return &kFlatDriver;
    case FORMAT_WINDOW: return &kWindowDriver;
    case FORMAT_SPLIT_RAW: return &kSplitRawDriver;
    default: return format_special_driver(id);
  }
}

}  // namespace qx
