// Host stand-in for the board's NPU runtime. It implements the eight entry
// points with the board's records, call order, return convention and output
// ownership, but instead of running a compiled network it follows the
// behaviour named in a small model description file (sim_model_file.h), and
// it records what it receives so tests can check what the engines sent.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "npu/sense_voice_network.h"
#include "npu/zornn_api.h"
#include "npurt_sim.h"
#include "sim_model_file.h"
#include "tensor_values.h"

namespace npurt_sim {
namespace {

constexpr uint32_t kFeatureDim = kSenseVoiceFeatureDim;
constexpr int64_t kStartOfTranscript = 50258;
constexpr int64_t kEndOfText = 50257;
constexpr int64_t kTranslate = 50359;
constexpr int64_t kNoTimestamps = 50364;
constexpr uint32_t kWindow = 48;
constexpr float kWinner = 10.0f;

struct Context {
  ModelFile model;
  std::vector<zornn_tensor_attr> inputs;  // current attributes (shapes may change)
  std::vector<zornn_input> bound;
  std::map<std::string, int64_t> calls;   // per function, on this context
  std::map<uint32_t, int64_t> query_calls;  // per query kind, on this context
  std::vector<float> output;              // owned here, handed out by pointer
  // The output in its element type, or converted through it to float32;
  // handed out instead of output when the type is not FP32.
  std::vector<uint8_t> output_typed;
  std::vector<float> output_through_type;
  // Whether those two are made from the decoder's persistent output, up to
  // the cells changed since (typed_stale).
  bool typed_current = false;
  bool through_current = false;
  std::vector<size_t> typed_stale;
  bool ran = false;
  std::vector<size_t> decoder_marks;      // cells set in the persistent decoder output
  size_t timestamp_decodings = 0;         // decodings in timestamp mode so far
};

struct State {
  std::mutex mutex;
  std::map<Context*, std::unique_ptr<Context>> contexts;
  std::map<std::string, int64_t> counters;
  std::map<std::string, std::vector<uint8_t>> records;
  std::map<std::string, int64_t> init_calls_by_path;
  std::vector<uint8_t> last_encoder_output;
};

State& Sim() {
  static State state;
  return state;
}

void Record(State& s, const std::string& name, const void* data, size_t bytes) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  s.records[name].assign(p, p + bytes);
}

// Records that grow with every call keep only their recent part, so a
// stress test running thousands of transcriptions sees bounded memory.
constexpr size_t kAppendCap = size_t{4} << 20;

// Appends to a growing record. Past the cap the older half is dropped, cut
// at a whole entry: a multiple of unit bytes, or after a '\n' for text.
void Append(State& s, const std::string& name, const void* data, size_t bytes,
            size_t unit = 0) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::vector<uint8_t>& r = s.records[name];
  r.insert(r.end(), p, p + bytes);
  if (r.size() <= kAppendCap) return;
  size_t cut = r.size() / 2;
  if (unit != 0) {
    cut -= cut % unit;
  } else {
    while (cut < r.size() && r[cut - 1] != '\n') ++cut;
  }
  r.erase(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(cut));
}

void SetError(State& s, const std::string& text) {
  Record(s, "last_error", text.data(), text.size());
}

// Counts the call globally and on the context; returns whether an injected
// fault makes it fail.
bool CallFails(State& s, const char* function, Context* ctx) {
  s.counters[function]++;
  const std::string line = std::string(function) + "\n";
  Append(s, "calls", line.data(), line.size());
  if (ctx == nullptr) return false;
  const int64_t n = ++ctx->calls[function];
  auto it = ctx->model.faults.find(function);
  return it != ctx->model.faults.end() && it->second.Hits(n);
}

Context* Find(State& s, zornn_context handle) {
  auto it = s.contexts.find(static_cast<Context*>(handle));
  return it == s.contexts.end() ? nullptr : it->second.get();
}

bool HasDim(const zornn_tensor_attr& attr, uint32_t extent) {
  for (uint32_t i = 0; i < std::min<uint32_t>(attr.n_dims, ZORNN_MAX_DIMS); ++i) {
    if (attr.dims[i] == extent) return true;
  }
  return false;
}

// Input index with the role, -1 when none declares it.
int RoleIndex(const Context& ctx, const char* role) {
  for (size_t i = 0; i < ctx.model.inputs.size(); ++i) {
    if (ctx.model.inputs[i].role == role) return static_cast<int>(i);
  }
  return -1;
}

