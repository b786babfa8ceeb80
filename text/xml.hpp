// A small, strict XML reader: elements, attributes, text, comments and the declaration, in UTF-8.
// No DTD, no CDATA, no numeric character references, no namespaces.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "text/text_view.hpp"

namespace qx {

struct XmlAttribute {
  TextView name;
  TextView value;
};

// Names and unchanged texts are views into the parsed input, which must outlive the tree;
// unescaped texts point into the node's owned strings.
struct XmlNode {
  enum Kind : uint8_t { ELEMENT = 0, TEXT = 1 };
  XmlNode* parent = nullptr;
  Kind kind = ELEMENT;
  TextView name;  // empty for the document node
  std::vector<std::unique_ptr<XmlNode>> children;
  std::vector<XmlAttribute> attributes;
  TextView text;
  std::vector<std::unique_ptr<char[]>> owned;
};

// Elements nest at most this deep; deeper input fails, so that nothing walks the tree unbounded.
inline constexpr uint32_t kXmlMaxDepth = 256;

// The document node, or null on any error (input that ends inside a tag or a comment is one).
[[nodiscard]] std::unique_ptr<XmlNode> xml_parse(TextView text) noexcept;

// The first child element of that exact name, or null.
const XmlNode* xml_child(const XmlNode& element, TextView name) noexcept;
// The text of an element that holds exactly one child, a text node.
[[nodiscard]] bool xml_text(const XmlNode& element, TextView& out) noexcept;
[[nodiscard]] bool xml_child_text(const XmlNode& element, TextView name, TextView& out) noexcept;
[[nodiscard]] bool xml_grandchild_text(const XmlNode& element, TextView child, TextView grandchild,
                                       TextView& out) noexcept;

// Text knows "&amp;", "&lt;" and "&gt;"; attribute values "&amp;", "&apos;" and "&quot;". Any
// other "&" fails. `changed` tells whether out was written (otherwise in stands as it is).
enum class XmlEscapes { Text, Attribute };
[[nodiscard]] bool xml_unescape(TextView in, XmlEscapes mode, std::string& out, bool& changed);

}  // namespace qx
