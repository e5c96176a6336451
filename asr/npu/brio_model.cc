// BrioModel: loading a SenseVoice network into the NPU runtime, resolving its
// inputs, and running it on quantised features.
#include "brio_model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "sense_voice_network.h"
#include "zornn_types.h"

namespace {

constexpr uint32_t kFeatureDim = kSenseVoiceFeatureDim;
constexpr uint32_t kMinVocabExtent = 1000;  // only a larger extent can be the vocabulary

// No operation reads beyond the record's six extents, whatever n_dims says.
uint32_t ExaminedDims(const zornn_tensor_attr& attr) {
  return std::min<uint32_t>(attr.n_dims, ZORNN_MAX_DIMS);
}

// n_elems when given, else the product of the extents (0 counts as 1).
uint64_t ElementCount(const zornn_tensor_attr& attr) {
  if (attr.n_elems != 0) return attr.n_elems;
  uint64_t count = 1;
  for (uint32_t i = 0; i < ExaminedDims(attr); ++i) {
    count *= attr.dims[i] == 0 ? 1 : attr.dims[i];
  }
  return count;
}

// The runtime fills name without a guarantee of termination.
std::string AttrName(const zornn_tensor_attr& attr) {
  return std::string(attr.name, strnlen(attr.name, sizeof(attr.name)));
}

void PrintAttr(const char* kind, const zornn_tensor_attr& attr) {
  std::string dims;
  for (uint32_t i = 0; i < ExaminedDims(attr); ++i) {
    if (i) dims += ',';
    dims += std::to_string(attr.dims[i]);
  }
  std::fprintf(stderr,
               "[SenseVoice] %s index=%u name=%s n_dims=%u dims=[%s] type=%s n_elems=%u "
               "size=%u scale=%g zp=%d\n",
               kind, attr.index, AttrName(attr).c_str(), attr.n_dims, dims.c_str(),
               ZornnTypeName(attr.type), attr.n_elems, attr.size,
               static_cast<double>(attr.scale), attr.zp);
}

bool QueryInput(zornn_context ctx, uint32_t index, zornn_tensor_attr* attr) {
  std::memset(attr, 0, sizeof(*attr));
  attr->index = index;
  return zornn_query(ctx, ZORNN_QUERY_INPUT_ATTR, attr, sizeof(*attr)) == 0;
}

// QueryInput that says which query failed.
bool QueryInputOrSay(zornn_context ctx, uint32_t index, zornn_tensor_attr* attr) {
  if (QueryInput(ctx, index, attr)) return true;
  std::fprintf(stderr, "[SenseVoice] zornn_query INPUT_ATTR failed, index=%u\n", index);
  return false;
}

// The element types the speech buffer can be built in. Wider integers and
// INT4 would need a quantisation the network's export does not describe.
bool SpeechTypeSupported(uint32_t type) {
  switch (type) {
    case ZORNN_TENSOR_FLOAT32:
    case ZORNN_TENSOR_FLOAT16:
    case ZORNN_TENSOR_BFLOAT16:
    case ZORNN_TENSOR_INT8:
    case ZORNN_TENSOR_UINT8:
    case ZORNN_TENSOR_INT16:
    case ZORNN_TENSOR_UINT16:
      return true;
    default:
      return false;
  }
}

// One value: q = round(x / scale + zp) in float32 with halves away from
// zero, clamped to [lo, hi]. No branches or library calls, so a block of
// these becomes vector code. The value is clamped before the integer
// conversion, which keeps that conversion defined (NaN goes to lo).
template <typename T>
inline T QuantiseOne(float x, float scale, float zp) {
  constexpr float lo = static_cast<float>(std::numeric_limits<T>::min());
  constexpr float hi = static_cast<float>(std::numeric_limits<T>::max());
  float v = x / scale + zp;
  v = v > lo - 1.0f ? v : lo - 1.0f;
  v = v < hi + 1.0f ? v : hi + 1.0f;
  int32_t t = static_cast<int32_t>(v);     // truncates toward zero
  const float frac = v - static_cast<float>(t);  // exact for |v| < 2^24
  t += (frac >= 0.5f) - (frac <= -0.5f);   // halves away from zero
  t = t < static_cast<int32_t>(lo) ? static_cast<int32_t>(lo) : t;
  t = t > static_cast<int32_t>(hi) ? static_cast<int32_t>(hi) : t;
  return static_cast<T>(t);
}

// Blocks of a fixed number of values (vectorised even at -O2, where loops of
// unknown length are not), then a scalar tail.
template <typename T>
void Quantise(const float* __restrict x, size_t n, float scale, float zp, T* __restrict out) {
  constexpr size_t kBlock = 16;
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (size_t k = 0; k < kBlock; ++k) out[i + k] = QuantiseOne<T>(x[i + k], scale, zp);
  }
  for (; i < n; ++i) out[i] = QuantiseOne<T>(x[i], scale, zp);
}

