#include "formats/vhd/vhd_names.hpp"

#include "image/byte_order.hpp"

namespace qx {

bool append_utf16be_name(std::span<const uint8_t> field, PathString& out) noexcept {
  const uint32_t start = out.length();
  auto fail = [&] {
    out.truncate(start);
    return false;
  };
  for (size_t i = 0; i + 2 <= field.size(); i += 2) {
    uint32_t cp = be16(field.data() + i);
    if (cp == 0) break;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail();
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 4 > field.size()) return fail();
      const uint32_t low = be16(field.data() + i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return fail();
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    char utf8[4];
    size_t n;
    if (cp < 0x80) {
      utf8[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      utf8[0] = static_cast<char>(0xC0 | cp >> 6);
      utf8[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      utf8[0] = static_cast<char>(0xE0 | cp >> 12);
      utf8[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      utf8[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      utf8[0] = static_cast<char>(0xF0 | cp >> 18);
      utf8[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      utf8[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      utf8[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (!out.append(TextView(utf8, n))) return fail();
  }
  return true;
}

bool is_valid_stored_name(TextView name) noexcept {
  return name.find_first_of("/:,;*?\"<>|") == TextView::npos;
}

bool resolve_beside(TextView name, TextView base, PathString& out) noexcept {
  if (name.empty() || name == "." || name == ".." || !is_valid_stored_name(name)) return false;
  const size_t slash = base.rfind('/');
  const TextView dir = slash == TextView::npos ? TextView() : base.substr(0, slash + 1);
  return out.assign(dir, name) && out.append_terminator();
}

}  // namespace qx
