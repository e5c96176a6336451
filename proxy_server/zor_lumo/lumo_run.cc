// lumo_run.cc: LUMO.run. Turns the Python arguments into the runtime's input
// record and run config, resets the per-run accumulators, runs zor_llm_run
// on a helper thread while the bridges collect the output, and assembles
// the result dict. LUMO.stream (lumo_stream.cc) shares all of it.
#include "lumo_run.h"

#include <climits>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "lumo_call.h"

namespace zor_lumo {
namespace {

const char kDefaultImgStart[] = "<|vision_start|>";
const char kDefaultImgEnd[] = "<|vision_end|>";
const char kDefaultImgContent[] = "<|image_pad|>";

// run_mode.value as the unsigned 32-bit ZOR_LLMRunMode.
bool RunModeValue(PyObject* run_mode, ZOR_LLMRunMode* out) {
  PyRef value(PyObject_GetAttrString(run_mode, "value"));
  if (!value) return false;
  PyRef index(PyNumber_Index(value.get()));
  if (!index) return false;
  PyRef zero(PyLong_FromLong(0));
  if (!zero) return false;
  int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
  if (negative < 0) return false;
  if (negative) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to ZOR_LLMRunMode");
    return false;
  }
  unsigned long long raw = PyLong_AsUnsignedLongLong(index.get());
  if ((raw == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || raw > 0xFFFFFFFFull) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to ZOR_LLMRunMode");
    return false;
  }
  *out = static_cast<ZOR_LLMRunMode>(raw);
  return true;
}

// int(obj) as int32_t.
bool Int32Value(PyObject* obj, int32_t* out) {
  PyRef number(PyNumber_Long(obj));
  if (!number) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int32_t");
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

// float(obj) as a 32-bit float. Converting a value outside float's range is
// undefined, and NaN or infinity means nothing as a sampling setting.
bool Float32Value(PyObject* obj, float* out) {
  PyRef number(PyNumber_Float(obj));
  if (!number) return false;
  double value = PyFloat_AsDouble(number.get());
  if (value == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(value)) {
    PyErr_Format(PyExc_ValueError, "sampling values must be finite, got %R", number.get());
    return false;
  }
  if (std::fabs(value) > FLT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to float32");
    return false;
  }
  *out = static_cast<float>(value);
  return true;
}

// Joins a list of bytes and decodes it as UTF-8, invalid bytes replaced.
PyObject* JoinDecoded(PyObject* list) {
  std::string joined;
  if (list != nullptr) {
    Py_ssize_t n = PyList_Size(list);
    if (n < 0) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* piece = PyList_GetItem(list, i);  // borrowed
      if (!piece) return nullptr;
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(piece, &data, &size) < 0) return nullptr;
      joined.append(data, static_cast<size_t>(size));
    }
  }
  return PyUnicode_DecodeUTF8(joined.data(), static_cast<Py_ssize_t>(joined.size()), "replace");
}

PyObject* DecodeBytesReplace(PyObject* obj) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return nullptr;
  return PyUnicode_DecodeUTF8(data, size, "replace");
}

PyObject* BuildToolCalls(PyObject* pairs) {
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  Py_ssize_t n = pairs ? PyList_Size(pairs) : 0;
  if (n < 0) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(pairs, i);  // borrowed
    if (!pair) return nullptr;
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      PyErr_SetString(PyExc_ValueError, "tool call record must be a (name, arguments) pair");
      return nullptr;
    }
    PyRef name(DecodeBytesReplace(PyTuple_GetItem(pair, 0)));
    if (!name) return nullptr;
    PyRef arguments(DecodeBytesReplace(PyTuple_GetItem(pair, 1)));
    if (!arguments) return nullptr;
    PyRef call(PyDict_New());
    if (!call || PyDict_SetItemString(call.get(), "name", name.get()) < 0 ||
        PyDict_SetItemString(call.get(), "arguments", arguments.get()) < 0 || PyList_Append(out.get(), call.get()) < 0)
      return nullptr;
  }
  return out.release();
}

void ReplaceField(PyObject** field, PyObject* owned) {
  PyObject* old = *field;
  *field = owned;
  Py_XDECREF(old);
}

}  // namespace