// 16-bit floats, written little-endian as the runtime reads them.
template <uint16_t (*Convert)(float)>
void StoreHalves(const float* x, size_t n, std::vector<uint8_t>* buf) {
  std::vector<uint16_t> h(n);
  for (size_t i = 0; i < n; ++i) h[i] = Convert(x[i]);
  buf->resize(n * 2);
  std::memcpy(buf->data(), h.data(), n * 2);
}

// Fills buf with the speech input's bytes for the attribute's element type;
// false for a type SpeechTypeSupported refuses.
bool BuildSpeechBuffer(const float* x, size_t n, const zornn_tensor_attr& attr,
                       std::vector<uint8_t>* buf) {
  const float scale = attr.scale == 0.0f ? 1.0f : attr.scale;
  const float zp = static_cast<float>(attr.zp);
  switch (attr.type) {
    case ZORNN_TENSOR_INT8:
      buf->resize(n);
      Quantise(x, n, scale, zp, reinterpret_cast<int8_t*>(buf->data()));
      break;
    case ZORNN_TENSOR_UINT8:
      buf->resize(n);
      Quantise(x, n, scale, zp, buf->data());
      break;
    case ZORNN_TENSOR_INT16: {
      std::vector<int16_t> q(n);
      Quantise(x, n, scale, zp, q.data());
      buf->resize(n * 2);
      std::memcpy(buf->data(), q.data(), n * 2);  // host and runtime are little-endian
      break;
    }
    case ZORNN_TENSOR_UINT16: {
      std::vector<uint16_t> q(n);
      Quantise(x, n, scale, zp, q.data());
      buf->resize(n * 2);
      std::memcpy(buf->data(), q.data(), n * 2);
      break;
    }
    case ZORNN_TENSOR_FLOAT16:
      StoreHalves<FloatToHalf>(x, n, buf);
      break;
    case ZORNN_TENSOR_BFLOAT16:
      StoreHalves<FloatToBfloat16>(x, n, buf);
      break;
    case ZORNN_TENSOR_FLOAT32:
      buf->resize(n * 4);
      std::memcpy(buf->data(), x, n * 4);
      break;
    default:
      return false;
  }
  if (attr.size > buf->size()) buf->resize(attr.size, 0);
  return true;
}

// Which of the candidate inputs take the language and the text-normalisation
// ids. Each input's name says at most one role: an exact known name first,
// else the first known name it contains; for each role an exact name beats a
// contained one, and among equals the later input wins. The two never
// coincide: a role no name settles takes the first candidate the other role
// left.
void ResolveIdInputs(const std::vector<zornn_tensor_attr>& attrs,
                     const std::vector<uint32_t>& candidates, uint32_t* language,
                     uint32_t* text_norm) {
  struct Pattern {
    const char* name;
    bool language;
  };
  static const Pattern kPatterns[] = {{"keras_tensor_1", true},
                                      {"input_1", true},
                                      {"keras_tensor_2", false},
                                      {"input_2", false}};
  constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
  uint32_t chosen[2] = {kNone, kNone};  // [0] language, [1] text norm
  int rank[2] = {0, 0};                 // 2 exact, 1 contained
  for (uint32_t i : candidates) {
    const std::string name = AttrName(attrs[i]);
    const Pattern* match = nullptr;
    int match_rank = 0;
    for (const Pattern& p : kPatterns) {
      if (name == p.name) {
        match = &p;
        match_rank = 2;
        break;
      }
    }
    for (const Pattern& p : kPatterns) {
      if (match != nullptr) break;
      if (name.find(p.name) != std::string::npos) {
        match = &p;
        match_rank = 1;
      }
    }
    if (match == nullptr) continue;
    const int role = match->language ? 0 : 1;
    if (match_rank >= rank[role]) {
      chosen[role] = i;
      rank[role] = match_rank;
    }
  }
  for (uint32_t& c : chosen) {
    if (c != kNone) continue;
    for (uint32_t i : candidates) {
      if (i != chosen[0] && i != chosen[1]) {
        c = i;
        break;
      }
    }
  }
  *language = chosen[0];
  *text_norm = chosen[1];
}

