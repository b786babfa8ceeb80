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

// A name the user may give a format by (-f), and the attempts that open an image of it.
struct FormatName {
  std::string_view name;
  std::initializer_list<int32_t> formats;
};

struct DetectionRules {
  std::span<const ExtensionRule> extension_rules;  // the first rule naming the extension is tried first
  std::span<const int32_t> probe_order;            // then every one of these
  DetectionAttempt attempt;                        // opens one entry of any of these lists
  int32_t folder_format;                           // the one format an image given as a folder has
  // Names beyond the drivers' own (qemu-img's, such as "vpc"); they come before a driver's name.
  std::span<const FormatName> names;
  int32_t table_size;  // rows of the driver table, whose names are names too
};

// The formats' tables (formats/format_table.cpp).
const DetectionRules& detection_rules() noexcept;

// Room for the attempts of one detection: an extension rule's formats and the probing order.
inline constexpr size_t kMaxDetectionAttempts = 40;

// The attempts that detection makes for `path`, in order; returns how many were written.
size_t detection_order(std::string_view path, std::span<int32_t, kMaxDetectionAttempts> out) noexcept;

// The attempts that open an image of the format named `name` (qemu-img's names, such as "vpc" or
// "qcow2", and the names of the driver table's rows, such as "vhd-fixed", ASCII case aside) in
// order; 0 for a name no format has.
size_t named_format_order(std::string_view name, std::span<int32_t, kMaxDetectionAttempts> out) noexcept;

// open_image without probing: only the named format's attempts are made. ERR_UNSUPPORTED when none
// opens the image (or the name is no format's).
ErrorCode open_image_named(DiskImage& image, std::string_view path, bool read_only, std::string_view format);

// open_image with the attempts made through `attempt`: the stop rules without the drivers. An
// attempt that answers OK or ERR_OPEN ends detection with that answer; one that answers
// ERR_KEY_REQUIRED ends it too, the handle then naming the format that wants a key.
ErrorCode detect_image(DiskImage& image, std::string_view path, bool read_only,
                       DetectionAttempt attempt);

}  // namespace qx
