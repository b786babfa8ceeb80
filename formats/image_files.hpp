// The files that make up an image, as its format names them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/error.hpp"

namespace qx {

// The paths of an image's own files, read from its descriptor alone, so that the list holds while
// a swap of those files is cut off halfway: a split VMDK's descriptor and extents, a Parallels
// bundle's storage images (the bundle given as its folder or its DiskDescriptor.xml), and for any
// other image (or one whose descriptor cannot be read) the image itself. ERR_NO_MEMORY at worst.
ErrorCode list_image_files(std::string_view image, std::vector<std::string>& out);

}  // namespace qx