// One id value in element 0 of a zero-filled int32 array sized for the input.
std::vector<int32_t> BuildIdBuffer(int32_t value, const zornn_tensor_attr& attr) {
  std::vector<int32_t> ids(std::max<uint64_t>(ElementCount(attr), 1), 0);
  if (attr.size > ids.size() * sizeof(int32_t)) ids.assign((attr.size + 3u) / 4u, 0);
  ids[0] = value;
  return ids;
}

// dst[t][v] = src[v][t]. The naive loop strides through src by rows of T
// floats and misses the cache on every read once V * T is large; working in
// square tiles keeps both the rows read and the rows written in cache. Tiles
// of 8 x 8 (one 32-byte piece of each of 8 rows) measured fastest for the
// network's [25055][~800] output: larger tiles make the power-of-two-ish row
// strides collide in the cache sets.
void TransposeBlocked(const float* src, size_t v_count, size_t t_count, float* dst) {
  constexpr size_t kTile = 8;
  for (size_t v0 = 0; v0 < v_count; v0 += kTile) {
    const size_t v1 = std::min(v0 + kTile, v_count);
    for (size_t t0 = 0; t0 < t_count; t0 += kTile) {
      const size_t t1 = std::min(t0 + kTile, t_count);
      for (size_t t = t0; t < t1; ++t) {
        float* out = dst + t * v_count;
        for (size_t v = v0; v < v1; ++v) out[v] = src[v * t_count + t];
      }
    }
  }
}

// Which output extent is the vocabulary. The frame axis is the extent equal
// to the feature frames plus the four tag frames, or else to the feature
// frames alone; it is never taken for the vocabulary, however long the
// input. The vocabulary is the other extent equal to the token table's size
// when there is one, else the first other extent above 1000, else the
// default vocabulary.
uint32_t VocabExtent(const zornn_tensor_attr& out_attr, int frames_in, uint32_t vocab_size) {
  const uint32_t n = ExaminedDims(out_attr);
  const auto has = [&out_attr, n](uint64_t extent) {
    for (uint32_t d = 0; d < n; ++d) {
      if (out_attr.dims[d] == extent) return true;
    }
    return false;
  };
  const uint64_t frames = static_cast<uint64_t>(frames_in);
  const uint64_t frame_axis = has(frames + kSenseVoiceQueryFrames)
                                  ? frames + kSenseVoiceQueryFrames
                                  : (has(frames) ? frames : 0);
  if (vocab_size > 1 && vocab_size != frame_axis && has(vocab_size)) return vocab_size;
  for (uint32_t d = 0; d < n; ++d) {
    const uint32_t extent = out_attr.dims[d];
    if (extent > kMinVocabExtent && extent != frame_axis) return extent;
  }
  return kSenseVoiceDefaultVocab;
}

// Construction steps; returns with m->loaded set only when all succeed.
void Load(BrioModel* m, const std::string& model_path);
bool RunForward(BrioModel* m, const float* features, int frames_in, int dim, int language,
                int text_norm, bool swap_int_inputs, const BrioModel::LogitsReader& read);

}  // namespace

