// _fenn -- speech recognition for Python through libfenn.
//
// The module opens libfenn at run time (fenn_func.c) and exposes it as the
// class Fenn: construct (loads the library once per process), init (one
// recognition context per object), transcribe (a WAV file into a dict of
// text and language), close.
//
// Written to the Limited API of CPython 3.11 so that one abi3 binary loads
// on every later CPython: multi-phase initialisation, Fenn as a heap type,
// everything the methods need kept in the module state. Nothing here needs
// the full API.
//
// init, transcribe and close release the interpreter lock while libfenn
// works, so other Python threads keep running during a transcription. A
// context serves one caller at a time: each object has its own lock, taken
// with the interpreter lock released (as Modules/_bz2module.c does), so a
// second call on the same object waits for the first and close waits for a
// running transcription; separate objects work in parallel.
#include "py_support.h"  // first: Python.h comes before the standard headers

#include <cstring>
#include <initializer_list>

#include "fenn_func.h"

namespace {

using zor_lumo::AllocInstance;
using zor_lumo::DeallocInstance;
using zor_lumo::NewRef;
using zor_lumo::PyRef;

// C-level module constants.
constexpr int kStatusSuccess = ZOR_ASR_Status_Success;
constexpr int kModelWhisper = ZOR_ASR_MODEL_WHISPER;
constexpr int kModelSenseVoice = ZOR_ASR_MODEL_SENSEVOICE;

// find_fenn_path is Python code run in the module's namespace at import: it
// is built on the os and Path the module imports anyway, and as a Python
// function it carries its return annotation where callers and inspect see
// it.
constexpr const char kFindFennPathSource[] =
    "def find_fenn_path() -> str:\n"
    "    \"\"\"The libfenn to load: ZOR_FENN_PATH when set and non-empty, else\n"
    "    libfenn.so next to this module (symbolic links resolved) when it is a\n"
    "    regular file, else the bare name for the dynamic loader to search.\"\"\"\n"
    "    env = os.environ.get('ZOR_FENN_PATH')\n"
    "    if env:\n"
    "        return env\n"
    "    candidate = Path(__file__).resolve().parent / 'libfenn.so'\n"
    "    if candidate.is_file():\n"
    "        return str(candidate)\n"
    "    return 'libfenn.so'\n";

struct FennModuleState {
  PyObject* fenn_type;       // the class Fenn
  PyObject* find_fenn_path;  // the module function above
  PyObject* fsencode;        // os.fsencode
  PyObject* abspath;         // os.path.abspath
  PyObject* whisper_name;    // "whisper", the one backend that selects Whisper
  // Set once this module has loaded libfenn. The loader itself never loads
  // twice in a process, so a second module instance merely asks it again.
  int fenn_loaded;
};

struct FennObject {
  PyObject_HEAD
  PyThread_type_lock lock;  // held around every use of ctx
  void* ctx;              // ASRContext; null before init and after close
  PyObject* keep;         // list of the byte strings given to the last init
  FennModuleState* state; // of the module that defined Fenn; outlives self,
                          // because self holds its type and the type its module
};

PyModuleDef* FennModuleDef();

FennModuleState* StateOfModule(PyObject* module) {
  return static_cast<FennModuleState*>(PyModule_GetState(module));
}

FennObject* AsFenn(PyObject* self) { return reinterpret_cast<FennObject*>(self); }

// The state of the module that defined Fenn, found from type, which may be
// a subclass defined elsewhere.
FennModuleState* StateOfType(PyTypeObject* type) {
  PyObject* module = zor_lumo::DefiningModule(type, FennModuleDef());
  if (module == nullptr) {
    PyErr_SetString(PyExc_TypeError, "not a Fenn type");
    return nullptr;
  }
  return StateOfModule(module);
}

// The C string inside a bytes object, refusing embedded NUL bytes: the
// library would silently read a shorter path or text than the caller gave.
const char* BytesToCString(PyObject* bytes) {
  char* buffer = nullptr;
  if (PyBytes_AsStringAndSize(bytes, &buffer, nullptr) < 0) return nullptr;
  return buffer;
}

// os.fsencode(os.path.abspath(obj)) when absolute is set, else
// os.fsencode(obj): str, bytes and path-like objects, exactly as os treats
// them. Returns a new reference to bytes without NUL, or null.
PyObject* EncodePath(FennModuleState* state, PyObject* obj, bool absolute) {
  PyRef path(absolute ? PyObject_CallFunctionObjArgs(state->abspath, obj, nullptr)
                      : NewRef(obj).release());
  if (!path) return nullptr;
  PyRef encoded(PyObject_CallFunctionObjArgs(state->fsencode, path.get(), nullptr));
  if (!encoded) return nullptr;
  if (!PyBytes_Check(encoded.get())) {
    PyErr_SetString(PyExc_TypeError, "os.fsencode did not return bytes");
    return nullptr;
  }
  if (BytesToCString(encoded.get()) == nullptr) return nullptr;
  return encoded.release();
}

// A str as UTF-8, or bytes as they are; anything else is a TypeError.
// Returns a new reference to bytes without NUL, or null.
PyObject* EncodeText(PyObject* obj) {
  PyRef encoded;
  if (PyUnicode_Check(obj)) {
    encoded.reset(PyUnicode_AsUTF8String(obj));
  } else if (PyBytes_Check(obj)) {
    encoded = NewRef(obj);
  } else {
    zor_lumo::RaiseTypeError(obj, "Expected bytes, got %.200s");
    return nullptr;
  }
  if (!encoded || BytesToCString(encoded.get()) == nullptr) return nullptr;
  return encoded.release();
}

// EncodeText for an optional argument: a falsy obj gives *out = null and
// success, so the library receives NULL. Returns 0 or -1.
int EncodeOptionalText(PyObject* obj, PyRef* out) {
  out->reset();
  int truth = PyObject_IsTrue(obj);
  if (truth <= 0) return truth;
  out->reset(EncodeText(obj));
  return *out ? 0 : -1;
}

// A string returned by the shims as str, decoded as strict UTF-8.
PyObject* DecodeResultString(const char* s) {
  if (s == nullptr || s[0] == '\0') return PyUnicode_FromStringAndSize("", 0);
  return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::strlen(s)), "strict");
}

