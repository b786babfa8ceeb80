// A small JSON reader for the tools' output: objects, arrays, integers, null, booleans and
// strings with escaped quotes and backslashes are all they print.
#pragma once

#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace qx::test {

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  long long number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](const std::string& key) const {
    static const Json none;
    auto it = fields.find(key);
    return it == fields.end() ? none : it->second;
  }
  const Json& operator[](size_t i) const { return items.at(i); }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& s) : s_(s) {}
  bool read(Json& out) {
    if (!value(out)) return false;
    skip();
    return pos_ == s_.size();
  }

 private:
  void skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool take(char c) {
    skip();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool string(std::string& out) {
    if (!take('"')) return false;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      // Only the escapes of quotes and backslashes; the tools print nothing else.
      if (s_[pos_] == '\\' && (++pos_ == s_.size() || (s_[pos_] != '"' && s_[pos_] != '\\'))) return false;
      out += s_[pos_++];
    }
    return take('"');
  }
  bool value(Json& out) {
    skip();
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '"') {
      out.kind = Json::String;
      return string(out.text);
    }
    for (const char* word : {"null", "true", "false"}) {
      if (s_.compare(pos_, std::strlen(word), word) != 0) continue;
      pos_ += std::strlen(word);
      out.kind = word[0] == 'n' ? Json::Null : Json::Bool;
      out.number = word[0] == 't';
      return true;
    }
    if (c == '[') {
      ++pos_;
      out.kind = Json::Array;
      if (take(']')) return true;
      do {
        out.items.emplace_back();
        if (!value(out.items.back())) return false;
      } while (take(','));
      return take(']');
    }
    if (c == '{') {
      ++pos_;
      out.kind = Json::Object;
      if (take('}')) return true;
      do {
        std::string key;
        if (!string(key) || !take(':') || out.fields.count(key)) return false;
        if (!value(out.fields[key])) return false;
      } while (take(','));
      return take('}');
    }
    size_t used = 0;
    try {
      out.number = std::stoll(s_.substr(pos_), &used);
    } catch (...) {
      return false;
    }
    out.kind = Json::Number;
    pos_ += used;
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace qx::test
