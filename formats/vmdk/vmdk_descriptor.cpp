// Reading and parsing the VMDK descriptor text.
#include "formats/vmdk/vmdk_descriptor.hpp"

#include <array>

#include "formats/vmdk/vmdk_extent.hpp"
#include "text/encoding.hpp"
#include "text/text_ops.hpp"

namespace qx {
namespace {

constexpr int kEnd = -2;

// Walks a line character by character, so that a trail byte of a double-byte character is never
// taken for one of the ASCII marks the grammar looks for.
struct Cursor {
  TextView text;
  TextEncoding enc;
  size_t pos = 0;

  bool done() const noexcept { return pos >= text.size(); }
  TextView current() const noexcept {
    const TextView rest = text.substr(pos);
    return rest.substr(0, char_step(rest, enc));
  }
  // The ASCII value of the character here, -1 for any other character, kEnd at the end.
  int ch() const noexcept { return done() ? kEnd : ascii_value(current(), enc); }
  void step() noexcept { pos += current().size(); }
  static bool blank(int c) noexcept { return c == ' ' || c == '\t'; }
  void skip_blanks() noexcept {
    while (blank(ch())) step();
  }
  TextView since(size_t start) const noexcept { return text.substr(start, pos - start); }
  // Moves to the next double quote; false when the line holds none.
  bool to_quote() noexcept {
    while (!done() && ch() != '"') step();
    return !done();
  }
  // Nothing but blanks and an optional comment left.
  bool only_comment_left() noexcept {
    skip_blanks();
    return done() || ch() == '#';
  }
};

bool is_mark(int c) noexcept { return c == '#' || c == '=' || c == '"'; }

// A word that ends at a blank; any mark inside it, or the line's end, fails.
bool read_word(Cursor& c, TextView& word) noexcept {
  c.skip_blanks();
  const size_t start = c.pos;
  for (int x = c.ch(); !Cursor::blank(x); x = c.ch()) {
    if (x == kEnd || is_mark(x)) return false;
    c.step();
  }
  word = c.since(start);
  return true;
}

// A bare value or offset: up to a blank, "#", "=", a quote or the end; ending at "=" or a quote fails.
bool read_bare(Cursor& c, TextView& out) noexcept {
  const size_t start = c.pos;
  int x = c.ch();
  while (x != kEnd && !Cursor::blank(x) && !is_mark(x)) {
    c.step();
    x = c.ch();
  }
  out = c.since(start);
  return x != '=' && x != '"';
}

bool iequal(TextView a, TextView b, TextEncoding enc) noexcept {
  return a.size() == b.size() && compare(a, b, UINT32_MAX, true, enc) == 0;
}

enum Key : uint32_t {
  KEY_VERSION,
  KEY_ENCODING,
  KEY_CID,
  KEY_PARENT_CID,
  KEY_CREATE_TYPE,
  KEY_PARENT_HINT,
  KEY_HW_VERSION,
  KEY_UUID,
  KEY_CYLINDERS,
  KEY_HEADS,
  KEY_SECTORS,
  KEY_ADAPTER,
  KEY_COUNT,
};
constexpr std::array<TextView, KEY_COUNT> kKeyNames = {
    "version",  "encoding", "CID",      "parentCID", "createType", "parentFileNameHint",
    "ddb.virtualHWVersion", "ddb.uuid", "ddb.geometry.cylinders", "ddb.geometry.heads",
    "ddb.geometry.sectors", "ddb.adapterType"};
constexpr std::array<TextView, 3> kAdapterTypes = {"ide", "buslogic", "lsilogic"};

int32_t hw_version_code(uint32_t v) noexcept {
  switch (v) {
    case 3: return 0;
    case 4: return 1;
    case 5: return 2;
    case 6: return 3;
    case 7: return 4;
    case 8: return 5;
    case 9: return 6;
    case 11: return 8;
    default: return 7;
  }
}

struct ParseState {
  VmdkDescriptor& d;
  std::array<bool, KEY_COUNT> seen{};
};

bool take_key(ParseState& p, const KeyValueLine& kv) noexcept {
  VmdkDescriptor& d = p.d;
  const TextEncoding enc = d.text_encoding;
  uint32_t key = KEY_COUNT;
  for (uint32_t k = 0; k < KEY_COUNT; ++k)
    if (iequal(kv.key, kKeyNames[k], enc)) key = k;
  if (key == KEY_COUNT) return true;
  if (p.seen[key] || (key != KEY_VERSION && !p.seen[KEY_VERSION])) return false;
  p.seen[key] = true;
  const TextView v = kv.value;
  uint32_t number = 0;
  switch (key) {
    case KEY_VERSION: return parse_decimal(v, enc, number) && number == 1;
    case KEY_ENCODING:
      d.encoding_absent = false;
      d.encoding_value = v;
      if (iequal(v, "Shift_JIS", enc)) {
        d.encoding_code = 1;
        d.text_encoding = TextEncoding::ShiftJis;
      } else if (iequal(v, "UTF-8", enc)) {
        d.encoding_code = 2;
        d.text_encoding = TextEncoding::Utf8;
      } else {
        d.encoding_code = 3;
      }
      return true;
    case KEY_CID: d.cid = v; return true;
    case KEY_PARENT_CID: d.parent_cid = v; return true;
    case KEY_CREATE_TYPE: d.create_type = v; return true;
    case KEY_PARENT_HINT:
      d.parent_file_name_hint = trim_blanks(v, enc);
      d.hint_encoding = enc;
      return !d.parent_file_name_hint.empty();
    case KEY_HW_VERSION:
      if (!parse_decimal(v, enc, number) || number == 0) return false;
      d.virtual_hw_version = hw_version_code(number);
      return true;
    case KEY_UUID:
      d.uuid_absent = false;
      d.uuid = v;
      return true;
    case KEY_CYLINDERS: return parse_decimal(v, enc, d.cylinders);
    case KEY_HEADS: return parse_decimal(v, enc, d.heads);
    case KEY_SECTORS: return parse_decimal(v, enc, d.sectors);
    case KEY_ADAPTER:
      for (int32_t i = 0; i < 3; ++i)
        if (iequal(v, kAdapterTypes[i], enc)) d.adapter_type = i;
      return d.adapter_type >= 0;
    default: return true;
  }
}

bool take_extent(ParseState& p, const ExtentLine& e) noexcept {
  VmdkDescriptor& d = p.d;
  const TextEncoding enc = d.text_encoding;
  if (d.extents.size() >= kMaxVmdkExtents || !p.seen[KEY_VERSION]) return false;
  if (!iequal(e.access, "RW", enc) && !iequal(e.access, "RDONLY", enc)) return false;
  VmdkExtentEntry entry;
  if (!parse_decimal(e.size, enc, entry.size)) return false;
  if (iequal(e.type, "SPARSE", enc)) entry.is_flat = 0;
  else if (iequal(e.type, "FLAT", enc) || iequal(e.type, "VMFS", enc)) entry.is_flat = 1;
  else return false;
  const TextView offset = trim_blanks(e.offset, enc);
  if (!offset.empty() && !parse_decimal(offset, enc, entry.offset)) return false;
  entry.file_name = e.file_name;
  entry.name_encoding = enc;
  try {
    d.extents.push_back(entry);
  } catch (...) {
    return false;
  }
  return true;
}

bool is_skipped(TextView line, TextEncoding enc) noexcept {
  Cursor c{line, enc};
  return c.only_comment_left();
}

bool classify(VmdkDescriptor& d) noexcept {
  const TextEncoding enc = d.text_encoding;
  const TextView t = d.create_type;
  const auto& ex = d.extents;
  auto all = [&](bool flat) {
    for (const VmdkExtentEntry& e : ex)
      if (e.is_flat != uint32_t{flat} || (!flat && e.offset != 0)) return false;
    return !ex.empty();
  };
  if (iequal(t, "monolithicSparse", enc) || iequal(t, "streamOptimized", enc)) {
    d.is_split = 0;
    d.is_flat = 0;
    return ex.size() == 1 && all(false);
  }
  if (iequal(t, "twoGbMaxExtentSparse", enc)) {
    d.is_split = 1;
    d.is_flat = 0;
    return all(false);
  }
  if (iequal(t, "monolithicFlat", enc)) {
    d.is_split = 0;
    d.is_flat = 1;
    return ex.size() == 1 && all(true) && !d.is_child;
  }
  if (iequal(t, "twoGbMaxExtentFlat", enc) || iequal(t, "vmfs", enc)) {
    d.is_split = 1;
    d.is_flat = 1;
    return all(true) && !d.is_child;
  }
  return false;
}

}  // namespace

bool parse_key_value_line(TextView line, bool quoted, TextEncoding enc, KeyValueLine& out) noexcept {
  Cursor c{line, enc};
  c.skip_blanks();
  if (c.done() || is_mark(c.ch())) return false;
  const size_t key_start = c.pos;
  for (int x = c.ch(); !Cursor::blank(x) && x != '='; x = c.ch()) {
    if (x == kEnd || is_mark(x)) return false;
    c.step();
  }
  out.key = c.since(key_start);
  c.skip_blanks();
  if (c.ch() != '=') return false;
  c.step();
  if (c.done()) {
    out.value = c.since(c.pos);
    return true;
  }
  c.skip_blanks();
  const int x = c.ch();
  if (x == kEnd || x == '=') return false;
  if (x == '#') {
    out.value = c.since(c.pos);
    return !quoted;
  }
  if (x == '"') {
    if (!quoted) return false;
    c.step();
    const size_t start = c.pos;
    if (!c.to_quote()) return false;
    out.value = c.since(start);
    c.step();
  } else {
    if (quoted || !read_bare(c, out.value)) return false;
  }
  return c.only_comment_left();
}

bool parse_extent_line(TextView line, TextEncoding enc, ExtentLine& out) noexcept {
  Cursor c{line, enc};
  if (!read_word(c, out.access) || !read_word(c, out.size) || !read_word(c, out.type)) return false;
  c.skip_blanks();
  if (c.ch() != '"') return false;
  c.step();
  const size_t name_start = c.pos;
  if (!c.to_quote()) return false;
  out.file_name = c.since(name_start);
  c.step();
  c.skip_blanks();
  out.offset = c.since(c.pos);
  if (c.done() || c.ch() == '#') return true;
  return read_bare(c, out.offset) && c.only_comment_left();
}

bool parse_vmdk_descriptor(TextView text, VmdkDescriptor& out) noexcept {
  out = VmdkDescriptor{};
  ParseState p{out};
  TextView rest = text;
  for (bool more = true; more;) {
    TextView line;
    const TextEncoding enc = out.text_encoding;
    more = split_line(rest, enc, line, rest);
    if (is_skipped(line, enc)) continue;
    KeyValueLine kv;
    ExtentLine ext;
    if (parse_key_value_line(line, false, enc, kv) || parse_key_value_line(line, true, enc, kv)) {
      if (!take_key(p, kv)) return false;
    } else if (parse_extent_line(line, enc, ext)) {
      if (!take_extent(p, ext)) return false;
    }
  }
  const auto& s = p.seen;
  if (!s[KEY_VERSION] || !s[KEY_CID] || !s[KEY_PARENT_CID] || !s[KEY_CREATE_TYPE]) return false;
  if (s[KEY_PARENT_HINT]) {
    // qemu-img writes the geometry and the adapter type into children too; the geometry of a
    // child is still its parent's.
    out.is_child = 1;
  } else {
    if (!s[KEY_HW_VERSION] || !s[KEY_ADAPTER]) return false;
    if (!s[KEY_HEADS]) out.heads = 16;
    if (!s[KEY_SECTORS]) out.sectors = 63;
  }
  return classify(out);
}

ErrorCode read_vmdk_descriptor(File& file, VmdkDescriptor& out, std::vector<char>& text) {
  uint64_t length = 0;
  if (!file.length(length)) return ERR_FILE_SIZE;
  std::array<uint8_t, 512> first{};
  const size_t head = static_cast<size_t>(std::min<uint64_t>(length, first.size()));
  if (!file.read_at(0, std::span(first).first(head))) return ERR_READ;
  SparseExtentHeader header{};
  const bool embedded = head == first.size() && read_struct(first, 0, header) &&
                        is_valid_sparse_header(header);
  uint64_t at = 0, size = length;
  if (embedded) {
    if (header.descriptor_size_sectors() == 0) return ERR_BAD_FORMAT;
    at = 512;
    size = uint64_t{header.descriptor_size_sectors()} * 512;
  }
  if (size > kMaxDescriptorBytes) return ERR_BAD_FORMAT;
  text.assign(static_cast<size_t>(size), 0);
  if (!file.read_at(at, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size())))
    return ERR_READ;
  const TextView all(text.data(), text.size());
  uint32_t end = kNotFound;
  if (!stored_text_length(all, TextEncoding::ShiftJis, end) &&
      !stored_text_length(all, TextEncoding::Utf8, end))
    return ERR_BAD_FORMAT;
  if (!parse_vmdk_descriptor(all.substr(0, end == kNotFound ? all.size() : end), out)) return ERR_READ;
  if (embedded && out.is_split) return ERR_BAD_FORMAT;
  // A child whose parent's name is missing or does not parse would read as a base disk, with
  // zeros wherever its parent's data shows.
  uint32_t parent_cid = 0;
  if (!out.is_child && !(parse_cid(out.parent_cid, parent_cid) && parent_cid == 0xffffffffu)) {
    note_refusal("unnamed_parent", "the descriptor says the disk has a parent but names none that can be read");
    return ERR_BAD_FORMAT;
  }
  return OK;
}

bool parse_cid(TextView value, uint32_t& out) noexcept {
  value = trim_blanks(value, TextEncoding::Utf8);
  if (value.empty() || value.size() > 8) return false;
  uint32_t v = 0;
  for (char c : value) {
    uint32_t d;
    if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
    else return false;
    v = v << 4 | d;
  }
  out = v;
  return true;
}

}  // namespace qx