void CloseContext(FennObject* self) {
  if (self->ctx != nullptr) {
    fenn_uninit(self->ctx);
    self->ctx = nullptr;
  }
}

// Takes the object's lock. Waiting happens with the interpreter lock
// released, so the thread that holds the object's lock can take the
// interpreter lock back to finish its call.
void AcquireObjectLock(FennObject* self) {
  if (!PyThread_acquire_lock(self->lock, 0)) {
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(self->lock, 1);
    Py_END_ALLOW_THREADS
  }
}

void ReleaseObjectLock(FennObject* self) { PyThread_release_lock(self->lock); }

// ---------------------------------------------------------------- Fenn

// Allocation only: the library is loaded in __init__, so subclasses may
// give their own __init__ any signature.
PyObject* Fenn_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/) {
  FennModuleState* state = StateOfType(type);
  if (state == nullptr) return nullptr;
  PyRef self(AllocInstance(type));
  if (!self) return nullptr;
  FennObject* fenn = AsFenn(self.get());
  fenn->ctx = nullptr;
  fenn->state = state;
  fenn->lock = PyThread_allocate_lock();
  if (fenn->lock == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "Unable to allocate lock");
    return nullptr;
  }
  fenn->keep = PyList_New(0);
  if (fenn->keep == nullptr) return nullptr;
  return self.release();
}

