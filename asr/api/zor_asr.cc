// The front door of libfenn: the four C entry points, engine selection by
// model type, audio intake, and the result strings owned by the context.
#include "zor_asr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "api/asr_engines.h"
#include "api/extra_json.h"
#include "api/wav_reader.h"
#include "npu/sense_voice_network.h"

// What an ASRContext handle points to. Exactly one engine handle is set in a
// context that zor_asr_init returned. text and language are malloc'd copies
// of the last successful result; both null until then. The timestamp
// fields hold what the last successful result's record points at when the
// caller asked for timestamps, and are empty otherwise.
struct AsrEngineContext {
  uint32_t model_type = 0;
  sense_voice_engine* sense_voice = nullptr;
  whisper_asr_engine* whisper = nullptr;
  char* text = nullptr;
  char* language = nullptr;
  std::vector<asr_segment> timed;         // owns the segment texts
  std::vector<ZOR_ASRSegment> segments;  // the caller's view of timed
  std::string emotion;
  std::string event;
};

namespace {

constexpr const char kTokenizerFileName[] = "tokenizer_info.bin";
constexpr size_t kTokenizerFileNameLength = sizeof(kTokenizerFileName) - 1;
constexpr uint32_t kExpectedSampleRate = 16000;
constexpr int32_t kDefaultWhisperThreads = 8;

bool IsEmpty(const char* s) { return s == nullptr || *s == '\0'; }

void ClearResult(ZOR_ASRResult* result) { std::memset(result, 0, sizeof *result); }

void FreeResultStrings(AsrEngineContext* ctx) {
  std::free(ctx->text);
  std::free(ctx->language);
  ctx->text = nullptr;
  ctx->language = nullptr;
}

// Releases everything a context holds, engines in reverse order of weight.
void DestroyContext(AsrEngineContext* ctx) {
  if (ctx == nullptr) return;
  FreeResultStrings(ctx);
  if (ctx->whisper != nullptr) whisper_asr_destroy(ctx->whisper);
  if (ctx->sense_voice != nullptr) sense_voice_destroy(ctx->sense_voice);
  delete ctx;
}

struct ContextDeleter {
  void operator()(AsrEngineContext* ctx) const { DestroyContext(ctx); }
};
using ContextPtr = std::unique_ptr<AsrEngineContext, ContextDeleter>;

char* CopyString(const char* s) {
  const size_t n = std::strlen(s) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

bool EndsWith(const std::string& s, const char* suffix, size_t suffix_length) {
  return s.size() >= suffix_length &&
         s.compare(s.size() - suffix_length, suffix_length, suffix) == 0;
}

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

bool CanOpenForReading(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

bool InitSenseVoice(AsrEngineContext* ctx, const ZOR_ASRInitConfig* cfg) {
  if (IsEmpty(cfg->model_path) || IsEmpty(cfg->tokenizer_path)) {
    std::fprintf(stderr, "[zor_asr] SenseVoice requires model_path and tokenizer_path\n");
    return false;
  }
  const char* json = cfg->extra_json;
  const std::string pad_mode = GetJsonString(json, "pad_mode", "edge");
  const std::string textnorm = GetJsonString(json, "textnorm", "");

  sense_voice_config config{};
  config.model_path = cfg->model_path;
  config.tokenizer_path = cfg->tokenizer_path;
  config.use_itn = GetJsonInt(json, "use_itn", 0);
  config.swap_int_inputs = GetJsonInt(json, "swap_int_inputs", 0);
  config.max_frames = GetJsonInt(json, "max_frames", 0);
  config.decode_extra_frames = GetJsonInt(json, "decode_extra_frames", kSenseVoiceDefaultDecodeExtraFrames);
  config.pad_mode = pad_mode.c_str();
  config.textnorm = textnorm.empty() ? nullptr : textnorm.c_str();

  ctx->sense_voice = sense_voice_create(&config);
  if (ctx->sense_voice == nullptr) {
    std::fprintf(stderr, "[zor_asr] sense_voice_create failed\n");
    return false;
  }
  return true;
}

bool InitWhisper(AsrEngineContext* ctx, const ZOR_ASRInitConfig* cfg) {
  if (IsEmpty(cfg->model_path) || IsEmpty(cfg->decoder_path) || IsEmpty(cfg->tokenizer_path)) {
    std::fprintf(stderr,
                 "[zor_asr] Whisper requires model_path (encoder), decoder_path, and "
                 "tokenizer_path\n");
    return false;
  }
  const char* json = cfg->extra_json;
  const std::string filters_path = GetJsonString(json, "filters_path", "");

  // tokenizer_path names either "tokenizer_info.bin" itself or the directory
  // that holds it; the mel filters ("data.bin") sit in the same directory
  // unless filters_path says otherwise.
  const std::string given = cfg->tokenizer_path;
  std::string tokenizer_file;
  std::string directory;
  if (EndsWith(given, kTokenizerFileName, kTokenizerFileNameLength)) {
    tokenizer_file = given;
    const size_t slash = given.find_last_of("/\\");
    directory = slash == std::string::npos ? std::string() : given.substr(0, slash + 1);
  } else {
    directory = given;
    if (!IsPathSeparator(directory.back())) directory.push_back('/');
    tokenizer_file = directory + kTokenizerFileName;
  }
  const std::string mel_filters_file =
      filters_path.empty() ? directory + "data.bin" : filters_path;

  if (!CanOpenForReading(tokenizer_file)) {
    std::fprintf(stderr, "[zor_asr] cannot open tokenizer '%s'\n", tokenizer_file.c_str());
    return false;
  }
  if (!CanOpenForReading(mel_filters_file)) {
    std::fprintf(stderr, "[zor_asr] cannot open mel filters '%s'\n", mel_filters_file.c_str());
    return false;
  }

  int32_t n_threads = GetJsonInt(json, "n_threads", kDefaultWhisperThreads);
  if (n_threads < 1) n_threads = kDefaultWhisperThreads;

  ctx->whisper = whisper_asr_create(cfg->model_path, cfg->decoder_path, tokenizer_file.c_str(),
                                    mel_filters_file.c_str(), n_threads);
  if (ctx->whisper == nullptr) {
    std::fprintf(stderr, "[zor_asr] whisper_asr_create failed\n");
    return false;
  }
  return true;
}

// Replaces the context's result strings with copies of text (null counts as
// "") and language (null stays null) and points *result at them.
ZOR_ASRRetStatus FillResult(AsrEngineContext* ctx, ZOR_ASRResult* result, const char* text,
                            const char* language) {
  ClearResult(result);
  // Copies first: when one cannot be made, the earlier result stays as the
  // header promises.
  char* text_copy = CopyString(text != nullptr ? text : "");
  char* language_copy = language != nullptr ? CopyString(language) : nullptr;
  if (text_copy == nullptr || (language != nullptr && language_copy == nullptr)) {
    std::free(text_copy);
    std::free(language_copy);
    std::fprintf(stderr, "[zor_asr] out of memory\n");
    return ZOR_ASR_Status_Failed;
  }
  FreeResultStrings(ctx);
  ctx->text = text_copy;
  ctx->language = language_copy;
  result->text = ctx->text;
  result->language = ctx->language;
  return ZOR_ASR_Status_Success;
}

// Milliseconds at sample_rate of a sample position, kept within the audio
// (an engine may time a token on the frames decoded past its end) and
// within the record's 32 bits.
uint32_t SampleToMs(int64_t sample, size_t n_samples, uint32_t sample_rate) {
  const uint64_t clamped =
      static_cast<uint64_t>(std::min<int64_t>(std::max<int64_t>(sample, 0),
                                              static_cast<int64_t>(n_samples)));
  const uint64_t ms = clamped * 1000 / (sample_rate != 0 ? sample_rate : kExpectedSampleRate);
  return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
}

// After a successful FillResult of a call that asked for timestamps: takes
// the engine's segments and labels into the context and points *result at
// them. emotion and event may be null (Whisper).
void FillTimestamps(AsrEngineContext* ctx, ZOR_ASRResult* result,
                    std::vector<asr_segment> timed, const char* emotion, const char* event,
                    size_t n_samples, uint32_t sample_rate) {
  ctx->timed = std::move(timed);
  ctx->segments.clear();
  ctx->segments.reserve(ctx->timed.size());
  for (const asr_segment& segment : ctx->timed) {
    ZOR_ASRSegment out{};
    out.start_ms = SampleToMs(segment.start_sample, n_samples, sample_rate);
    out.end_ms = std::max(out.start_ms, SampleToMs(segment.end_sample, n_samples, sample_rate));
    out.text = segment.text.c_str();
    ctx->segments.push_back(out);
  }
  ctx->emotion = emotion != nullptr ? emotion : "";
  ctx->event = event != nullptr ? event : "";
  result->segments = ctx->segments.empty() ? nullptr : ctx->segments.data();
  result->n_segments = static_cast<uint32_t>(ctx->segments.size());
  result->emotion = emotion != nullptr ? ctx->emotion.c_str() : nullptr;
  result->event = event != nullptr ? ctx->event.c_str() : nullptr;
}

void ClearTimestamps(AsrEngineContext* ctx) {
  ctx->timed.clear();
  ctx->segments.clear();
  ctx->emotion.clear();
  ctx->event.clear();
}

struct SenseVoiceResultReleaser {
  sense_voice_result* record;
  ~SenseVoiceResultReleaser() { sense_voice_free_result(record); }
};

ZOR_ASRRetStatus Transcribe(AsrEngineContext* ctx, const ZOR_ASRInput* input,
                            ZOR_ASRResult* result) {
  const bool is_sense_voice = ctx->model_type != ZOR_ASR_MODEL_WHISPER;
  if ((is_sense_voice ? static_cast<void*>(ctx->sense_voice)
                      : static_cast<void*>(ctx->whisper)) == nullptr) {
    ClearResult(result);
    return ZOR_ASR_Status_Failed;
  }
  ClearResult(result);

  // The task is checked before any audio is read.
  const char* task = input->task;
  if (task != nullptr && *task != '\0' && std::strcmp(task, "transcribe") != 0) {
    if (std::strcmp(task, "translate") != 0) {
      std::fprintf(stderr, "[zor_asr] unsupported task '%s'\n", task);
      return ZOR_ASR_Status_Failed;
    }
    if (is_sense_voice) {
      std::fprintf(stderr, "[zor_asr] unsupported task '%s' (SenseVoice is transcribe-only)\n",
                   task);
      return ZOR_ASR_Status_Failed;
    }
  }

  WavData wav;  // owns the decoded file samples until the end of the call
  const int16_t* samples = nullptr;
  size_t n_samples = 0;
  uint32_t sample_rate = kExpectedSampleRate;
  switch (input->audio_type) {
    case ZOR_ASR_AUDIO_FILE: {
      if (IsEmpty(input->file_path)) return ZOR_ASR_Status_Failed;
      std::string error;
      if (!ReadWavPcm16(input->file_path, &wav, &error)) {
        std::fprintf(stderr, "[zor_asr] failed to read wav: %s\n", error.c_str());
        return ZOR_ASR_Status_Failed;
      }
      samples = wav.samples.data();
      n_samples = wav.samples.size();
      sample_rate = wav.sample_rate;
      break;
    }
    case ZOR_ASR_AUDIO_PCM16:
      if (input->pcm == nullptr || input->num_samples == 0) return ZOR_ASR_Status_Failed;
      samples = input->pcm;
      n_samples = input->num_samples;
      if (input->sample_rate != 0) sample_rate = input->sample_rate;
      break;
    default:
      return ZOR_ASR_Status_Failed;
  }
  if (sample_rate != kExpectedSampleRate) {
    // Printed unsigned: the rate is a u32 from the file or the caller.
    std::fprintf(stderr, "[zor_asr] warning: sample rate is %u, expected 16000\n", sample_rate);
  }
  const char* language = IsEmpty(input->language) ? "auto" : input->language;
  const bool timestamps = input->timestamps != 0;
  // Without timestamps the engines are reached through their exported
  // entry points, exactly as before timestamps existed.
  std::vector<asr_segment> timed;

  // The engine's result record lives to the end of the call, so its labels
  // can be copied after the text.
  sense_voice_result recognized{};
  SenseVoiceResultReleaser release{&recognized};
  std::string text;
  std::string detected_language;
  ZOR_ASRRetStatus status;
  if (is_sense_voice) {
    const int rc = timestamps ? sense_voice_timed_recognize(ctx->sense_voice, samples, n_samples,
                                                            language, &recognized, &timed)
                              : sense_voice_recognize(ctx->sense_voice, samples, n_samples,
                                                      language, &recognized);
    if (rc != 0) return ZOR_ASR_Status_Failed;
    status = FillResult(ctx, result, recognized.text, recognized.language);
  } else {
    const int rc = timestamps ? whisper_asr_timed_recognize(ctx->whisper, samples, n_samples,
                                                            language, task, text,
                                                            detected_language, &timed)
                              : whisper_asr_recognize(ctx->whisper, samples, n_samples, language,
                                                      task, text, detected_language);
    if (rc != 0) return ZOR_ASR_Status_Failed;
    status = FillResult(ctx, result, text.c_str(), detected_language.c_str());
  }
  if (status != ZOR_ASR_Status_Success) return status;
  ClearTimestamps(ctx);
  if (timestamps) {
    FillTimestamps(ctx, result, std::move(timed), recognized.emotion, recognized.event,
                   n_samples, sample_rate);
  }
  return status;
}

// Reports an exception caught at the C boundary.
void ReportException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "[zor_asr] out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[zor_asr] internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "[zor_asr] internal error\n");
  }
}

}  // namespace

