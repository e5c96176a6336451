/*
 * lumo.h: the binary interface of the board's LLM runtime (liblumo.so), base
 * API. The runtime is a closed C library; this header declares what _lumo
 * passes to it and relies on. The extension records (init/run extensions,
 * vision information) live in lumo_ext.h, which this header includes.
 *
 * Every enumeration is a 4-byte integer (unsigned, except
 * ZOR_LLMVisionDataType). Records are little-endian with fixed offsets; each
 * offset the interface fixes is checked by a static assertion below. Callers
 * zero-fill every record before passing it, so reserved areas and fields
 * they do not set are 0 or null.
 *
 * Ownership and threads, as the runtime's callers rely on them:
 *  - Text pointers and buffers passed in (init config, input, run config,
 *    image arrays and pixel buffers) are valid only during the call.
 *  - zor_llm_run is synchronous. While it runs, the runtime calls the result
 *    callback once per generated piece (ZOR_LLM_RUN_NORMAL) and once at the
 *    end (ZOR_LLM_RUN_FINISH or ZOR_LLM_RUN_ERROR), and the tool-call
 *    callback once per parsed tool call. Both may come from any thread and
 *    receive the run's userdata unchanged.
 *  - zor_llm_break may be called from another thread, or from inside the
 *    result callback, while zor_llm_run is in progress.
 *  - Every function returns ZOR_LLM_Status_Success (0) or
 *    ZOR_LLM_Status_Failed (1).
 */
#ifndef ZOR_LUMO_H
#define ZOR_LUMO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ZOR_LUMO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define ZOR_LUMO_ALIGNOF(type) alignof(type)
extern "C" {
#else
#define ZOR_LUMO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define ZOR_LUMO_ALIGNOF(type) _Alignof(type)
#endif

/* ---- Enumerations ------------------------------------------------------ */

typedef enum {
  ZOR_LLM_Status_Success = 0,
  ZOR_LLM_Status_Failed = 1
} ZOR_LLMRetStatus;

typedef enum {
  ZOR_LLM_RUN_NORMAL = 0,  /* one generated piece */
  ZOR_LLM_RUN_FINISH = 1,  /* the run ended normally (last delivery) */
  ZOR_LLM_RUN_ERROR = 2    /* the run ended with an error (last delivery) */
} ZOR_LLMRunStatus;

typedef enum {
  ZOR_LLM_RUN_GENERATE = 0,
  ZOR_LLM_RUN_EMBEDDING = 1
} ZOR_LLMRunMode;

typedef enum {
  ZOR_LLM_ARG_Max = 0,
  ZOR_LLM_TOP_P = 1,
  ZOR_LLM_TOP_K = 2,
  ZOR_LLM_CHAIN_SAMPLER = 3
} ZOR_LLMSamplingMode;

typedef enum {
  ZOR_LLM_INPUT_PROMPT = 0,
  ZOR_LLM_INPUT_MULTIMODAL = 1,
  ZOR_LLM_INPUT_TOKEN = 2,
  ZOR_LLM_INPUT_MESSAGES = 3  /* OpenAI-format messages JSON, rendered by the runtime */
} ZOR_LLMInputType;

typedef enum {
  ZOR_LLM_IMAGE_TYPE_BUFFER = 0,  /* width * height * 3 bytes of packed RGB888 */
  ZOR_LLM_IMAGE_TYPE_TENSOR = 1,
  ZOR_LLM_IMAGE_TYPE_FILE = 2,
  ZOR_LLM_IMAGE_TYPE_BASE64 = 3
} ZOR_LLMImageType;

typedef enum {
  ZOR_LLM_MSG_TYPE_TEXT = 0,
  ZOR_LLM_MSG_TYPE_REASONING = 1,
  ZOR_LLM_MSG_TYPE_TOOL = 2
} ZOR_LLMMessageType;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMRetStatus) == 4, "ZOR_LLMRetStatus is 4 bytes");
ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMRunStatus) == 4, "ZOR_LLMRunStatus is 4 bytes");
ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMRunMode) == 4, "ZOR_LLMRunMode is 4 bytes");
ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMSamplingMode) == 4, "ZOR_LLMSamplingMode is 4 bytes");
ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMInputType) == 4, "ZOR_LLMInputType is 4 bytes");
ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMImageType) == 4, "ZOR_LLMImageType is 4 bytes");
ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMMessageType) == 4, "ZOR_LLMMessageType is 4 bytes");
#ifndef __cplusplus
/* Unsigned enumerations: with no negative enumerator the compiler picks
 * unsigned int, which is what the runtime expects. (C++ cannot test this in a
 * constant expression: -1 lies outside these enumerations' value range.) */
ZOR_LUMO_STATIC_ASSERT((ZOR_LLMSamplingMode)-1 > 0, "ZOR_LLMSamplingMode is unsigned");
#endif

