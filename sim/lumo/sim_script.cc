#include "sim_script.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace lumo_sim {
namespace {

// Run status and content type spellings accepted besides plain integers.
const std::map<std::string, uint32_t> kStatusNames = {
    {"normal", 0}, {"finish", 1}, {"error", 2}};
const std::map<std::string, uint32_t> kContentTypeNames = {
    {"text", 0}, {"reasoning", 1}, {"tool", 2}};
const std::set<std::string> kFunctionNames = {
    "zor_llm_uninit", "zor_llm_run", "zor_llm_reset", "zor_llm_break",
    "zor_llm_set_chat_template", "zor_llm_set_chat_template_jinja",
    "zor_llm_set_toolcall_callback", "zor_llm_get_vision_info"};

// Collects the first error with the path of the member that caused it, so
// a test author sees e.g. "runs[1].events[0].token_id: expected an integer".
class Reader {
 public:
  explicit Reader(std::string* error) : error_(error) {}

  bool Fail(const std::string& where, const std::string& what) {
    *error_ = where + ": " + what;
    return false;
  }

  bool CheckKeys(const JsonValue& object, const std::string& where,
                 const std::set<std::string>& allowed) {
    if (!object.is_object()) return Fail(where, "expected an object");
    for (const auto& member : object.members) {
      if (!allowed.count(member.first)) return Fail(where, "unknown key '" + member.first + "'");
    }
    return true;
  }

  bool Int(const JsonValue& v, const std::string& where, int64_t lo, int64_t hi, int64_t* out) {
    if (!v.is_number() || !std::isfinite(v.number) || std::floor(v.number) != v.number) {
      return Fail(where, "expected an integer");
    }
    if (v.number < static_cast<double>(lo) || v.number > static_cast<double>(hi)) {
      return Fail(where, "integer out of range");
    }
    *out = static_cast<int64_t>(v.number);
    return true;
  }

  bool Int32(const JsonValue& v, const std::string& where, int32_t* out) {
    int64_t x = 0;
    if (!Int(v, where, INT32_MIN, INT32_MAX, &x)) return false;
    *out = static_cast<int32_t>(x);
    return true;
  }

  bool Enum(const JsonValue& v, const std::string& where,
            const std::map<std::string, uint32_t>& names, uint32_t* out) {
    if (v.is_string()) {
      auto it = names.find(v.text);
      if (it == names.end()) return Fail(where, "unknown name '" + v.text + "'");
      *out = it->second;
      return true;
    }
    int64_t x = 0;
    if (!Int(v, where, 0, UINT32_MAX, &x)) return false;
    *out = static_cast<uint32_t>(x);
    return true;
  }

  bool Float(const JsonValue& v, const std::string& where, float* out) {
    if (!v.is_number()) return Fail(where, "expected a number");
    *out = static_cast<float>(v.number);
    return true;
  }

