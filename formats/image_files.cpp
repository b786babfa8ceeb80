#include "formats/image_files.hpp"

#include "formats/parallels/bundle.hpp"
#include "formats/vmdk/vmdk.hpp"

namespace qx {

ErrorCode list_image_files(std::string_view image, std::vector<std::string>& out) {
  return guard_no_memory([&] {
    if (parallels_bundle_files(image, out) == OK || vmdk_files(image, out) == OK) return OK;
    out.assign(1, std::string(image));
    return OK;
  });
}

}  // namespace qx
