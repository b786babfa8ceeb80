#include "text/xml.hpp"

#include <cstring>

#include "text/encoding.hpp"

namespace qx {
namespace {

constexpr TextView kBlanks = " \t\r\n";

bool is_blank(char c) noexcept { return kBlanks.find(c) != TextView::npos; }

bool all_blank(TextView t) noexcept { return t.find_first_not_of(kBlanks) == TextView::npos; }

bool valid_utf8(TextView t) noexcept {
  for (size_t p = 0; p < t.size();) {
    const uint32_t n = char_check(t.substr(p), TextEncoding::Utf8);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(TextView s) : s_(s) {}

  std::unique_ptr<XmlNode> run() {
    auto doc = std::make_unique<XmlNode>();
    current_ = doc.get();
    if (!valid_utf8(s_)) return nullptr;
    while (p_ < s_.size()) {
      const size_t lt = s_.find('<', p_);
      const size_t end = lt == TextView::npos ? s_.size() : lt;
      if (!text(s_.substr(p_, end - p_))) return nullptr;
      if (lt == TextView::npos) break;
      p_ = lt + 1;
      if (!markup()) return nullptr;
    }
    return doc;
  }

 private:
  bool at_end() const noexcept { return p_ >= s_.size(); }
  void skip_blanks() noexcept {
    while (!at_end() && is_blank(s_[p_])) ++p_;
  }
  bool take(char c) noexcept {
    if (at_end() || s_[p_] != c) return false;
    ++p_;
    return true;
  }

  // A name up to one of `stops` (or a blank); any of `forbidden` in it, or none at all, fails.
  bool name(TextView stops, TextView forbidden, TextView& out) noexcept {
    const size_t from = p_;
    while (!at_end() && !is_blank(s_[p_]) && stops.find(s_[p_]) == TextView::npos) {
      if (forbidden.find(s_[p_]) != TextView::npos) return false;
      ++p_;
    }
    out = s_.substr(from, p_ - from);
    return !out.empty() && !at_end();
  }

  bool text(TextView t) {
    if (t.find('>') != TextView::npos) return false;
    if (all_blank(t)) return true;
    auto node = std::make_unique<XmlNode>();
    node->kind = XmlNode::TEXT;
    node->parent = current_;
    if (!unescaped(*node, t, XmlEscapes::Text, node->text)) return false;
    current_->children.push_back(std::move(node));
    return true;
  }

  bool unescaped(XmlNode& owner, TextView in, XmlEscapes mode, TextView& out) {
    std::string copy;
    bool changed = false;
    if (!xml_unescape(in, mode, copy, changed)) return false;
    if (!changed) {
      out = in;
      return true;
    }
    auto bytes = std::make_unique<char[]>(copy.size() + 1);
    std::memcpy(bytes.get(), copy.data(), copy.size());
    out = TextView(bytes.get(), copy.size());
    owner.owned.push_back(std::move(bytes));
    return true;
  }

  // name = "value" or 'value'; kept on the current element unless it belongs to a declaration.
  bool attribute(bool keep) {
    TextView key;
    if (!name("=", "\"'/<>", key)) return false;
    skip_blanks();
    if (!take('=')) return false;
    skip_blanks();
    if (at_end() || (s_[p_] != '"' && s_[p_] != '\'')) return false;
    const char quote = s_[p_++];
    const size_t close = s_.find(quote, p_);
    if (close == TextView::npos) return false;
    const TextView raw = s_.substr(p_, close - p_);
    p_ = close + 1;
    if (!keep) return true;
    XmlAttribute a{key, {}};
    if (!unescaped(*current_, raw, XmlEscapes::Attribute, a.value)) return false;
    current_->attributes.push_back(a);
    return true;
  }

  bool markup() {
    skip_blanks();
    if (at_end()) return false;
    if (s_.substr(p_, 3) == "!--") {
      const size_t close = s_.find("-->", p_ + 3);
      if (close == TextView::npos) return false;
      p_ = close + 3;
      return true;
    }
    switch (s_[p_]) {
      case '!':
      case '"':
      case '\'':
      case '<':
      case '=':
      case '>': return false;
      case '/': ++p_; return end_tag();
      case '?': ++p_; return declaration();
      default: return start_tag();
    }
  }

  bool end_tag() {
    TextView tag;
    if (!name(">", "\"'<=/", tag)) return false;
    skip_blanks();
    if (!take('>') || current_->parent == nullptr || tag != current_->name) return false;
    current_ = current_->parent;
    --depth_;
    return true;
  }

  bool declaration() {
    TextView target;
    if (!name("?", "\"'<=>/", target)) return false;
    for (;;) {
      skip_blanks();
      if (s_.substr(p_, 2) == "?>") {
        p_ += 2;
        return true;
      }
      if (at_end() || !attribute(false)) return false;
    }
  }

  bool start_tag() {
    if (depth_ == kXmlMaxDepth) return false;
    auto node = std::make_unique<XmlNode>();
    if (!name(">/", "\"'<=", node->name)) return false;
    node->parent = current_;
    XmlNode* element = node.get();
    current_->children.push_back(std::move(node));
    current_ = element;
    ++depth_;
    for (;;) {
      skip_blanks();
      if (at_end()) return false;
      if (take('>')) return true;
      if (take('/')) {
        skip_blanks();
        if (!take('>')) return false;
        current_ = current_->parent;
        --depth_;
        return true;
      }
      if (!attribute(true)) return false;
    }
  }

  TextView s_;
  size_t p_ = 0;
  XmlNode* current_ = nullptr;
  uint32_t depth_ = 0;
};

}  // namespace

std::unique_ptr<XmlNode> xml_parse(TextView text) noexcept {
  try {
    return Parser(text).run();
  } catch (...) {
    return nullptr;
  }
}

bool xml_unescape(TextView in, XmlEscapes mode, std::string& out, bool& changed) {
  changed = false;
  size_t amp = in.find('&');
  if (amp == TextView::npos) return true;
  struct Entity {
    TextView name;
    char value;
  };
  static constexpr Entity kText[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}};
  static constexpr Entity kAttribute[] = {{"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
  const std::span<const Entity> known = mode == XmlEscapes::Text ? std::span<const Entity>(kText)
                                                                 : std::span<const Entity>(kAttribute);
  out.clear();
  size_t from = 0;
  while (amp != TextView::npos) {
    out.append(in.substr(from, amp - from));
    const Entity* hit = nullptr;
    for (const Entity& e : known)
      if (in.substr(amp, e.name.size()) == e.name) hit = &e;
    if (!hit) return false;
    out.push_back(hit->value);
    from = amp + hit->name.size();
    amp = in.find('&', from);
  }
  out.append(in.substr(from));
  changed = true;
  return true;
}

const XmlNode* xml_child(const XmlNode& element, TextView name) noexcept {
  for (const auto& c : element.children)
    if (c->kind == XmlNode::ELEMENT && c->name == name) return c.get();
  return nullptr;
}

bool xml_text(const XmlNode& element, TextView& out) noexcept {
  if (element.children.size() != 1 || element.children[0]->kind != XmlNode::TEXT) return false;
  out = element.children[0]->text;
  return true;
}

bool xml_child_text(const XmlNode& element, TextView name, TextView& out) noexcept {
  const XmlNode* c = xml_child(element, name);
  return c && xml_text(*c, out);
}

bool xml_grandchild_text(const XmlNode& element, TextView child, TextView grandchild,
                         TextView& out) noexcept {
  const XmlNode* c = xml_child(element, child);
  return c && xml_child_text(*c, grandchild, out);
}

}  // namespace qx
