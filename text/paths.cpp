#include "text/paths.hpp"

#include "text/charset.hpp"
#include "text/encoding.hpp"
#include "text/text_ops.hpp"

namespace qx {
namespace {

#ifdef _WIN32
constexpr bool kHostBackslash = true;
#else
constexpr bool kHostBackslash = false;
#endif

// The character at the start of text, or an empty view.
TextView first_char(TextView text, TextEncoding enc) noexcept {
  return text.substr(0, char_step(text, enc));
}

// Length of a drive prefix "X:\" at the start of path, else 0.
uint32_t drive_prefix_length(TextView path, TextEncoding enc) noexcept {
  const TextConstants& k = text_constants(enc);
  const TextView letter = first_char(path, enc);
  if (!char_is_letter(letter, enc)) return 0;
  const TextView after = path.substr(letter.size());
  if (!after.starts_with(k.colon)) return 0;
  if (!after.substr(k.colon.size()).starts_with(k.backslash)) return 0;
  return static_cast<uint32_t>(letter.size() + k.colon.size() + k.backslash.size());
}

// A name on a drive ("X:\" or "X:/") when this system is Windows: names written there may be in
// its own form.
bool host_absolute(TextView name, TextEncoding enc) noexcept {
  if (!kHostBackslash) return false;
  const TextConstants& k = text_constants(enc);
  const TextView letter = first_char(name, enc);
  if (!char_is_letter(letter, enc)) return false;
  const TextView after = name.substr(letter.size());
  if (!after.starts_with(k.colon)) return false;
  const TextView rest = after.substr(k.colon.size());
  return rest.starts_with(k.backslash) || rest.starts_with(k.slash);
}

// Removes the last component written behind body_start (with the separator before it).
void drop_last_component(PathString& out, uint32_t body_start, TextView sep, TextEncoding enc) noexcept {
  const TextView body = out.view().substr(body_start);
  const uint32_t pos = find_last_char(body, sep, enc);
  out.truncate(pos == kNotFound ? body_start : body_start + pos);
}

bool append_component(PathString& out, uint32_t body_start, TextView sep, TextView component) noexcept {
  if (out.length() > body_start) return out.append(sep, component);
  return out.append(component);
}

bool normalize_body(TextView rest, TextEncoding enc, PathString& out, TextView sep, bool rooted) noexcept {
  const TextConstants& k = text_constants(enc);
  const uint32_t body_start = out.length();
  const uint32_t last_sep = find_last_char(rest, sep, enc);
  const bool trailing_sep = last_sep != kNotFound && last_sep + sep.size() == rest.size();
  uint32_t kept = 0;  // ordinary components written; leading ".." come before all of them
  while (!rest.empty()) {
    const uint32_t pos = find_char(rest, sep, enc);
    const TextView component = pos == kNotFound ? rest : rest.substr(0, pos);
    rest = pos == kNotFound ? TextView() : rest.substr(pos + sep.size());
    if (component.empty() || component == k.dot) continue;
    if (component == k.dotdot) {
      if (kept > 0) {
        drop_last_component(out, body_start, sep, enc);
        --kept;
        continue;
      }
      // Climbing above the root cannot name anything the image owns.
      if (rooted) return false;
    } else {
      ++kept;
    }
    if (!append_component(out, body_start, sep, component)) return false;
  }
  if (out.length() == body_start) return rooted || out.append(k.dot);
  return !trailing_sep || out.append(sep);
}

// Splits behind the last sep, or the last of either separator when both count.
void split_at(TextView path, TextEncoding enc, TextView sep, bool both, TextView& dir, TextView& name) noexcept {
  uint32_t pos = find_last_char(path, sep, enc);
  if (both) {
    const TextConstants& k = text_constants(enc);
    const TextView other = sep == k.slash ? k.backslash : k.slash;
    const uint32_t at = find_last_char(path, other, enc);
    if (at != kNotFound && (pos == kNotFound || at > pos)) pos = at;
  }
  const size_t cut = pos == kNotFound ? 0 : pos + sep.size();
  dir = path.substr(0, cut);
  name = path.substr(cut);
}

void split_name(TextView name, TextEncoding enc, TextView& stem, TextView& ext) noexcept {
  const TextView dot = text_constants(enc).dot;
  const uint32_t pos = find_last_char(name, dot, enc);
  if (pos == kNotFound) {
    stem = name;
    ext = name.substr(name.size());
    return;
  }
  stem = name.substr(0, pos);
  ext = name.substr(pos + dot.size());
}

}  // namespace

TextView path_separator(TextEncoding enc, PathStyle style) noexcept {
  const TextConstants& k = text_constants(enc);
  return style == PathStyle::Unix ? k.slash : k.backslash;
}

void split_dir(TextView path, TextEncoding enc, TextView& dir, TextView& name, PathStyle style) noexcept {
  split_at(path, enc, path_separator(enc, style), false, dir, name);
}

void split_path(TextView path, TextEncoding enc, TextView& dir, TextView& stem, TextView& ext,
                PathStyle style) noexcept {
  TextView name;
  split_dir(path, enc, dir, name, style);
  split_name(name, enc, stem, ext);
}

void split_host_dir(TextView path, TextView& dir, TextView& name) noexcept {
  split_at(path, TextEncoding::Utf8, text_constants(TextEncoding::Utf8).slash, kHostBackslash, dir, name);
}

void split_host_path(TextView path, TextView& dir, TextView& stem, TextView& ext) noexcept {
  TextView name;
  split_host_dir(path, dir, name);
  split_name(name, TextEncoding::Utf8, stem, ext);
}

bool same_host_path(TextView a, TextView b) noexcept {
  if (a.size() != b.size()) return false;
  const auto separator = [](char c) { return c == '/' || (kHostBackslash && c == '\\'); };
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && !(separator(a[i]) && separator(b[i]))) return false;
  return true;
}