/* Opaque handles. */
typedef void* LLMContext;          /* owned by the runtime */
typedef void* VLM_VisionProjector;

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The extension records need the enumerations above and are needed by the
 * records below. */
#include "lumo_ext.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Records ----------------------------------------------------------- */

/* Initialisation settings, 1056 bytes, natural alignment (8). The packed
 * extension starts at offset 28, so its pointers sit at 28, 36, ..., 68. */
typedef struct {
  const char* model_path;
  ZOR_LLMSamplingMode sampling_mode;
  int32_t top_k;
  float top_p;
  float temperature;
  float repeat_penalty;
  ZOR_LLMInitExtend init_extend;
} ZOR_LLMInitConfig;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMInitConfig) == 1056, "ZOR_LLMInitConfig size");
ZOR_LUMO_STATIC_ASSERT(ZOR_LUMO_ALIGNOF(ZOR_LLMInitConfig) == 8, "ZOR_LLMInitConfig alignment");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, model_path) == 0, "model_path offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, sampling_mode) == 8, "sampling_mode offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, top_k) == 12, "top_k offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, top_p) == 16, "top_p offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, temperature) == 20, "temperature offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, repeat_penalty) == 24, "repeat_penalty offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) == 28, "init_extend offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) + offsetof(ZOR_LLMInitExtend, vision_model_path) == 28,
                       "init_extend.vision_model_path offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) + offsetof(ZOR_LLMInitExtend, sampler_params_json) == 36,
                       "init_extend.sampler_params_json offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) + offsetof(ZOR_LLMInitExtend, model_name_override) == 44,
                       "init_extend.model_name_override offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) + offsetof(ZOR_LLMInitExtend, custom_jinja_template) == 52,
                       "init_extend.custom_jinja_template offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) + offsetof(ZOR_LLMInitExtend, mmproj_input) == 60,
                       "init_extend.mmproj_input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInitConfig, init_extend) + offsetof(ZOR_LLMInitExtend, mmproj_config) == 68,
                       "init_extend.mmproj_config offset");

/* Per-run settings, 1036 bytes, alignment 4; the packed extension at 12. */
typedef struct {
  ZOR_LLMRunMode run_mode;
  int32_t retain_history;
  int32_t enable_think;
  ZOR_LLMRunExtend run_extend;
} ZOR_LLMRunConfig;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMRunConfig) == 1036, "ZOR_LLMRunConfig size");
ZOR_LUMO_STATIC_ASSERT(ZOR_LUMO_ALIGNOF(ZOR_LLMRunConfig) == 4, "ZOR_LLMRunConfig alignment");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunConfig, run_mode) == 0, "run_mode offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunConfig, retain_history) == 4, "retain_history offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunConfig, enable_think) == 8, "enable_think offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMRunConfig, run_extend) == 12, "run_extend offset");

/* One image, 32 bytes. For ZOR_LLM_IMAGE_TYPE_BUFFER, data points at
 * width * height * 3 bytes of RGB888, row after row, no row padding. */
typedef struct {
  ZOR_LLMImageType type;
  const void* data;
  uint32_t width;
  uint32_t height;
  uint64_t timestamp;
} ZOR_LLMImageInput;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMImageInput) == 32, "ZOR_LLMImageInput size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMImageInput, type) == 0, "type offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMImageInput, data) == 8, "data offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMImageInput, width) == 16, "width offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMImageInput, height) == 20, "height offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMImageInput, timestamp) == 24, "timestamp offset");

/* Text (prompt or messages JSON) with images, 56 bytes. */
typedef struct {
  const char* prompt;
  ZOR_LLMImageInput* img_inputs;
  uint32_t img_count;
  const char* img_start;
  const char* img_end;
  const char* img_content;
  uint32_t sample_rate_num;
  uint32_t sample_rate_den;
} ZOR_LLMMultimodalInput;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMMultimodalInput) == 56, "ZOR_LLMMultimodalInput size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, prompt) == 0, "prompt offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, img_inputs) == 8, "img_inputs offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, img_count) == 16, "img_count offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, img_start) == 24, "img_start offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, img_end) == 32, "img_end offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, img_content) == 40, "img_content offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, sample_rate_num) == 48, "sample_rate_num offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMMultimodalInput, sample_rate_den) == 52, "sample_rate_den offset");

/* Token ids as input, 16 bytes. */
typedef struct {
  int32_t* input_ids;
  int32_t n_tokens;
} ZOR_LLMTokenInput;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMTokenInput) == 16, "ZOR_LLMTokenInput size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMTokenInput, input_ids) == 0, "input_ids offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMTokenInput, n_tokens) == 8, "n_tokens offset");

/* The input of one run, 72 bytes. input_type selects the union member:
 * PROMPT and MESSAGES use prompt_input (or multimodal_input when images come
 * with it), TOKEN uses token_input. */
