// Split raw image (id -3): a disk cut into part files, each behind a 104-byte header, named either
// by a description text ("file" and "max_size" lines) or after the first part's stem (".p00"...).
#include "formats/split_raw/split_raw.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "image/byte_order.hpp"
#include "formats/format_ids.hpp"
#include "image/file.hpp"
#include "image/primitives.hpp"
#include "text/encoding.hpp"
#include "text/format.hpp"
#include "text/path_string.hpp"
#include "text/paths.hpp"
#include "text/text_ops.hpp"

namespace qx {
namespace {

// The header at the start of every part file, little-endian.
struct PartHeader {
  le16_t signature;  // 0xAA55
  le16_t version;    // 2
  le32_t crc;        // zlib crc32 of the header with this field zero
  le64_t data_offset;  // disk byte offset where this part's data begin
  le64_t data_length;  // disk bytes held by this part
  le32_t part_number;
  le32_t flags;
  le64_t link;           // this part's link value
  le64_t previous_link;  // the link value of the part before (0 for the first)
  le32_t total_sectors;
  le32_t heads;
  le32_t sectors_per_track;
  le32_t bytes_per_sector;
  uint8_t reserved[38];
  le16_t end_signature;  // 0xAA55
};
static_assert(sizeof(PartHeader) == 104);

constexpr uint16_t kSignature = 0xAA55;
constexpr uint16_t kVersion = 2;
constexpr uint32_t kFlagLast = 1;
constexpr uint32_t kFlagCompressed = 2;
constexpr uint32_t kKnownFlags = kFlagLast | kFlagCompressed;
constexpr uint64_t kMaxDescriptionBytes = 655360;
constexpr uint32_t kMaxParts = 65536;
constexpr TextEncoding kUtf8 = TextEncoding::Utf8;

enum class Naming : uint8_t { Description, Stem };

struct Part {
  uint64_t data_offset = 0;
  uint64_t data_length = 0;
  uint32_t name_offset = 0;  // of the stored name in the description text
  uint32_t name_length = 0;
  bool bare_name = false;  // the stored name failed; its bare file name in the directory serves
};

struct SplitRawState : DriverState {
  Naming naming = Naming::Description;
  std::string source;       // the path given to the opener
  std::string description;  // the description text (names are views into it)
  std::vector<Part> parts;
  DiskGeometry geometry;
  File file;  // the part currently open
  uint32_t open_part = UINT32_MAX;
  bool closed_part_failed = false;  // a read of a part no longer open failed