bool PrepareRun(LumoObject* self, PyObject* args, PyObject* kwds, const char* method, RunRequest* request) {
  ModuleState* state = StateOf(self);
  static const char* kwlist[] = {"prompt_input",  "run_mode",     "retain_history",        "userdata",
                                 "images",        "img_start",    "img_end",               "img_content",
                                 "tool_schemas",  "sampler_params", "disable_chat_template", "extra_template_params",
                                 "enable_think",  "sampling_mode", "top_k",                 "top_p",
                                 "temperature",   "repeat_penalty", "messages_mode",         nullptr};
  PyObject* prompt_input = nullptr;
  PyObject* run_mode = nullptr;
  PyObject* retain_history_obj = nullptr;
  PyObject* userdata = Py_None;
  PyObject* images = Py_None;
  PyObject* img_start = nullptr;
  PyObject* img_end = nullptr;
  PyObject* img_content = nullptr;
  PyObject* tool_schemas = Py_None;
  PyObject* sampler_params = Py_None;
  PyObject* disable_chat_template_obj = nullptr;
  PyObject* extra_template_params = Py_None;
  PyObject* enable_think_obj = nullptr;
  PyObject* sampling_mode = Py_None;
  PyObject* top_k = Py_None;
  PyObject* top_p = Py_None;
  PyObject* temperature = Py_None;
  PyObject* repeat_penalty = Py_None;
  PyObject* messages_mode_obj = Py_False;
  const std::string format = std::string("|OOOOOOOOOOOOOOOOOOO:") + method;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, format.c_str(), const_cast<char**>(kwlist), &prompt_input,
                                   &run_mode, &retain_history_obj, &userdata, &images, &img_start, &img_end,
                                   &img_content, &tool_schemas, &sampler_params, &disable_chat_template_obj,
                                   &extra_template_params, &enable_think_obj, &sampling_mode, &top_k, &top_p,
                                   &temperature, &repeat_penalty, &messages_mode_obj))
    return false;

  // Defaults and argument types, before anything else.
  PyRef empty(PyUnicode_FromString(""));
  PyRef default_start(PyUnicode_FromString(kDefaultImgStart));
  PyRef default_end(PyUnicode_FromString(kDefaultImgEnd));
  PyRef default_content(PyUnicode_FromString(kDefaultImgContent));
  if (!empty || !default_start || !default_end || !default_content) return false;
  // None counts as empty, with images too.
  if (prompt_input == nullptr || prompt_input == Py_None) prompt_input = empty.get();
  if (img_start == nullptr) img_start = default_start.get();
  if (img_end == nullptr) img_end = default_end.get();
  if (img_content == nullptr) img_content = default_content.get();
  PyRef default_run_mode;
  if (run_mode == nullptr) {
    default_run_mode.reset(PyObject_GetAttrString(state->run_mode, "GENERATE"));
    if (!default_run_mode) return false;
    run_mode = default_run_mode.get();
  }
  int retain_history = 0, disable_chat_template = 1, enable_think = 0;
  if ((retain_history_obj && !ToCInt(retain_history_obj, &retain_history)) ||
      (disable_chat_template_obj && !ToCInt(disable_chat_template_obj, &disable_chat_template)) ||
      (enable_think_obj && !ToCInt(enable_think_obj, &enable_think)))
    return false;
  if (!CheckStrOrNone(prompt_input, "prompt_input") || !CheckListOrNone(images, "images") ||
      !CheckStrOrNone(img_start, "img_start") || !CheckStrOrNone(img_end, "img_end") ||
      !CheckStrOrNone(img_content, "img_content"))
    return false;
  int messages_mode = PyObject_IsTrue(messages_mode_obj);
  if (messages_mode < 0) return false;

  if (!RequireContext(self)) return false;

  // The request's storage: records, texts and image views live until the
  // native call has returned.
  ZOR_LLMRunConfig& config = request->config;
  ZOR_LLMInput& input = request->input;
  std::memset(&config, 0, sizeof config);
  std::memset(&input, 0, sizeof input);
  Utf8Text &prompt_text = request->prompt_text, &start_text = request->start_text, &end_text = request->end_text,
           &content_text = request->content_text, &tools_json = request->tools_json,
           &template_json = request->template_json, &sampler_json = request->sampler_json;
  std::vector<ZOR_LLMImageInput>& image_records = request->image_records;
  std::vector<ImageView>& image_views = request->image_views;
  PyRef& img_refs = request->img_refs;  // keeps every normalised array alive
  request->userdata = NewRef(userdata);

  Py_ssize_t n_images = images == Py_None ? 0 : PyList_Size(images);
  if (n_images < 0) return false;
  if (n_images > 0) {
    if (!self->mmproj_model) {
      PyErr_SetString(PyExc_RuntimeError,
                      "Images provided but mmproj not initialized \xE2\x80\x94 pass mmproj_path to init()");
      return false;
    }
    if (static_cast<unsigned long long>(n_images) > UINT32_MAX) {
      PyErr_SetString(PyExc_MemoryError, "Failed to allocate ZOR_LLMImageInput array");
      return false;
    }
    img_refs.reset(PyList_New(0));
    if (!img_refs) return false;
    try {
      image_records.assign(static_cast<size_t>(n_images), ZOR_LLMImageInput{});
      image_views = std::vector<ImageView>(static_cast<size_t>(n_images));
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "Failed to allocate ZOR_LLMImageInput array");
      return false;
    }
    if (!EncodeText(img_start, &start_text) || !EncodeText(img_end, &end_text) ||
        !EncodeText(img_content, &content_text))
      return false;

    // Wrap each placeholder in the markers (plain prompts only; a messages
    // text goes to the runtime unchanged).
    PyRef prompt = NewRef(prompt_input);
    if (!messages_mode && !start_text.bytes.empty() && !content_text.bytes.empty()) {
      int found = PySequence_Contains(prompt_input, img_content);
      if (found < 0) return false;
      if (found) {
        PyRef wrapped(PyUnicode_FromFormat("%U%U%U", img_start, img_content,
                                           img_end == Py_None ? empty.get() : img_end));
        if (!wrapped) return false;
        prompt.reset(PyUnicode_Replace(prompt_input, img_content, wrapped.get(), -1));
        if (!prompt) return false;
      }
    }
    if (!EncodeText(prompt.get(), &prompt_text)) return false;

    PyRef as_rgb888;
    for (Py_ssize_t i = 0; i < n_images; ++i) {
      // Looked up at each image, so the host may replace the normaliser.
      as_rgb888.reset(PyObject_GetAttrString(self->module, "as_rgb888"));
      if (!as_rgb888) return false;
      PyRef item = NewRef(PyList_GetItem(images, i));
      if (!item) return false;
      PyRef arr(PyObject_CallFunctionObjArgs(as_rgb888.get(), item.get(), nullptr));
      if (!arr || PyList_Append(img_refs.get(), arr.get()) < 0) return false;
      ImageView& view = image_views[static_cast<size_t>(i)];
      if (!view.Acquire(arr.get())) return false;
      ZOR_LLMImageInput& record = image_records[static_cast<size_t>(i)];
      record.type = ZOR_LLM_IMAGE_TYPE_BUFFER;
      record.data = view.data();
      record.width = static_cast<uint32_t>(view.width());
      record.height = static_cast<uint32_t>(view.height());
      record.timestamp = 0;
    }

    // Images always travel as input type 3 with the multimodal member.
    input.input_type = ZOR_LLM_INPUT_MESSAGES;
    input.multimodal_input.prompt = prompt_text.ptr();
    input.multimodal_input.img_inputs = image_records.data();
    input.multimodal_input.img_count = static_cast<uint32_t>(n_images);
    input.multimodal_input.img_start = start_text.ptr();
    input.multimodal_input.img_end = end_text.ptr();
    input.multimodal_input.img_content = content_text.ptr();
  } else {
    if (!EncodeText(prompt_input, &prompt_text)) return false;
    input.input_type = messages_mode ? ZOR_LLM_INPUT_MESSAGES : ZOR_LLM_INPUT_PROMPT;
    input.prompt_input = prompt_text.ptr();
  }
  input.role = nullptr;

  if (!RunModeValue(run_mode, &config.run_mode)) return false;
  config.retain_history = retain_history;
  config.enable_think = enable_think;
  ZOR_LLMRunExtend& ext = config.run_extend;
  ext.disable_chat_template = disable_chat_template;

  if (tool_schemas != Py_None) {
    Py_ssize_t n = PyObject_Size(tool_schemas);
    if (n < 0) return false;
    if (n > 0) {
      if (!JsonText(state, tool_schemas, &tools_json)) return false;
      ext.tools_schemas = tools_json.ptr();
    }
  }
  if (extra_template_params != Py_None) {
    if (!JsonText(state, extra_template_params, &template_json)) return false;
    ext.extra_template_params = template_json.ptr();
  }
  if (sampler_params != Py_None) {
    if (!JsonText(state, sampler_params, &sampler_json)) return false;
    ext.sampler_params_json = sampler_json.ptr();
  }

  bool override_given = false;
  if (sampling_mode != Py_None) {
    if (!NormalizeSamplingMode(state, sampling_mode, &ext.sampling_mode)) return false;
    override_given = true;
  }
  if (top_k != Py_None) {
    if (!Int32Value(top_k, &ext.top_k)) return false;
    override_given = true;
  }
  if (top_p != Py_None) {
    if (!Float32Value(top_p, &ext.top_p)) return false;
    override_given = true;
  }
  if (temperature != Py_None) {
    if (!Float32Value(temperature, &ext.temperature)) return false;
    override_given = true;
  }
  if (repeat_penalty != Py_None) {
    if (!Float32Value(repeat_penalty, &ext.repeat_penalty)) return false;
    override_given = true;
  }
  ext.sampling_config_valid = (override_given || sampler_params != Py_None) ? 1u : 0u;

  return true;
}

