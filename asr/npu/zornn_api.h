// The interface of the board's NPU runtime: the records exchanged with it and
// the eight entry points. libfenn exports forwarders under these names
// (npurt_loader.cc); the host stand-in in sim/npurt implements them. Every
// record is little-endian with natural alignment and fixed offsets.
#ifndef ZOR_ASR_NPU_ZORNN_API_H_
#define ZOR_ASR_NPU_ZORNN_API_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* zornn_context;

enum zornn_query_cmd {
  ZORNN_QUERY_IN_OUT_NUM = 1,
  ZORNN_QUERY_INPUT_ATTR = 2,
  ZORNN_QUERY_OUTPUT_ATTR = 3,
};

enum zornn_tensor_type {
  ZORNN_TENSOR_FLOAT32 = 0,
  ZORNN_TENSOR_FLOAT16 = 1,
  ZORNN_TENSOR_INT8 = 2,
  ZORNN_TENSOR_UINT8 = 3,
  ZORNN_TENSOR_INT16 = 4,
  ZORNN_TENSOR_UINT16 = 5,
  ZORNN_TENSOR_INT32 = 6,
  ZORNN_TENSOR_UINT32 = 7,
  ZORNN_TENSOR_INT64 = 8,
  ZORNN_TENSOR_UINT64 = 9,
  ZORNN_TENSOR_BOOL = 10,
  ZORNN_TENSOR_INT4 = 11,
  ZORNN_TENSOR_BFLOAT16 = 12,
};

#define ZORNN_MAX_DIMS 6
#define ZORNN_MAX_NAME_LEN 256

typedef struct {
  uint32_t n_input;
  uint32_t n_output;
} zornn_in_out_num;

typedef struct {
  uint32_t index;
  uint32_t n_dims;
  uint32_t dims[ZORNN_MAX_DIMS];
  char name[ZORNN_MAX_NAME_LEN];
  uint32_t n_elems;
  uint32_t size;
  uint8_t unused[8];
  uint32_t type; /* zornn_tensor_type */
  int32_t zp;
  float scale;
} zornn_tensor_attr;

typedef struct {
  uint32_t index;
  uint32_t pad0; /* ignored by the runtime */
  void* buf;
  uint32_t size;
  uint32_t pad1; /* ignored by the runtime */
} zornn_input;

typedef struct {
  uint32_t want_float;
  uint32_t reserved0;
  void* buf;     /* filled by the runtime; owned by it */
  uint32_t size; /* filled by the runtime, in bytes */
  uint32_t reserved1;
} zornn_output;

typedef struct {
  uint8_t reserved[96];
} zornn_init_config;

typedef struct {
  int32_t words[2];
} zornn_softop_opt;

#ifdef __cplusplus
#define ZORNN_STATIC_ASSERT static_assert
#else
#define ZORNN_STATIC_ASSERT _Static_assert
#endif
ZORNN_STATIC_ASSERT(sizeof(zornn_in_out_num) == 8, "zornn_in_out_num is 8 bytes");
ZORNN_STATIC_ASSERT(sizeof(zornn_tensor_attr) == 316, "zornn_tensor_attr is 316 bytes");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, n_dims) == 4, "n_dims at 4");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, dims) == 8, "dims at 8");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, name) == 32, "name at 32");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, n_elems) == 288, "n_elems at 288");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, size) == 292, "size at 292");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, type) == 304, "type at 304");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, zp) == 308, "zp at 308");
ZORNN_STATIC_ASSERT(offsetof(zornn_tensor_attr, scale) == 312, "scale at 312");
ZORNN_STATIC_ASSERT(sizeof(zornn_input) == 24, "zornn_input is 24 bytes");
ZORNN_STATIC_ASSERT(offsetof(zornn_input, buf) == 8, "buf at 8");
ZORNN_STATIC_ASSERT(offsetof(zornn_input, size) == 16, "size at 16");
ZORNN_STATIC_ASSERT(sizeof(zornn_output) == 24, "zornn_output is 24 bytes");
ZORNN_STATIC_ASSERT(offsetof(zornn_output, buf) == 8, "buf at 8");
ZORNN_STATIC_ASSERT(offsetof(zornn_output, size) == 16, "size at 16");
ZORNN_STATIC_ASSERT(sizeof(zornn_init_config) == 96, "zornn_init_config is 96 bytes");
ZORNN_STATIC_ASSERT(offsetof(zornn_in_out_num, n_output) == 4, "n_output at 4");
ZORNN_STATIC_ASSERT(offsetof(zornn_output, reserved0) == 4, "reserved0 at 4");
ZORNN_STATIC_ASSERT(sizeof(zornn_softop_opt) == 8, "zornn_softop_opt is two words");

#if defined(__GNUC__)
#define ZORNN_API __attribute__((visibility("default")))
#else
#define ZORNN_API
#endif

/* All return 0 on success, anything else on failure. */
ZORNN_API int zornn_init(zornn_context* ctx, const char* model_path, uint32_t flags,
                         zornn_init_config* config);
ZORNN_API int zornn_query(zornn_context ctx, uint32_t cmd, void* info, uint32_t size);
ZORNN_API int zornn_inputs_set(zornn_context ctx, uint32_t n_inputs, zornn_input* inputs);
ZORNN_API int zornn_run(zornn_context ctx, void* extend);
ZORNN_API int zornn_outputs_get(zornn_context ctx, uint32_t n_outputs, zornn_output* outputs);
ZORNN_API int zornn_destroy(zornn_context ctx);
ZORNN_API int zornn_set_softop_opt(zornn_context ctx, zornn_softop_opt* opt, uint32_t count);
ZORNN_API int zornn_set_input_shapes(zornn_context ctx, uint32_t n_inputs,
                                     zornn_tensor_attr* attrs);

/* Name of an element type as the engine prints it: "FP32", ..., "UNKNOWN". */
const char* zornn_type_name(uint32_t type);

#ifdef __cplusplus
}
#endif

#endif /* ZOR_ASR_NPU_ZORNN_API_H_ */
