/* Inspection interface of the simulated NPU runtime (libzor_npurt_sim.so).
 *
 * Tests reach it by dlopen-ing the same file that ZOR_NPURT_PATH names (the
 * loader in libfenn then shares the one instance) and calling these
 * functions. Records are process-wide and cover every context; they keep
 * what the runtime received, as it received it, until zornn_sim_reset. */
#ifndef ZOR_SIM_NPURT_NPURT_SIM_H_
#define ZOR_SIM_NPURT_NPURT_SIM_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZORNN_SIM_API __attribute__((visibility("default")))

/* Forgets every record and counter. Live contexts stay usable. */
ZORNN_SIM_API void zornn_sim_reset(void);

/* A counter since the last reset, 0 for an unknown name:
 *  - a function name ("zornn_run", ...): calls of it on any context;
 *  - "contexts": contexts alive now (not reset);
 *  - "busy_ns": wall time spent inside the zornn_* entry points, summed
 *    over all threads, in nanoseconds;
 *  - "decoder_feature_mismatches": whisper decoder runs whose audio-feature
 *    input differed from the last encoder output;
 *  - "input_size_errors": runs refused because a bound input was smaller
 *    than its tensor;
 *  - "init_config_nonzero": zornn_init calls with non-zero flags or a
 *    configuration that was not all zero bytes;
 *  - "softop_count": the count passed to the last zornn_set_softop_opt. */
ZORNN_SIM_API int64_t zornn_sim_count(const char* name);

/* Copies the record called name into buf (at most cap bytes) and returns its
 * full length, or -1 when there is no such record:
 *  - "calls": function names in call order, each followed by '\n';
 *  - "input<i>" (e.g. "input0"): the bytes bound to input i of the last run;
 *  - "speech", "language", "text_norm": the same, for the input with that
 *    role in the last run;
 *  - "speech_values": the speech input of the last run read in its own
 *    element type, as float32;
 *  - "shapes": one line per zornn_set_input_shapes call,
 *    "<index>:[d0,d1,...]" for each record, separated by ' ';
 *  - "softop": the words of the last zornn_set_softop_opt (8 bytes a record);
 *  - "encoder_input", "encoder_output": of the last whisper encoder run;
 *  - "decoder_windows": every whisper decoder token window received,
 *    384 bytes (48 little-endian int64) each, in order;
 *  - "decoder_features": the audio-feature input of the last decoder run;
 *  - "last_error": why the last zornn_init or run was refused.
 * The growing records ("calls", "shapes", "decoder_windows") keep their most
 * recent 2 to 4 MiB, whole entries only, so long runs stay bounded. */
ZORNN_SIM_API int64_t zornn_sim_record(const char* name, void* buf, int64_t cap);

#ifdef __cplusplus
}
#endif

#endif /* ZOR_SIM_NPURT_NPURT_SIM_H_ */
