// _lumo: the CPython extension that exposes the board's LLM runtime as the
// class LUMO. This unit holds the module (multi-phase init, per-module
// state), the LUMO heap type and its lifecycle, templates, tool-call switch,
// vision metadata and properties. run and stream, the callback bridges, the
// SIGINT handling, the runtime-call discipline and the normalisers live in
// lumo_run.cc, lumo_bridges.cc, lumo_sigint.cc, lumo_call.cc, lumo_images.cc.
#include <cstring>
#include <new>

#include "lumo_call.h"
#include "lumo_func.h"
#include "structmember.h"  // T_PYSSIZET, READONLY: the 3.11 Limited API names

namespace zor_lumo {

// U+2013 between "initialized" and "call".
const char kNotInitialized[] = "LUMO has not been initialized \xE2\x80\x93 call init() first";

namespace {

// Live LUMO objects in this process. The runtime library is loaded while it
// is above 0; touched only with the interpreter lock held.
int _lumo_loaded = 0;

}  // namespace

ModuleState* StateOf(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

bool RequireContext(LumoObject* self) {
  if (self->context != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
  return false;
}

namespace {

bool ArgTypeError(PyObject* obj, const char* name, const char* expected) {
  RaiseTypeError(obj, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected);
  return false;
}

}  // namespace

bool CheckStrOrNone(PyObject* obj, const char* name) {
  return obj == Py_None || PyUnicode_CheckExact(obj) || ArgTypeError(obj, name, "str");
}

bool CheckListOrNone(PyObject* obj, const char* name) {
  return obj == Py_None || PyList_CheckExact(obj) || ArgTypeError(obj, name, "list");
}

bool EncodeText(PyObject* str_or_none, Utf8Text* out) {
  out->bytes.clear();
  if (str_or_none == nullptr || str_or_none == Py_None) return true;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str_or_none, &size);
  if (data == nullptr) return false;
  // The runtime reads NUL-terminated text: a NUL inside would cut it short.
  if (std::memchr(data, '\0', static_cast<size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return false;
  }
  try {
    out->bytes.assign(data, static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool JsonText(ModuleState* state, PyObject* obj, Utf8Text* out) {
  PyRef args(PyTuple_Pack(1, obj));
  PyRef kwargs(PyDict_New());
  if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "ensure_ascii", Py_False) < 0) return false;
  PyRef text(PyObject_Call(state->json_dumps, args.get(), kwargs.get()));
  if (!text) return false;
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return a str");
    return false;
  }
  return EncodeText(text.get(), out);
}

bool ToCInt(PyObject* obj, int* out) {
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < INT_MIN || value > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

PyObject* MakeRetStatus(ModuleState* state, int rc) { return PyObject_CallFunction(state->ret_status, "i", rc); }

namespace {

LumoObject* AsLumo(PyObject* self) { return reinterpret_cast<LumoObject*>(self); }

// ---- Vision metadata -------------------------------------------------------

PyObject* FloatList3(const float values[3]) {
  PyRef list(PyList_New(3));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), i, item);  // steals
  }
  return list.release();
}

bool SetInt(PyObject* dict, const char* key, long value) {
  PyRef obj(PyLong_FromLong(value));
  return obj && PyDict_SetItemString(dict, key, obj.get()) == 0;
}

bool SetOwned(PyObject* dict, const char* key, PyObject* owned) {
  PyRef obj(owned);
  return obj && PyDict_SetItemString(dict, key, obj.get()) == 0;
}

// Replaces the object's vision metadata with the defaults, then fills in
// what the runtime reports. A Python error ends it and is returned as false.
bool PopulateVisionMetadata(LumoObject* self, LLMContext context) {
  static const float kHalf[3] = {0.5f, 0.5f, 0.5f};
  PyRef meta(PyDict_New());
  if (!meta) return false;
  if (!SetOwned(meta.get(), "projector_type", PyUnicode_FromString("")) || !SetInt(meta.get(), "patch_size", 14) ||
      !SetInt(meta.get(), "proj_scale_factor", 0) || !SetOwned(meta.get(), "image_mean", FloatList3(kHalf)) ||
      !SetOwned(meta.get(), "image_std", FloatList3(kHalf)) || !SetInt(meta.get(), "spatial_merge_size", 2) ||
      !SetInt(meta.get(), "image_size", 0) || !SetInt(meta.get(), "n_wa_pattern", 0) ||
      !SetInt(meta.get(), "embed_dim", 0) || !SetInt(meta.get(), "has_class_embed", 0) ||
      !SetInt(meta.get(), "nx", 0) || !SetInt(meta.get(), "ny", 0) || !SetInt(meta.get(), "has_metadata", 0) ||
      !SetInt(meta.get(), "image_fmt", 1) || !SetInt(meta.get(), "model_width", 0) ||
      !SetInt(meta.get(), "model_height", 0))
    return false;
  PyObject* old = self->vision_metadata;
  self->vision_metadata = NewRef(meta.get()).release();
  Py_XDECREF(old);

  ZOR_LLMVisionInfo info;
  std::memset(&info, 0, sizeof info);
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_get_vision_info(context, &info);
  Py_END_ALLOW_THREADS
  if (rc != ZOR_LLM_Status_Success) return true;

  PyObject* dict = meta.get();
  if (info.has_metadata != 0) {
    // The runtime's text need not be NUL-terminated within its 64 bytes;
    // never read past the field.
    const char* type = info.metadata.projector_type;
    size_t len = strnlen(type, sizeof info.metadata.projector_type);
    if (!SetInt(dict, "has_metadata", 1) ||
        !SetOwned(dict, "projector_type", PyUnicode_DecodeUTF8(type, static_cast<Py_ssize_t>(len), nullptr)) ||
        !SetOwned(dict, "image_mean", FloatList3(info.metadata.image_mean)) ||
        !SetOwned(dict, "image_std", FloatList3(info.metadata.image_std)))
      return false;
    if (info.metadata.patch_size > 0 && !SetInt(dict, "patch_size", info.metadata.patch_size)) return false;
    if (info.metadata.spatial_merge_size > 0 && !SetInt(dict, "spatial_merge_size", info.metadata.spatial_merge_size))
      return false;
  }
  if (info.n_input > 0 && info.input != nullptr) {
    if (!SetInt(dict, "model_width", info.input[0].width) || !SetInt(dict, "model_height", info.input[0].height))
      return false;
  }
  return true;
}

// ---- Construction and destruction -----------------------------------------

PyModuleDef* LumoModuleDef();

// The module that defines LUMO, also for subclasses made in Python.
PyObject* LumoModule(PyTypeObject* type) {
  PyObject* module = DefiningModule(type, LumoModuleDef());
  if (module == nullptr) PyErr_SetString(PyExc_TypeError, "LUMO: defining module not found");
  return module;
}

// The runtime sits next to this module's file: <dir>/liblumo.so.
int LoadRuntime(ModuleState* state, PyObject* module) {
  PyRef file(PyModule_GetFilenameObject(module));
  if (!file) return -1;
  PyRef path(PyObject_CallFunctionObjArgs(state->path_type, file.get(), nullptr));
  if (!path) return -1;
  PyRef resolved(PyObject_CallMethod(path.get(), "resolve", nullptr));
  if (!resolved) return -1;
  PyRef parent(PyObject_GetAttrString(resolved.get(), "parent"));
  if (!parent) return -1;
  PyRef name(PyUnicode_FromString("liblumo.so"));
  if (!name) return -1;
  PyRef lib(PyNumber_TrueDivide(parent.get(), name.get()));
  if (!lib) return -1;
  PyRef encoded(PyObject_CallMethod(state->os_module, "fsencode", "O", lib.get()));
  if (!encoded) return -1;
  if (!PyBytes_Check(encoded.get())) {
    PyErr_SetString(PyExc_TypeError, "os.fsencode did not return bytes");
    return -1;
  }
  if (load_lumo_func(PyBytes_AsString(encoded.get())) != 0) {
    PyErr_Format(PyExc_RuntimeError, "Cannot load liblumo.so: %s", lumo_func_error());
    return -1;
  }
  return 0;
}

PyObject* Lumo_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* module = LumoModule(type);
  if (!module) return nullptr;
  ModuleState* state = StateOf(module);
  PyRef obj(AllocInstance(type));
  if (!obj) return nullptr;
  LumoObject* self = AsLumo(obj.get());
  self->context = nullptr;
  self->py_callback = NewRef(Py_None).release();
  self->py_tool_callback = NewRef(Py_None).release();
  self->py_userdata = NewRef(Py_None).release();
  self->result_texts = PyList_New(0);
  self->result_reasoning = PyList_New(0);
  self->result_tool_text = PyList_New(0);
  self->result_token_ids = PyList_New(0);
  self->result_tool_calls = PyList_New(0);
  self->result_last_status = NewRef(Py_None).release();
  self->signal_interrupt = false;
  self->sigint_handler = NewRef(Py_None).release();
  self->vision_metadata = PyDict_New();
  self->mmproj_model = false;
  self->module = NewRef(module).release();
  self->counted = false;
  self->busy = nullptr;
  self->sync = new (std::nothrow) LumoSync;
  self->native_run = nullptr;
  self->stream_pieces = nullptr;
  self->weakreflist = nullptr;
  if (!self->sync) return PyErr_NoMemory();
  if (!self->result_texts || !self->result_reasoning || !self->result_tool_text || !self->result_token_ids ||
      !self->result_tool_calls || !self->vision_metadata)
    return nullptr;

  if (_lumo_loaded == 0 && LoadRuntime(state, module) < 0) return nullptr;
  ++_lumo_loaded;
  self->counted = true;  // from here on, destruction gives the count back

  PyRef rv(PyObject_CallMethod(obj.get(), "_install_sigint_handler", nullptr));
  if (!rv) return nullptr;
  return obj.release();
}

int Lumo_traverse(PyObject* op, visitproc visit, void* arg) {
  LumoObject* self = AsLumo(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(self->py_callback);
  Py_VISIT(self->py_tool_callback);
  Py_VISIT(self->py_userdata);
  Py_VISIT(self->result_texts);
  Py_VISIT(self->result_reasoning);
  Py_VISIT(self->result_tool_text);
  Py_VISIT(self->result_token_ids);
  Py_VISIT(self->result_tool_calls);
  Py_VISIT(self->result_last_status);
  Py_VISIT(self->sigint_handler);
  Py_VISIT(self->vision_metadata);
  Py_VISIT(self->stream_pieces);
  Py_VISIT(self->module);
  return 0;
}

int Lumo_clear(PyObject* op) {
  LumoObject* self = AsLumo(op);
  Py_CLEAR(self->py_callback);
  Py_CLEAR(self->py_tool_callback);
  Py_CLEAR(self->py_userdata);
  Py_CLEAR(self->result_texts);
  Py_CLEAR(self->result_reasoning);
  Py_CLEAR(self->result_tool_text);
  Py_CLEAR(self->result_token_ids);
  Py_CLEAR(self->result_tool_calls);
  Py_CLEAR(self->result_last_status);
  Py_CLEAR(self->vision_metadata);
  Py_CLEAR(self->stream_pieces);
  // module stays until dealloc: the bridges and dealloc reach the state
  // through it.
  return 0;
}

void Lumo_dealloc(PyObject* op) {
  LumoObject* self = AsLumo(op);
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  {
    PendingErrorKept pending;
    if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    // Nothing else can reach the object now: no call is in flight and no
    // lock is needed to release its context (and with it the model).
    if (self->context != nullptr) {
      LLMContext context = self->context;
      self->context = nullptr;
      Py_BEGIN_ALLOW_THREADS
      zor_llm_uninit(context);
      Py_END_ALLOW_THREADS
    }
    DropSigintHandler(self);
    Py_CLEAR(self->sigint_handler);
    delete self->sync;
    self->sync = nullptr;
    if (self->counted) {
      self->counted = false;
      if (--_lumo_loaded == 0) unload_lumo_func();
    }
    Lumo_clear(op);
    Py_CLEAR(self->module);
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(op);
  Py_DECREF(type);
}

// ---- Methods ------------------------------------------------------------

PyObject* Lumo_init(PyObject* op, PyObject* args, PyObject* kwds) {
  LumoObject* self = AsLumo(op);
  ModuleState* state = StateOf(self);
  static const char* kwlist[] = {"model_path",          "on_token",          "on_tool_call",
                                 "sampling_mode",       "sampler_params",    "mmproj_path",
                                 "model_type_override", "custom_jinja_template", "mmproj_config",
                                 nullptr};
  PyObject* model_path = nullptr;
  PyObject* on_token = Py_None;
  PyObject* on_tool_call = Py_None;
  PyObject* sampling_mode = nullptr;
  PyObject* sampler_params = Py_None;
  PyObject* mmproj_path = nullptr;
  PyObject* model_type_override = nullptr;
  PyObject* custom_jinja_template = nullptr;
  PyObject* mmproj_config = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOOOOO:init", const_cast<char**>(kwlist), &model_path, &on_token,
                                   &on_tool_call, &sampling_mode, &sampler_params, &mmproj_path, &model_type_override,
                                   &custom_jinja_template, &mmproj_config))
    return nullptr;
  if (!CheckStrOrNone(model_path, "model_path") || (mmproj_path && !CheckStrOrNone(mmproj_path, "mmproj_path")) ||
      (model_type_override && !CheckStrOrNone(model_type_override, "model_type_override")) ||
      (custom_jinja_template && !CheckStrOrNone(custom_jinja_template, "custom_jinja_template")) ||
      (mmproj_config && !CheckStrOrNone(mmproj_config, "mmproj_config")))
    return nullptr;
  CallScope call(self);
  if (!call.Enter("init")) return nullptr;

  ZOR_LLMInitConfig config;
  std::memset(&config, 0, sizeof config);
  Utf8Text model_text, sampler_json, mmproj_text, override_text, jinja_text, mmproj_config_text;
  if (!EncodeText(model_path, &model_text)) return nullptr;
  config.model_path = model_text.ptr();

  PyRef default_mode;
  if (sampling_mode == nullptr) {
    default_mode.reset(PyObject_GetAttrString(state->sampling_mode, "ARG_MAX"));
    if (!default_mode) return nullptr;
    sampling_mode = default_mode.get();
  }
  if (!NormalizeSamplingMode(state, sampling_mode, &config.sampling_mode)) return nullptr;

  if (sampler_params != Py_None) {
    if (!JsonText(state, sampler_params, &sampler_json)) return nullptr;
    config.init_extend.sampler_params_json = sampler_json.ptr();
  }
  if (!EncodeText(mmproj_path, &mmproj_text) || !EncodeText(model_type_override, &override_text) ||
      !EncodeText(custom_jinja_template, &jinja_text) || !EncodeText(mmproj_config, &mmproj_config_text))
    return nullptr;
  const bool mmproj_model = !mmproj_text.bytes.empty();
  config.init_extend.vision_model_path = mmproj_text.ptr();
  config.init_extend.model_name_override = override_text.ptr();
  config.init_extend.custom_jinja_template = jinja_text.ptr();
  config.init_extend.mmproj_config = mmproj_config_text.ptr();

  // A second init on the same object would otherwise leak the first context
  // (and its model) for the life of the process.
  if (self->context != nullptr) {
    LLMContext old = self->context;
    SetContext(self, nullptr);
    Py_BEGIN_ALLOW_THREADS
    zor_llm_uninit(old);
    Py_END_ALLOW_THREADS
  }
  // The metadata follows the model: none until a projector reports it.
  self->mmproj_model = mmproj_model;
  PyRef no_metadata(PyDict_New());
  if (!no_metadata) return nullptr;
  PyObject* old_metadata = self->vision_metadata;
  self->vision_metadata = no_metadata.release();
  Py_XDECREF(old_metadata);

  PyObject* tmp = self->py_callback;
  self->py_callback = NewRef(on_token).release();
  Py_XDECREF(tmp);
  tmp = self->py_tool_callback;
  self->py_tool_callback = NewRef(on_tool_call).release();
  Py_XDECREF(tmp);
  tmp = self->py_userdata;
  self->py_userdata = NewRef(Py_None).release();
  Py_XDECREF(tmp);

  LLMContext context = nullptr;
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_init(&context, &config, _callback_bridge);
  if (context != nullptr) zor_llm_set_toolcall_callback(context, _tool_callback_bridge, 1);
  Py_END_ALLOW_THREADS
  SetContext(self, context);

  if (context != nullptr) {
    if (self->mmproj_model && !PopulateVisionMetadata(self, context)) return nullptr;
  }
  return MakeRetStatus(state, rc);
}

PyObject* Lumo_uninit(PyObject* op, PyObject*) {
  LumoObject* self = AsLumo(op);
  ModuleState* state = StateOf(self);
  CallScope call(self);
  if (!call.Enter("uninit")) return nullptr;
  if (self->context == nullptr) return MakeRetStatus(state, ZOR_LLM_Status_Success);
  LLMContext context = self->context;
  SetContext(self, nullptr);
  int rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_uninit(context);
  Py_END_ALLOW_THREADS
  for (PyObject** field : {&self->py_callback, &self->py_tool_callback, &self->py_userdata}) {
    PyObject* old = *field;
    *field = NewRef(Py_None).release();
    Py_XDECREF(old);
  }
  return MakeRetStatus(state, rc);
}

PyObject* Lumo_reset(PyObject* op, PyObject*) {
  LumoObject* self = AsLumo(op);
  CallScope call(self);
  if (!call.Enter("reset") || !RequireContext(self)) return nullptr;
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_reset(self->context);
  Py_END_ALLOW_THREADS
  return MakeRetStatus(StateOf(self), rc);
}

// Allowed from anywhere, during a run too: the context mutex keeps the
// context alive under the break.
PyObject* Lumo_interrupt(PyObject* op, PyObject*) {
  LumoObject* self = AsLumo(op);
  if (!RequireContext(self)) return nullptr;
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = BreakContext(self);
  Py_END_ALLOW_THREADS
  return MakeRetStatus(StateOf(self), rc);
}

PyObject* Lumo_set_chat_template(PyObject* op, PyObject* args, PyObject* kwds) {
  LumoObject* self = AsLumo(op);
  static const char* kwlist[] = {"system_prompt", "prompt_prefix", "prompt_postfix", nullptr};
  PyObject *system_prompt, *prompt_prefix, *prompt_postfix;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:set_chat_template", const_cast<char**>(kwlist), &system_prompt,
                                   &prompt_prefix, &prompt_postfix))
    return nullptr;
  if (!CheckStrOrNone(system_prompt, "system_prompt") || !CheckStrOrNone(prompt_prefix, "prompt_prefix") ||
      !CheckStrOrNone(prompt_postfix, "prompt_postfix"))
    return nullptr;
  CallScope call(self);
  if (!call.Enter("set_chat_template") || !RequireContext(self)) return nullptr;
  Utf8Text system_text, prefix_text, postfix_text;
  if (!EncodeText(system_prompt, &system_text) || !EncodeText(prompt_prefix, &prefix_text) ||
      !EncodeText(prompt_postfix, &postfix_text))
    return nullptr;
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_set_chat_template(self->context, system_text.ptr(), prefix_text.ptr(), postfix_text.ptr());
  Py_END_ALLOW_THREADS
  return MakeRetStatus(StateOf(self), rc);
}

