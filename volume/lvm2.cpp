// LVM2 physical volumes: label, metadata area, metadata text and the logical volumes they place.
#include "volume/lvm2.hpp"

#include <array>
#include <cstring>

#include "image/byte_order.hpp"
#include "image/primitives.hpp"
#include "text/encoding.hpp"
#include "text/text_ops.hpp"

namespace qx {
namespace {

// On-disk structures, little-endian.
struct LabelHeader {
  char id[8];  // "LABELONE"
  le64_t sector;
  le32_t crc;  // over bytes 20..511 of the label sector
  le32_t contents_offset;
  char type[8];  // "LVM2 001"
};
static_assert(sizeof(LabelHeader) == 32);

struct DiskLocation {
  le64_t offset;
  le64_t size;
};

struct PvHeader {
  char id[32];
  le64_t device_size;
  DiskLocation data_areas[2];      // the first and its terminator
  DiskLocation metadata_areas[2];  // the first and its terminator
};
static_assert(sizeof(PvHeader) == 104);

struct RawLocation {
  le64_t offset;  // from the start of the metadata area
  le64_t size;
  le32_t checksum;
  le32_t flags;
};

struct MdaHeader {
  le32_t crc;  // over bytes 4..511
  char magic[16];
  le32_t version;
  le64_t start;
  le64_t size;
  RawLocation raw;
};
static_assert(sizeof(MdaHeader) == 64);

constexpr std::string_view kLabelId = "LABELONE";
constexpr std::string_view kLabelType = "LVM2 001";
constexpr std::string_view kMdaMagic = " LVM2 x[5A%r0N*>";
constexpr uint32_t kLabelScanSectors = 4;
constexpr uint32_t kMdaHeaderBytes = 512;
constexpr uint32_t kRawLocationIgnored = 1;
constexpr size_t kPvIdLength = 32;
constexpr size_t kFormattedIdLength = 38;

// ---------------------------------------------------------------------------------------------
// Metadata text.

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
// Volume group and logical volume names may hold "+", "." and "-" too ("ubuntu-vg"), never first a "-".
bool is_identifier_start(char c) noexcept { return is_letter(c) || c == '_' || c == '+' || c == '.'; }
bool is_identifier_char(char c) noexcept { return is_identifier_start(c) || is_digit(c) || c == '-'; }

// Digits only; a value past 32 bits is refused rather than wrapped, since it would place a
// volume at the wrong sectors.
bool parse_number(std::string_view word, uint32_t& out) noexcept {
  return !word.empty() && is_digit(word.front()) && parse_decimal(word, TextEncoding::Utf8, out);
}

enum class ValueKind : uint8_t { Text, Number, List, Stripes };

struct ListItem {
  bool quoted = false;
  std::string_view text;
};

// Enough list items for the largest stripes list; longer lists are only counted.
constexpr size_t kMaxListItems = 2 * kLvmMaxStripes;

struct Value {
  enum Form : uint8_t { Word, Quoted, List } form = Word;
  std::string_view text;
  size_t item_count = 0;
  ListItem items[kMaxListItems];
};

enum class ItemKind : uint8_t { Key, Section, Close, End };

struct Item {
  ItemKind kind = ItemKind::End;
  std::string_view name;
  Value value;
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) noexcept : text_(text) {}

  // Next key (with its value), section opening, section close or end of text; false on a syntax
  // error.
  bool next(Item& item) noexcept {
    skip_space();
    item = Item{};
    if (pos_ == text_.size()) return true;
    if (text_[pos_] == '}') {
      ++pos_;
      item.kind = ItemKind::Close;
      return true;
    }
    if (!identifier(item.name)) return false;
    skip_space();
    if (take('{')) {
      item.kind = ItemKind::Section;
      return true;
    }
    if (!take('=')) return false;
    item.kind = ItemKind::Key;
    return value(item.value);
  }

 private:
  void skip_space() noexcept {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (is_blank(c)) {
        ++pos_;
      } else if (c == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\r' && text_[pos_] != '\n') ++pos_;
      } else {
        break;
      }
    }
  }

