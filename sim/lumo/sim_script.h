// The script that drives the simulated LLM runtime: what init, the vision
// query and every other call report, and what each generation delivers.
// Its JSON form is documented in README.md next to this file.
#ifndef ZOR_SIM_LUMO_SIM_SCRIPT_H_
#define ZOR_SIM_LUMO_SIM_SCRIPT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "json_value.h"

namespace lumo_sim {

// One step of a generation.
struct ScriptEvent {
  enum class Kind { kResult, kToolCall, kWaitBreak };
  Kind kind = Kind::kResult;

  // kResult: one delivery to the result callback.
  bool null_result = false;  // the callback receives a null result pointer
  bool null_text = false;    // generation.text is null
  std::string text;          // arbitrary bytes; a NUL is appended on delivery
  int32_t token_id = 0;
  uint32_t content_type = 0;
  uint32_t status = 0;  // run status passed with the piece

  // kToolCall: one delivery to the tool-call callback.
  bool null_name = false;
  bool null_arguments = false;
  std::string name;
  std::string arguments;

  // kWaitBreak: block until zor_llm_break arrives or the timeout passes.
  int timeout_ms = 0;

  // Pause before this step; -1 takes the run's delay_ms.
  int delay_ms = -1;
};

struct ScriptRun {
  // Both endings default to FINISH with a null result.
  ScriptRun() {
    end.null_result = true;
    end.status = 1;
    break_end = end;
  }

  bool has_match = false;
  std::string match;  // chosen when the prompt text contains this
  bool on_worker = false;
  int delay_ms = 0;
  int32_t return_status = 0;
  std::vector<ScriptEvent> events;
  bool deliver_end = true;
  ScriptEvent end;  // final delivery of a run that played out
  bool deliver_break_end = true;
  ScriptEvent break_end;  // final delivery of a run stopped by zor_llm_break
};

struct ScriptVisionTensor {
  int32_t index = 0;
  std::string name;
  int32_t type = 0;
  int32_t height = 0;
  int32_t width = 0;
  int32_t channels = 0;
  int32_t size = 0;
};

struct ScriptVision {
  int32_t status = 0;
  bool has_metadata = false;
  std::string projector_type;
  float image_mean[3] = {0, 0, 0};
  float image_std[3] = {0, 0, 0};
  int32_t patch_size = 0;
  int32_t spatial_merge_size = 0;
  std::vector<ScriptVisionTensor> inputs;
  bool n_input_set = false;
  int32_t n_input = 0;       // reported count when set, else inputs.size()
  bool input_null = false;   // report a null input array whatever n_input is
};

struct Script {
  // A strict runtime: every generation delivers from a thread of its own
  // while holding the context's internal lock, and break, reset and uninit
  // take that lock and wait for the generation to end.
  bool strict = false;
  int32_t init_status = 0;
  bool init_context = true;  // whether a failing init still writes a context
  std::map<std::string, int32_t> returns;  // status per runtime function name
  ScriptVision vision;
  std::vector<ScriptRun> runs;

  // Status to return from the named function (0 unless the script says).
  int32_t ReturnFor(const char* function) const;
};

bool ParseScript(const JsonValue& document, Script* script, std::string* error);
bool LoadScriptFile(const std::string& path, Script* script, std::string* error);

}  // namespace lumo_sim

#endif  // ZOR_SIM_LUMO_SIM_SCRIPT_H_