PyObject* Lumo_set_chat_template_jinja(PyObject* op, PyObject* args, PyObject* kwds) {
  LumoObject* self = AsLumo(op);
  static const char* kwlist[] = {"jinja_template", nullptr};
  PyObject* jinja_template;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:set_chat_template_jinja", const_cast<char**>(kwlist),
                                   &jinja_template))
    return nullptr;
  if (!CheckStrOrNone(jinja_template, "jinja_template")) return nullptr;
  CallScope call(self);
  if (!call.Enter("set_chat_template_jinja") || !RequireContext(self)) return nullptr;
  Utf8Text text;
  if (!EncodeText(jinja_template, &text)) return nullptr;
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_set_chat_template_jinja(self->context, text.ptr());
  Py_END_ALLOW_THREADS
  return MakeRetStatus(StateOf(self), rc);
}

PyObject* Lumo_set_toolcall_callback(PyObject* op, PyObject* args, PyObject* kwds) {
  LumoObject* self = AsLumo(op);
  static const char* kwlist[] = {"enabled", "stop_output", nullptr};
  PyObject* enabled = Py_True;
  PyObject* stop_output_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:set_toolcall_callback", const_cast<char**>(kwlist), &enabled,
                                   &stop_output_obj))
    return nullptr;
  int stop_output = 0;
  if (stop_output_obj != nullptr && !ToCInt(stop_output_obj, &stop_output)) return nullptr;
  CallScope call(self);
  if (!call.Enter("set_toolcall_callback") || !RequireContext(self)) return nullptr;
  int on = PyObject_IsTrue(enabled);
  if (on < 0) return nullptr;
  ZOR_LLMRetStatus rc;
  Py_BEGIN_ALLOW_THREADS
  rc = zor_llm_set_toolcall_callback(self->context, on ? _tool_callback_bridge : nullptr, stop_output);
  Py_END_ALLOW_THREADS
  return MakeRetStatus(StateOf(self), rc);
}

