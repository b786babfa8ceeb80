// Openers whose formats are not readable yet: each attempt simply fails.
#include "image/detect.hpp"

namespace qx {

ErrorCode open_ndi_image(DiskImage&, std::string_view, bool) { return ERR_UNSUPPORTED; }
ErrorCode open_split_raw_description(DiskImage&, std::string_view, bool) { return ERR_UNSUPPORTED; }
ErrorCode open_split_raw_part(DiskImage&, std::string_view, bool) { return ERR_UNSUPPORTED; }
ErrorCode open_nvt_image(DiskImage&, std::string_view, bool) { return ERR_UNSUPPORTED; }

}  // namespace qx