typedef struct {
  ZOR_LLMInputType input_type;
  union {
    const char* prompt_input;
    ZOR_LLMMultimodalInput multimodal_input;
    ZOR_LLMTokenInput token_input;
  };
  const char* role;
} ZOR_LLMInput;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMInput) == 72, "ZOR_LLMInput size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInput, input_type) == 0, "input_type offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInput, prompt_input) == 8, "prompt_input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInput, multimodal_input) == 8, "multimodal_input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInput, token_input) == 8, "token_input offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMInput, role) == 64, "role offset");

/* One generated piece: text may be null. */
typedef struct {
  const char* text;
  int32_t token_id;
  ZOR_LLMMessageType content_type;
} ZOR_LLMGenerationResult;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMGenerationResult) == 16, "ZOR_LLMGenerationResult size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMGenerationResult, text) == 0, "text offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMGenerationResult, token_id) == 8, "token_id offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMGenerationResult, content_type) == 12, "content_type offset");

typedef struct {
  const float* values;
  uint32_t dimension;
} ZOR_LLMEmbeddingResult;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMEmbeddingResult) == 16, "ZOR_LLMEmbeddingResult size");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMEmbeddingResult, values) == 0, "values offset");
ZOR_LUMO_STATIC_ASSERT(offsetof(ZOR_LLMEmbeddingResult, dimension) == 8, "dimension offset");

/* What the result callback receives, 16 bytes. */
typedef union {
  ZOR_LLMGenerationResult generation;
  ZOR_LLMEmbeddingResult embedding;
} ZOR_LLMResult;

ZOR_LUMO_STATIC_ASSERT(sizeof(ZOR_LLMResult) == 16, "ZOR_LLMResult size");

/* ---- Callback types ---------------------------------------------------- */

/* Called once per generated piece and once at the end of a run; userdata is
 * the pointer given to zor_llm_run. */
typedef void (*LLMResultCallback)(ZOR_LLMResult* result, void* userdata, ZOR_LLMRunStatus state);

/* Called once per parsed tool call: name, arguments as JSON text, userdata. */
typedef void (*LLM_ToolUseCallback)(const char* tool_name, const char* tool_args, void* userdata);

/* ---- Runtime functions ------------------------------------------------- */

/* Writes a new context into *context (callers pre-set it to null and keep
 * whatever is written, even on failure) and registers callback as the
 * context's result callback. */
ZOR_LLMRetStatus zor_llm_init(LLMContext* context, ZOR_LLMInitConfig* init_config, LLMResultCallback callback);
/* Releases the context. */
ZOR_LLMRetStatus zor_llm_uninit(LLMContext context);
/* Runs one generation synchronously; the outcome arrives through callbacks. */
ZOR_LLMRetStatus zor_llm_run(LLMContext context, ZOR_LLMInput* input, ZOR_LLMRunConfig* run_config, void* userdata);
/* Clears the conversation history and state of the context. */
ZOR_LLMRetStatus zor_llm_reset(LLMContext context);
/* Makes a running zor_llm_run on the context stop soon; safe from another
 * thread and from inside the result callback. */
ZOR_LLMRetStatus zor_llm_break(LLMContext context);
/* Plain chat template; a null part is not given. */
ZOR_LLMRetStatus zor_llm_set_chat_template(LLMContext context, const char* system_prompt, const char* prompt_prefix,
                                           const char* prompt_postfix);
/* Jinja2 chat template (may be null). */
ZOR_LLMRetStatus zor_llm_set_chat_template_jinja(LLMContext context, const char* jinja_template);
/* Registers (or, with null, removes) the tool-call callback; stop_output 1
 * keeps tool-call markup out of the result callback. */
ZOR_LLMRetStatus zor_llm_set_toolcall_callback(LLMContext context, LLM_ToolUseCallback callback, int32_t stop_output);
/* Fills *vision_info on success; input[0] stays readable at least until the
 * caller has read it. */
ZOR_LLMRetStatus zor_llm_get_vision_info(LLMContext context, ZOR_LLMVisionInfo* vision_info);

/* Pointer types, one per runtime function. */
typedef ZOR_LLMRetStatus (*PFN_zor_llm_init)(LLMContext*, ZOR_LLMInitConfig*, LLMResultCallback);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_uninit)(LLMContext);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_run)(LLMContext, ZOR_LLMInput*, ZOR_LLMRunConfig*, void*);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_reset)(LLMContext);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_break)(LLMContext);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_set_chat_template)(LLMContext, const char*, const char*, const char*);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_set_chat_template_jinja)(LLMContext, const char*);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_set_toolcall_callback)(LLMContext, LLM_ToolUseCallback, int32_t);
typedef ZOR_LLMRetStatus (*PFN_zor_llm_get_vision_info)(LLMContext, ZOR_LLMVisionInfo*);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZOR_LUMO_H */
