// Builders for the one-line JSON records of the simulator's call log.
//
// Every text the runtime receives is logged exactly: valid UTF-8 becomes a
// JSON string, anything else {"hex": "..."} so that no byte is lost or
// altered, and a null pointer becomes null.
#ifndef ZOR_SIM_LUMO_JSON_WRITER_H_
#define ZOR_SIM_LUMO_JSON_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumo_sim {

bool IsValidUtf8(const char* data, size_t size);

// Appends a JSON string literal; the bytes must be valid UTF-8.
void AppendJsonString(std::string* out, const char* data, size_t size);
// Appends a finite number as the shortest exact text of the double;
// non-finite values as NaN / Infinity / -Infinity (read back by Python's json).
void AppendJsonNumber(std::string* out, double value);
// Appends a string literal when the bytes are UTF-8, else {"hex": "..."}.
void AppendJsonBytes(std::string* out, const char* data, size_t size);

std::string HexOf(const void* data, size_t size);
// Pointer values are logged as "0x..." strings (JSON numbers lose bits).
std::string PointerText(const void* pointer);

// Accumulates the members of one JSON object.
class JsonObject {
 public:
  JsonObject& Int(const char* key, int64_t value);
  JsonObject& Uint(const char* key, uint64_t value);
  JsonObject& Number(const char* key, double value);
  JsonObject& Bool(const char* key, bool value);
  JsonObject& Null(const char* key);
  // A NUL-terminated text; null when the pointer is null.
  JsonObject& Text(const char* key, const char* nullable_text);
  JsonObject& Bytes(const char* key, const char* data, size_t size);
  JsonObject& Pointer(const char* key, const void* pointer);
  // A member whose value is already JSON text (a nested object or array).
  JsonObject& Raw(const char* key, const std::string& json);

  std::string Finish() const { return body_ + "}"; }

 private:
  void Key(const char* key);
  std::string body_ = "{";
};

// Accumulates the items of one JSON array.
class JsonArray {
 public:
  JsonArray& Raw(const std::string& json);
  JsonArray& Int(int64_t value);
  std::string Finish() const { return body_ + "]"; }

 private:
  std::string body_ = "[";
  bool first_ = true;
};

}  // namespace lumo_sim

#endif  // ZOR_SIM_LUMO_JSON_WRITER_H_
