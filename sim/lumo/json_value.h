// A small JSON document model and parser for the simulator's scripts.
//
// Scripts are written by tests (usually with Python's json module), so the
// parser aims at strictness and safety rather than speed: it rejects
// trailing garbage, bounds nesting depth, and reports the byte offset of
// the first error.
#ifndef ZOR_SIM_LUMO_JSON_VALUE_H_
#define ZOR_SIM_LUMO_JSON_VALUE_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lumo_sim {

class JsonValue {
 public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0.0;
  std::string text;                                       // kString
  std::vector<JsonValue> items;                           // kArray
  std::vector<std::pair<std::string, JsonValue>> members;  // kObject, in file order

  bool is_null() const { return kind == Kind::kNull; }
  bool is_bool() const { return kind == Kind::kBool; }
  bool is_number() const { return kind == Kind::kNumber; }
  bool is_string() const { return kind == Kind::kString; }
  bool is_array() const { return kind == Kind::kArray; }
  bool is_object() const { return kind == Kind::kObject; }

  // Member lookup on an object (last one wins, as in Python); null when
  // absent or when this is not an object.
  const JsonValue* Find(const std::string& key) const;
};

// Parses one complete JSON text. On failure returns false and sets *error
// to a message that names the byte offset.
bool ParseJson(const std::string& text, JsonValue* out, std::string* error);

// Serialises a value back to compact JSON text (used to hand object-valued
// tool arguments to the callback as text).
std::string DumpJson(const JsonValue& value);

}  // namespace lumo_sim

#endif  // ZOR_SIM_LUMO_JSON_VALUE_H_
