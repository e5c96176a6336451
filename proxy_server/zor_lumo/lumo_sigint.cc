// lumo_sigint.cc: Ctrl+C for LUMO. An object made on the main thread
// installs a SigintHandler for SIGINT: a callable that holds the object only
// weakly, so the interpreter's signal table never keeps a LUMO (and its
// model) alive, and that holds the handler it replaced, so the previous one
// still runs and can be put back.
#include "lumo_call.h"

namespace zor_lumo {
namespace {

struct SigintHandlerObject {
  PyObject_HEAD
  PyObject* target;    // weak reference to the LUMO
  PyObject* previous;  // the handler replaced (a callable or a signal marker)
};

SigintHandlerObject* AsHandler(PyObject* op) { return reinterpret_cast<SigintHandlerObject*>(op); }

bool IsHandler(ModuleState* state, PyObject* obj) {
  return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(state->sigint_handler_type);
}

PyObject* Handler_call(PyObject* op, PyObject* args, PyObject* kwds) {
  SigintHandlerObject* self = AsHandler(op);
  static const char* kwlist[] = {"sig", "frame", nullptr};
  PyObject *sig, *frame;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:SigintHandler", const_cast<char**>(kwlist), &sig, &frame))
    return nullptr;
  PyRef target = NewRef(PyWeakref_GetObject(self->target));  // borrowed until here
  if (!target) return nullptr;
  if (target.get() != Py_None) {
    // The object's handler interrupts it and chains to previous itself.
    return LumoSignalHandler(reinterpret_cast<LumoObject*>(target.get()), args, kwds);
  }
  // The object is gone: only the handler it replaced is left to run. The
  // signal module's markers (default, ignore) are not callable.
  if (PyCallable_Check(self->previous)) return PyObject_CallFunctionObjArgs(self->previous, sig, frame, nullptr);
  Py_RETURN_NONE;
}

PyObject* Handler_get_target(PyObject* op, void*) {
  return NewRef(PyWeakref_GetObject(AsHandler(op)->target)).release();
}

PyObject* Handler_get_previous(PyObject* op, void*) { return NewRef(AsHandler(op)->previous).release(); }

int Handler_traverse(PyObject* op, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(AsHandler(op)->target);
  Py_VISIT(AsHandler(op)->previous);
  return 0;
}

int Handler_clear(PyObject* op) {
  Py_CLEAR(AsHandler(op)->target);
  Py_CLEAR(AsHandler(op)->previous);
  return 0;
}

void Handler_dealloc(PyObject* op) { DeallocInstance(op, Handler_clear); }

PyGetSetDef handler_getset[] = {
    {"target", Handler_get_target, nullptr, PyDoc_STR("The LUMO this handler interrupts, or None once it is gone."),
     nullptr},
    {"previous", Handler_get_previous, nullptr, PyDoc_STR("The SIGINT handler this one replaced."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot handler_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(Handler_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Handler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Handler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Handler_clear)},
    {Py_tp_getset, handler_getset},
    {Py_tp_doc, const_cast<char*>("The SIGINT handler a LUMO installs: called with (sig, frame), it runs the "
                                  "object's signal_handler while the object lives, else the handler it replaced.")},
    {0, nullptr},
};

bool CallSignal(ModuleState* state, const char* function, PyObject* handler, PyRef* out) {
  PyRef sigint(PyObject_GetAttrString(state->signal_module, "SIGINT"));
  if (!sigint) return false;
  out->reset(handler ? PyObject_CallMethod(state->signal_module, function, "OO", sigint.get(), handler)
                     : PyObject_CallMethod(state->signal_module, function, "O", sigint.get()));
  return static_cast<bool>(*out);
}

bool OnMainThread(ModuleState* state, bool* main) {
  PyRef current(PyObject_CallMethod(state->threading_module, "current_thread", nullptr));
  PyRef main_thread(PyObject_CallMethod(state->threading_module, "main_thread", nullptr));
  if (!current || !main_thread) return false;
  *main = current.get() == main_thread.get();
  return true;
}

}  // namespace

PyType_Spec sigint_handler_spec = {
    "zorllm_openai_server.zor_lumo._lumo.SigintHandler",
    sizeof(SigintHandlerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    handler_slots,
};

PyObject* InstallSigintHandler(LumoObject* self) {
  ModuleState* state = StateOf(self);
  bool main = false;
  if (!OnMainThread(state, &main)) return nullptr;
  // Worker threads cannot install signal handlers; they stop runs through
  // interrupt().
  if (!main) Py_RETURN_NONE;
  PyRef current;
  if (!CallSignal(state, "getsignal", nullptr, &current)) return nullptr;
  // Installing again must not chain our handler to itself.
  if (IsHandler(state, current.get()) && current.get() == self->sigint_handler) Py_RETURN_NONE;
  PyRef handler(AllocInstance(reinterpret_cast<PyTypeObject*>(state->sigint_handler_type)));
  if (!handler) return nullptr;
  AsHandler(handler.get())->target = PyWeakref_NewRef(reinterpret_cast<PyObject*>(self), nullptr);
  if (!AsHandler(handler.get())->target) return nullptr;
  AsHandler(handler.get())->previous = current.release();
  PyRef replaced;
  if (!CallSignal(state, "signal", handler.get(), &replaced)) return nullptr;
  PyObject* old = self->sigint_handler;
  self->sigint_handler = handler.release();
  Py_XDECREF(old);
  Py_RETURN_NONE;
}

PyObject* RestoreSigintHandler(LumoObject* self) {
  ModuleState* state = StateOf(self);
  if (self->sigint_handler == nullptr || self->sigint_handler == Py_None) Py_RETURN_NONE;
  PyRef replaced;
  if (!CallSignal(state, "signal", AsHandler(self->sigint_handler)->previous, &replaced)) return nullptr;
  PyObject* old = self->sigint_handler;
  self->sigint_handler = NewRef(Py_None).release();
  Py_XDECREF(old);
  Py_RETURN_NONE;
}

void DropSigintHandler(LumoObject* self) {
  if (self->sigint_handler == nullptr || self->sigint_handler == Py_None || self->module == nullptr) return;
  ModuleState* state = StateOf(self);
  // At interpreter exit the signal and threading modules may already be
  // torn down, and the handlers no longer matter.
  if (state == nullptr || state->is_finalizing == nullptr) return;
  PyRef finalizing(PyObject_CallNoArgs(state->is_finalizing));
  if (!finalizing || finalizing.get() != Py_False) {
    PyErr_Clear();
    return;
  }
  bool main = false;
  PyRef current;
  // Another handler installed on top of ours stays; ours then forwards to
  // the one it replaced.
  if (OnMainThread(state, &main) && main && CallSignal(state, "getsignal", nullptr, &current) &&
      current.get() == self->sigint_handler) {
    PyRef rv(RestoreSigintHandler(self));
  }
  PyErr_Clear();
}

PyObject* LumoSignalHandler(LumoObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"sig", "frame", nullptr};
  PyObject *sig, *frame;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:signal_handler", const_cast<char**>(kwlist), &sig, &frame))
    return nullptr;
  self->signal_interrupt = true;
  // Only a context can be interrupted. Without one there is nothing to stop,
  // and Ctrl+C must still reach the previous handler (the one raising
  // KeyboardInterrupt) rather than turn into a RuntimeError.
  if (self->context != nullptr) {
    Py_BEGIN_ALLOW_THREADS
    BreakContext(self);
    Py_END_ALLOW_THREADS
  }
  if (self->sigint_handler == nullptr || self->sigint_handler == Py_None) Py_RETURN_NONE;
  PyRef previous = NewRef(AsHandler(self->sigint_handler)->previous);
  if (PyCallable_Check(previous.get())) return PyObject_CallFunctionObjArgs(previous.get(), sig, frame, nullptr);
  Py_RETURN_NONE;
}

}  // namespace zor_lumo
