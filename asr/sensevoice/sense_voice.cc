// The SenseVoice engine behind libfenn's front door: features, one network
// run with the language and text-normalisation ids, greedy CTC decoding of
// the frames that carry speech, and transcript assembly.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "api/asr_engines.h"
#include "npu/brio_model.h"
#include "sensevoice/ctc_greedy_decoder.h"
#include "sensevoice/sense_voice_features.h"
#include "sensevoice/symbol_table.h"
#include "sensevoice/transcript.h"

namespace {

// Ids of the network's training vocabulary.
constexpr int kLanguageAuto = 0;
constexpr int kTextNormWithItn = 14;
constexpr int kTextNormWithoutItn = 15;

int LanguageId(const char* language) {
  struct Entry {
    const char* code;
    int id;
  };
  static const Entry kLanguages[] = {{"zh", 3},  {"en", 4},  {"yue", 7},
                                     {"ja", 11}, {"ko", 12}, {"nospeech", 13}};
  if (language == nullptr) return kLanguageAuto;
  for (const Entry& e : kLanguages) {
    if (std::strcmp(language, e.code) == 0) return e.id;
  }
  return kLanguageAuto;  // "auto" and everything unknown: let the network decide
}

char* CopyString(const std::string& s) {
  char* copy = static_cast<char*>(std::malloc(s.size() + 1));
  if (copy != nullptr) std::memcpy(copy, s.c_str(), s.size() + 1);
  return copy;
}

void FreeResult(sense_voice_result* r) {
  std::free(r->language);
  std::free(r->emotion);
  std::free(r->event);
  std::free(r->textnorm);
  std::free(r->text);
  r->language = r->emotion = r->event = r->textnorm = r->text = nullptr;
}

}  // namespace

struct sense_voice_engine {
  // The caller's settings; pad_mode and textnorm point at the strings below
  // and the two paths are not used after creation.
  sense_voice_config config{};
  std::string model_path;
  std::string tokenizer_path;
  std::string pad_mode = "edge";
  std::string textnorm;
  std::unique_ptr<BrioModel> model;
  std::unique_ptr<SymbolTable> symbols;
  CtcGreedyDecoder decoder;
  // The best token of each decoded frame (index = frame) of the last
  // recognition; its small storage is reused. The logits themselves are
  // read in the runtime's buffer and never kept.
  std::vector<int32_t> best_tokens;

  ~sense_voice_engine() {
    // The table goes before the model, which destroys its NPU context.
    symbols.reset();
    model.reset();
  }
};

