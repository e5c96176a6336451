/*
 * fenn_func.h -- how _fenn reaches libfenn.
 *
 * _fenn does not link against libfenn: it opens the library by path at run
 * time and resolves the four entry points of zor_asr.h by name into one
 * process-wide table. The shims below turn plain C arguments into the
 * library's 1024-byte records and turn its results into heap strings that
 * the caller owns, so the Python class never touches a record.
 *
 * Status: load_fenn_func returns 0 or -1; the shims return 0 on success and
 * 1 on any failure, including every call made before a successful load.
 *
 * Threads: there is no lock. The table is written only while loading, which
 * the Python class does with the interpreter lock held and before any
 * context exists; afterwards it is only read. The shims may then run on
 * several threads at once (the class calls them with the interpreter lock
 * released), each context used by one thread at a time.
 */
#ifndef ZOR_FENN_FUNC_H
#define ZOR_FENN_FUNC_H

#include "zor_asr.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define FENN_FUNC_API __attribute__((visibility("default")))
#else
#define FENN_FUNC_API
#endif

/* The resolved entry points of libfenn, in the order they are looked up. */
typedef struct {
  PFN_zor_asr_init init;
  PFN_zor_asr_transcribe transcribe;
  PFN_zor_asr_free_result free_result;
  PFN_zor_asr_uninit uninit;
} FENN_FUNC_PTR;

/*
 * Opens lib_path and resolves the four entry points. Returns 0 when the
 * table is ready, also when an earlier call already loaded it (lib_path is
 * then ignored: the first successful load wins for the process). Returns -1
 * after printing why when the library cannot be opened or lacks an entry
 * point; nothing stays open then, and a later call may try another path.
 */
FENN_FUNC_API int load_fenn_func(const char* lib_path);

/* Closes the library and empties the table. Only safe when no context made
 * through it is still alive; the Python class never calls it. */
FENN_FUNC_API void unload_fenn_func(void);

/*
 * Creates a recognition context. model_type is a ZOR_ASRModelType; each
 * string may be NULL and is read during the call only. On success stores
 * the new handle in *context and returns 0. On failure returns 1 and leaves
 * *context as it was; the library's own reason is on standard error.
 */
FENN_FUNC_API int fenn_init(void** context, int model_type, const char* model_path,
                            const char* decoder_path, const char* tokenizer_path,
                            const char* extra_json);

/*
 * Transcribes the WAV file at wav_path. language and task may be NULL
 * (automatic detection, transcription). On success *text_out and
 * *language_out hold malloc'd UTF-8 copies that the caller releases with
 * fenn_free_cstr; a language the engine did not report comes back as "".
 * On failure returns 1 with both outputs NULL, or untouched when context,
 * wav_path or an output pointer is NULL.
 */
FENN_FUNC_API int fenn_transcribe_file(void* context, const char* wav_path, const char* language,
                                       const char* task, char** text_out, char** language_out);

/* One timed stretch of a transcript: milliseconds from the start of the
 * audio and its text. */
typedef struct {
  uint32_t start_ms;
  uint32_t end_ms;
  char* text;
} fenn_segment;

/*
 * Everything a transcription reports, in malloc'd memory the caller owns
 * until fenn_free_transcript. text and language are never NULL after
 * success (a language the engine did not report is ""). With timestamps,
 * segments holds n_segments segments (NULL when there are none), and
 * emotion and event hold SenseVoice's labels; both are NULL for Whisper
 * and without timestamps.
 */
typedef struct {
  char* text;
  char* language;
  char* emotion;
  char* event;
  fenn_segment* segments;
  size_t n_segments;
} fenn_transcript;

/*
 * fenn_transcribe_file that can ask for timestamps (non-zero timestamps)
 * and fills *out. On failure returns 1 with *out zeroed, or untouched when
 * context, wav_path or out is NULL.
 */
FENN_FUNC_API int fenn_transcribe_file_timed(void* context, const char* wav_path,
                                             const char* language, const char* task,
                                             int timestamps, fenn_transcript* out);

/* Releases what a fenn_transcript holds and zeroes it. NULL is ignored. */
FENN_FUNC_API void fenn_free_transcript(fenn_transcript* transcript);

/* Releases a string returned by fenn_transcribe_file. NULL is ignored. */
FENN_FUNC_API void fenn_free_cstr(char* s);

/* Destroys a context. Returns the library's status, or 1 before a load.
 * The caller's copy of the handle is not cleared. */
FENN_FUNC_API int fenn_uninit(void* context);

/* A malloc'd copy of s with its terminator; NULL is copied as "". Returns
 * NULL only when the allocation fails. */
char* DupCString(const char* s);

#ifdef __cplusplus
}
#endif

#endif /* ZOR_FENN_FUNC_H */
