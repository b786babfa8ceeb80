// Format detection: the drivers that usually own the extension first, then a fixed probing order.
#include <array>

#include "image/detect.hpp"
#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "image/parent_chain.hpp"
#include "image/replacement.hpp"
#include "text/paths.hpp"

namespace qx {
namespace {

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

// True when the attempt's result ends detection; `result` then holds what to return.
bool stops(DiskImage& image, int32_t id, ErrorCode rc, ErrorCode& result) noexcept {
  if (rc == OK || rc == ERR_OPEN) {
    result = rc;
    return true;
  }
  if (rc == ERR_KEY_REQUIRED) {
    image.format = id;
    result = rc;
    return true;
  }
  return false;
}

}  // namespace

std::string_view path_extension(std::string_view path) noexcept {
  TextView dir, stem, ext;
  split_host_path(path, dir, stem, ext);
  return ext;
}

size_t detection_order(std::string_view path,
                       std::span<int32_t, kMaxDetectionAttempts> out) noexcept {
  const DetectionRules& rules = detection_rules();
  const std::string_view ext = path_extension(path);
  size_t n = 0;
  for (const ExtensionRule& rule : rules.extension_rules) {
    bool match = false;
    for (std::string_view e : rule.extensions) match = match || ascii_iequal(ext, e);
    if (!match) continue;
    for (int32_t id : rule.formats)
      if (n < out.size()) out[n++] = id;
    break;
  }
  for (int32_t id : rules.probe_order)
    if (n < out.size()) out[n++] = id;
  return n;
}

ErrorCode detect_image(DiskImage& image, std::string_view path, bool read_only,
                       DetectionAttempt try_open) {
  std::array<int32_t, kMaxDetectionAttempts> order;
  const size_t n = detection_order(path, order);
  ErrorCode result = ERR_UNSUPPORTED;
  for (size_t i = 0; i < n; ++i) {
    clear_file_failure();
    const ErrorCode rc = try_open(image, path, read_only, order[i]);
    if (stops(image, order[i], rc, result)) return result;
    // A file that could not be read is no sign of another format: the next one might take it
    // for its own.
    if (const FileFailure f = last_file_failure(); f.call == FileCall::kRead && f.error != 0)
      return ERR_READ;
  }
  return ERR_UNSUPPORTED;
}

ErrorCode open_image(DiskImage& image, std::string_view path, bool read_only) {
  // A parent's refusal stays with the child that opened it.
  if (ParentChain::depth == 0) clear_refusal();
  if (cut_off_swap_pending(path)) {
    note_refusal("unfinished_swap",
                 "a run of quorvex was cut off in the middle of the swap of this image's files, "
                 "which may be of two generations until a run of quorvex over the image finishes it");
    return ERR_UNSUPPORTED;
  }
  const DetectionRules& rules = detection_rules();
  // Only one format is a folder; any other driver's read of one would count as a failed read.
  if (is_directory(path)) return open_image_as(image, path, read_only, rules.folder_format);
  return detect_image(image, path, read_only, rules.attempt);
}

}  // namespace qx
