/*
 * lumo_func.h: the table of the LLM runtime's nine entry points and its
 * loader. _lumo calls the runtime only through the trampolines of
 * lumo_func.cc, which are exported under the runtime's own function names
 * (declared in lumo.h): each forwards to its table entry, or returns
 * ZOR_LLM_Status_Failed without touching its arguments while the entry is
 * empty.
 */
#ifndef ZOR_LUMO_FUNC_H
#define ZOR_LUMO_FUNC_H

#include "lumo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The runtime's entry points, in this order. */
typedef struct {
  PFN_zor_llm_init zor_llm_init;
  PFN_zor_llm_uninit zor_llm_uninit;
  PFN_zor_llm_run zor_llm_run;
  PFN_zor_llm_reset zor_llm_reset;
  PFN_zor_llm_break zor_llm_break;
  PFN_zor_llm_set_chat_template zor_llm_set_chat_template;
  PFN_zor_llm_set_chat_template_jinja zor_llm_set_chat_template_jinja;
  PFN_zor_llm_set_toolcall_callback zor_llm_set_toolcall_callback;
  PFN_zor_llm_get_vision_info zor_llm_get_vision_info;
} LUMO_FUNC_PTR;

ZOR_LUMO_STATIC_ASSERT(sizeof(LUMO_FUNC_PTR) == 9 * sizeof(void*), "LUMO_FUNC_PTR holds nine pointers");

/* Loads the runtime and fills the table. lib_path is the NUL-terminated
 * file-system path of the library. Returns 0 when the table is usable,
 * non-zero otherwise (the table is then left empty).
 *
 * On aarch64 it opens lib_path. On other architectures, where the board's
 * runtime does not exist, it returns 0 and loads nothing, unless the
 * environment variable ZOR_LUMO_PATH names a runtime library: that library is
 * then loaded in place of lib_path, on any architecture. Called with the
 * interpreter lock held; not thread-safe otherwise. */
int load_lumo_func(const char* lib_path);

/* Why the last load_lumo_func failed: the path tried and the loader's
 * reason, or the entry point the library lacks. Empty after a success.
 * Valid until the next load. */
const char* lumo_func_error(void);

/* Closes the library, if one is open, and empties the table. */
void unload_lumo_func(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZOR_LUMO_FUNC_H */