// The speech input: declared by role, else the last with a 560 extent, else 0.
int SpeechIndex(const Context& ctx) {
  int index = RoleIndex(ctx, "speech");
  if (index >= 0) return index;
  index = 0;
  for (size_t i = 0; i < ctx.inputs.size(); ++i) {
    if (HasDim(ctx.inputs[i], kFeatureDim)) index = static_cast<int>(i);
  }
  return index;
}

// Feature frames the speech input holds now: its first extent above 1 that is
// not the feature width, else its element count / 560.
uint64_t SpeechFrames(const Context& ctx) {
  if (ctx.inputs.empty()) return 0;
  const zornn_tensor_attr& attr = ctx.inputs[SpeechIndex(ctx)];
  for (uint32_t i = 0; i < std::min<uint32_t>(attr.n_dims, ZORNN_MAX_DIMS); ++i) {
    if (attr.dims[i] > 1 && attr.dims[i] != kFeatureDim) return attr.dims[i];
  }
  return ElementCount(attr) / kFeatureDim;
}

zornn_tensor_attr OutputAttr(const Context& ctx) {
  zornn_tensor_attr attr = ctx.model.output.attr;
  const ModelFile& m = ctx.model;
  if (!m.have_output) {
    std::memset(&attr, 0, sizeof(attr));
    std::strcpy(attr.name, m.behaviour == Behaviour::kWhisperEncoder ? "audio_features" : "logits");
    attr.type = ZORNN_TENSOR_FLOAT32;
    attr.scale = 1.0f;
    attr.n_dims = 3;
    attr.dims[0] = 1;
    if (m.behaviour == Behaviour::kWhisperEncoder) {
      attr.dims[1] = 1500;
      attr.dims[2] = 16;
    } else if (m.behaviour == Behaviour::kWhisperDecoder) {
      attr.dims[1] = kWindow;
      attr.dims[2] = static_cast<uint32_t>(m.vocab);
    }
    RecomputeSizes(&attr);
  }
  if (m.behaviour == Behaviour::kSenseVoice) {
    // The logits follow the speech input's current frame count; the type,
    // scale and zero point are the declared ones.
    const uint32_t t = static_cast<uint32_t>(SpeechFrames(ctx) + m.output_extra_frames);
    const uint32_t v = static_cast<uint32_t>(m.vocab);
    std::memset(attr.dims, 0, sizeof(attr.dims));
    attr.n_dims = 3;
    attr.dims[0] = 1;
    attr.dims[1] = m.vocab_major ? v : t;
    attr.dims[2] = m.vocab_major ? t : v;
    RecomputeSizes(&attr);
  }
  return attr;
}

// The winner of every frame from the start: the scripted tokens on the
// frames token_frames gives them, blanks (id 0) elsewhere; without
// token_frames one frame per token, with a blank between equal neighbours
// so repeats survive collapsing. Frames past the path are blank.
std::vector<int64_t> CtcPath(const ModelFile& m) {
  std::vector<int64_t> path;
  if (m.token_frames.empty()) {
    for (int64_t token : m.tokens) {
      if (!path.empty() && path.back() == token) path.push_back(0);
      path.push_back(token);
    }
    return path;
  }
  for (size_t i = 0; i < m.tokens.size(); ++i) {
    const auto& run = m.token_frames[i];
    path.resize(static_cast<size_t>(run.first), 0);
    path.resize(static_cast<size_t>(run.second) + 1, m.tokens[i]);
  }
  return path;
}

// CTC logits whose greedy path is CtcPath. A small pattern under the
// winners makes every cell distinct, so a layout mistake cannot go
// unnoticed.
void FillCtcLogits(const ModelFile& m, uint64_t t_count, uint64_t v_count, bool vocab_major,
                   std::vector<float>* out) {
  out->assign(t_count * v_count, 0.0f);
  const std::vector<int64_t> path = CtcPath(m);
  for (uint64_t t = 0; t < t_count; ++t) {
    for (uint64_t v = 0; v < v_count; ++v) {
      const float value = static_cast<float>((t * 31 + v * 17) % 1000) * 1e-4f;
      (*out)[vocab_major ? v * t_count + t : t * v_count + v] = value;
    }
    int64_t winner = t < path.size() ? path[t] : 0;
    if (winner < 0 || static_cast<uint64_t>(winner) >= v_count) winner = 0;
    const uint64_t w = static_cast<uint64_t>(winner);
    (*out)[vocab_major ? w * t_count + t : t * v_count + w] = kWinner;
  }
}

