#include "json_value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "json_writer.h"

namespace lumo_sim {
namespace {

// Deep enough for any script; shallow enough that recursion cannot exhaust
// the stack of a small worker thread.
constexpr int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool ParseDocument(JsonValue* out) {
    SkipSpace();
    if (!ParseValue(out, 0)) return false;
    SkipSpace();
    if (pos_ != s_.size()) return Fail("unexpected text after the JSON value");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(pos_);
    return false;
  }

  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool Literal(const char* word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
      if (pos_ + i >= s_.size() || s_[pos_ + i] != word[i]) return Fail("invalid literal");
    }
    pos_ += i;
    return true;
  }

  bool ParseValue(JsonValue* out, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    if (pos_ >= s_.size()) return Fail("unexpected end of text");
    const char c = s_[pos_];
    switch (c) {
      case 'n':
        out->kind = JsonValue::Kind::kNull;
        return Literal("null");
      case 't':
        out->kind = JsonValue::Kind::kBool;
        out->boolean = true;
        return Literal("true");
      case 'f':
        out->kind = JsonValue::Kind::kBool;
        out->boolean = false;
        return Literal("false");
      case '"':
        out->kind = JsonValue::Kind::kString;
        return ParseString(&out->text);
      case '[':
        return ParseArray(out, depth);
      case '{':
        return ParseObject(out, depth);
      default:
        // Python's json module writes these for non-finite floats.
        if (c == 'N') {
          out->kind = JsonValue::Kind::kNumber;
          out->number = NAN;
          return Literal("NaN");
        }
        if (c == 'I') {
          out->kind = JsonValue::Kind::kNumber;
          out->number = INFINITY;
          return Literal("Infinity");
        }
        if (c == '-' && s_.compare(pos_, 9, "-Infinity") == 0) {
          out->kind = JsonValue::Kind::kNumber;
          out->number = -INFINITY;
          pos_ += 9;
          return true;
        }
        return ParseNumber(out);
    }
  }

  bool ParseNumber(JsonValue* out) {
    const size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    size_t digits = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_, ++digits;
    if (digits == 0) return Fail("invalid value");
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      digits = 0;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_, ++digits;
      if (digits == 0) return Fail("invalid number");
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      digits = 0;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_, ++digits;
      if (digits == 0) return Fail("invalid number");
    }
    const std::string token = s_.substr(start, pos_ - start);
    out->kind = JsonValue::Kind::kNumber;
    out->number = std::strtod(token.c_str(), nullptr);
    return true;
  }

  bool ParseHex4(unsigned* value) {
    if (pos_ + 4 > s_.size()) return Fail("truncated \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = s_[pos_++];
      v <<= 4;
      if (h >= '0' && h <= '9') {
        v |= static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        v |= static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        v |= static_cast<unsigned>(h - 'A' + 10);
      } else {
        return Fail("invalid \\u escape");
      }
    }
    *value = v;
    return true;
  }

  static void AppendUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool ParseString(std::string* out) {
    ++pos_;  // opening quote
    out->clear();
    while (true) {
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char e = s_[pos_++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          unsigned cp = 0;
          if (!ParseHex4(&cp)) return false;
          // Join a surrogate pair; a lone surrogate is kept as its own
          // three-byte form rather than rejected.
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
            const size_t save = pos_;
            pos_ += 2;
            unsigned low = 0;
            if (!ParseHex4(&low)) return false;
            if (low >= 0xDC00 && low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = save;
            }
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return Fail("invalid escape");
      }
    }
  }

  bool ParseArray(JsonValue* out, int depth) {
    ++pos_;
    out->kind = JsonValue::Kind::kArray;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      out->items.emplace_back();
      SkipSpace();
      if (!ParseValue(&out->items.back(), depth + 1)) return false;
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unterminated array");
      const char c = s_[pos_++];
      if (c == ']') return true;
      if (c != ',') return Fail("expected ',' or ']'");
    }
  }

  bool ParseObject(JsonValue* out, int depth) {
    ++pos_;
    out->kind = JsonValue::Kind::kObject;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected a member name");
      std::string key;
      if (!ParseString(&key)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("expected ':'");
      ++pos_;
      SkipSpace();
      out->members.emplace_back(std::move(key), JsonValue());
      if (!ParseValue(&out->members.back().second, depth + 1)) return false;
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unterminated object");
      const char c = s_[pos_++];
      if (c == '}') return true;
      if (c != ',') return Fail("expected ',' or '}'");
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
  std::string error_;
};

void Dump(const JsonValue& v, std::string* out) {
  switch (v.kind) {
    case JsonValue::Kind::kNull:
      *out += "null";
      break;
    case JsonValue::Kind::kBool:
      *out += v.boolean ? "true" : "false";
      break;
    case JsonValue::Kind::kNumber:
      AppendJsonNumber(out, v.number);
      break;
    case JsonValue::Kind::kString:
      AppendJsonString(out, v.text.data(), v.text.size());
      break;
    case JsonValue::Kind::kArray:
      out->push_back('[');
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out->push_back(',');
        Dump(v.items[i], out);
      }
      out->push_back(']');
      break;
    case JsonValue::Kind::kObject:
      out->push_back('{');
      for (size_t i = 0; i < v.members.size(); ++i) {
        if (i) out->push_back(',');
        AppendJsonString(out, v.members[i].first.data(), v.members[i].first.size());
        out->push_back(':');
        Dump(v.members[i].second, out);
      }
      out->push_back('}');
      break;
  }
}

}  // namespace

const JsonValue* JsonValue::Find(const std::string& key) const {
  if (kind != Kind::kObject) return nullptr;
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (it->first == key) return &it->second;
  }
  return nullptr;
}

bool ParseJson(const std::string& text, JsonValue* out, std::string* error) {
  Parser parser(text);
  *out = JsonValue();
  if (parser.ParseDocument(out)) return true;
  if (error) *error = parser.error();
  return false;
}

std::string DumpJson(const JsonValue& value) {
  std::string out;
  Dump(value, &out);
  return out;
}

}  // namespace lumo_sim