// Fenn(lib_path=None). Never touches the context: calling __init__ again on
// an initialised object must not lose it.
int Fenn_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static char kw_lib_path[] = "lib_path";
  static char* kwlist[] = {kw_lib_path, nullptr};
  PyObject* lib_path = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Fenn", kwlist, &lib_path)) return -1;

  FennModuleState* state = AsFenn(self)->state;
  int truth = PyObject_IsTrue(lib_path);
  if (truth < 0) return -1;
  PyRef path(truth ? NewRef(lib_path).release() : PyObject_CallNoArgs(state->find_fenn_path));
  if (!path) return -1;
  PyRef encoded(EncodePath(state, path.get(), false));
  if (!encoded) return -1;
  if (!state->fenn_loaded) {
    if (load_fenn_func(PyBytes_AsString(encoded.get())) != 0) {
      PyErr_Format(PyExc_RuntimeError, "Cannot load libfenn.so (%S)", path.get());
      return -1;
    }
    state->fenn_loaded = 1;
  }
  return 0;
}

int Fenn_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(AsFenn(self)->keep);
  return 0;
}

int Fenn_clear(PyObject* self) {
  Py_CLEAR(AsFenn(self)->keep);
  return 0;
}

void Fenn_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  {
    // An object may die while an exception is propagating.
    zor_lumo::PendingErrorKept pending;
    // No other thread can be inside a method: each call holds a reference.
    CloseContext(AsFenn(self));
  }
  if (AsFenn(self)->lock != nullptr) PyThread_free_lock(AsFenn(self)->lock);
  DeallocInstance(self, Fenn_clear);
}