// Fills a prepared output once: CTC logits when the element count is whole
// frames of the vocabulary, else a plain ramp.
void PrepareOutput(Context* ctx) {
  const zornn_tensor_attr attr = OutputAttr(*ctx);
  const uint64_t count = ElementCount(attr);
  const uint64_t v = static_cast<uint64_t>(ctx->model.vocab);
  if (count % v == 0) {
    FillCtcLogits(ctx->model, count / v, v, ctx->model.vocab_major, &ctx->output);
  } else {
    ctx->output.resize(count);
    for (uint64_t i = 0; i < count; ++i) ctx->output[i] = static_cast<float>(i % 251) * 0.01f;
  }
}

bool RunSenseVoice(Context* ctx) {
  const zornn_tensor_attr out = OutputAttr(*ctx);
  const uint64_t v = static_cast<uint64_t>(ctx->model.vocab);
  const uint64_t t = ElementCount(out) / v;
  // A fresh buffer every run: a caller still holding the previous one reads
  // freed memory, which the sanitizers report.
  std::vector<float> fresh;
  FillCtcLogits(ctx->model, t, v, ctx->model.vocab_major, &fresh);
  ctx->output.swap(fresh);
  return true;
}

bool RunEncoder(State& s, Context* ctx) {
  const zornn_input* mel = nullptr;
  for (const zornn_input& in : ctx->bound) {
    if (in.index == 0) mel = &in;
  }
  if (mel == nullptr || mel->buf == nullptr || mel->size < 4) {
    SetError(s, "encoder: no input bound at index 0");
    return false;
  }
  const float* x = static_cast<const float*>(mel->buf);
  const uint64_t n_in = mel->size / 4;
  const uint64_t n_out = ElementCount(OutputAttr(*ctx));
  // Every output value depends on the input, so a decoder can tell whether
  // it got exactly this run's output.
  std::vector<float> fresh(n_out);
  for (uint64_t j = 0; j < n_out; ++j) {
    fresh[j] = x[(j * 7919u) % n_in] + static_cast<float>(j % 13) * 0.25f;
  }
  ctx->output.swap(fresh);
  Record(s, "encoder_input", mel->buf, mel->size);
  Record(s, "encoder_output", ctx->output.data(), ctx->output.size() * 4);
  s.last_encoder_output = s.records["encoder_output"];
  return true;
}

// The k-th answer of a script; past its end 50257, or the script again
// with never_end.
int64_t ScriptAnswer(const ModelFile& m, const std::vector<int64_t>& script, size_t k) {
  if (k < script.size()) return script[k];
  if (!m.never_end) return kEndOfText;
  return script.empty() ? 1 : script[k % script.size()];
}

// rotation: where in the script this audio's answer starts (vary_script).
int64_t DecoderAnswer(Context* ctx, const int64_t* window, uint32_t valid, uint64_t rotation) {
  const ModelFile& m = ctx->model;
  if (valid == 1 && window[0] == kStartOfTranscript) return m.language_token;
  // A prompt without the no-timestamps token in slot 3 asks for timestamp
  // mode: it is one token shorter, and timestamp_tokens answer it, a run
  // over the bare prompt starting the next decoding.
  const bool timestamps = window[3] != kNoTimestamps;
  const uint32_t prompt = timestamps ? 3 : 4;
  const std::vector<int64_t>* script = &m.tokens;
  if (timestamps && !m.timestamp_tokens.empty()) {
    if (valid == prompt) ++ctx->timestamp_decodings;
    const size_t n = std::max<size_t>(ctx->timestamp_decodings, 1);
    script = &m.timestamp_tokens[std::min(n, m.timestamp_tokens.size()) - 1];
  } else if (window[2] == kTranslate && !m.translate_tokens.empty()) {
    script = &m.translate_tokens;
  }
  const size_t k = (valid > prompt ? valid - prompt : 0) +
                   (script->empty() ? 0 : rotation % script->size());
  return ScriptAnswer(m, *script, k);
}


