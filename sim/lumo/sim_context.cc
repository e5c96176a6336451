#include "sim_context.h"

#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "call_log.h"
#include "record_json.h"

namespace lumo_sim {
namespace {

std::mutex g_registry_mutex;
std::map<void*, std::shared_ptr<SimContext>> g_registry;  // guarded by g_registry_mutex
uintptr_t g_next_handle = 0;                              // guarded by g_registry_mutex

// Handles are numbers, never addresses, and never reused: a caller that
// keeps a released handle gets a refusal, not someone else's context.
constexpr uintptr_t kHandleBase = 0x10000000;
constexpr uintptr_t kHandleStep = 0x10;

void CopyText(char* destination, size_t capacity, const std::string& text) {
  const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

}  // namespace

SimContext::SimContext(Script script, LLMResultCallback result_callback)
    : script_(std::move(script)), result_callback_(result_callback) {}

void SimContext::SetToolCallback(LLM_ToolUseCallback callback, int32_t stop_output) {
  std::lock_guard<std::mutex> lock(mutex_);
  tool_callback_ = callback;
  stop_output_ = stop_output;
}

bool SimContext::RequestBreak() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return false;
  break_requested_ = true;
  wake_.notify_all();
  return true;
}

void SimContext::WaitLikeStrictRuntime() {
  if (!script_.strict || InDelivery()) return;
  // Waits out the delivery in progress, then the rest of the generation
  // (whose later deliveries need the lock again).
  { std::lock_guard<std::mutex> engine(engine_mutex_); }
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return !running_; });
}

bool SimContext::BreakRequested() {
  std::lock_guard<std::mutex> lock(mutex_);
  return break_requested_;
}

bool SimContext::WaitForBreak(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ms <= 0) return break_requested_;
  return wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return break_requested_; });
}

const ScriptRun& SimContext::ChooseRun(const char* prompt) {
  const std::vector<ScriptRun>& runs = script_.runs;
  if (prompt != nullptr) {
    for (const ScriptRun& run : runs) {
      if (run.has_match && std::strstr(prompt, run.match.c_str()) != nullptr) return run;
    }
  }
  std::vector<const ScriptRun*> sequence;
  for (const ScriptRun& run : runs) {
    if (!run.has_match) sequence.push_back(&run);
  }
  if (sequence.empty()) return empty_run_;
  std::lock_guard<std::mutex> lock(mutex_);
  // Runs play in order; the last one repeats once the list is used up.
  const size_t index = next_run_ < sequence.size() ? next_run_ : sequence.size() - 1;
  ++next_run_;
  return *sequence[index];
}

void SimContext::Deliver(const ScriptEvent& piece, void* userdata, const char* kind) {
  JsonObject record = BeginRecord("deliver");
  record.Text("kind", kind);
  record.Uint("status", piece.status);
  record.Bool("null_result", piece.null_result);
  if (!piece.null_result) {
    if (piece.null_text) {
      record.Null("text");
    } else {
      record.Bytes("text", piece.text.data(), piece.text.size());
    }
    record.Int("token_id", piece.token_id);
    record.Uint("content_type", piece.content_type);
  }
  record.Pointer("userdata", userdata);

  bool suppressed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Tool-call markup is kept out of the stream when the caller asked so.
    suppressed = !piece.null_result && piece.content_type == ZOR_LLM_MSG_TYPE_TOOL &&
                 stop_output_ == 1;
  }
  record.Bool("suppressed", suppressed);
  record.Bool("delivered", !suppressed && result_callback_ != nullptr);
  WriteRecord(record);
  if (suppressed || result_callback_ == nullptr) return;

  ZOR_LLMResult result;
  std::memset(&result, 0, sizeof result);
  result.generation.text = piece.null_text ? nullptr : piece.text.c_str();
  result.generation.token_id = piece.token_id;
  result.generation.content_type = static_cast<ZOR_LLMMessageType>(piece.content_type);
  std::unique_lock<std::mutex> engine(engine_mutex_, std::defer_lock);
  if (script_.strict) engine.lock();
  DeliveryScope scope;
  result_callback_(piece.null_result ? nullptr : &result, userdata,
                   static_cast<ZOR_LLMRunStatus>(piece.status));
}

void SimContext::DeliverToolCall(const ScriptEvent& call, void* userdata) {
  LLM_ToolUseCallback callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = tool_callback_;
  }
  JsonObject record = BeginRecord("deliver_tool_call");
  if (call.null_name) {
    record.Null("name");
  } else {
    record.Bytes("name", call.name.data(), call.name.size());
  }
  if (call.null_arguments) {
    record.Null("arguments");
  } else {
    record.Bytes("arguments", call.arguments.data(), call.arguments.size());
  }
  record.Pointer("userdata", userdata);
  record.Bool("delivered", callback != nullptr);
  WriteRecord(record);
  if (callback == nullptr) return;
  std::unique_lock<std::mutex> engine(engine_mutex_, std::defer_lock);
  if (script_.strict) engine.lock();
  DeliveryScope scope;
  callback(call.null_name ? nullptr : call.name.c_str(),
           call.null_arguments ? nullptr : call.arguments.c_str(), userdata);
}