bool is_valid_stored_name(TextView name, TextEncoding enc) noexcept {
  const TextConstants& k = text_constants(enc);
  // On Windows "\" separates folders: "..\x" would leave the image's folder.
  if (kHostBackslash && find_first_in(name, k.backslash, enc) != kNotFound) return false;
  return find_first_in(name, k.stored_name_forbidden, enc) == kNotFound &&
         find_text(name, k.double_slash, enc) == kNotFound;
}

bool is_valid_windows_path(TextView name, TextEncoding enc) noexcept {
  const TextConstants& k = text_constants(enc);
  if (name.empty()) return true;
  const TextView first = first_char(name, enc);
  if (char_is_letter(first, enc) && name.substr(first.size()).starts_with(k.colon)) {
    const uint32_t drive = drive_prefix_length(name, enc);
    if (drive == 0) return false;  // "X:" must be followed by "\"
    name.remove_prefix(drive);
  }
  if (name.empty()) return true;
  return find_first_in(name, k.windows_forbidden, enc) == kNotFound && !name.starts_with(k.backslash) &&
         find_text(name, k.double_backslash, enc) == kNotFound;
}

bool is_absolute_path(TextView path, TextEncoding enc, PathStyle style) noexcept {
  if (style == PathStyle::Unix) return path.starts_with(text_constants(enc).slash);
  return drive_prefix_length(path, enc) != 0;
}

uint32_t root_prefix_length(TextView path, TextEncoding enc, PathStyle style) noexcept {
  const TextConstants& k = text_constants(enc);
  if (style == PathStyle::Unix) return path.starts_with(k.slash) ? static_cast<uint32_t>(k.slash.size()) : 0;
  if (const uint32_t drive = drive_prefix_length(path, enc)) return drive;
  if (path.starts_with(k.double_backslash)) {
    // "\\server\": the server name and its separator belong to the root.
    const TextView server = path.substr(k.double_backslash.size());
    const uint32_t end = find_char(server, k.backslash, enc);
    if (end == kNotFound) return static_cast<uint32_t>(path.size());
    return static_cast<uint32_t>(k.double_backslash.size() + end + k.backslash.size());
  }
  return path.starts_with(k.backslash) ? static_cast<uint32_t>(k.backslash.size()) : 0;
}