bool StartRun(LumoObject* self, RunRequest* request, NativeRun* run) {
  // Normalising the images ran Python code, which may have released the
  // context meanwhile.
  if (!RequireContext(self)) return false;
  // Fresh accumulators for this run.
  PyRef lists[5];
  for (PyRef& list : lists) {
    list.reset(PyList_New(0));
    if (!list) return false;
  }
  ReplaceField(&self->py_userdata, NewRef(request->userdata.get()).release());
  ReplaceField(&self->result_texts, lists[0].release());
  ReplaceField(&self->result_reasoning, lists[1].release());
  ReplaceField(&self->result_tool_text, lists[2].release());
  ReplaceField(&self->result_token_ids, lists[3].release());
  ReplaceField(&self->result_tool_calls, lists[4].release());
  ReplaceField(&self->result_last_status, NewRef(Py_None).release());
  self->signal_interrupt = false;
  if (!run->Start(self->context, &request->input, &request->config, self)) return false;
  self->native_run = run;
  return true;
}

void EndRun(LumoObject* self) { self->native_run = nullptr; }

PyObject* LumoRun(LumoObject* self, PyObject* args, PyObject* kwds) {
  RunRequest request;
  if (!PrepareRun(self, args, kwds, "run", &request)) return nullptr;
  CallScope call(self);
  if (!call.Enter("run")) return nullptr;
  NativeRun run;
  if (!StartRun(self, &request, &run)) return nullptr;
  bool finished = run.Wait(self, false);
  EndRun(self);
  if (!finished) return nullptr;
  return FinishRun(self);
}