bool RunDecoder(State& s, Context* ctx) {
  int tokens_index = RoleIndex(*ctx, "tokens");
  if (tokens_index < 0) {
    tokens_index = (!ctx->inputs.empty() && ctx->inputs[0].n_elems == kWindow) ? 0 : 1;
  }
  const zornn_input* window_in = nullptr;
  const zornn_input* features_in = nullptr;
  for (const zornn_input& in : ctx->bound) {
    if (static_cast<int>(in.index) == tokens_index) window_in = &in;
    else features_in = &in;
  }
  if (window_in == nullptr || window_in->buf == nullptr || window_in->size != kWindow * 8) {
    SetError(s, "decoder: token window missing or not 384 bytes");
    return false;
  }
  int64_t window[kWindow];
  std::memcpy(window, window_in->buf, sizeof(window));
  Append(s, "decoder_windows", window, sizeof(window), sizeof(window));
  if (features_in == nullptr || features_in->buf == nullptr) {
    Record(s, "decoder_features", nullptr, 0);
    s.counters["decoder_feature_mismatches"]++;
  } else {
    Record(s, "decoder_features", features_in->buf, features_in->size);
    if (features_in->size != s.last_encoder_output.size() ||
        std::memcmp(features_in->buf, s.last_encoder_output.data(), features_in->size) != 0) {
      s.counters["decoder_feature_mismatches"]++;
    }
  }
  uint32_t valid = 0;
  for (uint32_t i = 0; i < kWindow; ++i) {
    if (window[i] != 0) valid = i + 1;
  }
  // The output persists between runs (it is large); only the cells that
  // carry a winner change, and they are reset before the next answer.
  const uint64_t v = static_cast<uint64_t>(ctx->model.vocab);
  const uint64_t count = std::max<uint64_t>(ElementCount(OutputAttr(*ctx)), kWindow * v);
  if (ctx->output.size() != count) {
    ctx->output.assign(count, 0.0f);
    ctx->typed_current = ctx->through_current = false;
  }
  // A caller that never fetches the output lets the changed cells pile up:
  // past a bound, the typed forms are simply made anew.
  if (ctx->typed_stale.size() > 4096) ctx->typed_current = ctx->through_current = false;
  if (!ctx->typed_current) ctx->typed_stale.clear();
  for (size_t cell : ctx->decoder_marks) {
    ctx->output[cell] = 0.0f;
    if (ctx->typed_current) ctx->typed_stale.push_back(cell);
  }
  ctx->decoder_marks.clear();
  if (valid > 0) {
    uint64_t rotation = 0;
    if (ctx->model.vary_script && features_in != nullptr && features_in->buf != nullptr) {
      // FNV-1a of the audio features: each piece of audio its own text.
      rotation = 1469598103934665603ull;
      const uint8_t* p = static_cast<const uint8_t*>(features_in->buf);
      for (uint32_t i = 0; i < features_in->size; ++i) rotation = (rotation ^ p[i]) * 1099511628211ull;
    }
    const int64_t answer = DecoderAnswer(ctx, window, valid, rotation);
    if (answer >= 0 && static_cast<uint64_t>(answer) < v) {
      const size_t cell = (valid - 1) * v + static_cast<uint64_t>(answer);
      ctx->output[cell] = kWinner;
      ctx->decoder_marks.push_back(cell);
      if (ctx->typed_current) ctx->typed_stale.push_back(cell);
    }
  }
  return true;
}

// Makes the output in its element type (and, for want_float, converted
// back to float32) from ctx->output. A prepared output never changes, and
// the decoder's persistent one changes at a few cells per run, so their
// typed forms are kept and brought up to date there instead of made anew.
// False for an unknown type.
bool TypedOutput(Context* ctx, const zornn_tensor_attr& attr, bool want_float) {
  const bool persistent = ctx->model.behaviour == Behaviour::kWhisperDecoder ||
                          ctx->model.behaviour == Behaviour::kPrepared;
  if (persistent && ctx->typed_current) {
    std::vector<float>* through =
        want_float && ctx->through_current ? &ctx->output_through_type : nullptr;
    if (!UpdateValues(attr, ctx->output, ctx->typed_stale, &ctx->output_typed, through)) {
      return false;
    }
    if (through == nullptr) ctx->through_current = false;
  } else {
    if (!EncodeValues(attr, ctx->output, &ctx->output_typed)) return false;
    ctx->through_current = false;
  }
  ctx->typed_stale.clear();
  ctx->typed_current = persistent;
  if (want_float && !ctx->through_current) {
    DecodeValues(attr, ctx->output_typed.data(), ctx->output.size(), &ctx->output_through_type);
    ctx->through_current = persistent;
  }
  return true;
}

