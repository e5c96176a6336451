// lumo_module.h: what the units of the _lumo extension share: the per-module
// state, the LUMO object record, and the helpers for argument checks and
// text encoding. Written to the Limited API of CPython 3.11 (abi3); the
// helpers _fenn needs too are in py_support.h.
#ifndef ZOR_LUMO_MODULE_H
#define ZOR_LUMO_MODULE_H

#include "py_support.h"  // first: Python.h comes before the standard headers

#include <string>
#include <utility>

#include "lumo.h"

namespace zor_lumo {

// Per-module state: everything the module imported or built at import.
struct ModuleState {
  PyObject* lumo_type;          // the LUMO heap type
  PyObject* stream_type;        // the Stream heap type
  PyObject* sigint_handler_type;  // the SigintHandler heap type
  PyObject* piece_type;         // types.Piece
  PyObject* utf8_decoder;       // codecs.getincrementaldecoder("utf-8")
  PyObject* json_dumps;         // json.dumps
  PyObject* signal_module;      // signal
  PyObject* threading_module;   // threading
  PyObject* is_finalizing;      // sys.is_finalizing
  PyObject* numpy;              // numpy, as np
  PyObject* os_module;          // os
  PyObject* path_type;          // pathlib.Path
  PyObject* run_status;         // types.RunStatus
  PyObject* ret_status;         // types.RetStatus
  PyObject* result_type;        // types.Result
  PyObject* sampling_mode;      // types.SamplingMode
  PyObject* run_mode;           // types.RunMode
  PyObject* sampling_mode_map;  // _SAMPLING_MODE_MAP (also a module attribute)
  PyObject* callback_bridge_name;       // names reported with unraisable errors
  PyObject* tool_callback_bridge_name;
};

class NativeRun;
struct LumoSync;

// The LUMO object. None of these fields is reachable from Python except
// through the properties.
struct LumoObject {
  PyObject_HEAD
  LLMContext context;            // null = not initialised; written under sync->context_mutex
  PyObject* py_callback;         // on_token or None
  PyObject* py_tool_callback;    // on_tool_call or None
  PyObject* py_userdata;         // userdata of the current or last run
  PyObject* result_texts;        // list of bytes
  PyObject* result_reasoning;    // list of bytes
  PyObject* result_tool_text;    // list of bytes
  PyObject* result_token_ids;    // list of int
  PyObject* result_tool_calls;   // list of (bytes, bytes)
  PyObject* result_last_status;  // last RunStatus, None before any
  bool signal_interrupt;         // set by the SIGINT handler
  PyObject* sigint_handler;      // our SigintHandler while installed by this object, else None
  PyObject* vision_metadata;     // dict
  bool mmproj_model;             // init was given a projector model
  PyObject* module;              // the defining module: its state, for the bridges
  bool counted;                  // counted in the live-object count
  const char* busy;              // method whose runtime call is in progress, or null
  LumoSync* sync;                // what threads outside the interpreter lock share
  NativeRun* native_run;         // the generation in progress, or null
  PyObject* stream_pieces;       // list the bridges feed while a stream runs, or null
  PyObject* weakreflist;
};

// Items of stream_pieces: (content type, text bytes, token id, status) per
// result, (kStreamToolCall, (name bytes, arguments bytes), None, None) per
// tool call.
constexpr long kStreamToolCall = -1;

ModuleState* StateOf(PyObject* module);
inline ModuleState* StateOf(LumoObject* self) { return StateOf(self->module); }

extern const char kNotInitialized[];

// Sets the not-initialised RuntimeError and returns false when self holds no
// context.
bool RequireContext(LumoObject* self);

// Exact-type checks with the binding's TypeError text; None passes.
bool CheckStrOrNone(PyObject* obj, const char* name);
bool CheckListOrNone(PyObject* obj, const char* name);

// UTF-8 of a str, or empty for None. The runtime receives a null pointer
// for an empty text.
struct Utf8Text {
  std::string bytes;
  const char* ptr() const { return bytes.empty() ? nullptr : bytes.c_str(); }
};
bool EncodeText(PyObject* str_or_none, Utf8Text* out);

// json.dumps(obj, ensure_ascii=False) as UTF-8.
bool JsonText(ModuleState* state, PyObject* obj, Utf8Text* out);

// Conversions with the binding's error texts.
bool ToCInt(PyObject* obj, int* out);

// RetStatus(rc) / RunStatus(state) of the host's types module.
PyObject* MakeRetStatus(ModuleState* state, int rc);

// Sampling modes by name, number or SamplingMode member; ValueError otherwise.
bool NormalizeSamplingMode(ModuleState* state, PyObject* mode, ZOR_LLMSamplingMode* out);
PyObject* BuildSamplingModeMap(ModuleState* state);

// The image normaliser (module function as_rgb888).
PyObject* AsRgb888(ModuleState* state, PyObject* image);

// LUMO.run and LUMO.stream.
PyObject* LumoRun(LumoObject* self, PyObject* args, PyObject* kwds);
PyObject* LumoStream(LumoObject* self, PyObject* args, PyObject* kwds);
extern PyType_Spec stream_spec;

// The SIGINT handling of LUMO (lumo_sigint.cc).
extern PyType_Spec sigint_handler_spec;
PyObject* InstallSigintHandler(LumoObject* self);
PyObject* RestoreSigintHandler(LumoObject* self);
// At destruction: puts the replaced handler back when ours is still the
// installed one and this is the main thread. Never raises.
void DropSigintHandler(LumoObject* self);
PyObject* LumoSignalHandler(LumoObject* self, PyObject* args, PyObject* kwds);

}  // namespace zor_lumo

// The two native callbacks handed to the runtime.
extern "C" void _callback_bridge(ZOR_LLMResult* result, void* userdata, ZOR_LLMRunStatus state);
extern "C" void _tool_callback_bridge(const char* tool_name, const char* tool_args, void* userdata);

#endif  // ZOR_LUMO_MODULE_H
