// The engine entry points behind the front door, and the records the front
// door exchanges with the SenseVoice engine. Exported with C linkage so that
// tools and tests can drive an engine directly.
#ifndef ZOR_ASR_API_ASR_ENGINES_H_
#define ZOR_ASR_API_ASR_ENGINES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zor_asr.h"

extern "C" {

// Settings of a SenseVoice engine. The strings live only until
// sense_voice_create returns; the engine copies what it keeps.
struct sense_voice_config {
  const char* model_path;
  const char* tokenizer_path;
  int32_t use_itn;              // non-zero: "withitn" unless textnorm says otherwise
  int32_t swap_int_inputs;      // non-zero: swap the language and textnorm id inputs
  int32_t max_frames;           // network frame count; <= 0: the model's own
  int32_t decode_extra_frames;  // frames decoded beyond the speech; <= 0: 24
  const char* pad_mode;         // "edge" (NULL), "zero" or "mean"
  const char* textnorm;         // "withitn", "woitn", or NULL to follow use_itn
};
static_assert(sizeof(sense_voice_config) == 48, "sense_voice_config is 48 bytes");
static_assert(offsetof(sense_voice_config, tokenizer_path) == 8, "tokenizer_path at 8");
static_assert(offsetof(sense_voice_config, use_itn) == 16, "use_itn at 16");
static_assert(offsetof(sense_voice_config, swap_int_inputs) == 20, "swap_int_inputs at 20");
static_assert(offsetof(sense_voice_config, max_frames) == 24, "max_frames at 24");
static_assert(offsetof(sense_voice_config, decode_extra_frames) == 28, "decode_extra_frames at 28");
static_assert(offsetof(sense_voice_config, pad_mode) == 32, "pad_mode at 32");
static_assert(offsetof(sense_voice_config, textnorm) == 40, "textnorm at 40");

// One recognition, as malloc'd strings released by sense_voice_free_result.
struct sense_voice_result {
  char* language;
  char* emotion;
  char* event;
  char* textnorm;
  char* text;
};
static_assert(sizeof(sense_voice_result) == 40, "sense_voice_result is 40 bytes");
static_assert(offsetof(sense_voice_result, text) == 32, "text at 32");

struct sense_voice_engine;
struct whisper_asr_engine;

ZOR_ASR_API sense_voice_engine* sense_voice_create(const sense_voice_config* config);
// Returns 0 on success and fills *out; -1 on failure.
ZOR_ASR_API int sense_voice_recognize(sense_voice_engine* engine, const int16_t* samples,
                                      size_t n_samples, const char* language,
                                      sense_voice_result* out);
ZOR_ASR_API void sense_voice_free_result(sense_voice_result* result);
ZOR_ASR_API void sense_voice_destroy(sense_voice_engine* engine);

}  // extern "C"

// The Whisper engine is exported with its typed (mangled) C++ signatures:
// its recognise hands the text and language back as standard strings.
ZOR_ASR_API whisper_asr_engine* whisper_asr_create(const char* encoder_path,
                                                   const char* decoder_path,
                                                   const char* tokenizer_file,
                                                   const char* mel_filters_file, int n_threads);
// Returns 0 on success with both strings filled (they are empty on entry);
// -1 on failure. task is passed exactly as the caller gave it.
ZOR_ASR_API int whisper_asr_recognize(whisper_asr_engine* engine, const int16_t* samples,
                                      size_t n_samples, const char* language, const char* task,
                                      std::string& text_out, std::string& language_out);
ZOR_ASR_API void whisper_asr_destroy(whisper_asr_engine* engine);

// Internal to libfenn (not exported): recognition that also reports when
// each stretch of the text was said, for the front door's timestamps.
// Positions are sample indices of the 16 kHz input; the front door turns
// them into milliseconds of the audio's real rate.
struct asr_segment {
  int64_t start_sample;
  int64_t end_sample;
  std::string text;  // without surrounding whitespace, never empty
};

// sense_voice_recognize, and when segments is not null, the text split into
// segments at sentence punctuation and at pauses.
int sense_voice_timed_recognize(sense_voice_engine* engine, const int16_t* samples,
                                size_t n_samples, const char* language, sense_voice_result* out,
                                std::vector<asr_segment>* segments);

// whisper_asr_recognize, and when segments is not null, decoding in
// timestamp mode: the text of each segment the model timed (one segment
// per chunk where it gave no times). The text is then what the segments
// say, joined.
int whisper_asr_timed_recognize(whisper_asr_engine* engine, const int16_t* samples,
                                size_t n_samples, const char* language, const char* task,
                                std::string& text_out, std::string& language_out,
                                std::vector<asr_segment>* segments);

#endif  // ZOR_ASR_API_ASR_ENGINES_H_
