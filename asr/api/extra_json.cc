#include "api/extra_json.h"

#include <cstdlib>
#include <cstring>

namespace {

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char* SkipJsonSpace(const char* p) {
  while (IsJsonSpace(*p)) ++p;
  return p;
}

}  // namespace

const char* FindJsonValue(const char* json, const char* key) {
  if (json == nullptr || *json == '\0' || key == nullptr) return nullptr;
  const std::string pattern = std::string("\"") + key + "\"";
  const char* search_from = json;
  while (const char* hit = std::strstr(search_from, pattern.c_str())) {
    const char* after = hit + pattern.size();
    const char* p = SkipJsonSpace(after);
    if (*p == ':') return SkipJsonSpace(p + 1);
    // Not a key (a value, or text that merely contains the pattern): look
    // further on, past this occurrence.
    search_from = after;
  }
  return nullptr;
}

std::string GetJsonString(const char* json, const char* key, const std::string& default_value) {
  const char* p = FindJsonValue(json, key);
  if (p == nullptr || *p != '"') return default_value;
  std::string value;
  for (++p; *p != '\0' && *p != '"'; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0') {  // a lone backslash at the end of the text is kept
        value.push_back('\\');
        break;
      }
      ++p;
    }
    value.push_back(*p);
  }
  return value;
}

int32_t GetJsonInt(const char* json, const char* key, int32_t default_value) {
  const char* p = FindJsonValue(json, key);
  if (p == nullptr) return default_value;
  const long parsed = std::strtol(p, nullptr, 10);
  // Keep the low 32 bits, as a 32-bit int assigned from strtol's result
  // would; done on unsigned values so the wrap-around is well defined.
  const uint32_t low = static_cast<uint32_t>(static_cast<unsigned long>(parsed));
  int32_t value;
  std::memcpy(&value, &low, sizeof value);
  return value;
}