namespace {

int Recognize(sense_voice_engine& engine, const int16_t* samples, size_t n_samples,
              const char* language, sense_voice_result* out,
              std::vector<asr_segment>* segments) {
  const sense_voice_config& cfg = engine.config;
  int frames = kSenseVoiceDefaultFrames;
  if (cfg.max_frames > 0) {
    frames = cfg.max_frames;
  } else if (engine.model->frames > 0) {
    frames = engine.model->frames;
  }

  // Audio past what the frame count can hold is cropped by the features
  // anyway; leaving it out keeps the count within int range and spares
  // computing filter banks that would be dropped.
  const size_t used = std::min({n_samples, SenseVoiceSamplesNeeded(frames),
                                static_cast<size_t>(std::numeric_limits<int>::max())});
  std::vector<float> pcm(used);
  for (size_t i = 0; i < used; ++i) pcm[i] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
  const SenseVoiceFeatures features =
      ExtractFeatures(pcm.data(), static_cast<int>(used), frames, engine.pad_mode);

  const int language_id = LanguageId(language);
  int text_norm_id;
  if (engine.textnorm == "withitn") {
    text_norm_id = kTextNormWithItn;
  } else if (engine.textnorm == "woitn") {
    text_norm_id = kTextNormWithoutItn;
  } else {
    text_norm_id = cfg.use_itn != 0 ? kTextNormWithItn : kTextNormWithoutItn;
  }
  const std::string default_textnorm = text_norm_id == kTextNormWithItn ? "withitn" : "woitn";

  // Frames decoded: the speech, the four frames the network puts first, and
  // the extra frames; taken in 64 bits, as the setting may be near INT_MAX.
  const int64_t extra =
      cfg.decode_extra_frames > 0 ? cfg.decode_extra_frames : kSenseVoiceDefaultDecodeExtraFrames;
  const int64_t wanted = int64_t{features.valid_frames} + kSenseVoiceQueryFrames + extra;

  // The best token of each decoded frame, read straight from the runtime's
  // output while it is valid, in whichever layout the runtime gives.
  std::vector<int32_t>& best = engine.best_tokens;
  best.clear();
  const bool ran = engine.model->ForwardInPlace(
      features.feats.data(), features.frames, kSenseVoiceFeatureDim, language_id, text_norm_id,
      cfg.swap_int_inputs != 0, [&best, wanted](const LogitsView& out) {
        if (out.frames < 1 || out.vocab < 1) return;
        const int n = static_cast<int>(std::min<int64_t>(wanted, out.frames));
        best.resize(static_cast<size_t>(n));
        if (out.halves != nullptr) {
          CtcGreedyDecoder::BestTokens(out.halves, out.frames, out.vocab, out.vocab_major, n,
                                       best.data());
        } else {
          CtcGreedyDecoder::BestTokens(out.data, out.frames, out.vocab, out.vocab_major, n,
                                       best.data());
        }
      });
  if (!ran || best.empty()) return -1;
  const int decoded_frames = static_cast<int>(best.size());
  const std::vector<CtcToken> tokens = engine.decoder.CollapseTimed(best.data(), decoded_frames);
  std::vector<int> ids(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) ids[i] = tokens[i].id;
  if (segments != nullptr) *segments = SegmentTranscript(tokens, *engine.symbols);

  const SenseVoiceTranscript t =
      AssembleTranscript(ids, *engine.symbols, language, default_textnorm);
  out->language = CopyString(t.language);
  out->emotion = CopyString(t.emotion);
  out->event = CopyString(t.event);
  out->textnorm = CopyString(t.textnorm);
  out->text = CopyString(t.text);
  if (!out->language || !out->emotion || !out->event || !out->textnorm || !out->text) {
    FreeResult(out);
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" {

sense_voice_engine* sense_voice_create(const sense_voice_config* config) {
  if (config == nullptr || config->model_path == nullptr || config->tokenizer_path == nullptr) {
    return nullptr;
  }
  try {
    auto engine = std::make_unique<sense_voice_engine>();
    engine->config = *config;
    engine->model_path = config->model_path;
    engine->tokenizer_path = config->tokenizer_path;
    if (config->pad_mode != nullptr) engine->pad_mode = config->pad_mode;
    if (config->textnorm != nullptr) engine->textnorm = config->textnorm;
    // The caller's strings do not outlive this call.
    engine->config.model_path = engine->model_path.c_str();
    engine->config.tokenizer_path = engine->tokenizer_path.c_str();
    engine->config.pad_mode = engine->pad_mode.c_str();
    engine->config.textnorm = engine->textnorm.empty() ? nullptr : engine->textnorm.c_str();

    engine->model = std::make_unique<BrioModel>(engine->model_path);
    if (!engine->model->loaded) return nullptr;  // the model has said why
    engine->symbols = std::make_unique<SymbolTable>(engine->tokenizer_path);
    if (!engine->symbols->loaded) return nullptr;
    engine->model->vocab_size = static_cast<uint32_t>(engine->symbols->size());
    engine->decoder.blank_id = 0;
    return engine.release();
  } catch (...) {
    return nullptr;
  }
}

int sense_voice_recognize(sense_voice_engine* engine, const int16_t* samples, size_t n_samples,
                          const char* language, sense_voice_result* out) {
  return sense_voice_timed_recognize(engine, samples, n_samples, language, out, nullptr);
}

}  // extern "C"

int sense_voice_timed_recognize(sense_voice_engine* engine, const int16_t* samples,
                                size_t n_samples, const char* language, sense_voice_result* out,
                                std::vector<asr_segment>* segments) {
  if (engine == nullptr || !engine->model || !engine->symbols || samples == nullptr ||
      n_samples == 0 || out == nullptr) {
    return -1;
  }
  out->language = out->emotion = out->event = out->textnorm = out->text = nullptr;
  try {
    return Recognize(*engine, samples, n_samples, language, out, segments);
  } catch (...) {
    FreeResult(out);
    return -1;
  }
}

extern "C" {

void sense_voice_free_result(sense_voice_result* result) {
  if (result != nullptr) FreeResult(result);
}

void sense_voice_destroy(sense_voice_engine* engine) { delete engine; }

}  // extern "C"