PyObject* Lumo_run(PyObject* op, PyObject* args, PyObject* kwds) { return LumoRun(AsLumo(op), args, kwds); }

PyObject* Lumo_stream(PyObject* op, PyObject* args, PyObject* kwds) { return LumoStream(AsLumo(op), args, kwds); }

// ---- SIGINT (lumo_sigint.cc) ------------------------------------------------

PyObject* Lumo_install_sigint_handler(PyObject* op, PyObject*) { return InstallSigintHandler(AsLumo(op)); }

PyObject* Lumo_restore_sigint_handler(PyObject* op, PyObject*) { return RestoreSigintHandler(AsLumo(op)); }

PyObject* Lumo_signal_handler(PyObject* op, PyObject* args, PyObject* kwds) {
  return LumoSignalHandler(AsLumo(op), args, kwds);
}

PyObject* Lumo_reduce(PyObject* op, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", "LUMO");
  (void)op;
  return nullptr;
}

// ---- Properties -----------------------------------------------------------

PyObject* Lumo_get_context(PyObject* op, void*) {
  LumoObject* self = AsLumo(op);
  if (self->context == nullptr) Py_RETURN_NONE;
  return PyLong_FromVoidPtr(self->context);
}

PyObject* Lumo_get_vision_metadata(PyObject* op, void*) {
  return NewRef(AsLumo(op)->vision_metadata ? AsLumo(op)->vision_metadata : Py_None).release();
}