  bool read_failed() const noexcept override { return closed_part_failed || file.read_failed(); }
};

SplitRawState& split(DriverState& s) { return static_cast<SplitRawState&>(s); }

// ---- Part names.

// Description mode: the stored name resolved against the description's directory, or its bare
// file name in that directory.
bool described_part_name(std::string_view description_path, TextView stored, bool bare,
                         PathString& out) noexcept {
  if (!bare) {
    PathBuffer<> work;
    return resolve_stored_name(stored, kUtf8, description_path, kUtf8, work, out, kUtf8,
                               PathStyle::Unix);
  }
  TextView dir, file, stored_dir, stored_file;
  split_host_dir(description_path, dir, file);
  split_host_dir(stored, stored_dir, stored_file);
  return !stored_file.empty() && out.assign(dir, stored_file);
}

// Stem mode: directory + stem + ".p00" (".p100" from part 100 on).
bool stem_part_name(std::string_view first_part_path, uint32_t number, PathString& out) noexcept {
  TextView dir, stem, ext;
  split_host_path(first_part_path, dir, stem, ext);
  out.clear();
  const TextView format = number < 100 ? "%t%t.p%02u" : "%t%t.p%u";
  return append_formatted(out, kUtf8, format, kUtf8,
                          {FormatArg(dir, kUtf8), FormatArg(stem, kUtf8), FormatArg(number)});
}

bool part_name(const SplitRawState& st, uint32_t index, PathString& out) noexcept {
  if (st.naming == Naming::Stem) {
    // A chain opened from its first part keeps that file's own name for it.
    if (index == 0) return out.assign(st.source);
    return stem_part_name(st.source, index, out);
  }
  const Part& p = st.parts[index];
  return described_part_name(st.source, TextView(st.description).substr(p.name_offset, p.name_length),
                             p.bare_name, out);
}

// ---- Headers.

bool header_crc_matches(const std::array<uint8_t, sizeof(PartHeader)>& raw) noexcept {
  std::array<uint8_t, sizeof(PartHeader)> copy = raw;
  std::fill(copy.begin() + 4, copy.begin() + 8, uint8_t{0});
  return static_cast<uint32_t>(::crc32(0, copy.data(), static_cast<uInt>(copy.size()))) == le32(raw.data() + 4);
}

// Reads and checks a part's header; `data_bytes` receives what follows it in the file.
ErrorCode read_part_header(File& file, PartHeader& h, std::array<uint8_t, sizeof(PartHeader)>& raw,
                           uint64_t& data_bytes) {
  uint64_t length = 0;
  if (!file.length(length)) return ERR_FILE_SIZE;
  if (length < sizeof(PartHeader)) return ERR_BAD_FORMAT;
  if (!file.read_at(0, raw)) return ERR_READ;
  if (!read_struct(std::span<const uint8_t>(raw), 0, h)) return ERR_BAD_FORMAT;
  if (h.signature.get() != kSignature || h.end_signature.get() != kSignature ||
      h.version.get() != kVersion || !header_crc_matches(raw) || (h.flags.get() & ~kKnownFlags))
    return ERR_BAD_FORMAT;
  // Compressed parts are not read.
  if (h.flags.get() & kFlagCompressed) return ERR_UNSUPPORTED;
  data_bytes = length - sizeof(PartHeader);
  return OK;
}

// Checks part `index` against the chain so far and records where its data lie.
ErrorCode chain_part(SplitRawState& st, uint32_t index, const PartHeader& h, uint64_t data_bytes,
                     uint64_t& link, uint64_t& running) {
  if (h.part_number.get() != index || h.data_offset.get() != running ||
      h.data_length.get() != data_bytes || (index == 0 ? h.previous_link.get() != 0
                                                       : h.previous_link.get() != link))
    return ERR_BAD_FORMAT;
  const DiskGeometry g{h.total_sectors.get(), h.heads.get(), h.sectors_per_track.get(),
                       h.bytes_per_sector.get()};
  if (index == 0) {
    if (!g.total_sectors || !g.heads || !g.sectors_per_track || g.bytes_per_sector != kSectorSize)
      return ERR_BAD_FORMAT;
    st.geometry = g;
  } else if (g.total_sectors != st.geometry.total_sectors || g.heads != st.geometry.heads ||
             g.sectors_per_track != st.geometry.sectors_per_track ||
             g.bytes_per_sector != st.geometry.bytes_per_sector) {
    return ERR_BAD_FORMAT;
  }
  if (running + data_bytes > st.geometry.size_bytes()) return ERR_BAD_FORMAT;
  st.parts[index].data_offset = running;
  st.parts[index].data_length = data_bytes;
  running += data_bytes;
  link = h.link.get();
  return OK;
}

// Opens every part in turn and checks that together they hold exactly the disk.
ErrorCode check_parts(SplitRawState& st, uint32_t described_count) {
  uint64_t link = 0, running = 0;
  bool ended = false;
  for (uint32_t i = 0; i < kMaxParts && !ended; ++i) {
    if (st.naming == Naming::Stem) st.parts.emplace_back();
    PathBuffer<> name;
    File file;
    if (part_name(st, i, name)) file = File::open_existing(name.view(), true);
    if (!file && st.naming == Naming::Description && !st.parts[i].bare_name) {
      st.parts[i].bare_name = true;
      if (part_name(st, i, name)) file = File::open_existing(name.view(), true);
    }
    if (!file) return ERR_BAD_FORMAT;
    PartHeader h;
    std::array<uint8_t, sizeof(PartHeader)> raw;
    uint64_t data_bytes = 0;
    if (ErrorCode rc = read_part_header(file, h, raw, data_bytes); rc != OK) return rc;
    if (ErrorCode rc = chain_part(st, i, h, data_bytes, link, running); rc != OK) return rc;
    const bool last = h.flags.get() & kFlagLast;
    const bool described_last = st.naming == Naming::Description && i + 1 == described_count;
    if (st.naming == Naming::Description && last != described_last) return ERR_BAD_FORMAT;
    ended = last;
  }
  if (!ended || running != st.geometry.size_bytes()) return ERR_BAD_FORMAT;
  return OK;
}

// ---- Description text.

// The key and value of a "key = value" line without its ";" comment; false for another line.
bool key_value(TextView line, TextView& key, TextView& value) noexcept {
  bool quoted = false;
  size_t end = line.size();
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    else if (line[i] == ';' && !quoted) {
      end = i;
      break;
    }
  }
  line = trim_blanks(line.substr(0, end), kUtf8);
  if (line.empty()) {
    key = value = TextView();
    return true;
  }
  const size_t eq = line.find('=');
  if (eq == TextView::npos) return false;
  key = trim_blanks(line.substr(0, eq), kUtf8);
  value = trim_blanks(line.substr(eq + 1), kUtf8);
  if (key.empty()) return false;
  if (!value.empty() && value.front() == '"') {
    if (value.size() < 2 || value.back() != '"') return false;
    value = value.substr(1, value.size() - 2);
  }
  return true;
}

bool leading_digits(TextView value, uint64_t& out) noexcept {
  size_t n = 0;
  while (n < value.size() && value[n] >= '0' && value[n] <= '9') ++n;
  return n > 0 && parse_decimal(value.substr(0, n), kUtf8, out);
}

ErrorCode parse_description(SplitRawState& st, uint32_t& file_count) {
  const TextView text(st.description);
  uint32_t sizes = 0;
  file_count = 0;
  for (TextView rest = text; !rest.empty();) {
    TextView line;
    (void)split_line(rest, kUtf8, line, rest);
    TextView key, value;
    if (!key_value(line, key, value)) return ERR_BAD_FORMAT;
    if (key == "file") {
      if (value.empty() || ++file_count > kMaxParts) return ERR_BAD_FORMAT;
      Part p;
      p.name_offset = static_cast<uint32_t>(value.data() - text.data());
      p.name_length = static_cast<uint32_t>(value.size());
      st.parts.push_back(p);
    } else if (key == "max_size") {
      uint64_t size = 0;
      if (!leading_digits(value, size) || ++sizes > kMaxParts) return ERR_BAD_FORMAT;
    }
  }
  if (file_count == 0 || file_count != sizes) return ERR_BAD_FORMAT;
  return OK;
}

// ---- Driver operations.

DiskGeometry split_geometry(const DriverState& s) {
  return static_cast<const SplitRawState&>(s).geometry;
}

// The part that holds disk byte `offset`.
uint32_t part_at(const SplitRawState& st, uint64_t offset) noexcept {
  const auto it = std::upper_bound(st.parts.begin(), st.parts.end(), offset,
                                   [](uint64_t o, const Part& p) { return o < p.data_offset; });
  return static_cast<uint32_t>(it - st.parts.begin()) - 1;
}

ErrorCode switch_part(SplitRawState& st, uint32_t index) {
  if (st.open_part == index && st.file) return OK;
  st.closed_part_failed = st.closed_part_failed || st.file.read_failed();
  (void)st.file.close();
  st.open_part = UINT32_MAX;
  PathBuffer<> name;
  if (!part_name(st, index, name)) return ERR_READ;
  st.file = File::open_existing(name.view(), true);
  if (!st.file) return ERR_READ;
  st.open_part = index;
  return OK;
}

ErrorCode split_read(DriverState& s, uint64_t offset, std::span<uint8_t> out) {
  SplitRawState& st = split(s);
  while (!out.empty()) {
    const uint32_t index = part_at(st, offset);
    const Part& p = st.parts[index];
    const uint64_t within = offset - p.data_offset;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), p.data_length - within));
    if (ErrorCode rc = switch_part(st, index); rc != OK) return rc;
    if (!st.file.read_at(sizeof(PartHeader) + within, out.first(n))) return ERR_READ;
    out = out.subspan(n);
    offset += n;
  }
  return OK;
}

