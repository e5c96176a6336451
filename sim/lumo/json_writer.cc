#include "json_writer.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lumo_sim {

bool IsValidUtf8(const char* data, size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  while (i < size) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (size - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8,
    // and Python's strict decoder would reject them too.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

void AppendJsonString(std::string* out, const char* data, size_t size) {
  out->push_back('"');
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          *out += buf;
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

void AppendJsonNumber(std::string* out, double value) {
  if (std::isnan(value)) {
    *out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    *out += value > 0 ? "Infinity" : "-Infinity";
    return;
  }
  char buf[40];
  // 17 significant digits read back to the same double; float32 fields are
  // widened first, so Python compares them against struct-packed values.
  std::snprintf(buf, sizeof buf, "%.17g", value);
  *out += buf;
}

std::string HexOf(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[p[i] >> 4]);
    hex.push_back(kDigits[p[i] & 0x0F]);
  }
  return hex;
}

void AppendJsonBytes(std::string* out, const char* data, size_t size) {
  if (IsValidUtf8(data, size)) {
    AppendJsonString(out, data, size);
    return;
  }
  *out += "{\"hex\":\"";
  *out += HexOf(data, size);
  *out += "\"}";
}

std::string PointerText(const void* pointer) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(pointer));
  return buf;
}

void JsonObject::Key(const char* key) {
  if (body_.size() > 1) body_.push_back(',');
  AppendJsonString(&body_, key, std::char_traits<char>::length(key));
  body_.push_back(':');
}

JsonObject& JsonObject::Int(const char* key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Uint(const char* key, uint64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Number(const char* key, double value) {
  Key(key);
  AppendJsonNumber(&body_, value);
  return *this;
}

JsonObject& JsonObject::Bool(const char* key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Null(const char* key) {
  Key(key);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::Text(const char* key, const char* nullable_text) {
  if (nullable_text == nullptr) return Null(key);
  return Bytes(key, nullable_text, std::char_traits<char>::length(nullable_text));
}

JsonObject& JsonObject::Bytes(const char* key, const char* data, size_t size) {
  Key(key);
  AppendJsonBytes(&body_, data, size);
  return *this;
}

JsonObject& JsonObject::Pointer(const char* key, const void* pointer) {
  if (pointer == nullptr) return Null(key);
  Key(key);
  body_ += "\"" + PointerText(pointer) + "\"";
  return *this;
}

JsonObject& JsonObject::Raw(const char* key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}

JsonArray& JsonArray::Raw(const std::string& json) {
  if (!first_) body_.push_back(',');
  first_ = false;
  body_ += json;
  return *this;
}

JsonArray& JsonArray::Int(int64_t value) { return Raw(std::to_string(value)); }

}  // namespace lumo_sim
