// The "NVT " differencing file is not readable yet: its attempt simply fails.
#include "image/detect.hpp"

namespace qx {

ErrorCode open_nvt_image(DiskImage&, std::string_view, bool) { return ERR_UNSUPPORTED; }

}  // namespace qx
