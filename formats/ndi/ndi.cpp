// Flat image through a ".ndi" description (id -1): a sibling text file of six tokens,
// "NDI offset total-sectors heads sectors-per-track bytes-per-sector".
#include <array>

#include "formats/ndi/ndi.hpp"

#include "image/disk_image.hpp"
#include "image/file.hpp"
#include "text/encoding.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"
#include "text/text_ops.hpp"

namespace qx {
namespace {

constexpr uint64_t kMaxDescriptionBytes = 256;
constexpr size_t kTokenCount = 6;
constexpr TextEncoding kUtf8 = TextEncoding::Utf8;

// The image path with its extension replaced by "ndi" (appended when there is none).
bool description_path(std::string_view image_path, PathString& out) noexcept {
  TextView dir, stem, ext;
  split_host_path(image_path, dir, stem, ext);
  return out.assign(dir, stem) && out.append(".ndi");
}

// Splits the text into exactly six tokens. Line breaks separate tokens like blanks, so that a
// description that ends with a newline (as editors write it) still reads.
bool six_tokens(TextView text, std::array<TextView, kTokenCount>& tokens) noexcept {
  size_t n = 0;
  for (bool more = true; more;) {
    TextView line;
    more = split_line(text, kUtf8, line, text);
    for (;;) {
      TextView token, rest;
      bool none = false;
      if (!next_token(line, kUtf8, token, rest, none)) return false;
      if (none) break;
      if (n == kTokenCount) return false;
      tokens[n++] = token;
      line = rest;
    }
  }
  return n == kTokenCount;
}

}  // namespace

ErrorCode open_ndi_image(DiskImage& image, std::string_view path, bool read_only) {
  PathBuffer<> name;
  if (!description_path(path, name)) return ERR_UNSUPPORTED;
  File file = File::open_existing(name.view(), true);
  if (!file) return ERR_UNSUPPORTED;
  uint64_t length = 0;
  if (!file.length(length)) return ERR_FILE_SIZE;
  if (length > kMaxDescriptionBytes) return ERR_BAD_FORMAT;
  std::array<uint8_t, kMaxDescriptionBytes> bytes;
  if (!file.read_at(0, std::span(bytes).first(static_cast<size_t>(length)))) return ERR_READ;
  (void)file.close();

  TextView text;
  if (!stored_text(TextView(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(length)),
                   kUtf8, text))
    return ERR_BAD_FORMAT;
  std::array<TextView, kTokenCount> tokens;
  if (!six_tokens(text, tokens) || tokens[0].substr(0, 3) != "NDI") return ERR_BAD_FORMAT;
  uint32_t offset = 0;
  DiskGeometry geometry;
  if (!parse_decimal(tokens[1], kUtf8, offset) ||
      !parse_decimal(tokens[2], kUtf8, geometry.total_sectors) ||
      !parse_decimal(tokens[3], kUtf8, geometry.heads) ||
      !parse_decimal(tokens[4], kUtf8, geometry.sectors_per_track) ||
      !parse_decimal(tokens[5], kUtf8, geometry.bytes_per_sector))
    return ERR_BAD_FORMAT;
  return open_flat(image, path, read_only, offset, geometry);
}

}  // namespace qx
