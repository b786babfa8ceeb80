// Format detection: the drivers that usually own the extension first, then a fixed probing order.
#include <algorithm>
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

ErrorCode detect_in_order(DiskImage& image, std::string_view path, bool read_only,
                          std::span<const int32_t> order, DetectionAttempt try_open) {
  ErrorCode result = ERR_UNSUPPORTED;
  for (const int32_t id : order) {
    clear_file_failure();
    const ErrorCode rc = try_open(image, path, read_only, id);
    if (stops(image, id, rc, result)) return result;
    // A file that could not be read is no sign of another format: the next one might take it
    // for its own.
    if (const FileFailure f = last_file_failure(); f.call == FileCall::kRead && f.error != 0)
      return ERR_READ;
  }
  return ERR_UNSUPPORTED;
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
  return detect_in_order(image, path, read_only, std::span(order).first(n), try_open);
}

size_t named_format_order(std::string_view name, std::span<int32_t, kMaxDetectionAttempts> out) noexcept {
  const DetectionRules& rules = detection_rules();
  size_t n = 0;
  for (const FormatName& f : rules.names) {
    if (!ascii_iequal(f.name, name)) continue;
    for (const int32_t id : f.formats)
      if (n < out.size()) out[n++] = id;
    return n;
  }
  // Rows that share a driver share its name: the first row stands for them.
  for (int32_t id = 0; id < rules.table_size; ++id)
    if (const FormatDriver* d = format_driver(id); d && d->name && ascii_iequal(d->name, name)) {
      out[0] = id;
      return 1;
    }
  return 0;
}

namespace {

// Refused while the journal of a swap of its files is there: they may be of two generations.
bool swap_cut_off(std::string_view path) noexcept {
  // A parent's refusal stays with the child that opened it.
  if (ParentChain::depth == 0) clear_refusal();
  if (!cut_off_swap_pending(path)) return false;
  note_refusal("unfinished_swap",
               "a run of quorvex was cut off in the middle of the swap of this image's files, "
               "which may be of two generations until a run of quorvex over the image finishes it");
  return true;
}

}  // namespace

ErrorCode open_image(DiskImage& image, std::string_view path, bool read_only) {
  if (swap_cut_off(path)) return ERR_UNSUPPORTED;
  const DetectionRules& rules = detection_rules();
  // Only one format is a folder; any other driver's read of one would count as a failed read.
  if (is_directory(path)) return open_image_as(image, path, read_only, rules.folder_format);
  return detect_image(image, path, read_only, rules.attempt);
}

ErrorCode open_image_named(DiskImage& image, std::string_view path, bool read_only, std::string_view format) {
  if (swap_cut_off(path)) return ERR_UNSUPPORTED;
  std::array<int32_t, kMaxDetectionAttempts> order;
  const size_t n = named_format_order(format, order);
  const DetectionRules& rules = detection_rules();
  if (is_directory(path)) {
    if (std::find(order.begin(), order.begin() + n, rules.folder_format) == order.begin() + n)
      return ERR_UNSUPPORTED;
    return open_image_as(image, path, read_only, rules.folder_format);
  }
  return detect_in_order(image, path, read_only, std::span(order).first(n), rules.attempt);
}

}  // namespace qx