  bool take(char c) noexcept {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool identifier(std::string_view& out) noexcept {
    const size_t start = pos_;
    if (pos_ == text_.size() || !is_identifier_start(text_[pos_])) return false;
    while (pos_ < text_.size() && is_identifier_char(text_[pos_])) ++pos_;
    out = text_.substr(start, pos_ - start);
    return true;
  }

  // A double-quoted string on one line; LVM escapes quotes and backslashes with a backslash.
  bool quoted(std::string_view& out) noexcept {
    const size_t start = ++pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\r' || c == '\n') return false;
      if (c == '"') {
        out = text_.substr(start, pos_ - start);
        ++pos_;
        return true;
      }
      pos_ += (c == '\\' && pos_ + 1 < text_.size() && text_[pos_ + 1] != '\r' &&
               text_[pos_ + 1] != '\n')
                  ? 2
                  : 1;
    }
    return false;
  }

  // Runs to a blank, a comment or the end (inside a list also to ',' and ']').
  bool bare_word(std::string_view& out, bool in_list) noexcept {
    const size_t start = pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (is_blank(c) || c == '#') break;
      if (in_list && (c == ',' || c == ']')) break;
      if (c == '"' || c == '=' || c == '{' || c == '}' || c == '[' || c == ']' || c == ',')
        return false;
      ++pos_;
    }
    out = text_.substr(start, pos_ - start);
    return true;
  }

  bool list(Value& v) noexcept {
    ++pos_;
    v.form = Value::List;
    skip_space();
    if (take(']')) return true;
    for (;;) {
      skip_space();
      if (pos_ == text_.size()) return false;
      ListItem item;
      if (text_[pos_] == '"') {
        item.quoted = true;
        if (!quoted(item.text)) return false;
      } else if (!bare_word(item.text, true) || item.text.empty()) {
        return false;
      }
      if (v.item_count < kMaxListItems) v.items[v.item_count] = item;
      ++v.item_count;
      skip_space();
      if (take(']')) return true;
      if (!take(',')) return false;
    }
  }

  bool value(Value& v) noexcept {
    skip_space();
    if (pos_ == text_.size()) return true;  // a key at the end of the text: empty value
    if (text_[pos_] == '"') {
      v.form = Value::Quoted;
      return quoted(v.text);
    }
    if (text_[pos_] == '[') return list(v);
    v.form = Value::Word;
    return bare_word(v.text, false);
  }

  std::string_view text_;
  size_t pos_ = 0;
};

struct KeyRule {
  std::string_view name;
  ValueKind kind;
};

// Index of the key in the section's list, or -1 for a key the section does not list.
template <size_t N>
int find_key(const KeyRule (&rules)[N], std::string_view name) noexcept {
  for (size_t i = 0; i < N; ++i)
    if (rules[i].name == name) return static_cast<int>(i);
  return -1;
}

// Checks the value's form against the rule and marks the key seen; false for a repeated key or a
// value of the wrong form.
bool accept_value(const KeyRule& rule, int index, const Value& v, uint32_t& seen,
                  uint32_t& number) noexcept {
  const uint32_t bit = 1u << index;
  if (seen & bit) return false;
  seen |= bit;
  switch (rule.kind) {
    case ValueKind::Text: return v.form == Value::Quoted;
    case ValueKind::Number: return v.form == Value::Word && parse_number(v.text, number);
    case ValueKind::List:
    case ValueKind::Stripes: return v.form == Value::List;
  }
  return false;
}

constexpr KeyRule kTopKeys[] = {{"contents", ValueKind::Text},
                                {"version", ValueKind::Number},
                                {"description", ValueKind::Text},
                                {"creation_host", ValueKind::Text},
                                {"creation_time", ValueKind::Number}};