PyObject* FinishRun(LumoObject* self) {
  ModuleState* state = StateOf(self);
  // A SIGINT whose handler did not raise still ends the run with
  // KeyboardInterrupt, once the handler has run: a signal that arrived at
  // the very end is handled here.
  if (PyErr_CheckSignals() < 0) return nullptr;
  PyRef text(JoinDecoded(self->result_texts));
  if (!text) return nullptr;
  PyRef reasoning(JoinDecoded(self->result_reasoning));
  if (!reasoning) return nullptr;
  PyRef tool_text(JoinDecoded(self->result_tool_text));
  if (!tool_text) return nullptr;

  if (self->signal_interrupt) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }

  PyRef tool_calls(BuildToolCalls(self->result_tool_calls));
  if (!tool_calls) return nullptr;
  PyRef token_ids(self->result_token_ids ? PyList_GetSlice(self->result_token_ids, 0, PY_SSIZE_T_MAX) : PyList_New(0));
  if (!token_ids) return nullptr;
  PyRef status;
  if (self->result_last_status != nullptr && self->result_last_status != Py_None) {
    status = NewRef(self->result_last_status);
  } else {
    status.reset(PyObject_GetAttrString(state->run_status, "ERROR"));
    if (!status) return nullptr;
  }
  PyRef token_count(PyLong_FromSsize_t(PyList_Size(token_ids.get())));
  if (!token_count) return nullptr;

  PyRef result(PyDict_New());
  if (!result || PyDict_SetItemString(result.get(), "text", text.get()) < 0 ||
      PyDict_SetItemString(result.get(), "reasoning", reasoning.get()) < 0 ||
      PyDict_SetItemString(result.get(), "tool_text", tool_text.get()) < 0 ||
      PyDict_SetItemString(result.get(), "token_ids", token_ids.get()) < 0 ||
      PyDict_SetItemString(result.get(), "status", status.get()) < 0 ||
      PyDict_SetItemString(result.get(), "token_count", token_count.get()) < 0 ||
      PyDict_SetItemString(result.get(), "tool_calls", tool_calls.get()) < 0)
    return nullptr;
  return result.release();
}

}  // namespace zor_lumo