// Allocation failures (a runtime reporting absurd counts) must not escape:
// the class reports failure through loaded and the empty result.
BrioModel::BrioModel(const std::string& model_path) {
  try {
    Load(this, model_path);
  } catch (...) {
    loaded = false;
    if (context != nullptr) zornn_destroy(context);
    context = nullptr;
  }
}

BrioModel::~BrioModel() {
  if (context != nullptr) zornn_destroy(context);
}

ForwardResult BrioModel::Forward(const float* features, int frames_in, int dim, int language,
                                 int text_norm, bool swap_int_inputs) {
  ForwardResult result;
  const bool ok = ForwardInPlace(
      features, frames_in, dim, language, text_norm, swap_int_inputs,
      [&result](const LogitsView& out) {
        const size_t count = static_cast<size_t>(out.frames) * static_cast<size_t>(out.vocab);
        std::vector<float> widened;
        const float* data = out.data;
        if (out.halves != nullptr) {
          widened.resize(count);
          for (size_t i = 0; i < count; ++i) widened[i] = HalfToFloat(out.halves[i]);
          data = widened.data();
        }
        if (out.vocab_major) {
          result.logits.resize(count);
          TransposeBlocked(data, static_cast<size_t>(out.vocab), static_cast<size_t>(out.frames),
                           result.logits.data());
        } else if (!widened.empty()) {
          result.logits.swap(widened);  // already [T][V]
        } else {
          result.logits.assign(data, data + count);  // already [T][V]
        }
        result.frames = out.frames;
        result.vocab = out.vocab;
      });
  return ok ? result : ForwardResult{};
}

bool BrioModel::ForwardInPlace(const float* features, int frames_in, int dim, int language,
                               int text_norm, bool swap_int_inputs, const LogitsReader& read) {
  try {
    return RunForward(this, features, frames_in, dim, language, text_norm, swap_int_inputs,
                      read);
  } catch (...) {
    return false;
  }
}