constexpr KeyRule kGroupKeys[] = {{"id", ValueKind::Text},          {"seqno", ValueKind::Number},
                                  {"status", ValueKind::List},      {"flags", ValueKind::List},
                                  {"extent_size", ValueKind::Number}, {"max_lv", ValueKind::Number},
                                  {"max_pv", ValueKind::Number},
                                  {"metadata_copies", ValueKind::Number}};
constexpr KeyRule kPvKeys[] = {{"id", ValueKind::Text},         {"device", ValueKind::Text},
                               {"status", ValueKind::List},     {"flags", ValueKind::List},
                               {"dev_size", ValueKind::Number}, {"pe_start", ValueKind::Number},
                               {"pe_count", ValueKind::Number}};
constexpr KeyRule kLvKeys[] = {{"id", ValueKind::Text},
                               {"status", ValueKind::List},
                               {"flags", ValueKind::List},
                               {"creation_host", ValueKind::Text},
                               {"creation_time", ValueKind::Number},
                               {"segment_count", ValueKind::Number}};
constexpr KeyRule kSegmentKeys[] = {{"start_extent", ValueKind::Number},
                                    {"extent_count", ValueKind::Number},
                                    {"type", ValueKind::Text},
                                    {"stripe_count", ValueKind::Number},
                                    {"stripes", ValueKind::Stripes}};

// Bits of the keys that a closed section must have seen.
constexpr uint32_t kTopRequired = 1u << 1;                                      // version
constexpr uint32_t kGroupRequired = 1u << 4;                                    // extent_size
constexpr uint32_t kPvRequired = (1u << 0) | (1u << 4) | (1u << 5) | (1u << 6);  // id, sizes
constexpr uint32_t kLvRequired = 1u << 5;                                       // segment_count
constexpr uint32_t kSegmentRequired = 0x1F;                                     // all five

// Sections of unknown meaning are skipped whole; their nesting is bounded.
constexpr int kMaxSkippedDepth = 16;

bool skip_section(Lexer& lx, int depth) noexcept {
  if (depth > kMaxSkippedDepth) return false;
  for (Item it;;) {
    if (!lx.next(it)) return false;
    switch (it.kind) {
      case ItemKind::Key: break;
      case ItemKind::Section:
        if (!skip_section(lx, depth + 1)) return false;
        break;
      case ItemKind::Close: return true;
      case ItemKind::End: return false;
    }
  }
}

// Runs the items of one section through `on_key` and `on_section` until its closing brace.
template <typename OnKey, typename OnSection>
bool parse_section_body(Lexer& lx, OnKey&& on_key, OnSection&& on_section) noexcept {
  for (Item it;;) {
    if (!lx.next(it)) return false;
    switch (it.kind) {
      case ItemKind::Key:
        if (!on_key(it)) return false;
        break;
      case ItemKind::Section:
        if (!on_section(it.name)) return false;
        break;
      case ItemKind::Close: return true;
      case ItemKind::End: return false;
    }
  }
}

bool stripes_from_list(const Value& v, LvmSegment& seg) noexcept {
  if (v.item_count == 0 || v.item_count % 2 != 0 || v.item_count > kMaxListItems) return false;
  seg.stripe_pairs = static_cast<uint32_t>(v.item_count / 2);
  for (uint32_t i = 0; i < seg.stripe_pairs; ++i) {
    const ListItem& name = v.items[2 * i];
    const ListItem& start = v.items[2 * i + 1];
    if (!name.quoted || start.quoted) return false;
    seg.stripes[i].pv_name = name.text;
    if (!parse_number(start.text, seg.stripes[i].start_extent)) return false;
  }
  return true;
}

bool parse_segment(Lexer& lx, LvmSegment& seg) noexcept {
  auto on_key = [&](const Item& it) {
    const int k = find_key(kSegmentKeys, it.name);
    if (k < 0) return true;
    uint32_t n = 0;
    if (!accept_value(kSegmentKeys[k], k, it.value, seg.seen, n)) return false;
    switch (k) {
      case 0: seg.start_extent = n; break;
      case 1: seg.extent_count = n; break;
      case 2: seg.type = it.value.text; break;
      case 3: seg.stripe_count = n; break;
      case 4: return stripes_from_list(it.value, seg);
    }
    return true;
  };
  auto on_section = [&](std::string_view) { return skip_section(lx, 1); };
  return parse_section_body(lx, on_key, on_section) &&
         (seg.seen & kSegmentRequired) == kSegmentRequired && seg.stripe_pairs == seg.stripe_count;
}

