#include "image/parent_chain.hpp"

namespace qx {

ErrorCode open_sized_parent(DiskImage& out, std::string_view path, uint32_t total_sectors,
                            int32_t id) {
  DiskImage parent;
  {
    ParentChain guard;
    const ErrorCode rc = id == FORMAT_NONE ? open_image(parent, path, true)
                                           : open_image_as(parent, path, true, id);
    if (rc != OK) return rc;
  }
  if (get_geometry(parent).total_sectors != total_sectors) {
    DiskImage window;
    if (ErrorCode rc = open_window(window, std::move(parent), total_sectors); rc != OK) return rc;
    parent = std::move(window);
  }
  out = std::move(parent);
  return OK;
}

}  // namespace qx
