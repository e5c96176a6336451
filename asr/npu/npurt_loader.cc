// Process-wide lazy loader for the board's NPU runtime and the eight
// forwarders libfenn exports under the runtime's own names. libfenn never
// links the runtime: the first NPU call opens it, later calls reuse it, and
// it stays loaded until the process exits.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "zornn_api.h"
#include "zornn_types.h"

namespace {

using PFN_zornn_init = int (*)(zornn_context*, const char*, uint32_t, zornn_init_config*);
using PFN_zornn_query = int (*)(zornn_context, uint32_t, void*, uint32_t);
using PFN_zornn_inputs_set = int (*)(zornn_context, uint32_t, zornn_input*);
using PFN_zornn_run = int (*)(zornn_context, void*);
using PFN_zornn_outputs_get = int (*)(zornn_context, uint32_t, zornn_output*);
using PFN_zornn_destroy = int (*)(zornn_context);
using PFN_zornn_set_softop_opt = int (*)(zornn_context, zornn_softop_opt*, uint32_t);
using PFN_zornn_set_input_shapes = int (*)(zornn_context, uint32_t, zornn_tensor_attr*);

// Resolution order is fixed: the first missing name is the one reported.
enum EntryIndex {
  kInit,
  kQuery,
  kInputsSet,
  kRun,
  kOutputsGet,
  kDestroy,
  kSetSoftopOpt,
  kSetInputShapes,
  kEntryCount
};

constexpr const char* kEntryNames[kEntryCount] = {
    "zornn_init",        "zornn_query",   "zornn_inputs_set",     "zornn_run",
    "zornn_outputs_get", "zornn_destroy", "zornn_set_softop_opt", "zornn_set_input_shapes",
};

class NpuRuntimeLoader {
 public:
  // Returns the entry, loading the runtime first if needed; null when the
  // runtime or the entry is unavailable. The lock covers only the loading:
  // the caller invokes the entry unlocked.
  void* Entry(EntryIndex which) noexcept {
    // Locking can throw std::system_error; an exception must not leave the
    // exported C functions, so it counts as "runtime unavailable".
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (EnsureLoaded() != 0) return nullptr;
      return entries_[which];
    } catch (...) {
      return nullptr;
    }
  }

 private:
  int EnsureLoaded() {
    if (handle_ != nullptr) return 0;
    const char* env = std::getenv("ZOR_NPURT_PATH");
    const char* file = (env != nullptr && env[0] != '\0') ? env : "libnpurt.so";
    dlerror();
    void* handle = dlopen(file, RTLD_NOW);
    if (handle == nullptr) {
      const char* err = dlerror();
      std::fprintf(stderr, "[fenn] dlopen(\"%s\") failed: %s\n", file, err ? err : "NULL");
      return -1;
    }
    handle_ = handle;
    for (int i = 0; i < kEntryCount; ++i) {
      dlerror();
      void* sym = dlsym(handle_, kEntryNames[i]);
      const char* err = dlerror();
      if (sym == nullptr || err != nullptr) {
        std::fprintf(stderr, "[fenn] dlsym(%s) failed: %s\n", kEntryNames[i],
                     err ? err : "NULL");
        // A partial runtime is no runtime: drop every entry so that no
        // function forwards into a library we are about to close.
        dlclose(handle_);
        handle_ = nullptr;
        for (void*& entry : entries_) entry = nullptr;
        return -1;
      }
      entries_[i] = sym;
    }
    return 0;
  }

  std::mutex mutex_;
  void* handle_ = nullptr;
  void* entries_[kEntryCount] = {};
};

// The runtime is never closed once loaded: it stays in the process until exit.
NpuRuntimeLoader& Loader() {
  static NpuRuntimeLoader loader;
  return loader;
}

template <typename Fn>
Fn Resolve(EntryIndex which) {
  return reinterpret_cast<Fn>(Loader().Entry(which));
}

}  // namespace

extern "C" {

ZORNN_API int zornn_init(zornn_context* ctx, const char* model_path, uint32_t flags,
                         zornn_init_config* config) {
  auto fn = Resolve<PFN_zornn_init>(kInit);
  return fn ? fn(ctx, model_path, flags, config) : -1;
}

ZORNN_API int zornn_query(zornn_context ctx, uint32_t cmd, void* info, uint32_t size) {
  auto fn = Resolve<PFN_zornn_query>(kQuery);
  return fn ? fn(ctx, cmd, info, size) : -1;
}

ZORNN_API int zornn_inputs_set(zornn_context ctx, uint32_t n_inputs, zornn_input* inputs) {
  auto fn = Resolve<PFN_zornn_inputs_set>(kInputsSet);
  return fn ? fn(ctx, n_inputs, inputs) : -1;
}

ZORNN_API int zornn_run(zornn_context ctx, void* extend) {
  auto fn = Resolve<PFN_zornn_run>(kRun);
  return fn ? fn(ctx, extend) : -1;
}

ZORNN_API int zornn_outputs_get(zornn_context ctx, uint32_t n_outputs, zornn_output* outputs) {
  auto fn = Resolve<PFN_zornn_outputs_get>(kOutputsGet);
  return fn ? fn(ctx, n_outputs, outputs) : -1;
}

ZORNN_API int zornn_destroy(zornn_context ctx) {
  auto fn = Resolve<PFN_zornn_destroy>(kDestroy);
  return fn ? fn(ctx) : -1;
}

ZORNN_API int zornn_set_softop_opt(zornn_context ctx, zornn_softop_opt* opt, uint32_t count) {
  auto fn = Resolve<PFN_zornn_set_softop_opt>(kSetSoftopOpt);
  return fn ? fn(ctx, opt, count) : -1;
}

ZORNN_API int zornn_set_input_shapes(zornn_context ctx, uint32_t n_inputs,
                                     zornn_tensor_attr* attrs) {
  auto fn = Resolve<PFN_zornn_set_input_shapes>(kSetInputShapes);
  return fn ? fn(ctx, n_inputs, attrs) : -1;
}

const char* zornn_type_name(uint32_t type) { return ZornnTypeName(type); }

}  // extern "C"