  bool Bool(const JsonValue& v, const std::string& where, bool* out) {
    if (v.is_bool()) {
      *out = v.boolean;
      return true;
    }
    int64_t x = 0;
    if (!Int(v, where, 0, 1, &x)) return Fail(where, "expected true or false");
    *out = x != 0;
    return true;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool Hex(const JsonValue& v, const std::string& where, std::string* out) {
    if (!v.is_string() || v.text.size() % 2 != 0) return Fail(where, "expected an even-length hex string");
    out->clear();
    for (size_t i = 0; i < v.text.size(); i += 2) {
      const int hi = HexDigit(v.text[i]);
      const int lo = HexDigit(v.text[i + 1]);
      if (hi < 0 || lo < 0) return Fail(where, "expected an even-length hex string");
      out->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
  }

  // A text given as "key" (string or null) or "key_hex" (raw bytes).
  bool TextOrHex(const JsonValue& object, const std::string& where, const std::string& key,
                 bool* present, bool* is_null, std::string* out) {
    const JsonValue* plain = object.Find(key);
    const JsonValue* hex = object.Find(key + "_hex");
    *present = plain || hex;
    *is_null = false;
    if (plain && hex) return Fail(where, "give either '" + key + "' or '" + key + "_hex'");
    if (hex) return Hex(*hex, where + "." + key + "_hex", out);
    if (!plain) return true;
    if (plain->is_null()) {
      *is_null = true;
      out->clear();
      return true;
    }
    if (plain->is_string()) {
      *out = plain->text;
      return true;
    }
    // Structured tool arguments are handed over as their compact JSON text.
    if (key == "arguments" && (plain->is_object() || plain->is_array())) {
      *out = DumpJson(*plain);
      return true;
    }
    return Fail(where + "." + key, "expected a string or null");
  }

  bool Delay(const JsonValue& v, const std::string& where, int* out) {
    int64_t x = 0;
    if (!Int(v, where, 0, 600000, &x)) return false;
    *out = static_cast<int>(x);
    return true;
  }

  bool Piece(const JsonValue& v, const std::string& where, uint32_t default_status,
             bool is_end, ScriptEvent* e) {
    if (!CheckKeys(v, where, {"text", "text_hex", "token_id", "type", "status", "null_result",
                              "delay_ms"})) {
      return false;
    }
    e->kind = ScriptEvent::Kind::kResult;
    e->status = default_status;
    bool present = false;
    if (!TextOrHex(v, where, "text", &present, &e->null_text, &e->text)) return false;
    e->null_result = is_end && !present;
    if (const JsonValue* x = v.Find("null_result")) {
      if (!Bool(*x, where + ".null_result", &e->null_result)) return false;
    } else if (!present && !is_end) {
      return Fail(where, "a piece needs 'text', 'text_hex' or 'null_result'");
    }
    if (const JsonValue* x = v.Find("token_id")) {
      if (!Int32(*x, where + ".token_id", &e->token_id)) return false;
    }
    if (const JsonValue* x = v.Find("type")) {
      if (!Enum(*x, where + ".type", kContentTypeNames, &e->content_type)) return false;
    }
    if (const JsonValue* x = v.Find("status")) {
      if (!Enum(*x, where + ".status", kStatusNames, &e->status)) return false;
    }
    if (const JsonValue* x = v.Find("delay_ms")) {
      if (!Delay(*x, where + ".delay_ms", &e->delay_ms)) return false;
    }
    return true;
  }

  bool Event(const JsonValue& v, const std::string& where, ScriptEvent* e) {
    if (const JsonValue* call = v.Find("tool_call")) {
      if (!CheckKeys(v, where, {"tool_call", "delay_ms"})) return false;
      const std::string at = where + ".tool_call";
      if (!CheckKeys(*call, at, {"name", "name_hex", "arguments", "arguments_hex"})) return false;
      e->kind = ScriptEvent::Kind::kToolCall;
      bool present = false;
      if (!TextOrHex(*call, at, "name", &present, &e->null_name, &e->name)) return false;
      if (!present) return Fail(at, "missing 'name'");
      if (!TextOrHex(*call, at, "arguments", &present, &e->null_arguments, &e->arguments)) {
        return false;
      }
      if (!present) e->arguments = "{}";
    } else if (const JsonValue* wait = v.Find("wait_break")) {
      if (!CheckKeys(v, where, {"wait_break", "delay_ms"})) return false;
      e->kind = ScriptEvent::Kind::kWaitBreak;
      if (!Delay(*wait, where + ".wait_break", &e->timeout_ms)) return false;
    } else {
      return Piece(v, where, 0, false, e);
    }
    if (const JsonValue* x = v.Find("delay_ms")) {
      if (!Delay(*x, where + ".delay_ms", &e->delay_ms)) return false;
    }
    return true;
  }

  // "end" and "break_end": null = no final delivery; a status name or
  // number = that status with a null result; an object = a full piece.
  bool End(const JsonValue& v, const std::string& where, bool* deliver, ScriptEvent* e) {
    *deliver = !v.is_null();
    if (v.is_null()) return true;
    e->kind = ScriptEvent::Kind::kResult;
    if (v.is_object()) return Piece(v, where, 1, true, e);
    e->null_result = true;
    return Enum(v, where, kStatusNames, &e->status);
  }

  bool Run(const JsonValue& v, const std::string& where, ScriptRun* run) {
    if (!CheckKeys(v, where, {"match", "thread", "delay_ms", "return", "events", "end",
                              "break_end"})) {
      return false;
    }
    if (const JsonValue* x = v.Find("match")) {
      if (!x->is_string()) return Fail(where + ".match", "expected a string");
      run->has_match = true;
      run->match = x->text;
    }
    if (const JsonValue* x = v.Find("thread")) {
      if (!x->is_string() || (x->text != "caller" && x->text != "worker")) {
        return Fail(where + ".thread", "expected \"caller\" or \"worker\"");
      }
      run->on_worker = x->text == "worker";
    }
    if (const JsonValue* x = v.Find("delay_ms")) {
      if (!Delay(*x, where + ".delay_ms", &run->delay_ms)) return false;
    }
    if (const JsonValue* x = v.Find("return")) {
      if (!Int32(*x, where + ".return", &run->return_status)) return false;
    }
    if (const JsonValue* x = v.Find("end")) {
      if (!End(*x, where + ".end", &run->deliver_end, &run->end)) return false;
    }
    if (const JsonValue* x = v.Find("break_end")) {
      if (!End(*x, where + ".break_end", &run->deliver_break_end, &run->break_end)) return false;
    }
    if (const JsonValue* x = v.Find("events")) {
      if (!x->is_array()) return Fail(where + ".events", "expected an array");
      run->events.resize(x->items.size());
      for (size_t i = 0; i < x->items.size(); ++i) {
        if (!Event(x->items[i], where + ".events[" + std::to_string(i) + "]", &run->events[i])) {
          return false;
        }
      }
    }
    return true;
  }

  bool Floats3(const JsonValue& v, const std::string& where, float* out) {
    if (!v.is_array() || v.items.size() != 3) return Fail(where, "expected three numbers");
    for (int i = 0; i < 3; ++i) {
      if (!Float(v.items[i], where, &out[i])) return false;
    }
    return true;
  }

  bool Tensor(const JsonValue& v, const std::string& where, ScriptVisionTensor* t) {
    if (!CheckKeys(v, where, {"index", "name", "type", "height", "width", "channels", "size"})) {
      return false;
    }
    const std::pair<const char*, int32_t*> ints[] = {
        {"index", &t->index}, {"type", &t->type}, {"height", &t->height},
        {"width", &t->width}, {"channels", &t->channels}, {"size", &t->size}};
    for (const auto& field : ints) {
      if (const JsonValue* x = v.Find(field.first)) {
        if (!Int32(*x, where + "." + field.first, field.second)) return false;
      }
    }
    if (const JsonValue* x = v.Find("name")) {
      if (!x->is_string()) return Fail(where + ".name", "expected a string");
      t->name = x->text;
    }
    return true;
  }

  bool Vision(const JsonValue& v, const std::string& where, ScriptVision* vision) {
    if (!CheckKeys(v, where, {"status", "has_metadata", "projector_type", "projector_type_hex",
                              "image_mean", "image_std", "patch_size", "spatial_merge_size",
                              "inputs", "n_input", "input_null"})) {
      return false;
    }
    if (const JsonValue* x = v.Find("status")) {
      if (!Int32(*x, where + ".status", &vision->status)) return false;
    }
    if (const JsonValue* x = v.Find("has_metadata")) {
      if (!Bool(*x, where + ".has_metadata", &vision->has_metadata)) return false;
    }
    bool present = false;
    bool is_null = false;
    if (!TextOrHex(v, where, "projector_type", &present, &is_null, &vision->projector_type)) {
      return false;
    }
    if (const JsonValue* x = v.Find("image_mean")) {
      if (!Floats3(*x, where + ".image_mean", vision->image_mean)) return false;
    }
    if (const JsonValue* x = v.Find("image_std")) {
      if (!Floats3(*x, where + ".image_std", vision->image_std)) return false;
    }
    if (const JsonValue* x = v.Find("patch_size")) {
      if (!Int32(*x, where + ".patch_size", &vision->patch_size)) return false;
    }
    if (const JsonValue* x = v.Find("spatial_merge_size")) {
      if (!Int32(*x, where + ".spatial_merge_size", &vision->spatial_merge_size)) return false;
    }
    if (const JsonValue* x = v.Find("inputs")) {
      if (!x->is_array()) return Fail(where + ".inputs", "expected an array");
      vision->inputs.resize(x->items.size());
      for (size_t i = 0; i < x->items.size(); ++i) {
        if (!Tensor(x->items[i], where + ".inputs[" + std::to_string(i) + "]",
                    &vision->inputs[i])) {
          return false;
        }
      }
    }
    if (const JsonValue* x = v.Find("input_null")) {
      if (!Bool(*x, where + ".input_null", &vision->input_null)) return false;
    }
    if (const JsonValue* x = v.Find("n_input")) {
      vision->n_input_set = true;
      if (!Int32(*x, where + ".n_input", &vision->n_input)) return false;
      // A count beyond the array would send the caller past its end.
      if (!vision->input_null && vision->n_input > static_cast<int32_t>(vision->inputs.size())) {
        return Fail(where + ".n_input", "larger than the number of inputs (set input_null)");
      }
    }
    return true;
  }

  bool Document(const JsonValue& v, Script* script) {
    if (!CheckKeys(v, "script", {"strict", "init", "returns", "vision", "runs"})) return false;
    if (const JsonValue* strict = v.Find("strict")) {
      if (!Bool(*strict, "strict", &script->strict)) return false;
    }
    if (const JsonValue* init = v.Find("init")) {
      if (!CheckKeys(*init, "init", {"status", "context"})) return false;
      if (const JsonValue* x = init->Find("status")) {
        if (!Int32(*x, "init.status", &script->init_status)) return false;
      }
      if (const JsonValue* x = init->Find("context")) {
        if (!Bool(*x, "init.context", &script->init_context)) return false;
      }
    }
    if (const JsonValue* returns = v.Find("returns")) {
      if (!returns->is_object()) return Fail("returns", "expected an object");
      for (const auto& member : returns->members) {
        if (!kFunctionNames.count(member.first)) {
          return Fail("returns", "unknown function '" + member.first + "'");
        }
        int32_t status = 0;
        if (!Int32(member.second, "returns." + member.first, &status)) return false;
        script->returns[member.first] = status;
      }
    }
    if (const JsonValue* vision = v.Find("vision")) {
      if (!Vision(*vision, "vision", &script->vision)) return false;
    }
    if (const JsonValue* runs = v.Find("runs")) {
      if (!runs->is_array()) return Fail("runs", "expected an array");
      script->runs.resize(runs->items.size());
      for (size_t i = 0; i < runs->items.size(); ++i) {
        if (!Run(runs->items[i], "runs[" + std::to_string(i) + "]", &script->runs[i])) {
          return false;
        }
      }
    }
    return true;
  }

 private:
  std::string* error_;
};

}  // namespace

int32_t Script::ReturnFor(const char* function) const {
  auto it = returns.find(function);
  return it == returns.end() ? 0 : it->second;
}

bool ParseScript(const JsonValue& document, Script* script, std::string* error) {
  *script = Script();
  Reader reader(error);
  return reader.Document(document, script);
}

bool LoadScriptFile(const std::string& path, Script* script, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  JsonValue document;
  std::string parse_error;
  if (!ParseJson(text, &document, &parse_error)) {
    *error = path + ": " + parse_error;
    return false;
  }
  std::string script_error;
  if (!ParseScript(document, script, &script_error)) {
    *error = path + ": " + script_error;
    return false;
  }
  return true;
}

}  // namespace lumo_sim
