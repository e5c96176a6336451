// lumo_bridges.cc: the two C callbacks the runtime calls during zor_llm_run.
// Each takes the interpreter lock (the runtime may call from any thread),
// records the delivery in the LUMO object's per-run accumulators, forwards
// it to the user's callback (and to a stream's queue), and reports any
// Python error through the unraisable-exception hook: nothing may propagate
// into the runtime.
#include "lumo_call.h"

namespace zor_lumo {
namespace {

// Appends item to the list held in *field (holding our own reference, so a
// user callback that swaps the list cannot free it under us).
bool AppendTo(PyObject* list_field, PyObject* item) {
  if (list_field == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "LUMO result accumulator is gone");
    return false;
  }
  PyRef list = NewRef(list_field);
  return PyList_Append(list.get(), item) == 0;
}

PyObject* BytesOf(const char* text) { return PyBytes_FromString(text != nullptr ? text : ""); }

PyObject* DecodeReplace(PyObject* bytes) {
  return PyUnicode_DecodeUTF8(PyBytes_AsString(bytes), PyBytes_Size(bytes), "replace");
}

// RunStatus(value), or the plain number for a state RunStatus does not
// know: the piece and its text are kept either way.
PyObject* RunStatusOf(ModuleState* state, int value) {
  PyObject* status = PyObject_CallFunction(state->run_status, "i", value);
  if (status != nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) return status;
  PyErr_Clear();
  return PyLong_FromLong(value);
}

// Queues (kind, payload, token_id, status) for the stream reading this run.
bool QueueForStream(LumoObject* self, long kind, PyObject* payload, PyObject* token, PyObject* status) {
  if (self->stream_pieces == nullptr) return true;
  PyRef item(Py_BuildValue("(lOOO)", kind, payload, token, status));
  if (!item || !AppendTo(self->stream_pieces, item.get())) return false;
  if (self->native_run != nullptr) self->native_run->Notify();
  return true;
}

bool DeliverResult(LumoObject* self, const ZOR_LLMResult* result, ZOR_LLMRunStatus state_value) {
  ModuleState* state = StateOf(self);
  const char* text_ptr = result != nullptr ? result->generation.text : nullptr;
  int32_t token_id = result != nullptr ? result->generation.token_id : 0;
  uint32_t content_type = result != nullptr ? static_cast<uint32_t>(result->generation.content_type) : 0u;

  PyRef text(BytesOf(text_ptr));
  PyRef token(PyLong_FromLong(token_id));
  PyRef status(RunStatusOf(state, static_cast<int>(state_value)));
  if (!text || !token || !status) return false;

  PyObject* target = content_type == ZOR_LLM_MSG_TYPE_REASONING ? self->result_reasoning
                     : content_type == ZOR_LLM_MSG_TYPE_TOOL    ? self->result_tool_text
                                                                : self->result_texts;
  if (!AppendTo(target, text.get()) || !AppendTo(self->result_token_ids, token.get())) return false;
  PyObject* old = self->result_last_status;
  self->result_last_status = NewRef(status.get()).release();
  Py_XDECREF(old);
  if (!QueueForStream(self, static_cast<long>(content_type), text.get(), token.get(), status.get())) return false;

  PyRef callback = NewRef(self->py_callback);
  if (!callback || callback.get() == Py_None) return true;
  PyRef kwargs(PyDict_New());
  PyRef content(PyLong_FromUnsignedLong(content_type));
  PyRef no_args(PyTuple_New(0));
  if (!kwargs || !content || !no_args || PyDict_SetItemString(kwargs.get(), "text", text.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "token_id", token.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "content_type", content.get()) < 0)
    return false;
  PyRef piece(PyObject_Call(state->result_type, no_args.get(), kwargs.get()));
  if (!piece) return false;
  PyRef userdata = NewRef(self->py_userdata ? self->py_userdata : Py_None);
  PyRef rv(PyObject_CallFunctionObjArgs(callback.get(), piece.get(), userdata.get(), status.get(), nullptr));
  return static_cast<bool>(rv);
}

bool DeliverToolCall(LumoObject* self, const char* tool_name, const char* tool_args) {
  PyRef name(BytesOf(tool_name));
  PyRef args(BytesOf(tool_args));
  if (!name || !args) return false;
  PyRef pair(PyTuple_Pack(2, name.get(), args.get()));
  if (!pair || !AppendTo(self->result_tool_calls, pair.get())) return false;
  if (!QueueForStream(self, kStreamToolCall, pair.get(), Py_None, Py_None)) return false;

  PyRef callback = NewRef(self->py_tool_callback);
  if (!callback || callback.get() == Py_None) return true;
  PyRef name_text(DecodeReplace(name.get()));
  PyRef args_text(DecodeReplace(args.get()));
  if (!name_text || !args_text) return false;
  PyRef userdata = NewRef(self->py_userdata ? self->py_userdata : Py_None);
  PyRef rv(PyObject_CallFunctionObjArgs(callback.get(), name_text.get(), args_text.get(), userdata.get(), nullptr));
  return static_cast<bool>(rv);
}

// Reports the pending error as ignored in the named bridge.
void ReportUnraisable(LumoObject* self, bool tool_bridge) {
  ModuleState* state = StateOf(self);
  PyObject* where = state ? (tool_bridge ? state->tool_callback_bridge_name : state->callback_bridge_name) : nullptr;
  PyErr_WriteUnraisable(where);
}

}  // namespace
}  // namespace zor_lumo

using zor_lumo::LumoObject;

extern "C" void _callback_bridge(ZOR_LLMResult* result, void* userdata, ZOR_LLMRunStatus state) {
  if (userdata == nullptr) return;  // nothing to record; the lock is not needed
  PyGILState_STATE gil = PyGILState_Ensure();
  auto* self = static_cast<LumoObject*>(userdata);
  zor_lumo::DeliveryScope delivering(self);
  try {
    if (!zor_lumo::DeliverResult(self, result, state)) zor_lumo::ReportUnraisable(self, false);
  } catch (...) {
    // C++ errors (allocation) must not unwind into the runtime either.
    PyErr_NoMemory();
    zor_lumo::ReportUnraisable(self, false);
  }
  PyGILState_Release(gil);
}

extern "C" void _tool_callback_bridge(const char* tool_name, const char* tool_args, void* userdata) {
  if (userdata == nullptr) return;
  PyGILState_STATE gil = PyGILState_Ensure();
  auto* self = static_cast<LumoObject*>(userdata);
  zor_lumo::DeliveryScope delivering(self);
  try {
    if (!zor_lumo::DeliverToolCall(self, tool_name, tool_args)) zor_lumo::ReportUnraisable(self, true);
  } catch (...) {
    PyErr_NoMemory();
    zor_lumo::ReportUnraisable(self, true);
  }
  PyGILState_Release(gil);
}
