// lumo_func.cc: the LLM runtime's entry-point table, its loader, and the nine
// trampolines exported under the runtime's own names. Everything else in
// _lumo calls the runtime through these trampolines, so a missing runtime (or
// a missing entry) turns into ZOR_LLM_Status_Failed instead of a crash.
#include "lumo_func.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#define ZOR_LUMO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

LUMO_FUNC_PTR s_func = {};    // all null while no runtime is loaded
void* s_handle = nullptr;     // dlopen handle of the runtime library
[[maybe_unused]] bool s_loaded = false;  // the table is filled
std::string s_error;          // why the last load failed

// Resolves one entry; false (and the error text) when the library lacks it.
template <typename Fn>
bool resolve(void* handle, const char* name, Fn* out) {
  void* sym = dlsym(handle, name);
  *out = reinterpret_cast<Fn>(sym);
  if (sym == nullptr) s_error = std::string("entry point ") + name + " not found";
  return sym != nullptr;
}

// Opens path and fills the table; leaves everything empty on failure.
int load_from(const char* path) {
  if (path == nullptr || *path == '\0') {
    s_error = "no library path";
    return 1;
  }
  // RTLD_LOCAL: the runtime's symbols carry the same names as our exported
  // trampolines; keeping them out of the global scope avoids either side
  // binding to the other's.
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    s_error = reason != nullptr ? reason : "unknown loader error";
    // The loader's text usually starts with the path; name it otherwise.
    if (s_error.compare(0, std::strlen(path), path) != 0) s_error = std::string(path) + ": " + s_error;
    return 1;
  }
  LUMO_FUNC_PTR table = {};
  bool ok = resolve(handle, "zor_llm_init", &table.zor_llm_init) &&
            resolve(handle, "zor_llm_uninit", &table.zor_llm_uninit) &&
            resolve(handle, "zor_llm_run", &table.zor_llm_run) &&
            resolve(handle, "zor_llm_reset", &table.zor_llm_reset) &&
            resolve(handle, "zor_llm_break", &table.zor_llm_break) &&
            resolve(handle, "zor_llm_set_chat_template", &table.zor_llm_set_chat_template) &&
            resolve(handle, "zor_llm_set_chat_template_jinja", &table.zor_llm_set_chat_template_jinja) &&
            resolve(handle, "zor_llm_set_toolcall_callback", &table.zor_llm_set_toolcall_callback) &&
            resolve(handle, "zor_llm_get_vision_info", &table.zor_llm_get_vision_info);
  if (!ok) {
    s_error = std::string(path) + ": " + s_error;
    dlclose(handle);
    return 1;
  }
  s_func = table;
  s_handle = handle;
  s_loaded = true;
  return 0;
}

int load(const char* lib_path) {
  s_error.clear();
  if (s_loaded) return 0;
  // ZOR_LUMO_PATH names a stand-in runtime (the simulated one on a host);
  // it wins over the packaged path on every architecture.
  const char* override_path = std::getenv("ZOR_LUMO_PATH");
  if (override_path != nullptr && *override_path != '\0') return load_from(override_path);
#if defined(__aarch64__)
  return load_from(lib_path);
#else
  // No runtime exists for this architecture: succeed with an empty table, so
  // objects can be built and every runtime call reports failure.
  (void)lib_path;
  return 0;
#endif
}

}  // namespace

ZOR_LUMO_EXPORT int load_lumo_func(const char* lib_path) {
  try {
    return load(lib_path);
  } catch (...) {  // the error text could not be built
    return 1;
  }
}

ZOR_LUMO_EXPORT const char* lumo_func_error(void) { return s_error.c_str(); }

ZOR_LUMO_EXPORT void unload_lumo_func(void) {
  if (s_handle != nullptr) {
    dlclose(s_handle);
    s_handle = nullptr;
  }
  s_func = LUMO_FUNC_PTR{};
  s_loaded = false;
}

// Trampolines: read the entry once, forward unchanged, or fail cleanly.

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_init(LLMContext* context, ZOR_LLMInitConfig* init_config,
                                              LLMResultCallback callback) {
  PFN_zor_llm_init fn = s_func.zor_llm_init;
  return fn ? fn(context, init_config, callback) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_uninit(LLMContext context) {
  PFN_zor_llm_uninit fn = s_func.zor_llm_uninit;
  return fn ? fn(context) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_run(LLMContext context, ZOR_LLMInput* input, ZOR_LLMRunConfig* run_config,
                                             void* userdata) {
  PFN_zor_llm_run fn = s_func.zor_llm_run;
  return fn ? fn(context, input, run_config, userdata) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_reset(LLMContext context) {
  PFN_zor_llm_reset fn = s_func.zor_llm_reset;
  return fn ? fn(context) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_break(LLMContext context) {
  PFN_zor_llm_break fn = s_func.zor_llm_break;
  return fn ? fn(context) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_set_chat_template(LLMContext context, const char* system_prompt,
                                                           const char* prompt_prefix, const char* prompt_postfix) {
  PFN_zor_llm_set_chat_template fn = s_func.zor_llm_set_chat_template;
  return fn ? fn(context, system_prompt, prompt_prefix, prompt_postfix) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_set_chat_template_jinja(LLMContext context, const char* jinja_template) {
  PFN_zor_llm_set_chat_template_jinja fn = s_func.zor_llm_set_chat_template_jinja;
  return fn ? fn(context, jinja_template) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_set_toolcall_callback(LLMContext context, LLM_ToolUseCallback callback,
                                                               int32_t stop_output) {
  PFN_zor_llm_set_toolcall_callback fn = s_func.zor_llm_set_toolcall_callback;
  return fn ? fn(context, callback, stop_output) : ZOR_LLM_Status_Failed;
}

ZOR_LUMO_EXPORT ZOR_LLMRetStatus zor_llm_get_vision_info(LLMContext context, ZOR_LLMVisionInfo* vision_info) {
  PFN_zor_llm_get_vision_info fn = s_func.zor_llm_get_vision_info;
  return fn ? fn(context, vision_info) : ZOR_LLM_Status_Failed;
}