PyObject* Fenn_init_context(PyObject* self_obj, PyObject* args, PyObject* kwds) {
  static char kw_backend[] = "backend", kw_model[] = "model_path", kw_tok[] = "tokenizer_path",
              kw_dec[] = "decoder_path", kw_extra[] = "extra_json";
  static char* kwlist[] = {kw_backend, kw_model, kw_tok, kw_dec, kw_extra, nullptr};
  PyObject *backend, *model_path, *tokenizer_path;
  PyObject *decoder_path = Py_None, *extra_json = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|OO:init", kwlist, &backend, &model_path,
                                   &tokenizer_path, &decoder_path, &extra_json))
    return nullptr;
  FennObject* self = AsFenn(self_obj);
  FennModuleState* state = self->state;

  // Only the exact lowercase name selects Whisper; anything else, None
  // included, is SenseVoice.
  int is_whisper = PyObject_RichCompareBool(backend, state->whisper_name, Py_EQ);
  if (is_whisper < 0) return nullptr;
  int model_type = is_whisper ? kModelWhisper : kModelSenseVoice;

  // Everything is converted before the context is touched, so a bad
  // argument leaves the object as it was.
  PyRef model(EncodePath(state, model_path, true));
  if (!model) return nullptr;
  PyRef tokenizer(EncodePath(state, tokenizer_path, true));
  if (!tokenizer) return nullptr;
  const int truth = PyObject_IsTrue(decoder_path);
  if (truth < 0) return nullptr;
  PyRef decoder;
  if (truth) {
    decoder.reset(EncodePath(state, decoder_path, true));
    if (!decoder) return nullptr;
  }
  PyRef extra;
  if (EncodeOptionalText(extra_json, &extra) < 0) return nullptr;
  PyRef keep(PyList_New(0));
  if (!keep) return nullptr;
  for (const PyRef* item : {&model, &tokenizer, &decoder, &extra}) {
    if (*item && PyList_Append(keep.get(), item->get()) < 0) return nullptr;
  }

  const char* model_c = PyBytes_AsString(model.get());
  const char* decoder_c = decoder ? PyBytes_AsString(decoder.get()) : nullptr;
  const char* tokenizer_c = PyBytes_AsString(tokenizer.get());
  const char* extra_c = extra ? PyBytes_AsString(extra.get()) : nullptr;
  AcquireObjectLock(self);
  PyObject* old_keep = self->keep;
  self->keep = keep.release();
  Py_XDECREF(old_keep);
  int rc;
  Py_BEGIN_ALLOW_THREADS
  // A context held from an earlier init is closed first; replacing the
  // handle alone would leak its engine and networks.
  CloseContext(self);
  rc = fenn_init(&self->ctx, model_type, model_c, decoder_c, tokenizer_c, extra_c);
  Py_END_ALLOW_THREADS
  const bool failed = rc != kStatusSuccess || self->ctx == nullptr;
  ReleaseObjectLock(self);
  if (failed) {
    PyErr_Format(PyExc_RuntimeError, "zor_asr_init failed (rc=%d)", rc);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// A segment as {"start": s, "end": s, "text": str}, times in seconds. New
// reference or null.
PyObject* SegmentDict(const fenn_segment& segment) {
  PyRef start(PyFloat_FromDouble(segment.start_ms / 1000.0));
  if (!start) return nullptr;
  PyRef end(PyFloat_FromDouble(segment.end_ms / 1000.0));
  if (!end) return nullptr;
  PyRef text(DecodeResultString(segment.text));
  if (!text) return nullptr;
  PyRef dict(PyDict_New());
  if (!dict || PyDict_SetItemString(dict.get(), "start", start.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "end", end.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "text", text.get()) < 0)
    return nullptr;
  return dict.release();
}

// Sets key to the decoded string s in dict. Returns 0 or -1.
int SetDecoded(PyObject* dict, const char* key, const char* s) {
  PyRef value(DecodeResultString(s));
  return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

// The dict transcribe returns: "text" and "language", and with timestamps
// "segments", plus "emotion" and "event" where the engine gave them.
PyObject* TranscriptDict(const fenn_transcript& t, bool timestamps) {
  PyRef result(PyDict_New());
  if (!result) return nullptr;
  PyObject* dict = result.get();
  if (SetDecoded(dict, "text", t.text) < 0 || SetDecoded(dict, "language", t.language) < 0)
    return nullptr;
  if (timestamps) {
    PyRef segments(PyList_New(0));
    if (!segments) return nullptr;
    for (size_t i = 0; i < t.n_segments; ++i) {
      PyRef segment(SegmentDict(t.segments[i]));
      if (!segment || PyList_Append(segments.get(), segment.get()) < 0) return nullptr;
    }
    if (PyDict_SetItemString(dict, "segments", segments.get()) < 0) return nullptr;
    if (t.emotion != nullptr && SetDecoded(dict, "emotion", t.emotion) < 0) return nullptr;
    if (t.event != nullptr && SetDecoded(dict, "event", t.event) < 0) return nullptr;
  }
  return result.release();
}

PyObject* Fenn_transcribe(PyObject* self_obj, PyObject* args, PyObject* kwds) {
  static char kw_wav[] = "wav_path", kw_language[] = "language", kw_task[] = "task",
              kw_timestamps[] = "timestamps";
  static char* kwlist[] = {kw_wav, kw_language, kw_task, kw_timestamps, nullptr};
  PyObject* wav_path;
  PyObject *language = nullptr, *task = nullptr;  // null: not given, use the default
  int timestamps = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO$p:transcribe", kwlist, &wav_path, &language,
                                   &task, &timestamps))
    return nullptr;
  FennObject* self = AsFenn(self_obj);

  PyRef wav(EncodePath(self->state, wav_path, true));
  if (!wav) return nullptr;
  PyRef language_bytes, task_bytes;
  if ((language && EncodeOptionalText(language, &language_bytes) < 0) ||
      (task && EncodeOptionalText(task, &task_bytes) < 0))
    return nullptr;
  const char* language_c = language == nullptr ? "auto"
                           : language_bytes    ? PyBytes_AsString(language_bytes.get())
                                               : nullptr;
  const char* task_c = task == nullptr ? "transcribe"
                       : task_bytes    ? PyBytes_AsString(task_bytes.get())
                                       : nullptr;

  fenn_transcript transcript{};
  const char* wav_c = PyBytes_AsString(wav.get());
  int rc;
  AcquireObjectLock(self);
  Py_BEGIN_ALLOW_THREADS
  rc = fenn_transcribe_file_timed(self->ctx, wav_c, language_c, task_c, timestamps, &transcript);
  Py_END_ALLOW_THREADS
  ReleaseObjectLock(self);

  PyObject* result = nullptr;
  if (rc != kStatusSuccess) {
    PyErr_Format(PyExc_RuntimeError, "zor_asr_transcribe failed (rc=%d)", rc);
  } else {
    result = TranscriptDict(transcript, timestamps != 0);
  }
  // The copies are the caller's, whatever the outcome.
  fenn_free_transcript(&transcript);
  return result;
}