// Runs the body of an exported function: no exception (no memory, a lock
// that cannot be taken) leaves through the C interface; the call fails.
template <typename F, typename R = decltype(std::declval<F&>()())>
R AtBoundary(F&& body, typename std::common_type<R>::type failed) noexcept {
  try {
    return body();
  } catch (...) {
    return failed;
  }
}

template <typename F>
void AtBoundary(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// Wall time spent inside the runtime's entry points since the last reset:
// what a benchmark takes off its own time to see the host's share alone.
std::atomic<int64_t> g_busy_ns{0};

// AtBoundary for an entry point of the runtime, timed into g_busy_ns.
template <typename F, typename R = decltype(std::declval<F&>()())>
R RuntimeCall(F&& body, typename std::common_type<R>::type failed) noexcept {
  const auto start = std::chrono::steady_clock::now();
  const R result = AtBoundary(std::forward<F>(body), failed);
  g_busy_ns.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - start).count(),
                      std::memory_order_relaxed);
  return result;
}

}  // namespace
}  // namespace npurt_sim

using namespace npurt_sim;

extern "C" {

ZORNN_API int zornn_init(zornn_context* out, const char* model_path, uint32_t flags,
                         zornn_init_config* config) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    CallFails(s, "zornn_init", nullptr);
    if (out == nullptr || model_path == nullptr) return -1;
    *out = nullptr;
    bool nonzero = flags != 0;
    if (config != nullptr) {
      for (uint8_t b : config->reserved) nonzero = nonzero || b != 0;
    }
    if (nonzero) s.counters["init_config_nonzero"]++;

    auto ctx = std::make_unique<Context>();
    std::string error;
    bool unreadable = false;
    if (!LoadModelFile(model_path, &ctx->model, &error, &unreadable)) {
      SetError(s, error);
      // A missing file is a case tests provoke on purpose and is silent, like
      // every other refusal; a malformed description is a mistake in a test,
      // and saying where it is saves its author a search.
      if (!unreadable) std::fprintf(stderr, "[npurt_sim] %s\n", error.c_str());
      return -1;
    }
    const int64_t n = ++s.init_calls_by_path[model_path];
    auto it = ctx->model.faults.find("zornn_init");
    if (it != ctx->model.faults.end() && it->second.Hits(n)) return -1;
    if (ctx->model.init_null_handle) return 0;
    for (const Tensor& t : ctx->model.inputs) ctx->inputs.push_back(t.attr);
    if (ctx->model.behaviour == Behaviour::kPrepared) PrepareOutput(ctx.get());
    Context* raw = ctx.get();
    s.contexts[raw] = std::move(ctx);
    *out = raw;
    return 0;
  }, -1);
}

ZORNN_API int zornn_query(zornn_context handle, uint32_t cmd, void* info, uint32_t size) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    if (CallFails(s, "zornn_query", ctx) || ctx == nullptr || info == nullptr) return -1;
    auto fault = ctx->model.query_faults.find(cmd);
    const int64_t kind_call = ++ctx->query_calls[cmd];
    if (fault != ctx->model.query_faults.end() && fault->second.Hits(kind_call)) return -1;
    if (cmd == ZORNN_QUERY_IN_OUT_NUM) {
      if (size != sizeof(zornn_in_out_num)) return -1;
      zornn_in_out_num io{static_cast<uint32_t>(ctx->inputs.size()), ctx->model.n_outputs};
      std::memcpy(info, &io, sizeof(io));
      return 0;
    }
    if (size != sizeof(zornn_tensor_attr)) return -1;
    zornn_tensor_attr* attr = static_cast<zornn_tensor_attr*>(info);
    if (cmd == ZORNN_QUERY_INPUT_ATTR) {
      if (attr->index >= ctx->inputs.size()) return -1;
      *attr = ctx->inputs[attr->index];
      return 0;
    }
    if (cmd == ZORNN_QUERY_OUTPUT_ATTR) {
      if (attr->index >= ctx->model.n_outputs) return -1;
      *attr = OutputAttr(*ctx);
      return 0;
    }
    return -1;
  }, -1);
}