namespace {

// On Windows, with every "\" made "/": "X:/", "//server/share/" or "/"; else 0.
uint32_t host_root_length(TextView path) noexcept {
  if (path.size() >= 3 && char_is_letter(path.substr(0, 1), TextEncoding::Utf8) && path[1] == ':' &&
      path[2] == '/')
    return 3;
  if (!path.starts_with("//")) return path.starts_with('/') ? 1 : 0;
  const size_t server_end = path.find('/', 2);
  const size_t share_end = server_end == TextView::npos ? server_end : path.find('/', server_end + 1);
  return static_cast<uint32_t>(share_end == TextView::npos ? path.size() : share_end + 1);
}

bool normalize_behind(TextView path, uint32_t root, TextEncoding enc, PathString& out, PathStyle style) noexcept {
  const uint32_t before = out.length();
  const bool ok = out.append(path.substr(0, root)) &&
                  normalize_body(path.substr(root), enc, out, path_separator(enc, style), root != 0);
  if (!ok) out.truncate(before);
  return ok;
}

}  // namespace

bool normalize_path(TextView path, TextEncoding enc, PathString& out, PathStyle style) noexcept {
  return normalize_behind(path, root_prefix_length(path, enc, style), enc, out, style);
}

bool resolve_stored_name(TextView name, TextEncoding name_enc, TextView base, TextEncoding base_enc,
                         PathString& work, PathString& out, TextEncoding out_enc, PathStyle style) noexcept {
  work.clear();
  out.clear();
  bool ok = true;
  const bool absolute = is_absolute_path(name, name_enc, style) ||
                        (style == PathStyle::Unix && host_absolute(name, name_enc));
  if (!absolute) {
    TextView dir, file;
    if (style == PathStyle::Unix && base_enc == TextEncoding::Utf8) split_host_dir(base, dir, file);
    else split_dir(base, base_enc, dir, file, style);
    ok = append_converted(work, out_enc, dir, base_enc);
  }
  ok = ok && append_converted(work, out_enc, name, name_enc);
  if (ok && kHostBackslash && style == PathStyle::Unix && out_enc == TextEncoding::Utf8) {
    // Windows separates with "\" as well: one separator throughout, so that ".." is applied.
    for (uint32_t i = 0; i < work.length(); ++i)
      if (work.data()[i] == '\\') work.data()[i] = '/';
    ok = normalize_behind(work.view(), host_root_length(work.view()), out_enc, out, style);
  } else {
    ok = ok && normalize_path(work.view(), out_enc, out, style);
  }
  work.clear();
  if (!ok) out.clear();
  return ok;
}

bool relative_path(TextView from, TextView to, TextEncoding enc, PathString& out, PathStyle style) noexcept {
  const TextConstants& k = text_constants(enc);
  const TextView sep = path_separator(enc, style);
  const bool fold = style == PathStyle::Windows;
  const bool from_absolute = is_absolute_path(from, enc, style);
  if (from_absolute != is_absolute_path(to, enc, style)) return false;
  if (from_absolute) {
    const uint32_t root = root_prefix_length(from, enc, style);
    const uint32_t to_root = root_prefix_length(to, enc, style);
    // Different drives have no relative path between them.
    if (compare(from.substr(0, root), to.substr(0, to_root), kNotFound, fold, enc) != 0) return false;
    from.remove_prefix(root);
    to.remove_prefix(to_root);
  }
  for (;;) {
    const uint32_t f = find_char(from, sep, enc);
    const uint32_t t = find_char(to, sep, enc);
    if (f == kNotFound || t == kNotFound) break;
    if (compare(from.substr(0, f), to.substr(0, t), kNotFound, fold, enc) != 0) break;
    from.remove_prefix(f + sep.size());
    to.remove_prefix(t + sep.size());
  }
  const uint32_t before = out.length();
  for (;;) {
    const uint32_t f = find_char(from, sep, enc);
    if (f == kNotFound) break;
    from.remove_prefix(f + sep.size());
    if (!out.append(k.dotdot, sep)) {
      out.truncate(before);
      return false;
    }
  }
  if (!out.append(to)) {
    out.truncate(before);
    return false;
  }
  return true;
}

}  // namespace qx
