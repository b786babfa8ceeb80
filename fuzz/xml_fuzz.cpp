// The XML reader over any bytes, and the lookups the bundle makes on what it builds.
#include "text/xml.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qx;
  const auto doc = xml_parse(TextView(reinterpret_cast<const char*>(data), size));
  if (!doc) return 0;
  TextView t;
  for (const auto& c : doc->children) {
    (void)xml_text(*c, t);
    for (const auto& g : c->children) (void)xml_child_text(*g, "Start", t);
  }
  (void)xml_grandchild_text(*doc, "Parallels_disk_image", "Disk_Parameters", t);
  return 0;
}
