// Format detection as a mechanism: the tables it follows (which formats an extension names, the
// probing order, the openers that are not table rows) belong to the formats.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "image/disk_image.hpp"

namespace qx {

// Text after the last '.' of the path's last component; empty when there is none.
std::string_view path_extension(std::string_view path) noexcept;

// One attempt: a complete open of `id` (a table row, or an opener of the formats' own numbering).
using DetectionAttempt = ErrorCode (*)(DiskImage& image, std::string_view path, bool read_only,
                                       int32_t id);

struct ExtensionRule {
  std::initializer_list<std::string_view> extensions;
  std::initializer_list<int32_t> formats;
};

struct DetectionRules {
  std::span<const ExtensionRule> extension_rules;  // the first rule naming the extension is tried first
  std::span<const int32_t> probe_order;            // then every one of these
  DetectionAttempt attempt;                        // opens one entry of either
  int32_t folder_format;                           // the one format an image given as a folder has
};

// The formats' tables (formats/format_table.cpp).
const DetectionRules& detection_rules() noexcept;

// Room for the attempts of one detection: an extension rule's formats and the probing order.
inline constexpr size_t kMaxDetectionAttempts = 40;

// The attempts that detection makes for `path`, in order; returns how many were written.
size_t detection_order(std::string_view path, std::span<int32_t, kMaxDetectionAttempts> out) noexcept;

// open_image with the attempts made through `attempt`: the stop rules without the drivers. An
// attempt that answers OK or ERR_OPEN ends detection with that answer; one that answers
// ERR_KEY_REQUIRED ends it too, the handle then naming the format that wants a key.
ErrorCode detect_image(DiskImage& image, std::string_view path, bool read_only,
                       DetectionAttempt attempt);

}  // namespace qx
