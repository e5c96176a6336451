// The nine runtime entry points of the simulated LLM runtime, plus a small
// inspection interface for tests (zor_lumo_sim_*). Every entry point logs
// what it received before acting on it, catches every exception at the C
// boundary, and refuses (status 1) handles it did not issue.
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

// The runtime's functions are declared by the interface header; exporting
// them from this library needs default visibility on those declarations.
#pragma GCC visibility push(default)
#include "lumo.h"
extern "C" {
// Number of contexts created and not yet released (leak checks in tests).
int zor_lumo_sim_live_contexts(void);
}
#pragma GCC visibility pop

#include "call_log.h"
#include "record_json.h"
#include "sim_context.h"
#include "sim_script.h"

using lumo_sim::BeginRecord;
using lumo_sim::JsonObject;
using lumo_sim::SimContext;
using lumo_sim::WriteRecord;

namespace {

constexpr ZOR_LLMRetStatus kFailed = ZOR_LLM_Status_Failed;

ZOR_LLMRetStatus AsStatus(int32_t value) { return static_cast<ZOR_LLMRetStatus>(value); }

// Where a context's script comes from: the model path when it names a
// readable file, else ZOR_LUMO_SIM_SCRIPT (so tests can pass any model
// path, a null one included). False with a message when neither works.
bool LoadScript(const char* model_path, lumo_sim::Script* script, std::string* used,
                std::string* error) {
  std::string model_error;
  if (model_path != nullptr && *model_path != '\0') {
    if (lumo_sim::LoadScriptFile(model_path, script, &model_error)) {
      *used = model_path;
      return true;
    }
    // A readable file that is not a valid script is a test error to report,
    // not a reason to fall back silently.
    if (model_error.rfind("cannot open ", 0) != 0) {
      *error = model_error;
      return false;
    }
  }
  const char* fallback = std::getenv("ZOR_LUMO_SIM_SCRIPT");
  if (fallback != nullptr && *fallback != '\0') {
    *used = fallback;
    return lumo_sim::LoadScriptFile(fallback, script, error);
  }
  *error = model_error.empty() ? "no script: model_path is empty and ZOR_LUMO_SIM_SCRIPT is unset"
                               : model_error + " and ZOR_LUMO_SIM_SCRIPT is unset";
  return false;
}

// Runs body, turning any exception into a failure status and a diagnostic.
template <typename Body>
ZOR_LLMRetStatus Guarded(const char* name, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    lumo_sim::Diagnose(std::string(name) + ": " + e.what());
  } catch (...) {
    lumo_sim::Diagnose(std::string(name) + ": unknown exception");
  }
  return kFailed;
}

// Logs a call on a context and finds it; null (and "known": false in the
// log) when the handle is not a live context.
std::shared_ptr<SimContext> Lookup(JsonObject* record, LLMContext context) {
  record->Pointer("ctx", context);
  std::shared_ptr<SimContext> found = lumo_sim::FindContext(context);
  record->Bool("known", found != nullptr);
  return found;
}

// Status the script asks this call to report (0 when it says nothing).
int32_t Scripted(const std::shared_ptr<SimContext>& ctx, const char* name) {
  return ctx ? ctx->script().ReturnFor(name) : kFailed;
}

}  // namespace