PyObject* Lumo_get_mmproj_model(PyObject* op, void*) { return PyBool_FromLong(AsLumo(op)->mmproj_model); }

#define KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS

// Enumeration defaults are spelled with their full module path: inspect
// evaluates them against sys.modules, where the short names are unknown.
#define TYPES_MODULE "zorllm_openai_server.zor_lumo.types."

// The parameters of run, shared by stream.
#define RUN_PARAMS                                                                                         \
  "prompt_input='', run_mode=" TYPES_MODULE                                                                \
  "RunMode.GENERATE, retain_history=0, userdata=None, images=None, img_start='<|vision_start|>', "          \
  "img_end='<|vision_end|>', img_content='<|image_pad|>', tool_schemas=None, sampler_params=None, "          \
  "disable_chat_template=1, extra_template_params=None, enable_think=0, sampling_mode=None, top_k=None, "   \
  "top_p=None, temperature=None, repeat_penalty=None, messages_mode=False"

PyMethodDef lumo_methods[] = {
    {"init", KW(Lumo_init),
     PyDoc_STR("init($self, /, model_path, on_token=None, on_tool_call=None, sampling_mode=" TYPES_MODULE
               "SamplingMode.ARG_MAX, "
               "sampler_params=None, mmproj_path='', model_type_override='', custom_jinja_template='', "
               "mmproj_config='')\n--\n\n"
               "Creates the runtime context (replacing, and releasing, any earlier one); returns RetStatus.")},
    {"uninit", Lumo_uninit, METH_NOARGS,
     PyDoc_STR("uninit($self, /)\n--\n\nReleases the context; RetStatus.SUCCESS when there is none.")},
    {"reset", Lumo_reset, METH_NOARGS,
     PyDoc_STR("reset($self, /)\n--\n\nClears the conversation history of the context.")},
    {"interrupt", Lumo_interrupt, METH_NOARGS,
     PyDoc_STR("interrupt($self, /)\n--\n\nAsks a running generation to stop; callable from any thread, also "
               "from a callback.")},
    {"set_chat_template", KW(Lumo_set_chat_template),
     PyDoc_STR("set_chat_template($self, /, system_prompt, prompt_prefix, prompt_postfix)\n--\n\n"
               "Sets a plain chat template; returns RetStatus.")},
    {"set_chat_template_jinja", KW(Lumo_set_chat_template_jinja),
     PyDoc_STR("set_chat_template_jinja($self, /, jinja_template)\n--\n\nSets a Jinja2 chat template; returns "
               "RetStatus.")},
    {"set_toolcall_callback", KW(Lumo_set_toolcall_callback),
     PyDoc_STR("set_toolcall_callback($self, /, enabled=True, stop_output=0)\n--\n\n"
               "Switches tool-call delivery to on_tool_call on or off; returns RetStatus.")},
    {"run", KW(Lumo_run),
     PyDoc_STR("run($self, /, " RUN_PARAMS ")\n--\n\n"
               "Runs one generation and returns the result dict: text, reasoning, tool_text, token_ids, status,\n"
               "token_count, tool_calls. Ctrl+C stops it and raises KeyboardInterrupt.")},
    {"stream", KW(Lumo_stream),
     PyDoc_STR("stream($self, /, " RUN_PARAMS ")\n--\n\n"
               "Starts one generation and returns an iterator over its pieces (types.Piece), as the runtime\n"
               "delivers them. Leaving early (break, close(), an exception) stops the generation; the\n"
               "result dict of run() is the iterator's result once it has ended.")},
    {"_install_sigint_handler", Lumo_install_sigint_handler, METH_NOARGS,
     PyDoc_STR("_install_sigint_handler($self, /)\n--\n\n"
               "Installs a SigintHandler for this object (main thread only), keeping the previous handler.")},
    {"_restore_sigint_handler", Lumo_restore_sigint_handler, METH_NOARGS,
     PyDoc_STR("_restore_sigint_handler($self, /)\n--\n\nPuts the handler replaced by this object's back.")},
    {"signal_handler", KW(Lumo_signal_handler),
     PyDoc_STR("signal_handler($self, /, sig, frame)\n--\n\n"
               "SIGINT handling: interrupts the run, then calls the previous handler.")},
    {"__reduce__", Lumo_reduce, METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nRefuses: a LUMO holds a runtime context that cannot be pickled.")},
    {"__reduce_ex__", Lumo_reduce, METH_O,
     PyDoc_STR("__reduce_ex__($self, protocol, /)\n--\n\nRefuses: a LUMO holds a runtime context that cannot be "
               "pickled.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef lumo_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(LumoObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef lumo_getset[] = {
    {"context", Lumo_get_context, nullptr, PyDoc_STR("Context address, or None when not initialised."), nullptr},
    {"vision_metadata", Lumo_get_vision_metadata, nullptr, PyDoc_STR("Vision preprocessing metadata."), nullptr},
    {"mmproj_model", Lumo_get_mmproj_model, nullptr, PyDoc_STR("True when init was given a projector model."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lumo_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Lumo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Lumo_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Lumo_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Lumo_clear)},
    {Py_tp_methods, lumo_methods},
    {Py_tp_getset, lumo_getset},
    {Py_tp_members, lumo_members},
    {Py_tp_doc, const_cast<char*>("LUMO()\n--\n\nOne LLM runtime context: init, run, stream, interrupt, uninit.")},
    {0, nullptr},
};

PyType_Spec lumo_spec = {
    "zorllm_openai_server.zor_lumo._lumo.LUMO",
    sizeof(LumoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    lumo_slots,
};

// ---- Module ---------------------------------------------------------------

PyObject* Module_as_rgb888(PyObject* module, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"image", nullptr};
  PyObject* image;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:as_rgb888", const_cast<char**>(kwlist), &image)) return nullptr;
  return AsRgb888(StateOf(module), image);
}

PyObject* Module_normalize_sampling_mode(PyObject* module, PyObject* mode) {
  ZOR_LLMSamplingMode value;
  if (!NormalizeSamplingMode(StateOf(module), mode, &value)) return nullptr;
  return PyLong_FromUnsignedLong(value);
}

PyMethodDef module_methods[] = {
    {"as_rgb888", KW(Module_as_rgb888),
     PyDoc_STR("as_rgb888(image)\n--\n\nAny HWC or CHW image as a C-contiguous uint8 (H, W, 3) RGB array.")},
    {"_normalize_sampling_mode", Module_normalize_sampling_mode, METH_O,
     PyDoc_STR("_normalize_sampling_mode(mode, /)\n--\n\nThe ZOR_LLMSamplingMode value of a name, int or "
               "SamplingMode member.")},
    {nullptr, nullptr, 0, nullptr},
};

// The sibling types module, relative to this module's package.
PyObject* ImportTypes(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  PyRef parts(PyObject_CallMethod(name.get(), "rpartition", "s", "."));
  if (!parts) return nullptr;
  PyObject* package = PyTuple_GetItem(parts.get(), 0);  // borrowed
  if (!package) return nullptr;
  if (PyObject_Length(package) <= 0) return PyImport_ImportModule("zorllm_openai_server.zor_lumo.types");
  PyRef full(PyUnicode_FromFormat("%U.types", package));
  if (!full) return nullptr;
  return PyImport_Import(full.get());
}

int Module_exec(PyObject* module) {
  ModuleState* state = StateOf(module);
  if (!(state->json_dumps = ImportAttr("json", "dumps"))) return -1;
  if (!(state->signal_module = PyImport_ImportModule("signal"))) return -1;
  if (!(state->threading_module = PyImport_ImportModule("threading"))) return -1;
  if (!(state->is_finalizing = ImportAttr("sys", "is_finalizing"))) return -1;
  if (!(state->numpy = PyImport_ImportModule("numpy"))) return -1;
  if (!(state->os_module = PyImport_ImportModule("os"))) return -1;
  if (!(state->path_type = ImportAttr("pathlib", "Path"))) return -1;
  PyRef types(ImportTypes(module));
  if (!types) return -1;
  if (!(state->run_status = PyObject_GetAttrString(types.get(), "RunStatus"))) return -1;
  if (!(state->ret_status = PyObject_GetAttrString(types.get(), "RetStatus"))) return -1;
  if (!(state->result_type = PyObject_GetAttrString(types.get(), "Result"))) return -1;
  if (!(state->sampling_mode = PyObject_GetAttrString(types.get(), "SamplingMode"))) return -1;
  if (!(state->run_mode = PyObject_GetAttrString(types.get(), "RunMode"))) return -1;
  // Module globals as the host sees them, in import order.
  PyRef json_module(PyImport_ImportModule("json"));
  if (!json_module) return -1;
  const struct {
    const char* name;
    PyObject* value;
  } globals[] = {
      {"json", json_module.get()},           {"signal", state->signal_module},   {"threading", state->threading_module},
      {"np", state->numpy},                  {"os", state->os_module},           {"Path", state->path_type},
      {"RunStatus", state->run_status},      {"RetStatus", state->ret_status},   {"Result", state->result_type},
      {"SamplingMode", state->sampling_mode}, {"RunMode", state->run_mode},
  };
  for (const auto& global : globals)
    if (PyModule_AddObjectRef(module, global.name, global.value) < 0) return -1;

  if (!(state->sampling_mode_map = BuildSamplingModeMap(state))) return -1;
  if (PyModule_AddObjectRef(module, "_SAMPLING_MODE_MAP", state->sampling_mode_map) < 0) return -1;

  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  if (!(state->callback_bridge_name = PyUnicode_FromFormat("%U._callback_bridge", module_name.get()))) return -1;
  if (!(state->tool_callback_bridge_name = PyUnicode_FromFormat("%U._tool_callback_bridge", module_name.get())))
    return -1;

  if (!(state->piece_type = PyObject_GetAttrString(types.get(), "Piece"))) return -1;
  PyRef codecs(PyImport_ImportModule("codecs"));
  if (!codecs) return -1;
  if (!(state->utf8_decoder = PyObject_CallMethod(codecs.get(), "getincrementaldecoder", "s", "utf-8"))) return -1;

  if (!(state->lumo_type = PyType_FromModuleAndSpec(module, &lumo_spec, nullptr))) return -1;
  if (PyModule_AddObjectRef(module, "LUMO", state->lumo_type) < 0) return -1;
  if (!(state->stream_type = PyType_FromModuleAndSpec(module, &stream_spec, nullptr))) return -1;
  if (PyModule_AddObjectRef(module, "Stream", state->stream_type) < 0) return -1;
  if (!(state->sigint_handler_type = PyType_FromModuleAndSpec(module, &sigint_handler_spec, nullptr))) return -1;
  if (PyModule_AddObjectRef(module, "SigintHandler", state->sigint_handler_type) < 0) return -1;
  return 0;
}

#define STATE_FIELDS(X)                                                                                   \
  X(lumo_type) X(stream_type) X(sigint_handler_type) X(piece_type) X(utf8_decoder) X(json_dumps)           \
      X(signal_module) X(threading_module) X(is_finalizing) X(numpy) X(os_module) X(path_type)            \
          X(run_status) X(ret_status) X(result_type) X(sampling_mode) X(run_mode) X(sampling_mode_map)      \
              X(callback_bridge_name) X(tool_callback_bridge_name)

int Module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = StateOf(module);
  if (state == nullptr) return 0;
#define VISIT_FIELD(field) Py_VISIT(state->field);
  STATE_FIELDS(VISIT_FIELD)
#undef VISIT_FIELD
  return 0;
}

int Module_clear(PyObject* module) {
  ModuleState* state = StateOf(module);
  if (state == nullptr) return 0;
#define CLEAR_FIELD(field) Py_CLEAR(state->field);
  STATE_FIELDS(CLEAR_FIELD)
#undef CLEAR_FIELD
  return 0;
}

void Module_free(void* module) { Module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Module_exec)},
    {0, nullptr},
};

PyModuleDef lumo_module_def = {
    PyModuleDef_HEAD_INIT,
    "_lumo",
    "The board's LLM runtime as the class LUMO.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    Module_traverse,
    Module_clear,
    Module_free,
};

PyModuleDef* LumoModuleDef() { return &lumo_module_def; }

}  // namespace
}  // namespace zor_lumo

PyMODINIT_FUNC PyInit__lumo(void) { return PyModuleDef_Init(zor_lumo::LumoModuleDef()); }