PyObject* Fenn_close(PyObject* self_obj, PyObject* /*unused*/) {
  FennObject* self = AsFenn(self_obj);
  AcquireObjectLock(self);
  Py_BEGIN_ALLOW_THREADS
  CloseContext(self);
  Py_END_ALLOW_THREADS
  ReleaseObjectLock(self);
  Py_RETURN_NONE;
}

// A context is a live native resource: a copy or a pickle could only ever
// be an object without it, or two objects closing one context.
PyObject* RefusePickling(PyObject* self) {
  PyRef name(PyType_GetName(Py_TYPE(self)));
  if (name) PyErr_Format(PyExc_TypeError, "cannot pickle '%U' object", name.get());
  return nullptr;
}

PyObject* Fenn_reduce(PyObject* self, PyObject* /*unused*/) { return RefusePickling(self); }

PyObject* Fenn_reduce_ex(PyObject* self, PyObject* /*protocol*/) { return RefusePickling(self); }

PyMethodDef fenn_methods[] = {
    {"init", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Fenn_init_context)),
     METH_VARARGS | METH_KEYWORDS,
     "init($self, /, backend, model_path, tokenizer_path, decoder_path=None, extra_json=None)\n"
     "--\n\n"
     "Creates the recognition context. backend \"whisper\" selects Whisper (encoder\n"
     "model_path, decoder_path, tokenizer_path a directory or tokenizer_info.bin);\n"
     "anything else selects SenseVoice (model_path, token file tokenizer_path).\n"
     "extra_json is JSON text (str or bytes) with engine settings. A context held\n"
     "from an earlier init is closed first. Raises RuntimeError on failure."},
    {"transcribe",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Fenn_transcribe)),
     METH_VARARGS | METH_KEYWORDS,
     "transcribe($self, /, wav_path, language='auto', task='transcribe', *, timestamps=False)\n"
     "--\n\n"
     "Recognises the PCM16 WAV file at wav_path and returns\n"
     "{\"text\": str, \"language\": str}. language None means automatic detection,\n"
     "task None or \"transcribe\" transcription, \"translate\" translation (Whisper).\n"
     "With timestamps true the dict also holds \"segments\", a list of\n"
     "{\"start\": float, \"end\": float, \"text\": str} in seconds, and for SenseVoice\n"
     "\"emotion\" and \"event\".\n"
     "Raises RuntimeError when the library fails, also before init and after close."},
    {"close", Fenn_close, METH_NOARGS,
     "close($self, /)\n--\n\nReleases the recognition context. Calling it again does nothing."},
    {"__reduce__", Fenn_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nRefuses: a Fenn holds a native context that cannot be pickled."},
    {"__reduce_ex__", Fenn_reduce_ex, METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\nRefuses: a Fenn holds a native context that cannot be pickled."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fenn_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Fenn(lib_path=None)\n--\n\n"
                    "Speech recognition through libfenn. Constructing the first object\n"
                    "loads the library from lib_path, or from find_fenn_path() when\n"
                    "lib_path is None or empty; later objects use that same library.\n"
                    "Raises RuntimeError when it cannot be loaded.\n\n"
                    "init, transcribe and close let other threads run while the library\n"
                    "works. Calls on one object take turns: a second call, or close,\n"
                    "waits for the running one. Separate objects work in parallel.")},
    {Py_tp_new, reinterpret_cast<void*>(Fenn_new)},
    {Py_tp_init, reinterpret_cast<void*>(Fenn_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Fenn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Fenn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Fenn_clear)},
    {Py_tp_methods, fenn_methods},
    {0, nullptr},
};