void SimContext::Play(const ScriptRun& run, void* userdata) {
  bool broken = false;
  size_t played = 0;
  for (const ScriptEvent& event : run.events) {
    const int delay = event.delay_ms >= 0 ? event.delay_ms : run.delay_ms;
    if (WaitForBreak(delay)) {
      broken = true;
      break;
    }
    switch (event.kind) {
      case ScriptEvent::Kind::kResult:
        Deliver(event, userdata, "piece");
        break;
      case ScriptEvent::Kind::kToolCall:
        DeliverToolCall(event, userdata);
        break;
      case ScriptEvent::Kind::kWaitBreak: {
        const bool arrived = WaitForBreak(event.timeout_ms);
        JsonObject record = BeginRecord("wait_break");
        record.Bool("break_arrived", arrived);
        WriteRecord(record);
        break;
      }
    }
    ++played;
    // A break asked for inside the callback (or meanwhile by another
    // thread) stops the run before its next step.
    if (BreakRequested()) {
      broken = true;
      break;
    }
  }
  JsonObject record = BeginRecord("run_end");
  record.Bool("broken", broken);
  record.Uint("events_played", played);
  record.Uint("events_total", run.events.size());
  WriteRecord(record);
  if (broken) {
    if (run.deliver_break_end) Deliver(run.break_end, userdata, "break_end");
  } else if (run.deliver_end) {
    Deliver(run.end, userdata, "end");
  }
}

int32_t SimContext::Run(const ZOR_LLMInput* input, void* userdata) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Two generations on one context at once are a caller error; refuse the
    // second rather than interleave their deliveries.
    if (running_) return ZOR_LLM_Status_Failed;
    running_ = true;
    break_requested_ = false;
  }
  const ScriptRun& run = ChooseRun(input ? InputText(*input) : nullptr);
  {
    JsonObject record = BeginRecord("run_start");
    record.Int("run_index", &run == &empty_run_ ? -1 : static_cast<int64_t>(&run - script_.runs.data()));
    record.Bool("worker", run.on_worker || script_.strict);
    WriteRecord(record);
  }
  if (run.on_worker || script_.strict) {
    std::thread worker([this, &run, userdata] { Play(run, userdata); });
    worker.join();
  } else {
    Play(run, userdata);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    break_requested_ = false;
  }
  wake_.notify_all();
  return run.return_status != 0 ? run.return_status : script_.ReturnFor("zor_llm_run");
}

void SimContext::FillVisionInfo(ZOR_LLMVisionInfo* info) {
  const ScriptVision& v = script_.vision;
  std::lock_guard<std::mutex> lock(mutex_);
  std::memset(info, 0, sizeof *info);
  vision_inputs_.assign(v.inputs.size(), ZOR_LLMVisionTensorInfo());
  for (size_t i = 0; i < v.inputs.size(); ++i) {
    ZOR_LLMVisionTensorInfo& t = vision_inputs_[i];
    std::memset(&t, 0, sizeof t);
    t.index = v.inputs[i].index;
    CopyText(t.name, sizeof t.name, v.inputs[i].name);
    t.type = static_cast<ZOR_LLMVisionDataType>(v.inputs[i].type);
    t.height = v.inputs[i].height;
    t.width = v.inputs[i].width;
    t.channels = v.inputs[i].channels;
    t.size = v.inputs[i].size;
  }
  info->n_input = v.n_input_set ? v.n_input : static_cast<int32_t>(vision_inputs_.size());
  info->input = v.input_null || vision_inputs_.empty() ? nullptr : vision_inputs_.data();
  CopyText(info->metadata.projector_type, sizeof info->metadata.projector_type, v.projector_type);
  for (int i = 0; i < 3; ++i) {
    info->metadata.image_mean[i] = v.image_mean[i];
    info->metadata.image_std[i] = v.image_std[i];
  }
  info->metadata.patch_size = v.patch_size;
  info->metadata.spatial_merge_size = v.spatial_merge_size;
  info->has_metadata = v.has_metadata ? 1 : 0;
}

void* RegisterContext(std::shared_ptr<SimContext> context) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  void* handle = reinterpret_cast<void*>(kHandleBase + kHandleStep * ++g_next_handle);
  g_registry[handle] = std::move(context);
  return handle;
}

std::shared_ptr<SimContext> FindContext(void* handle) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  auto it = g_registry.find(handle);
  return it == g_registry.end() ? nullptr : it->second;
}

bool ReleaseContext(void* handle) {
  std::shared_ptr<SimContext> released;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  auto it = g_registry.find(handle);
  if (it == g_registry.end()) return false;
  released = std::move(it->second);
  g_registry.erase(it);
  return true;
}

int LiveContextCount() {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  return static_cast<int>(g_registry.size());
}

}  // namespace lumo_sim
