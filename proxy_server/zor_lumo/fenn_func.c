/*
 * fenn_func.c -- loader of libfenn and the shims between _fenn and its
 * records. See fenn_func.h for the contracts.
 */
#include "fenn_func.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Process-wide: libfenn is loaded once and stays loaded while any context
 * made through it may be alive. */
static FENN_FUNC_PTR s_func;
static void* s_handle = NULL;
static int s_loaded = 0;

static const char* DlErrorText(const char* err) {
  return err ? err : "unknown error";
}

/* Looks up one entry point. Only dlerror tells a failure: a symbol may
 * legitimately resolve to a null address. Returns 0 or -1. */
static int ResolveSymbol(const char* name, void** slot) {
  void* sym = dlsym(s_handle, name);
  const char* err = dlerror();
  if (err != NULL) {
    fprintf(stderr, "[FENN_FUNC] dlsym failed: %s\n", err);
    return -1;
  }
  *slot = sym;
  return 0;
}

int load_fenn_func(const char* lib_path) {
  if (s_loaded) return 0;

  (void)dlerror();
  s_handle = dlopen(lib_path, RTLD_LAZY);
  if (s_handle == NULL) {
    fprintf(stderr, "[FENN_FUNC] dlopen(\"%s\") failed: %s\n", lib_path ? lib_path : "NULL",
            DlErrorText(dlerror()));
    return -1;
  }

  memset(&s_func, 0, sizeof(s_func));
  void* syms[4] = {NULL, NULL, NULL, NULL};
  static const char* const kNames[4] = {"zor_asr_init", "zor_asr_transcribe",
                                        "zor_asr_free_result", "zor_asr_uninit"};
  for (int i = 0; i < 4; ++i) {
    if (ResolveSymbol(kNames[i], &syms[i]) != 0) {
      dlclose(s_handle);
      s_handle = NULL;
      memset(&s_func, 0, sizeof(s_func));
      return -1;
    }
  }
  s_func.init = (PFN_zor_asr_init)syms[0];
  s_func.transcribe = (PFN_zor_asr_transcribe)syms[1];
  s_func.free_result = (PFN_zor_asr_free_result)syms[2];
  s_func.uninit = (PFN_zor_asr_uninit)syms[3];
  s_loaded = 1;
  return 0;
}

void unload_fenn_func(void) {
  if (s_handle != NULL) dlclose(s_handle);
  s_handle = NULL;
  s_loaded = 0;
  memset(&s_func, 0, sizeof(s_func));
}

char* DupCString(const char* s) {
  if (s == NULL) s = "";
  size_t size = strlen(s) + 1;
  char* copy = (char*)malloc(size);
  if (copy != NULL) memcpy(copy, s, size);
  return copy;
}

int fenn_init(void** context, int model_type, const char* model_path, const char* decoder_path,
              const char* tokenizer_path, const char* extra_json) {
  if (context == NULL || s_func.init == NULL) return 1;

  ZOR_ASRInitConfig cfg;
  memset(&cfg, 0, sizeof(cfg));
  cfg.model_type = (uint32_t)model_type;
  cfg.model_path = model_path;
  cfg.decoder_path = decoder_path;
  cfg.tokenizer_path = tokenizer_path;
  cfg.extra_json = extra_json;

  ASRContext handle = NULL;
  if (s_func.init(&handle, &cfg) != ZOR_ASR_Status_Success || handle == NULL) return 1;
  *context = handle;
  return 0;
}

/* Runs one transcription of the WAV file into *result. Returns 0, or 1 with
 * *result zeroed. */
static int TranscribeFile(void* context, const char* wav_path, const char* language,
                          const char* task, int timestamps, ZOR_ASRResult* result) {
  ZOR_ASRInput input;
  memset(&input, 0, sizeof(input));
  input.audio_type = ZOR_ASR_AUDIO_FILE;
  input.file_path = wav_path;
  input.language = language;
  input.task = task;
  input.timestamps = timestamps ? 1u : 0u;
  memset(result, 0, sizeof(*result));
  if (s_func.transcribe(context, &input, result) != ZOR_ASR_Status_Success) {
    s_func.free_result(result);
    return 1;
  }
  return 0;
}

int fenn_transcribe_file(void* context, const char* wav_path, const char* language,
                         const char* task, char** text_out, char** language_out) {
  if (s_func.transcribe == NULL || s_func.free_result == NULL || context == NULL) return 1;
  if (wav_path == NULL || text_out == NULL || language_out == NULL) return 1;

  *text_out = NULL;
  *language_out = NULL;
  fenn_transcript transcript;
  if (fenn_transcribe_file_timed(context, wav_path, language, task, 0, &transcript) != 0) {
    return 1;
  }
  /* Without timestamps the text and language are all it holds. */
  *text_out = transcript.text;
  *language_out = transcript.language;
  return 0;
}

void fenn_free_transcript(fenn_transcript* transcript) {
  if (transcript == NULL) return;
  free(transcript->text);
  free(transcript->language);
  free(transcript->emotion);
  free(transcript->event);
  for (size_t i = 0; i < transcript->n_segments; ++i) free(transcript->segments[i].text);
  free(transcript->segments);
  memset(transcript, 0, sizeof(*transcript));
}

/* The library's strings belong to the context and die with its next
 * transcription; the caller gets copies of its own. Copies what *result
 * points at into *out. Returns 0, or 1 when an
 * allocation failed (what was copied is then released). */
static int CopyTranscript(const ZOR_ASRResult* result, fenn_transcript* out) {
  memset(out, 0, sizeof(*out));
  out->text = DupCString(result->text);
  out->language = DupCString(result->language);
  int ok = out->text != NULL && out->language != NULL;
  if (ok && result->emotion != NULL) ok = (out->emotion = DupCString(result->emotion)) != NULL;
  if (ok && result->event != NULL) ok = (out->event = DupCString(result->event)) != NULL;
  if (ok && result->n_segments > 0 && result->segments != NULL) {
    out->segments = (fenn_segment*)calloc(result->n_segments, sizeof(fenn_segment));
    ok = out->segments != NULL;
    for (uint32_t i = 0; ok && i < result->n_segments; ++i) {
      out->n_segments = i + 1; /* so a failure releases the texts copied so far */
      out->segments[i].start_ms = result->segments[i].start_ms;
      out->segments[i].end_ms = result->segments[i].end_ms;
      ok = (out->segments[i].text = DupCString(result->segments[i].text)) != NULL;
    }
  }
  if (!ok) fenn_free_transcript(out);
  return ok ? 0 : 1;
}

int fenn_transcribe_file_timed(void* context, const char* wav_path, const char* language,
                               const char* task, int timestamps, fenn_transcript* out) {
  if (s_func.transcribe == NULL || s_func.free_result == NULL || context == NULL) return 1;
  if (wav_path == NULL || out == NULL) return 1;

  memset(out, 0, sizeof(*out));
  ZOR_ASRResult result;
  if (TranscribeFile(context, wav_path, language, task, timestamps, &result) != 0) return 1;
  const int rc = CopyTranscript(&result, out);
  s_func.free_result(&result);
  return rc;
}

void fenn_free_cstr(char* s) { free(s); }

int fenn_uninit(void* context) {
  if (s_func.uninit == NULL) return 1;
  return (int)s_func.uninit(context);
}
