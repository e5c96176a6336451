// A runtime that lacks zornn_set_input_shapes, for the loader test: loading
// it must fail as a whole, not leave seven working entries.
#include "zornn_api.h"

extern "C" {
ZORNN_API int zornn_init(zornn_context* ctx, const char*, uint32_t, zornn_init_config*) {
  static int token;
  *ctx = &token;
  return 0;
}
ZORNN_API int zornn_query(zornn_context, uint32_t, void*, uint32_t) { return 0; }
ZORNN_API int zornn_inputs_set(zornn_context, uint32_t, zornn_input*) { return 0; }
ZORNN_API int zornn_run(zornn_context, void*) { return 0; }
ZORNN_API int zornn_outputs_get(zornn_context, uint32_t, zornn_output*) { return 0; }
ZORNN_API int zornn_destroy(zornn_context) { return 0; }
ZORNN_API int zornn_set_softop_opt(zornn_context, zornn_softop_opt*, uint32_t) { return 0; }
}
