// The drivers of the negative ids, which live in the image layer itself.
#include "image/special_drivers.hpp"

namespace qx {

const FormatDriver* special_driver(int32_t id) noexcept {
  switch (id) {
    case FORMAT_FLAT: return &kFlatDriver;
    case FORMAT_WINDOW: return &kWindowDriver;
    case FORMAT_SPLIT_RAW: return &kSplitRawDriver;
    default: return nullptr;
  }
}

}  // namespace qx
