// One simulated runtime context: the script it plays, the callbacks it was
// given, and the state of the generation in progress. Contexts are kept in
// a registry, so a handle the runtime never issued (or already released) is
// refused instead of dereferenced.
#ifndef ZOR_SIM_LUMO_SIM_CONTEXT_H_
#define ZOR_SIM_LUMO_SIM_CONTEXT_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo.h"
#include "sim_script.h"

namespace lumo_sim {

class SimContext {
 public:
  SimContext(Script script, LLMResultCallback result_callback);

  const Script& script() const { return script_; }

  void SetToolCallback(LLM_ToolUseCallback callback, int32_t stop_output);
  // Asks a running generation to stop; false when none is running.
  bool RequestBreak();
  // Under a strict script: waits for the internal lock and then until no
  // generation is in progress, as a board runtime's break, reset and uninit
  // do. Does nothing otherwise, or when called from inside a delivery
  // (waiting there would wait for itself).
  void WaitLikeStrictRuntime();
  // Plays the run chosen for this input and returns the status zor_llm_run
  // reports. Deliveries come from this thread or a worker, as scripted.
  int32_t Run(const ZOR_LLMInput* input, void* userdata);
  // Fills *info from the script; the tensor array lives in this context.
  void FillVisionInfo(ZOR_LLMVisionInfo* info);

 private:
  const ScriptRun& ChooseRun(const char* prompt);
  void Play(const ScriptRun& run, void* userdata);
  // Waits up to ms milliseconds; true when a break request ended the wait.
  bool WaitForBreak(int ms);
  bool BreakRequested();
  void Deliver(const ScriptEvent& piece, void* userdata, const char* kind);
  void DeliverToolCall(const ScriptEvent& call, void* userdata);

  const Script script_;
  const LLMResultCallback result_callback_;
  const ScriptRun empty_run_;

  std::mutex mutex_;
  std::condition_variable wake_;  // break requested, or the run ended
  // The strict runtime's internal lock: held by the generation thread for
  // each delivery, and by break, reset and uninit while they wait.
  std::mutex engine_mutex_;
  LLM_ToolUseCallback tool_callback_ = nullptr;  // guarded by mutex_
  int32_t stop_output_ = 0;                      // guarded by mutex_
  bool running_ = false;                         // guarded by mutex_
  bool break_requested_ = false;                 // guarded by mutex_
  size_t next_run_ = 0;                          // guarded by mutex_
  std::vector<ZOR_LLMVisionTensorInfo> vision_inputs_;
};

// Registry of live contexts, keyed by the handle given to the caller.
void* RegisterContext(std::shared_ptr<SimContext> context);
std::shared_ptr<SimContext> FindContext(void* handle);
// Removes the context; false when the handle is unknown. A generation in
// progress keeps its context alive until it ends.
bool ReleaseContext(void* handle);
int LiveContextCount();

}  // namespace lumo_sim

#endif  // ZOR_SIM_LUMO_SIM_CONTEXT_H_