ZORNN_API int zornn_inputs_set(zornn_context handle, uint32_t n_inputs, zornn_input* inputs) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    if (CallFails(s, "zornn_inputs_set", ctx) || ctx == nullptr) return -1;
    if (inputs == nullptr || n_inputs == 0 || n_inputs > ctx->inputs.size()) return -1;
    for (uint32_t i = 0; i < n_inputs; ++i) {
      if (inputs[i].index >= ctx->inputs.size()) return -1;
    }
    // The records are kept, not the bytes: the caller's buffers must stay valid
    // until the run, which reads them.
    ctx->bound.assign(inputs, inputs + n_inputs);
    return 0;
  }, -1);
}

ZORNN_API int zornn_run(zornn_context handle, void* /*extend*/) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    if (CallFails(s, "zornn_run", ctx) || ctx == nullptr || ctx->bound.empty()) return -1;
    const int speech = SpeechIndex(*ctx);
    const int language = RoleIndex(*ctx, "language");
    const int text_norm = RoleIndex(*ctx, "text_norm");
    for (const zornn_input& in : ctx->bound) {
      if (in.buf == nullptr) continue;
      if (in.size < ctx->inputs[in.index].size) {
        s.counters["input_size_errors"]++;
        SetError(s, "input " + std::to_string(in.index) + " has " + std::to_string(in.size) +
                        " bytes, the tensor needs " + std::to_string(ctx->inputs[in.index].size));
        return -1;
      }
      if (ctx->model.behaviour == Behaviour::kWhisperEncoder ||
          ctx->model.behaviour == Behaviour::kWhisperDecoder) {
        continue;  // recorded under their own names
      }
      const int index = static_cast<int>(in.index);
      Record(s, "input" + std::to_string(index), in.buf, in.size);
      if (index == speech) {
        Record(s, "speech", in.buf, in.size);
        // What the network reads: the bytes taken in the input's own type.
        std::vector<float> values;
        DecodeValues(ctx->inputs[index], in.buf, ElementCount(ctx->inputs[index]), &values);
        Record(s, "speech_values", values.data(), values.size() * sizeof(float));
      }
      if (index == language) Record(s, "language", in.buf, in.size);
      if (index == text_norm) Record(s, "text_norm", in.buf, in.size);
    }
    bool ok = true;
    switch (ctx->model.behaviour) {
      case Behaviour::kSenseVoice:
        ok = RunSenseVoice(ctx);
        break;
      case Behaviour::kPrepared:
        break;
      case Behaviour::kWhisperEncoder:
        ok = RunEncoder(s, ctx);
        break;
      case Behaviour::kWhisperDecoder:
        ok = RunDecoder(s, ctx);
        break;
    }
    ctx->ran = ok;
    return ok ? 0 : -1;
  }, -1);
}

ZORNN_API int zornn_outputs_get(zornn_context handle, uint32_t n_outputs, zornn_output* outputs) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    if (CallFails(s, "zornn_outputs_get", ctx) || ctx == nullptr) return -1;
    if (outputs == nullptr || n_outputs == 0 || !ctx->ran) return -1;
    for (uint32_t i = 0; i < n_outputs; ++i) {
      outputs[i].buf = nullptr;
      outputs[i].size = 0;
    }
    const ModelFile& m = ctx->model;
    const zornn_tensor_attr attr = OutputAttr(*ctx);
    uint64_t bytes = ctx->output.size() * 4;
    if (m.behaviour == Behaviour::kWhisperDecoder) bytes = ElementCount(attr) * 4;
    void* buf = ctx->output.data();
    if (attr.type != ZORNN_TENSOR_FLOAT32) {
      // The network computes in its output type: the caller gets those
      // elements, or (want_float) floats converted from them, never the
      // simulator's exact values.
      if (!TypedOutput(ctx, attr, outputs[0].want_float != 0)) {
        SetError(s, "output type " + std::to_string(attr.type) + " unknown");
        return -1;
      }
      if (outputs[0].want_float != 0) {
        buf = ctx->output_through_type.data();
      } else {
        buf = ctx->output_typed.data();
        bytes = ctx->output_typed.size();
      }
    }
    if (m.output_bytes >= 0) bytes = std::min<uint64_t>(bytes, static_cast<uint64_t>(m.output_bytes));
    outputs[0].buf = buf;
    outputs[0].size = static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
    if (m.output_fault != OutputFault::kNone &&
        m.output_fault_calls.Hits(ctx->calls["zornn_outputs_get"])) {
      switch (m.output_fault) {
        case OutputFault::kNull:
          outputs[0].buf = nullptr;
          break;
        case OutputFault::kEmpty:
          outputs[0].size = 0;
          break;
        case OutputFault::kMisaligned:
          outputs[0].size = outputs[0].size >= 4 ? outputs[0].size - 2 : 2;
          break;
        case OutputFault::kShort:
          outputs[0].size = outputs[0].size >= 4 ? outputs[0].size - 4 : 0;
          break;
        case OutputFault::kNone:
          break;
      }
    }
    return 0;
  }, -1);
}