extern "C" {

ZOR_LLMRetStatus zor_llm_init(LLMContext* context, ZOR_LLMInitConfig* init_config,
                              LLMResultCallback callback) {
  return Guarded("zor_llm_init", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_init");
    record.Pointer("context_arg", context);
    record.Pointer("callback", reinterpret_cast<const void*>(callback));
    if (init_config == nullptr) {
      record.Null("config");
    } else {
      record.Raw("config", lumo_sim::InitConfigJson(*init_config));
    }
    if (context == nullptr || init_config == nullptr) {
      record.Int("status", kFailed);
      WriteRecord(record);
      return kFailed;
    }
    lumo_sim::Script script;
    std::string used;
    std::string error;
    if (!LoadScript(init_config->model_path, &script, &used, &error)) {
      lumo_sim::Diagnose("zor_llm_init: " + error);
      *context = nullptr;
      record.Text("error", error.c_str());
      record.Null("context");
      record.Int("status", kFailed);
      WriteRecord(record);
      return kFailed;
    }
    record.Text("script", used.c_str());
    const int32_t status = script.init_status;
    if (status != 0 && !script.init_context) {
      *context = nullptr;
    } else {
      *context = lumo_sim::RegisterContext(
          std::make_shared<SimContext>(std::move(script), callback));
    }
    record.Pointer("context", *context);
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_uninit(LLMContext context) {
  return Guarded("zor_llm_uninit", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_uninit");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    const int32_t status = ctx ? ctx->script().ReturnFor("zor_llm_uninit") : kFailed;
    if (ctx) ctx->WaitLikeStrictRuntime();
    // The context is released whatever status the script reports: the
    // caller never uses it again either way.
    if (ctx) lumo_sim::ReleaseContext(context);
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_run(LLMContext context, ZOR_LLMInput* input, ZOR_LLMRunConfig* run_config,
                             void* userdata) {
  return Guarded("zor_llm_run", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_run");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    if (input == nullptr) {
      record.Null("input");
    } else {
      record.Raw("input", lumo_sim::InputJson(*input));
    }
    if (run_config == nullptr) {
      record.Null("run_config");
    } else {
      record.Raw("run_config", lumo_sim::RunConfigJson(*run_config));
    }
    record.Pointer("userdata", userdata);
    WriteRecord(record);
    if (!ctx || input == nullptr || run_config == nullptr) return kFailed;
    const int32_t status = ctx->Run(input, userdata);
    JsonObject done = BeginRecord("zor_llm_run_return");
    done.Pointer("ctx", context);
    done.Int("status", status);
    WriteRecord(done);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_reset(LLMContext context) {
  return Guarded("zor_llm_reset", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_reset");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    const int32_t status = Scripted(ctx, "zor_llm_reset");
    if (ctx) ctx->WaitLikeStrictRuntime();
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_break(LLMContext context) {
  return Guarded("zor_llm_break", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_break");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    const int32_t status = Scripted(ctx, "zor_llm_break");
    // A break the script makes fail has no effect.
    const bool during_run = ctx && status == 0 && ctx->RequestBreak();
    if (during_run) ctx->WaitLikeStrictRuntime();
    record.Bool("during_run", during_run);
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_set_chat_template(LLMContext context, const char* system_prompt,
                                           const char* prompt_prefix, const char* prompt_postfix) {
  return Guarded("zor_llm_set_chat_template", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_set_chat_template");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    record.Text("system_prompt", system_prompt);
    record.Text("prompt_prefix", prompt_prefix);
    record.Text("prompt_postfix", prompt_postfix);
    const int32_t status = Scripted(ctx, "zor_llm_set_chat_template");
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_set_chat_template_jinja(LLMContext context, const char* jinja_template) {
  return Guarded("zor_llm_set_chat_template_jinja", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_set_chat_template_jinja");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    record.Text("jinja_template", jinja_template);
    const int32_t status = Scripted(ctx, "zor_llm_set_chat_template_jinja");
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_set_toolcall_callback(LLMContext context, LLM_ToolUseCallback callback,
                                               int32_t stop_output) {
  return Guarded("zor_llm_set_toolcall_callback", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_set_toolcall_callback");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    record.Pointer("callback", reinterpret_cast<const void*>(callback));
    record.Int("stop_output", stop_output);
    const int32_t status = Scripted(ctx, "zor_llm_set_toolcall_callback");
    // A registration the script makes fail leaves the previous one in place.
    if (status == 0) ctx->SetToolCallback(callback, stop_output);
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

ZOR_LLMRetStatus zor_llm_get_vision_info(LLMContext context, ZOR_LLMVisionInfo* vision_info) {
  return Guarded("zor_llm_get_vision_info", [&]() -> ZOR_LLMRetStatus {
    JsonObject record = BeginRecord("zor_llm_get_vision_info");
    std::shared_ptr<SimContext> ctx = Lookup(&record, context);
    record.Pointer("vision_info", vision_info);
    int32_t status = Scripted(ctx, "zor_llm_get_vision_info");
    if (ctx && status == 0) status = ctx->script().vision.status;
    if (vision_info == nullptr) status = kFailed;
    // On failure the record is left as the caller gave it.
    if (status == 0) ctx->FillVisionInfo(vision_info);
    record.Int("status", status);
    WriteRecord(record);
    return AsStatus(status);
  });
}

int zor_lumo_sim_live_contexts(void) { return lumo_sim::LiveContextCount(); }

}  // extern "C"