namespace {

void Load(BrioModel* m, const std::string& model_path) {
  BrioModel& self = *m;
  zornn_init_config config;
  std::memset(&config, 0, sizeof(config));
  zornn_context ctx = nullptr;
  if (zornn_init(&ctx, model_path.c_str(), 0, &config) != 0 || ctx == nullptr) {
    std::fprintf(stderr, "zornn_init failed: %s\n", model_path.c_str());
    return;
  }
  self.context = ctx;
  auto fail = [&self]() {
    zornn_destroy(self.context);
    self.context = nullptr;
  };

  zornn_in_out_num io{};
  if (zornn_query(self.context, ZORNN_QUERY_IN_OUT_NUM, &io, sizeof(io)) != 0) {
    std::fprintf(stderr, "zornn_query IN_OUT_NUM failed\n");
    fail();
    return;
  }
  if (io.n_input < 3 || io.n_output == 0) {
    std::fprintf(stderr, "unexpected IO: n_input=%u n_output=%u\n", io.n_input,
                 io.n_output);
    fail();
    return;
  }
  self.n_inputs = io.n_input;

  std::vector<zornn_tensor_attr> attrs(self.n_inputs);
  bool have_speech = false;
  std::vector<uint32_t> scalars;
  for (uint32_t i = 0; i < self.n_inputs; ++i) {
    if (!QueryInput(self.context, i, &attrs[i])) {
      std::fprintf(stderr, "zornn_query INPUT_ATTR failed, index=%u\n", i);
      fail();
      return;
    }
    PrintAttr("input", attrs[i]);
    bool is_speech = false;
    for (uint32_t d = 0; d < ExaminedDims(attrs[i]); ++d) {
      if (attrs[i].dims[d] == kFeatureDim) is_speech = true;
    }
    if (is_speech) {
      self.speech_index = i;  // a later candidate replaces an earlier one
      have_speech = true;
    } else if (ElementCount(attrs[i]) == 1) {
      scalars.push_back(i);
    }
  }
  if (!have_speech) {
    self.speech_index = 0;
    // Input 0 then takes the features even if it looked like a scalar; it
    // must not also be bound as an id input.
    scalars.erase(std::remove(scalars.begin(), scalars.end(), 0u), scalars.end());
  }

  zornn_tensor_attr out_attr;
  std::memset(&out_attr, 0, sizeof(out_attr));
  if (zornn_query(self.context, ZORNN_QUERY_OUTPUT_ATTR, &out_attr, sizeof(out_attr)) == 0) {
    PrintAttr("output", out_attr);
  }

  if (scalars.size() < 2) {
    scalars.clear();
    for (uint32_t i = 0; i < self.n_inputs; ++i) {
      if (i != self.speech_index) scalars.push_back(i);
    }
  }
  ResolveIdInputs(attrs, scalars, &self.language_index, &self.text_norm_index);

  const zornn_tensor_attr& speech = attrs[self.speech_index];
  if (!SpeechTypeSupported(speech.type)) {
    std::fprintf(stderr,
                 "[SenseVoice] speech input %u has element type %s (%u), which the engine "
                 "cannot fill\n",
                 self.speech_index, ZornnTypeName(speech.type), speech.type);
    fail();
    return;
  }
  int32_t found = 0;
  for (uint32_t d = 0; d < ExaminedDims(speech); ++d) {
    const uint32_t extent = speech.dims[d];
    if (extent > 1 && extent != kFeatureDim &&
        extent <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
      found = static_cast<int32_t>(extent);
      break;
    }
  }
  if (found == 0) {
    const uint64_t count = ElementCount(speech);
    found = count >= kFeatureDim
                ? static_cast<int32_t>(std::min<uint64_t>(
                      count / kFeatureDim, std::numeric_limits<int32_t>::max()))
                : kSenseVoiceDefaultFrames;
  }
  self.frames = found;
  std::fprintf(stderr, "[SenseVoice] resolved speech=%u language=%u text_norm=%u frames=%d\n",
               self.speech_index, self.language_index, self.text_norm_index, self.frames);

  zornn_softop_opt softop{{0x7FFFFFFF, 0}};
  zornn_set_softop_opt(self.context, &softop, 1);
  self.loaded = true;
}

bool RunForward(BrioModel* m, const float* features, int frames_in, int dim, int language,
                int text_norm, bool swap_int_inputs, const BrioModel::LogitsReader& read) {
  BrioModel& self = *m;
  if (!self.loaded || self.context == nullptr || features == nullptr || frames_in <= 0 ||
      dim <= 0) {
    return false;
  }
  // The product is taken in 64 bits: a 32-bit product could wrap and make a
  // huge input look like the model's own size.
  const int64_t n_values = static_cast<int64_t>(frames_in) * dim;
  if (n_values > std::numeric_limits<int32_t>::max()) return false;

  const int32_t language_value = swap_int_inputs ? text_norm : language;
  const int32_t text_norm_value = swap_int_inputs ? language : text_norm;

  std::vector<zornn_tensor_attr> attrs(self.n_inputs);
  for (uint32_t i = 0; i < self.n_inputs; ++i) {
    if (!QueryInputOrSay(self.context, i, &attrs[i])) return false;
  }
  if (static_cast<uint64_t>(n_values) != ElementCount(attrs[self.speech_index])) {
    zornn_tensor_attr& speech = attrs[self.speech_index];
    speech.n_dims = 3;
    std::fill(std::begin(speech.dims), std::end(speech.dims), 0u);
    speech.dims[0] = 1;
    speech.dims[1] = static_cast<uint32_t>(frames_in);
    speech.dims[2] = static_cast<uint32_t>(dim);
    if (zornn_set_input_shapes(self.context, self.n_inputs, attrs.data()) != 0) {
      std::fprintf(stderr,
                   "zornn_set_input_shapes failed (n_inputs=%u, frames=%d, "
                   "dim=%d)\n",
                   self.n_inputs, frames_in, dim);
      return false;
    }
  }

  zornn_tensor_attr speech_attr, language_attr, text_norm_attr;
  if (!QueryInputOrSay(self.context, self.speech_index, &speech_attr) ||
      !QueryInputOrSay(self.context, self.language_index, &language_attr) ||
      !QueryInputOrSay(self.context, self.text_norm_index, &text_norm_attr)) {
    return false;
  }

  std::vector<uint8_t> speech_buf;
  if (!BuildSpeechBuffer(features, static_cast<size_t>(n_values), speech_attr, &speech_buf)) {
    std::fprintf(stderr, "[SenseVoice] speech input %u has element type %s (%u), which the "
                 "engine cannot fill\n",
                 self.speech_index, ZornnTypeName(speech_attr.type), speech_attr.type);
    return false;
  }
  std::vector<int32_t> language_buf = BuildIdBuffer(language_value, language_attr);
  std::vector<int32_t> text_norm_buf = BuildIdBuffer(text_norm_value, text_norm_attr);

  std::vector<zornn_input> inputs(self.n_inputs);
  std::memset(inputs.data(), 0, inputs.size() * sizeof(zornn_input));
  for (uint32_t i = 0; i < self.n_inputs; ++i) inputs[i].index = i;
  auto bind = [&inputs](uint32_t index, void* buf, size_t bytes, const zornn_tensor_attr& attr) {
    inputs[index].buf = buf;
    inputs[index].size = attr.size != 0 ? attr.size : static_cast<uint32_t>(bytes);
  };
  bind(self.speech_index, speech_buf.data(), speech_buf.size(), speech_attr);
  bind(self.language_index, language_buf.data(), language_buf.size() * sizeof(int32_t),
       language_attr);
  bind(self.text_norm_index, text_norm_buf.data(), text_norm_buf.size() * sizeof(int32_t),
       text_norm_attr);

  if (zornn_inputs_set(self.context, self.n_inputs, inputs.data()) != 0) {
    std::fprintf(stderr, "zornn_inputs_set failed\n");
    return false;
  }
  if (zornn_run(self.context, nullptr) != 0) {
    std::fprintf(stderr, "zornn_run failed\n");
    return false;
  }
  // Without the output's extents its layout is a guess: no result beats a
  // transposed one.
  zornn_tensor_attr out_attr;
  std::memset(&out_attr, 0, sizeof(out_attr));
  if (zornn_query(self.context, ZORNN_QUERY_OUTPUT_ATTR, &out_attr, sizeof(out_attr)) != 0) {
    std::fprintf(stderr, "[SenseVoice] zornn_query OUTPUT_ATTR failed\n");
    return false;
  }
  // Half-precision logits are read as the network wrote them; every other
  // type comes converted to float32.
  const bool halves = out_attr.type == ZORNN_TENSOR_FLOAT16;
  const uint32_t element = halves ? sizeof(uint16_t) : sizeof(float);
  zornn_output output;
  std::memset(&output, 0, sizeof(output));
  output.want_float = halves ? 0 : 1;
  if (zornn_outputs_get(self.context, 1, &output) != 0) {
    std::fprintf(stderr, "zornn_outputs_get failed\n");
    return false;
  }

  if (output.buf == nullptr || output.size == 0 || output.size % element != 0 ||
      reinterpret_cast<uintptr_t>(output.buf) % element != 0) {
    return false;
  }
  const uint32_t count = output.size / element;

  uint32_t last_extent = 0;  // the last extent of at least 2, 0 when none
  for (uint32_t d = 0; d < ExaminedDims(out_attr); ++d) {
    if (out_attr.dims[d] >= 2) last_extent = out_attr.dims[d];
  }
  const uint32_t vocab_extent = VocabExtent(out_attr, frames_in, self.vocab_size);
  const int32_t vocab = static_cast<int32_t>(vocab_extent);
  if (vocab <= 0 || count % vocab_extent != 0) {
    std::fprintf(stderr, "unexpected logits size=%d vocab=%d\n",
                 static_cast<int32_t>(count), vocab);
    return false;
  }

  LogitsView view;
  if (halves) {
    view.halves = static_cast<const uint16_t*>(output.buf);
  } else {
    view.data = static_cast<const float*>(output.buf);
  }
  view.frames = static_cast<int32_t>(count / vocab_extent);
  view.vocab = vocab;
  view.vocab_major = vocab_extent != last_extent;
  read(view);
  return true;
}

}  // namespace