bool parse_lv(Lexer& lx, LvmLogicalVolume& lv) noexcept {
  auto on_key = [&](const Item& it) {
    const int k = find_key(kLvKeys, it.name);
    if (k < 0) return true;
    uint32_t n = 0;
    if (!accept_value(kLvKeys[k], k, it.value, lv.seen, n)) return false;
    switch (k) {
      case 0: lv.id = it.value.text; break;
      case 3: lv.creation_host = it.value.text; break;
      case 4: lv.creation_time = n; break;
      case 5: lv.segment_count = n; break;
    }
    return true;
  };
  // Every section inside a logical volume is one of its segments.
  auto on_section = [&](std::string_view name) {
    if (lv.segments_found == kLvmMaxSegments) return false;
    LvmSegment& seg = lv.segments[lv.segments_found++];
    seg.name = name;
    return parse_segment(lx, seg);
  };
  return parse_section_body(lx, on_key, on_section) &&
         (lv.seen & kLvRequired) == kLvRequired && lv.segments_found == lv.segment_count;
}

bool parse_pv(Lexer& lx, LvmPhysicalVolume& pv) noexcept {
  auto on_key = [&](const Item& it) {
    const int k = find_key(kPvKeys, it.name);
    if (k < 0) return true;
    uint32_t n = 0;
    if (!accept_value(kPvKeys[k], k, it.value, pv.seen, n)) return false;
    switch (k) {
      case 0: pv.id = it.value.text; break;
      case 1: pv.device = it.value.text; break;
      case 4: pv.dev_size = n; break;
      case 5: pv.pe_start = n; break;
      case 6: pv.pe_count = n; break;
    }
    return true;
  };
  auto on_section = [&](std::string_view) { return skip_section(lx, 1); };
  return parse_section_body(lx, on_key, on_section) && (pv.seen & kPvRequired) == kPvRequired;
}

// Two volumes of one name would make the stripes ambiguous.
template <typename T>
bool name_taken(const T* items, uint32_t count, std::string_view name) noexcept {
  for (uint32_t i = 0; i < count; ++i)
    if (items[i].name == name) return true;
  return false;
}

bool parse_pv_list(Lexer& lx, LvmVolumeGroup& vg) noexcept {
  auto on_key = [](const Item&) { return true; };
  auto on_section = [&](std::string_view name) {
    if (vg.pv_count == kLvmMaxPhysicalVolumes || name_taken(vg.pvs, vg.pv_count, name)) return false;
    LvmPhysicalVolume& pv = vg.pvs[vg.pv_count++];
    pv.name = name;
    return parse_pv(lx, pv);
  };
  return parse_section_body(lx, on_key, on_section);
}

bool parse_lv_list(Lexer& lx, LvmVolumeGroup& vg) noexcept {
  auto on_key = [](const Item&) { return true; };
  auto on_section = [&](std::string_view name) {
    if (vg.lv_count == kLvmMaxLogicalVolumes || name_taken(vg.lvs, vg.lv_count, name)) return false;
    LvmLogicalVolume& lv = vg.lvs[vg.lv_count++];
    lv.name = name;
    return parse_lv(lx, lv);
  };
  return parse_section_body(lx, on_key, on_section);
}

