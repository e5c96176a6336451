/*
 * zor_asr.h -- the C interface of libfenn, on-device speech recognition.
 *
 * libfenn turns 16 kHz PCM16 speech into text with one of two engines that
 * run their networks on the NPU: SenseVoice (CTC, with language, emotion and
 * audio-event tags) and Whisper (encoder/decoder, transcribe or translate).
 *
 * The interface is four functions and three records, plus the segments a
 * result may point at. Each record is packed, little-endian, exactly 1024
 * bytes, with 8-byte pointers; the reserved tail of every record must be zero
 * and is never read by the library. The function-pointer types (PFN_...) let
 * a caller that opens the library with dlopen resolve the entry points by
 * name.
 *
 * Status: every function returns ZOR_ASR_Status_Success (0) or
 * ZOR_ASR_Status_Failed (1); there are no other codes. The reason for a
 * failure, where there is one, is written as a single line to standard error
 * with the prefix "[zor_asr] ".
 *
 * Threads: one context serves one caller at a time. Separate contexts may be
 * used from separate threads.
 */
#ifndef ZOR_ASR_H
#define ZOR_ASR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZOR_ASR_API __attribute__((visibility("default")))
#else
#define ZOR_ASR_API
#endif

typedef enum {
  ZOR_ASR_Status_Success = 0,
  ZOR_ASR_Status_Failed = 1
} ZOR_ASRRetStatus;

typedef enum {
  ZOR_ASR_MODEL_WHISPER = 0,
  ZOR_ASR_MODEL_SENSEVOICE = 1
} ZOR_ASRModelType;

typedef enum {
  ZOR_ASR_AUDIO_FILE = 0,
  ZOR_ASR_AUDIO_PCM16 = 1
} ZOR_ASRAudioType;

/* Opaque handle of a recognition context. */
typedef void* ASRContext;

#pragma pack(push, 1)

/*
 * What zor_asr_init needs. The strings are read during the call only; the
 * library copies what it keeps.
 *
 * model_path      SenseVoice: the compiled network. Whisper: the encoder.
 * decoder_path    Whisper: the compiled decoder. Not read for SenseVoice.
 * tokenizer_path  SenseVoice: the token file ("token id" pairs).
 *                 Whisper: a directory holding "tokenizer_info.bin" and
 *                 "data.bin", or the path of "tokenizer_info.bin" itself.
 * extra_json      optional engine settings, may be NULL. Keys read:
 *                 SenseVoice "pad_mode" ("edge", "zero", "mean"), "textnorm"
 *                 ("withitn", "woitn"), "use_itn", "swap_int_inputs",
 *                 "max_frames", "decode_extra_frames"; Whisper
 *                 "filters_path", "n_threads" (default 8).
 */
typedef struct {
  uint32_t model_type; /* ZOR_ASRModelType */
  const char* model_path;
  const char* decoder_path;
  const char* tokenizer_path;
  const char* extra_json;
  uint8_t reserved[988];
} ZOR_ASRInitConfig;

/*
 * One utterance. For ZOR_ASR_AUDIO_FILE the samples come from the PCM16 WAV
 * at file_path (multi-channel files are mixed down to mono; the file's own
 * sample rate is used). For ZOR_ASR_AUDIO_PCM16 the caller's num_samples
 * mono samples at pcm are used in place; sample_rate 0 means 16000. Audio
 * that is not 16 kHz is recognised as it is, after a warning.
 *
 * language    a code such as "en" or "zh", or "auto"; NULL or "" mean "auto".
 * task        NULL, "", "transcribe", or "translate" (Whisper only).
 * timestamps  non-zero asks for segments with times (and SenseVoice's
 *             emotion and event labels) in the result; 0, as every caller
 *             that zeroes the record passes, asks for text and language only.
 *             Whisper then decodes in timestamp mode.
 */
typedef struct {
  uint32_t audio_type; /* ZOR_ASRAudioType */
  const char* file_path;
  const int16_t* pcm;
  uint32_t num_samples;
  uint32_t sample_rate;
  const char* language;
  const char* task;
  uint32_t timestamps;
  uint8_t reserved[976];
} ZOR_ASRInput;

/*
 * One stretch of the transcript: milliseconds from the start of the audio
 * (the end after the start, or equal to it), and its UTF-8 text without
 * surrounding whitespace. Times are measured in the audio's own sample rate.
 * Arrays of segments have a stride of 16 bytes.
 */
typedef struct {
  uint32_t start_ms;
  uint32_t end_ms;
  const char* text;
} ZOR_ASRSegment;