extern "C" {

ZOR_ASRRetStatus zor_asr_init(ASRContext* ctx_out, const ZOR_ASRInitConfig* cfg) {
  if (ctx_out == nullptr) return ZOR_ASR_Status_Failed;
  // Cleared before anything else, so that every failure, a null cfg
  // included, leaves the caller's handle null rather than stale.
  *ctx_out = nullptr;
  if (cfg == nullptr) return ZOR_ASR_Status_Failed;
  try {
    ContextPtr ctx(new AsrEngineContext());
    ctx->model_type = cfg->model_type;
    bool ok;
    switch (cfg->model_type) {
      case ZOR_ASR_MODEL_SENSEVOICE:
        ok = InitSenseVoice(ctx.get(), cfg);
        break;
      case ZOR_ASR_MODEL_WHISPER:
        ok = InitWhisper(ctx.get(), cfg);
        break;
      default:
        std::fprintf(stderr, "[zor_asr] unknown model_type=%d\n",
                     static_cast<int>(cfg->model_type));
        ok = false;
        break;
    }
    if (!ok) return ZOR_ASR_Status_Failed;
    *ctx_out = ctx.release();
    return ZOR_ASR_Status_Success;
  } catch (...) {
    ReportException();
    return ZOR_ASR_Status_Failed;
  }
}

ZOR_ASRRetStatus zor_asr_transcribe(ASRContext ctx, const ZOR_ASRInput* input,
                                    ZOR_ASRResult* result) {
  if (result == nullptr) return ZOR_ASR_Status_Failed;
  if (ctx == nullptr || input == nullptr) {
    ClearResult(result);
    return ZOR_ASR_Status_Failed;
  }
  try {
    return Transcribe(static_cast<AsrEngineContext*>(ctx), input, result);
  } catch (...) {
    ReportException();
    ClearResult(result);
    return ZOR_ASR_Status_Failed;
  }
}

ZOR_ASRRetStatus zor_asr_free_result(ZOR_ASRResult* result) {
  if (result == nullptr) return ZOR_ASR_Status_Failed;
  ClearResult(result);
  return ZOR_ASR_Status_Success;
}

ZOR_ASRRetStatus zor_asr_uninit(ASRContext ctx) {
  DestroyContext(static_cast<AsrEngineContext*>(ctx));
  return ZOR_ASR_Status_Success;
}

}  // extern "C"