ZORNN_API int zornn_destroy(zornn_context handle) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    // An injected fault still releases the context: callers ignore the result,
    // and the test wants the failure, not a leak.
    const bool fails = CallFails(s, "zornn_destroy", ctx);
    if (ctx == nullptr) return -1;
    s.contexts.erase(ctx);
    return fails ? -1 : 0;
  }, -1);
}

ZORNN_API int zornn_set_softop_opt(zornn_context handle, zornn_softop_opt* opt, uint32_t count) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    if (CallFails(s, "zornn_set_softop_opt", ctx) || ctx == nullptr) return -1;
    s.counters["softop_count"] = count;
    if (opt == nullptr) return -1;
    Record(s, "softop", opt, static_cast<size_t>(count) * sizeof(zornn_softop_opt));
    return 0;
  }, -1);
}

ZORNN_API int zornn_set_input_shapes(zornn_context handle, uint32_t n_inputs,
                                     zornn_tensor_attr* attrs) {
  return RuntimeCall([&]() -> int {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    Context* ctx = Find(s, handle);
    if (CallFails(s, "zornn_set_input_shapes", ctx) || ctx == nullptr) return -1;
    if (attrs == nullptr || n_inputs != ctx->inputs.size()) return -1;
    std::string line;
    for (uint32_t i = 0; i < n_inputs; ++i) {
      if (attrs[i].index != i || attrs[i].n_dims > ZORNN_MAX_DIMS) return -1;
      line += (i ? " " : "") + std::to_string(i) + ":[";
      for (uint32_t d = 0; d < attrs[i].n_dims; ++d) {
        line += (d ? "," : "") + std::to_string(attrs[i].dims[d]);
      }
      line += "]";
    }
    line += "\n";
    Append(s, "shapes", line.data(), line.size());
    for (uint32_t i = 0; i < n_inputs; ++i) {
      zornn_tensor_attr& cur = ctx->inputs[i];
      cur.n_dims = attrs[i].n_dims;
      std::memcpy(cur.dims, attrs[i].dims, sizeof(cur.dims));
      RecomputeSizes(&cur);
    }
    return 0;
  }, -1);
}

ZORNN_SIM_API void zornn_sim_reset(void) {
  AtBoundary([&] {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.counters.clear();
    s.records.clear();
    s.init_calls_by_path.clear();
    g_busy_ns.store(0, std::memory_order_relaxed);
  });
}

ZORNN_SIM_API int64_t zornn_sim_count(const char* name) {
  return AtBoundary([&]() -> int64_t {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (name == nullptr) return 0;
    if (std::strcmp(name, "contexts") == 0) return static_cast<int64_t>(s.contexts.size());
    if (std::strcmp(name, "busy_ns") == 0) return g_busy_ns.load(std::memory_order_relaxed);
    auto it = s.counters.find(name);
    return it == s.counters.end() ? 0 : it->second;
  }, 0);
}

ZORNN_SIM_API int64_t zornn_sim_record(const char* name, void* buf, int64_t cap) {
  return AtBoundary([&]() -> int64_t {
    State& s = Sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (name == nullptr) return -1;
    auto it = s.records.find(name);
    if (it == s.records.end()) return -1;
    const std::vector<uint8_t>& r = it->second;
    if (buf != nullptr && cap > 0 && !r.empty()) {
      std::memcpy(buf, r.data(), std::min<size_t>(r.size(), static_cast<size_t>(cap)));
    }
    return static_cast<int64_t>(r.size());
  }, -1);
}

}  // extern "C"