bool parse_group(Lexer& lx, LvmVolumeGroup& vg) noexcept {
  bool have_pvs = false, have_lvs = false;
  auto on_key = [&](const Item& it) {
    const int k = find_key(kGroupKeys, it.name);
    if (k < 0) return true;
    uint32_t n = 0;
    if (!accept_value(kGroupKeys[k], k, it.value, vg.seen, n)) return false;
    switch (k) {
      case 0: vg.id = it.value.text; break;
      case 1: vg.seqno = n; break;
      case 4: vg.extent_size = n; break;
      case 5: vg.max_lv = n; break;
      case 6: vg.max_pv = n; break;
      case 7: vg.metadata_copies = n; break;
    }
    return true;
  };
  auto on_section = [&](std::string_view name) {
    if (name == "physical_volumes") {
      if (have_pvs) return false;
      have_pvs = true;
      return parse_pv_list(lx, vg);
    }
    if (name == "logical_volumes") {
      if (have_lvs) return false;
      have_lvs = true;
      return parse_lv_list(lx, vg);
    }
    return skip_section(lx, 1);
  };
  return parse_section_body(lx, on_key, on_section) &&
         (vg.seen & kGroupRequired) == kGroupRequired;
}

bool parse_top(std::string_view text, LvmMetadata& md) noexcept {
  Lexer lx(text);
  for (Item it;;) {
    if (!lx.next(it)) return false;
    switch (it.kind) {
      case ItemKind::Key: {
        const int k = find_key(kTopKeys, it.name);
        if (k < 0) break;
        uint32_t n = 0;
        if (!accept_value(kTopKeys[k], k, it.value, md.seen, n)) return false;
        switch (k) {
          case 0: md.contents = it.value.text; break;
          case 1: md.version = n; break;
          case 2: md.description = it.value.text; break;
          case 3: md.creation_host = it.value.text; break;
          case 4: md.creation_time = n; break;
        }
        break;
      }
      case ItemKind::Section: {
        if (md.vg_count == kLvmMaxGroups) return false;
        LvmVolumeGroup& vg = md.vgs[md.vg_count++];
        vg.name = it.name;
        if (!parse_group(lx, vg)) return false;
        break;
      }
      case ItemKind::Close: return false;
      case ItemKind::End: return (md.seen & kTopRequired) == kTopRequired;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The physical volume.

struct PvLocation {
  char id[kPvIdLength];
  uint64_t mda_offset = 0;
  uint64_t mda_size = 0;
};

bool is_label(std::span<const uint8_t> sector, uint32_t index) noexcept {
  LabelHeader h;
  if (!read_struct(sector, 0, h)) return false;
  return std::string_view(h.id, 8) == kLabelId && h.sector.get() == index &&
         std::string_view(h.type, 8) == kLabelType &&
         lvm_crc(kLvmCrcInitial, sector.subspan(20)) == h.crc.get();
}

ErrorCode read_label(DiskImage& image, uint64_t pv_byte, PvLocation& loc) {
  std::array<uint8_t, kLabelScanSectors * kSectorSize> buf;
  if (ErrorCode rc = read_bytes(image, pv_byte, buf); rc != OK) return rc;
  for (uint32_t i = 0; i < kLabelScanSectors; ++i) {
    const auto sector = std::span<const uint8_t>(buf).subspan(size_t{i} * kSectorSize, kSectorSize);
    if (!is_label(sector, i)) continue;
    LabelHeader h;
    PvHeader pv;
    // The PV header must lie inside the sector that the label's CRC covers.
    if (!read_struct(sector, 0, h) || h.contents_offset.get() < sizeof(LabelHeader) ||
        !read_struct(sector, h.contents_offset.get(), pv))
      return ERR_LAYOUT;
    if (pv.data_areas[0].offset.get() == 0 || pv.data_areas[1].offset.get() != 0 ||
        pv.metadata_areas[0].offset.get() == 0 || pv.metadata_areas[0].size.get() == 0 ||
        pv.metadata_areas[1].offset.get() != 0)
      return ERR_LAYOUT;
    std::memcpy(loc.id, pv.id, kPvIdLength);
    loc.mda_offset = pv.metadata_areas[0].offset.get();
    loc.mda_size = pv.metadata_areas[0].size.get();
    return OK;
  }
  return ERR_LAYOUT;
}

// Reads the newest metadata text into `text` (sized to the raw location).
ErrorCode read_metadata_text(DiskImage& image, uint64_t pv_byte, const PvLocation& loc,
                             std::array<uint8_t, kLvmMaxMetadataBytes>& buf, size_t& length) {
  const uint64_t disk_bytes = uint64_t{get_geometry(image).total_sectors} * kSectorSize;
  if (loc.mda_offset > disk_bytes || loc.mda_size > disk_bytes || loc.mda_size < kMdaHeaderBytes)
    return ERR_LAYOUT;
  std::array<uint8_t, kMdaHeaderBytes> raw_header;
  if (ErrorCode rc = read_bytes(image, pv_byte + loc.mda_offset, raw_header); rc != OK) return rc;
  MdaHeader h;
  if (!read_struct(std::span<const uint8_t>(raw_header), 0, h)) return ERR_LAYOUT;
  const uint64_t raw_offset = h.raw.offset.get(), raw_size = h.raw.size.get();
  if (lvm_crc(kLvmCrcInitial, std::span<const uint8_t>(raw_header).subspan(4)) != h.crc.get() ||
      std::string_view(h.magic, 16) != kMdaMagic || h.version.get() != 1 ||
      h.start.get() != loc.mda_offset || h.size.get() != loc.mda_size || raw_offset == 0 ||
      raw_size == 0 || raw_size > kLvmMaxMetadataBytes)
    return ERR_LAYOUT;
  // Text that wraps round the end of the circular area, or an area that LVM was told to ignore,
  // cannot be trusted as the volume group's current state.
  if (raw_offset > loc.mda_size || raw_size > loc.mda_size - raw_offset ||
      (h.raw.flags.get() & kRawLocationIgnored))
    return ERR_LAYOUT;
  const auto text = std::span<uint8_t>(buf).first(static_cast<size_t>(raw_size));
  if (ErrorCode rc = read_bytes(image, pv_byte + loc.mda_offset + raw_offset, text); rc != OK)
    return rc;
  // LVM2 itself refuses text whose checksum fails; damaged text could place volumes wrongly.
  if (lvm_crc(kLvmCrcInitial, text) != h.raw.checksum.get()) return ERR_LAYOUT;
  // Well-formed UTF-8 up to the first NUL, or the whole text without one.
  uint32_t n = 0;
  const TextView view(reinterpret_cast<const char*>(text.data()), text.size());
  if (!stored_text_length(view, TextEncoding::Utf8, n)) return ERR_LAYOUT;
  length = n == kNotFound ? text.size() : n;
  return OK;
}

// The metadata writes the identifier in groups 6-4-4-4-4-4-6 joined by dashes.
bool same_pv_id(std::string_view formatted, const char (&raw)[kPvIdLength]) noexcept {
  if (formatted.size() != kFormattedIdLength) return false;
  size_t r = 0;
  for (size_t i = 0; i < formatted.size(); ++i) {
    if (i == 6 || i == 11 || i == 16 || i == 21 || i == 26 || i == 31) {
      if (formatted[i] != '-') return false;
      continue;
    }
    if (formatted[i] != raw[r++]) return false;
  }
  return r == kPvIdLength;
}

struct LvPlacement {
  uint32_t start = 0;
  uint32_t count = 0;
};

// Checks the accepted layout and computes where each logical volume lies.
ErrorCode place_volumes(const LvmMetadata& md, const PvLocation& loc, uint32_t pv_start,
                        std::array<LvPlacement, kLvmMaxLogicalVolumes>& out, uint32_t& n) {
  if (md.vg_count != 1) return ERR_LAYOUT;
  const LvmVolumeGroup& vg = md.vgs[0];
  if (vg.pv_count != 1 || vg.extent_size == 0) return ERR_LAYOUT;
  const LvmPhysicalVolume& pv = vg.pvs[0];
  if (!same_pv_id(pv.id, loc.id)) return ERR_LAYOUT;
  // The extents must lie inside the device that the metadata itself describes.
  if (uint64_t{pv.pe_start} + uint64_t{pv.pe_count} * vg.extent_size > pv.dev_size)
    return ERR_LAYOUT;
  n = 0;
  for (uint32_t i = 0; i < vg.lv_count; ++i) {
    const LvmLogicalVolume& lv = vg.lvs[i];
    if (lv.segment_count != 1 || lv.segments_found != 1) return ERR_LAYOUT;
    const LvmSegment& seg = lv.segments[0];
    if (seg.start_extent != 0 || seg.type != "striped" || seg.stripe_count != 1 ||
        seg.stripe_pairs != 1 || seg.stripes[0].pv_name != pv.name)
      return ERR_LAYOUT;
    // Extents outside the volume, or sectors past 32 bits, cannot hold this volume's data.
    const uint64_t first_extent = seg.stripes[0].start_extent;
    if (first_extent + seg.extent_count > pv.pe_count) return ERR_LAYOUT;
    const uint64_t start = uint64_t{pv_start} + pv.pe_start + uint64_t{vg.extent_size} * first_extent;
    const uint64_t count = uint64_t{vg.extent_size} * seg.extent_count;
    if (start + count > UINT32_MAX + uint64_t{1}) return ERR_LAYOUT;
    out[n++] = {static_cast<uint32_t>(start), static_cast<uint32_t>(count)};
  }
  return OK;
}

}  // namespace

uint32_t lvm_crc(uint32_t initial, std::span<const uint8_t> data) noexcept {
  static constexpr uint32_t kTable[16] = {
      0x00000000, 0x1DB71064, 0x3B6E20C8, 0x26D930AC, 0x76DC4190, 0x6B6B51F4,
      0x4DB26158, 0x5005713C, 0xEDB88320, 0xF00F9344, 0xD6D6A3E8, 0xCB61B38C,
      0x9B64C2B0, 0x86D3D2D4, 0xA00AE278, 0xBDBDF21C};
  uint32_t crc = initial;
  for (uint8_t b : data) {
    crc ^= b;
    crc = (crc >> 4) ^ kTable[crc & 0xF];
    crc = (crc >> 4) ^ kTable[crc & 0xF];
  }
  return crc;
}

bool holds_lvm_label(DiskImage& image, uint32_t pv_start) {
  std::array<uint8_t, kLabelScanSectors * kSectorSize> buf;
  if (read_bytes(image, uint64_t{pv_start} * kSectorSize, buf) != OK) return false;
  for (uint32_t i = 0; i < kLabelScanSectors; ++i)
    if (is_label(std::span<const uint8_t>(buf).subspan(size_t{i} * kSectorSize, kSectorSize), i)) return true;
  return false;
}

bool parse_lvm_metadata(std::string_view text, LvmMetadata& out) noexcept {
  out = LvmMetadata{};
  return parse_top(text, out);
}

ErrorCode read_lvm_physical_volume(DiskImage& image, uint32_t pv_start, uint32_t max,
                                   std::vector<PartitionEntry>& entries) {
  const uint64_t pv_byte = uint64_t{pv_start} * kSectorSize;
  PvLocation loc;
  if (ErrorCode rc = read_label(image, pv_byte, loc); rc != OK) return rc;
  std::array<uint8_t, kLvmMaxMetadataBytes> buf;
  size_t length = 0;
  if (ErrorCode rc = read_metadata_text(image, pv_byte, loc, buf, length); rc != OK) return rc;
  LvmMetadata md;
  if (!parse_lvm_metadata(std::string_view(reinterpret_cast<const char*>(buf.data()), length), md))
    return ERR_LAYOUT;
  std::array<LvPlacement, kLvmMaxLogicalVolumes> placed;
  uint32_t n = 0;
  if (ErrorCode rc = place_volumes(md, loc, pv_start, placed, n); rc != OK) return rc;
  for (uint32_t i = 0; i < n && entries.size() < max; ++i) {
    PartitionEntry& e = entries.emplace_back();
    e.start_sector = placed[i].start;
    e.sector_count = placed[i].count;
  }
  return OK;
}

}  // namespace qx