/*
 * The outcome of a transcription. text is UTF-8 and never NULL after a
 * successful call; language is NULL when the engine reported none.
 *
 * When the input asked for timestamps: segments points at n_segments
 * segments in time order (NULL when there are none, as for audio without
 * speech); SenseVoice also reports emotion (such as "NEUTRAL", "HAPPY") and
 * event (such as "Speech", "BGM"), which are NULL for Whisper. Without
 * timestamps these four fields are zero, like the reserved bytes.
 *
 * Everything the record points at (strings, the segment array and its
 * texts) belongs to the context: it stays valid until the next successful
 * zor_asr_transcribe on the same context or zor_asr_uninit, whichever comes
 * first. Copy it to keep it longer; never free it.
 */
typedef struct {
  const char* text;
  const char* language;
  const ZOR_ASRSegment* segments;
  const char* emotion;
  const char* event;
  uint32_t n_segments;
  uint8_t reserved[980];
} ZOR_ASRResult;

#pragma pack(pop)

#ifdef __cplusplus
#define ZOR_ASR_STATIC_ASSERT static_assert
#else
#define ZOR_ASR_STATIC_ASSERT _Static_assert
#endif
ZOR_ASR_STATIC_ASSERT(sizeof(ZOR_ASRInitConfig) == 1024, "ZOR_ASRInitConfig is 1024 bytes");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInitConfig, model_path) == 4, "model_path at 4");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInitConfig, decoder_path) == 12, "decoder_path at 12");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInitConfig, tokenizer_path) == 20, "tokenizer_path at 20");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInitConfig, extra_json) == 28, "extra_json at 28");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInitConfig, reserved) == 36, "reserved at 36");
ZOR_ASR_STATIC_ASSERT(sizeof(ZOR_ASRInput) == 1024, "ZOR_ASRInput is 1024 bytes");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, file_path) == 4, "file_path at 4");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, pcm) == 12, "pcm at 12");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, num_samples) == 20, "num_samples at 20");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, sample_rate) == 24, "sample_rate at 24");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, language) == 28, "language at 28");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, task) == 36, "task at 36");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, timestamps) == 44, "timestamps at 44");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRInput, reserved) == 48, "reserved at 48");
ZOR_ASR_STATIC_ASSERT(sizeof(ZOR_ASRSegment) == 16, "ZOR_ASRSegment is 16 bytes");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRSegment, end_ms) == 4, "end_ms at 4");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRSegment, text) == 8, "text at 8");
ZOR_ASR_STATIC_ASSERT(sizeof(ZOR_ASRResult) == 1024, "ZOR_ASRResult is 1024 bytes");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRResult, language) == 8, "language at 8");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRResult, segments) == 16, "segments at 16");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRResult, emotion) == 24, "emotion at 24");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRResult, event) == 32, "event at 32");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRResult, n_segments) == 40, "n_segments at 40");
ZOR_ASR_STATIC_ASSERT(offsetof(ZOR_ASRResult, reserved) == 44, "reserved at 44");

/*
 * Creates a context with one engine, chosen by cfg->model_type.
 *
 * On success *ctx_out holds the new context; on failure it holds NULL
 * (unless ctx_out itself is NULL) and nothing stays allocated. Fails for a
 * NULL argument, an unknown model type, missing paths, files that cannot be
 * opened and networks that do not load.
 */
ZOR_ASR_API ZOR_ASRRetStatus zor_asr_init(ASRContext* ctx_out, const ZOR_ASRInitConfig* cfg);

/*
 * Recognises one utterance into *result.
 *
 * *result is zeroed first, whatever happens (when result is not NULL). On
 * success result->text and result->language point at strings owned by ctx
 * (see ZOR_ASRResult). A failure leaves the context usable and the strings
 * of its earlier result still allocated.
 */
ZOR_ASR_API ZOR_ASRRetStatus zor_asr_transcribe(ASRContext ctx, const ZOR_ASRInput* input,
                                                ZOR_ASRResult* result);

/*
 * Zeroes all 1024 bytes of *result. Frees nothing: the strings and segments
 * belong to the context. Returns 1 for a NULL record.
 */
ZOR_ASR_API ZOR_ASRRetStatus zor_asr_free_result(ZOR_ASRResult* result);

/*
 * Destroys the context, its engine and the strings of its last result.
 * Always returns 0, also for a NULL context.
 */
ZOR_ASR_API ZOR_ASRRetStatus zor_asr_uninit(ASRContext ctx);

typedef ZOR_ASRRetStatus (*PFN_zor_asr_init)(ASRContext* ctx_out, const ZOR_ASRInitConfig* cfg);
typedef ZOR_ASRRetStatus (*PFN_zor_asr_transcribe)(ASRContext ctx, const ZOR_ASRInput* input,
                                                   ZOR_ASRResult* result);
typedef ZOR_ASRRetStatus (*PFN_zor_asr_free_result)(ZOR_ASRResult* result);
typedef ZOR_ASRRetStatus (*PFN_zor_asr_uninit)(ASRContext ctx);

#ifdef __cplusplus
}
#endif

#endif /* ZOR_ASR_H */