PyType_Spec fenn_spec = {
    "zorllm_openai_server.zor_lumo._fenn.Fenn",
    sizeof(FennObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    fenn_slots,
};

// ---------------------------------------------------------------- module

int fenn_exec(PyObject* module) {
  FennModuleState* state = StateOfModule(module);
  // os and Path are module globals: find_fenn_path runs on them.
  PyRef os(PyImport_ImportModule("os"));
  if (!os || PyModule_AddObjectRef(module, "os", os.get()) < 0) return -1;
  PyRef path_type(zor_lumo::ImportAttr("pathlib", "Path"));
  if (!path_type || PyModule_AddObjectRef(module, "Path", path_type.get()) < 0) return -1;

  state->fsencode = PyObject_GetAttrString(os.get(), "fsencode");
  if (state->fsencode == nullptr) return -1;
  PyRef os_path(PyObject_GetAttrString(os.get(), "path"));
  if (!os_path) return -1;
  state->abspath = PyObject_GetAttrString(os_path.get(), "abspath");
  if (state->abspath == nullptr) return -1;
  state->whisper_name = PyUnicode_FromString("whisper");
  if (state->whisper_name == nullptr) return -1;

  PyRef code(Py_CompileString(kFindFennPathSource, "zorllm_openai_server/zor_lumo/_fenn",
                              Py_file_input));
  if (!code) return -1;
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  PyRef ran(PyEval_EvalCode(code.get(), globals, globals));
  if (!ran) return -1;
  state->find_fenn_path = PyObject_GetAttrString(module, "find_fenn_path");
  if (state->find_fenn_path == nullptr) return -1;

  state->fenn_type = PyType_FromModuleAndSpec(module, &fenn_spec, nullptr);
  if (state->fenn_type == nullptr) return -1;
  if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state->fenn_type)) < 0) return -1;
  state->fenn_loaded = 0;
  return 0;
}

int fenn_module_traverse(PyObject* module, visitproc visit, void* arg) {
  FennModuleState* state = StateOfModule(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->fenn_type);
  Py_VISIT(state->find_fenn_path);
  Py_VISIT(state->fsencode);
  Py_VISIT(state->abspath);
  Py_VISIT(state->whisper_name);
  return 0;
}

int fenn_module_clear(PyObject* module) {
  FennModuleState* state = StateOfModule(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->fenn_type);
  Py_CLEAR(state->find_fenn_path);
  Py_CLEAR(state->fsencode);
  Py_CLEAR(state->abspath);
  Py_CLEAR(state->whisper_name);
  return 0;
}

void fenn_module_free(void* module) { fenn_module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot fenn_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(fenn_exec)},
    {0, nullptr},
};

PyModuleDef fenn_module_def = {
    PyModuleDef_HEAD_INIT,
    "_fenn",
    "Speech recognition through libfenn, loaded at run time: the class Fenn\n"
    "and find_fenn_path().",
    sizeof(FennModuleState),
    nullptr,
    fenn_module_slots,
    fenn_module_traverse,
    fenn_module_clear,
    fenn_module_free,
};

PyModuleDef* FennModuleDef() { return &fenn_module_def; }

}  // namespace

PyMODINIT_FUNC PyInit__fenn(void) { return PyModuleDef_Init(&fenn_module_def); }
