// lumo_stream.cc: LUMO.stream, an iterator over a generation's pieces as the
// runtime delivers them. The generation runs on a helper thread as in run();
// the bridges queue each delivery and wake the reader. Leaving early (close,
// the iterator collected, an exception) breaks the generation and waits for
// it to end, so the object is ready for its next call.
#include <memory>
#include <new>

#include "lumo_call.h"
#include "lumo_run.h"

namespace zor_lumo {
namespace {

// Text channels, by the runtime's content type.
enum Channel { kText = 0, kReasoning = 1, kToolText = 2, kChannels = 3 };
const char* const kChannelKinds[kChannels] = {"text", "reasoning", "tool_text"};
static_assert(static_cast<int>(kReasoning) == static_cast<int>(ZOR_LLM_MSG_TYPE_REASONING) &&
                  static_cast<int>(kToolText) == static_cast<int>(ZOR_LLM_MSG_TYPE_TOOL),
              "channels follow ZOR_LLMMessageType");

struct StreamObject {
  PyObject_HEAD
  PyObject* lumo;                 // the LUMO generating
  RunRequest* request;            // owned while the generation runs
  NativeRun* run;                 // owned while the generation runs; null once ended
  PyObject* pieces;               // the queue the bridges feed
  Py_ssize_t next;                // index of the next piece to hand out
  PyObject* decoders[kChannels];  // incremental UTF-8 decoders: pieces may split characters
  PyObject* result;               // run()'s result dict once ended, else None
  bool reading;                   // a thread waits in __next__ (with the interpreter lock released)
};

StreamObject* AsStream(PyObject* op) { return reinterpret_cast<StreamObject*>(op); }
LumoObject* LumoOf(StreamObject* self) { return reinterpret_cast<LumoObject*>(self->lumo); }

// Waits for the generation to end (breaking it first unless it has), gives
// the object back and keeps run()'s result. With report false, errors
// (KeyboardInterrupt for a SIGINT) are dropped.
bool Finish(StreamObject* self, bool report) {
  if (self->run == nullptr) return true;
  LumoObject* lumo = LumoOf(self);
  if (DeliveryScope::Inside(lumo)) {
    // Dropped or closed from one of the run's own callbacks, which the run
    // waits for: its thread finishes the bookkeeping once the runtime is
    // back, keeping the object busy (and alive) until then.
    EndRun(lumo);
    Py_CLEAR(lumo->stream_pieces);
    NativeRun* run = self->run;
    RunRequest* request = self->request;
    PyObject* owner = NewRef(self->lumo).release();
    self->run = nullptr;
    self->request = nullptr;
    try {
      run->Orphan(lumo, [run, request, owner] {
        delete request;
        reinterpret_cast<LumoObject*>(owner)->busy = nullptr;
        Py_DECREF(owner);
        delete run;
      });
    } catch (const std::bad_alloc&) {
      // Cannot hand it over: keep the run (and the object busy) for good
      // rather than free what the runtime still reads.
      Py_DECREF(owner);
      PyErr_NoMemory();
      return false;
    }
    return true;
  }
  self->run->Stop(lumo);
  EndRun(lumo);
  Py_CLEAR(lumo->stream_pieces);
  lumo->busy = nullptr;
  delete self->run;
  self->run = nullptr;
  delete self->request;
  self->request = nullptr;
  PyRef result(FinishRun(lumo));
  if (!result) {
    if (!report) PyErr_Clear();
    return false;
  }
  PyObject* old = self->result;
  self->result = result.release();
  Py_XDECREF(old);
  return true;
}

// Finish for the paths that leave early, keeping a pending exception.
void FinishQuietly(StreamObject* self) {
  PendingErrorKept pending;
  Finish(self, false);
}

PyObject* Decode(StreamObject* self, Channel channel, PyObject* bytes, bool final) {
  return PyObject_CallMethod(self->decoders[channel], "decode", "OO", bytes, final ? Py_True : Py_False);
}

// A types.Piece for one queued delivery.
PyObject* MakePiece(StreamObject* self, PyObject* item) {
  ModuleState* state = StateOf(LumoOf(self));
  PyObject *kind_obj, *payload, *token, *status;  // borrowed
  if (!PyArg_ParseTuple(item, "OOOO", &kind_obj, &payload, &token, &status)) return nullptr;
  long kind = PyLong_AsLong(kind_obj);
  if (kind == -1 && PyErr_Occurred()) return nullptr;
  PyRef kwargs(PyDict_New());
  PyRef no_args(PyTuple_New(0));
  if (!kwargs || !no_args) return nullptr;
  auto set = [&](const char* key, PyObject* owned) {
    PyRef value(owned);
    return value && PyDict_SetItemString(kwargs.get(), key, value.get()) == 0;
  };
  if (kind == kStreamToolCall) {
    PyObject *name, *arguments;
    if (!PyArg_ParseTuple(payload, "SS", &name, &arguments)) return nullptr;
    if (!set("kind", PyUnicode_FromString("tool_call")) || !set("text", PyUnicode_FromString("")) ||
        !set("token_id", PyLong_FromLong(0)) || !set("status", PyObject_GetAttrString(state->run_status, "NORMAL")) ||
        !set("name", PyUnicode_DecodeUTF8(PyBytes_AsString(name), PyBytes_Size(name), "replace")) ||
        !set("arguments", PyUnicode_DecodeUTF8(PyBytes_AsString(arguments), PyBytes_Size(arguments), "replace")))
      return nullptr;
  } else {
    // Unknown content types count as text, as in run()'s result.
    Channel channel = kind == kReasoning ? kReasoning : kind == kToolText ? kToolText : kText;
    long status_value = PyLong_AsLong(status);
    if (status_value == -1 && PyErr_Occurred()) return nullptr;
    // The last delivery flushes what a split character left behind.
    bool final = status_value != ZOR_LLM_RUN_NORMAL;
    if (!set("kind", PyUnicode_FromString(kChannelKinds[channel])) ||
        !set("text", Decode(self, channel, payload, final)) || !set("token_id", NewRef(token).release()) ||
        !set("status", NewRef(status).release()))
      return nullptr;
  }
  return PyObject_Call(state->piece_type, no_args.get(), kwargs.get());
}

// Another thread may not end the run under a reader waiting for it; it
// stops the generation with LUMO.interrupt() instead.
bool RequireNoReader(StreamObject* self, const char* method) {
  if (!self->reading) return true;
  PyErr_Format(PyExc_RuntimeError, "Stream.%s() called while another thread reads this stream", method);
  return false;
}

PyObject* Stream_next(PyObject* op) {
  StreamObject* self = AsStream(op);
  if (!RequireNoReader(self, "__next__")) return nullptr;
  struct Reading {
    StreamObject* stream;
    ~Reading() { stream->reading = false; }
  } reading{self};
  self->reading = true;
  for (;;) {
    Py_ssize_t queued = PyList_Size(self->pieces);
    if (queued < 0) return nullptr;
    if (self->next < queued) {
      PyRef item = NewRef(PyList_GetItem(self->pieces, self->next++));
      if (self->next == queued) {
        // All handed out: empty the queue rather than let it grow.
        if (PyList_SetSlice(self->pieces, 0, queued, nullptr) < 0) return nullptr;
        self->next = 0;
      }
      return MakePiece(self, item.get());
    }
    if (self->run == nullptr) return nullptr;  // ended and drained: StopIteration
    if (self->run->done()) {
      // Deliveries all came before the end; what Finish leaves is drained above.
      if (!Finish(self, true)) return nullptr;
      continue;
    }
    if (DeliveryScope::Inside(LumoOf(self))) {
      // The next piece cannot come while its own generation waits for this
      // callback.
      PyErr_SetString(PyExc_RuntimeError, "Stream.__next__() called from a callback of its own generation");
      return nullptr;
    }
    if (!self->run->Wait(LumoOf(self), true)) {
      FinishQuietly(self);
      return nullptr;
    }
  }
}

PyObject* Stream_close(PyObject* op, PyObject*) {
  StreamObject* self = AsStream(op);
  if (!RequireNoReader(self, "close")) return nullptr;
  if (!Finish(self, true) && PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* Stream_enter(PyObject* op, PyObject*) { return NewRef(op).release(); }

PyObject* Stream_exit(PyObject* op, PyObject* args) {
  // An exception leaving the block wins over the KeyboardInterrupt of a
  // SIGINT flagged meanwhile.
  PyObject* exc_type = PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : Py_None;
  if (exc_type != nullptr && exc_type != Py_None) {
    if (!RequireNoReader(AsStream(op), "__exit__")) return nullptr;
    Finish(AsStream(op), false);
    Py_RETURN_FALSE;
  }
  PyRef rv(Stream_close(op, nullptr));
  if (!rv) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* Stream_get_result(PyObject* op, void*) { return NewRef(AsStream(op)->result).release(); }

int Stream_traverse(PyObject* op, visitproc visit, void* arg) {
  StreamObject* self = AsStream(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(self->lumo);
  Py_VISIT(self->pieces);
  for (PyObject* decoder : self->decoders) Py_VISIT(decoder);
  Py_VISIT(self->result);
  return 0;
}

int Stream_clear(PyObject* op) {
  StreamObject* self = AsStream(op);
  if (self->lumo != nullptr) FinishQuietly(self);
  Py_CLEAR(self->lumo);
  Py_CLEAR(self->pieces);
  for (PyObject*& decoder : self->decoders) Py_CLEAR(decoder);
  Py_CLEAR(self->result);
  return 0;
}

void Stream_dealloc(PyObject* op) { DeallocInstance(op, Stream_clear); }

PyMethodDef stream_methods[] = {
    {"close", Stream_close, METH_NOARGS,
     PyDoc_STR("close($self, /)\n--\n\nStops the generation if it still runs and waits for it to end.")},
    {"__enter__", Stream_enter, METH_NOARGS, PyDoc_STR("__enter__($self, /)\n--\n\nReturns the stream.")},
    {"__exit__", Stream_exit, METH_VARARGS,
     PyDoc_STR("__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the stream.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"result", Stream_get_result, nullptr,
     PyDoc_STR("run()'s result dict once the generation has ended, else None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Stream_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Stream_clear)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>("The pieces of one generation, as LUMO.stream() returns them.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec stream_spec = {
    "zorllm_openai_server.zor_lumo._lumo.Stream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots,
};

PyObject* LumoStream(LumoObject* lumo, PyObject* args, PyObject* kwds) {
  ModuleState* state = StateOf(lumo);
  std::unique_ptr<RunRequest> request(new (std::nothrow) RunRequest());
  std::unique_ptr<NativeRun> run(new (std::nothrow) NativeRun());
  if (!request || !run) return PyErr_NoMemory();
  if (!PrepareRun(lumo, args, kwds, "stream", request.get())) return nullptr;
  CallScope call(lumo);
  if (!call.Enter("stream")) return nullptr;

  PyRef obj(AllocInstance(reinterpret_cast<PyTypeObject*>(state->stream_type)));
  if (!obj) return nullptr;
  StreamObject* self = AsStream(obj.get());
  self->lumo = NewRef(reinterpret_cast<PyObject*>(lumo)).release();
  self->result = NewRef(Py_None).release();
  self->pieces = PyList_New(0);
  if (!self->pieces) return nullptr;
  for (PyObject*& decoder : self->decoders) {
    decoder = PyObject_CallFunction(state->utf8_decoder, "s", "replace");
    if (!decoder) return nullptr;
  }
  lumo->stream_pieces = NewRef(self->pieces).release();
  if (!StartRun(lumo, request.get(), run.get())) {
    Py_CLEAR(lumo->stream_pieces);
    return nullptr;
  }
  self->run = run.release();
  self->request = request.release();
  call.Release();  // the stream gives the object back when it ends
  return obj.release();
}

}  // namespace zor_lumo