// The parts are read one at a time through the driver.
ErrorCode split_layer_status(DriverState&, uint32_t, uint32_t count, LayerRun& out) {
  out = LayerRun{LayerHolding::kOther, count, nullptr, 0};
  return OK;
}

ErrorCode finish_open(DiskImage& image, std::unique_ptr<SplitRawState> state, uint32_t described) {
  if (ErrorCode rc = check_parts(*state, described); rc != OK) return rc;
  adopt_state(image, FORMAT_SPLIT_RAW, std::move(state));
  return OK;
}

}  // namespace

const FormatDriver kSplitRawDriver = {
    .name = "split raw",
    .make_state = make_driver_state<SplitRawState>,
    .open = nullptr,  // opened through its description or one of its parts
    .get_geometry = split_geometry,
    .read_bytes = split_read,
    .layer_status = split_layer_status,
};

ErrorCode open_split_raw_description(DiskImage& image, std::string_view path, bool) {
  return guard_no_memory([&]() -> ErrorCode {
    File file = File::open_existing(path, true);
    if (!file) return ERR_OPEN;
    uint64_t length = 0;
    if (!file.length(length)) return ERR_FILE_SIZE;
    if (length == 0 || length > kMaxDescriptionBytes) return ERR_BAD_FORMAT;
    auto state = std::make_unique<SplitRawState>();
    state->description.resize(static_cast<size_t>(length));
    if (!file.read_at(0, std::span(reinterpret_cast<uint8_t*>(state->description.data()),
                                   state->description.size())))
      return ERR_READ;
    (void)file.close();
    // UTF-8 throughout, and no NUL.
    uint32_t text_length = 0;
    if (!stored_text_length(state->description, kUtf8, text_length) || text_length != kNotFound)
      return ERR_BAD_FORMAT;
    state->naming = Naming::Description;
    state->source.assign(path);
    uint32_t count = 0;
    if (ErrorCode rc = parse_description(*state, count); rc != OK) return rc;
    return finish_open(image, std::move(state), count);
  });
}

