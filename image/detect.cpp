// Format detection: the drivers that usually own the extension first, then a fixed probing order.
#include <array>
#include <initializer_list>

#include "image/detect.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"

namespace qx {
namespace {

struct ExtensionRule {
  std::initializer_list<std::string_view> extensions;
  std::initializer_list<int32_t> formats;
};

const ExtensionRule kExtensionRules[] = {
    {{"vmdk"}, {0, 5, 6}},
    {{"dsk"}, {7, 8}},
    {{"vhdx"}, {9}},
    {{"vhd"}, {10, 11}},
    {{"qcow"}, {19}},
    {{"qcow2"}, {28}},
    {{"hdd"}, {15, 16, 25}},
    {{"vdi"}, {20}},
    {{"chd"}, {21}},
    {{"hdi"}, {22}},
    {{"thd"}, {23}},
    {{"nhd"}, {24}},
    {{"h0", "h1", "h2", "h3", "h4"}, {27}},
};

constexpr std::array<int32_t, 25> kProbeOrder = {
    0, 9, 10, 11, 15, 16, 17, 18, 28, 19, 20, 21, kAttemptNdi, 5, 6, 7, 8, 22, 23, 24, 25, 26,
    FORMAT_NVT, kAttemptSplitRawText, kAttemptSplitRawPart};

bool ascii_iequal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

ErrorCode attempt(DiskImage& image, std::string_view path, bool read_only, int32_t id) {
  switch (id) {
    case kAttemptNdi: return open_ndi_image(image, path, read_only);
    case kAttemptSplitRawText: return open_split_raw_description(image, path, read_only);
    case kAttemptSplitRawPart: return open_split_raw_part(image, path, read_only);
    case FORMAT_NVT: return open_nvt_image(image, path, read_only);
    default: return open_image_as(image, path, read_only, id);
  }
}

// True when the attempt's result ends detection; `result` then holds what to return.
bool stops(DiskImage& image, int32_t id, ErrorCode rc, ErrorCode& result) noexcept {
  if (rc == OK || rc == ERR_OPEN) {
    result = rc;
    return true;
  }
  if (rc == ERR_KEY_REQUIRED) {
    image.format = static_cast<FormatId>(id);
    result = rc;
    return true;
  }
  return false;
}

}  // namespace

std::string_view path_extension(std::string_view path) noexcept {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view(name.data() + name.size(), 0)
                                       : name.substr(dot + 1);
}

size_t detection_order(std::string_view path,
                       std::span<int32_t, kMaxDetectionAttempts> out) noexcept {
  const std::string_view ext = path_extension(path);
  size_t n = 0;
  for (const ExtensionRule& rule : kExtensionRules) {
    bool match = false;
    for (std::string_view e : rule.extensions) match = match || ascii_iequal(ext, e);
    if (!match) continue;
    for (int32_t id : rule.formats) out[n++] = id;
    break;
  }
  for (int32_t id : kProbeOrder) out[n++] = id;
  return n;
}

ErrorCode detect_image(DiskImage& image, std::string_view path, bool read_only,
                       DetectionAttempt try_open) {
  std::array<int32_t, kMaxDetectionAttempts> order;
  const size_t n = detection_order(path, order);
  ErrorCode result = ERR_UNSUPPORTED;
  for (size_t i = 0; i < n; ++i)
    if (stops(image, order[i], try_open(image, path, read_only, order[i]), result)) return result;
  return ERR_UNSUPPORTED;
}

ErrorCode open_image(DiskImage& image, std::string_view path, bool read_only) {
  // A parent's refusal stays with the child that opened it.
  if (ParentChain::depth == 0) clear_refusal();
  // Only a bundle is a folder; any other driver's read of one would count as a failed read.
  if (is_directory(path)) return open_image_as(image, path, read_only, FORMAT_PARALLELS_BUNDLE);
  return detect_image(image, path, read_only, attempt);
}

}  // namespace qx