ErrorCode open_split_raw_part(DiskImage& image, std::string_view path, bool) {
  return guard_no_memory([&]() -> ErrorCode {
    File file = File::open_existing(path, true);
    if (!file) return ERR_OPEN;
    PartHeader h;
    std::array<uint8_t, sizeof(PartHeader)> given;
    uint64_t data_bytes = 0;
    if (ErrorCode rc = read_part_header(file, h, given, data_bytes); rc != OK) return rc;
    (void)file.close();
    auto state = std::make_unique<SplitRawState>();
    state->naming = Naming::Stem;
    const uint32_t number = h.part_number.get();
    if (number == 0) {
      state->source.assign(path);
    } else {
      // A later part: the chain starts at the first part of the same stem.
      PathBuffer<> first;
      if (!stem_part_name(path, 0, first)) return ERR_BAD_FORMAT;
      state->source.assign(first.view());
    }
    if (ErrorCode rc = check_parts(*state, 0); rc != OK) return rc;
    // The file given must be the chain's own part of that number.
    if (number >= state->parts.size()) return ERR_BAD_FORMAT;
    PathBuffer<> name;
    File again;
    if (part_name(*state, number, name)) again = File::open_existing(name.view(), true);
    std::array<uint8_t, sizeof(PartHeader)> raw;
    if (!again || !again.read_at(0, raw) || raw != given) return ERR_BAD_FORMAT;
    (void)again.close();
    adopt_state(image, FORMAT_SPLIT_RAW, std::move(state));
    return OK;
  });
}

}  // namespace qx
