// lumo_run.cc: LUMO.run. Turns the Python arguments into the runtime's input
// record and run config, resets the per-run accumulators, calls zor_llm_run
// with the interpreter lock released while the bridges collect the output,
// and assembles the result dict.
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lumo_func.h"
#include "lumo_module.h"

namespace zor_lumo {
namespace {

const char kDefaultImgStart[] = "<|vision_start|>";
const char kDefaultImgEnd[] = "<|vision_end|>";
const char kDefaultImgContent[] = "<|image_pad|>";

// A buffer view of one normalised image, released with the call's storage.
class ImageView {
 public:
  ImageView() = default;
  ImageView(const ImageView&) = delete;
  ImageView& operator=(const ImageView&) = delete;
  ~ImageView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // A 3-dimensional C-contiguous byte view of arr, or false with ValueError.
  bool Acquire(PyObject* arr) {
    if (PyObject_GetBuffer(arr, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    if (view_.ndim != 3) {
      PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 3, view_.ndim);
      return false;
    }
    const char* format = view_.format ? view_.format : "B";
    if (view_.itemsize != 1 || (std::strcmp(format, "B") != 0 && std::strcmp(format, "=B") != 0 &&
                                std::strcmp(format, "<B") != 0 && std::strcmp(format, "@B") != 0)) {
      PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'unsigned char' but got '%s'", format);
      return false;
    }
    // The runtime reads width * height * 3 bytes: anything but 3 channels
    // would make it read past the buffer or misread the pixels.
    if (view_.shape[2] != 3) {
      PyErr_Format(PyExc_ValueError, "Image buffer must have 3 channels, got %zd", view_.shape[2]);
      return false;
    }
    for (int axis = 0; axis < 3; ++axis) {
      if (view_.shape[axis] <= 0) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
        return false;
      }
    }
    if (view_.shape[0] > INT_MAX || view_.shape[1] > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
    return true;
  }
  const void* data() const { return view_.buf; }
  int height() const { return static_cast<int>(view_.shape[0]); }
  int width() const { return static_cast<int>(view_.shape[1]); }

 private:
  Py_buffer view_ = {};
  bool held_ = false;
};

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

// float(obj) as a 32-bit float.
bool Float32Value(PyObject* obj, float* out) {
  PyRef number(PyNumber_Float(obj));
  if (!number) return false;
  double value = PyFloat_AsDouble(number.get());
  if (value == -1.0 && PyErr_Occurred()) return false;
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

// Counts the run as in progress for as long as it lives.
class RunningScope {
 public:
  explicit RunningScope(LumoObject* self) : self_(self) { ++self_->running; }
  ~RunningScope() { --self_->running; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  LumoObject* self_;
};

}  // namespace

PyObject* LumoRun(LumoObject* self, PyObject* args, PyObject* kwds) {
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
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOOOOOOOOOOOOOO:run", const_cast<char**>(kwlist), &prompt_input,
                                   &run_mode, &retain_history_obj, &userdata, &images, &img_start, &img_end,
                                   &img_content, &tool_schemas, &sampler_params, &disable_chat_template_obj,
                                   &extra_template_params, &enable_think_obj, &sampling_mode, &top_k, &top_p,
                                   &temperature, &repeat_penalty, &messages_mode_obj))
    return nullptr;

  // Defaults and argument types, before anything else.
  PyRef empty(PyUnicode_FromString(""));
  PyRef default_start(PyUnicode_FromString(kDefaultImgStart));
  PyRef default_end(PyUnicode_FromString(kDefaultImgEnd));
  PyRef default_content(PyUnicode_FromString(kDefaultImgContent));
  if (!empty || !default_start || !default_end || !default_content) return nullptr;
  if (prompt_input == nullptr) prompt_input = empty.get();
  if (img_start == nullptr) img_start = default_start.get();
  if (img_end == nullptr) img_end = default_end.get();
  if (img_content == nullptr) img_content = default_content.get();
  PyRef default_run_mode;
  if (run_mode == nullptr) {
    default_run_mode.reset(PyObject_GetAttrString(state->run_mode, "GENERATE"));
    if (!default_run_mode) return nullptr;
    run_mode = default_run_mode.get();
  }
  int retain_history = 0, disable_chat_template = 1, enable_think = 0;
  if ((retain_history_obj && !ToCInt(retain_history_obj, &retain_history)) ||
      (disable_chat_template_obj && !ToCInt(disable_chat_template_obj, &disable_chat_template)) ||
      (enable_think_obj && !ToCInt(enable_think_obj, &enable_think)))
    return nullptr;
  if (!CheckStrOrNone(prompt_input, "prompt_input") || !CheckListOrNone(images, "images") ||
      !CheckStrOrNone(img_start, "img_start") || !CheckStrOrNone(img_end, "img_end") ||
      !CheckStrOrNone(img_content, "img_content"))
    return nullptr;
  int messages_mode = PyObject_IsTrue(messages_mode_obj);
  if (messages_mode < 0) return nullptr;

  if (!RequireContext(self)) return nullptr;

  // Per-call storage: records, texts and image views live until return.
  ZOR_LLMRunConfig config;
  ZOR_LLMInput input;
  std::memset(&config, 0, sizeof config);
  std::memset(&input, 0, sizeof input);
  Utf8Text prompt_text, start_text, end_text, content_text, tools_json, template_json, sampler_json;
  std::vector<ZOR_LLMImageInput> image_records;
  std::vector<ImageView> image_views;
  PyRef img_refs;  // keeps every normalised array alive until the native call returns

  Py_ssize_t n_images = images == Py_None ? 0 : PyList_Size(images);
  if (n_images < 0) return nullptr;
  if (n_images > 0) {
    if (!self->mmproj_model) {
      PyErr_SetString(PyExc_RuntimeError,
                      "Images provided but mmproj not initialized \xE2\x80\x94 pass mmproj_path to init()");
      return nullptr;
    }
    if (static_cast<unsigned long long>(n_images) > UINT32_MAX) {
      PyErr_SetString(PyExc_MemoryError, "Failed to allocate ZOR_LLMImageInput array");
      return nullptr;
    }
    img_refs.reset(PyList_New(0));
    if (!img_refs) return nullptr;
    try {
      image_records.assign(static_cast<size_t>(n_images), ZOR_LLMImageInput{});
      image_views = std::vector<ImageView>(static_cast<size_t>(n_images));
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "Failed to allocate ZOR_LLMImageInput array");
      return nullptr;
    }
    if (!EncodeText(img_start, &start_text) || !EncodeText(img_end, &end_text) ||
        !EncodeText(img_content, &content_text))
      return nullptr;

    // Wrap each placeholder in the markers (plain prompts only; a messages
    // text goes to the runtime unchanged).
    PyRef prompt = NewRef(prompt_input);
    if (!messages_mode && !start_text.bytes.empty() && !content_text.bytes.empty()) {
      int found = PySequence_Contains(prompt_input, img_content);
      if (found < 0) return nullptr;
      if (found) {
        PyRef wrapped(PyUnicode_FromFormat("%U%U%U", img_start, img_content,
                                           img_end == Py_None ? empty.get() : img_end));
        if (!wrapped) return nullptr;
        prompt.reset(PyUnicode_Replace(prompt_input, img_content, wrapped.get(), -1));
        if (!prompt) return nullptr;
      }
    }
    if (!EncodeText(prompt.get(), &prompt_text)) return nullptr;

    PyRef as_rgb888;
    for (Py_ssize_t i = 0; i < n_images; ++i) {
      // Looked up at each image, so the host may replace the normaliser.
      as_rgb888.reset(PyObject_GetAttrString(self->module, "as_rgb888"));
      if (!as_rgb888) return nullptr;
      PyRef item = NewRef(PyList_GetItem(images, i));
      if (!item) return nullptr;
      PyRef arr(PyObject_CallFunctionObjArgs(as_rgb888.get(), item.get(), nullptr));
      if (!arr || PyList_Append(img_refs.get(), arr.get()) < 0) return nullptr;
      ImageView& view = image_views[static_cast<size_t>(i)];
      if (!view.Acquire(arr.get())) return nullptr;
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
    if (!EncodeText(prompt_input, &prompt_text)) return nullptr;
    input.input_type = messages_mode ? ZOR_LLM_INPUT_MESSAGES : ZOR_LLM_INPUT_PROMPT;
    input.prompt_input = prompt_text.ptr();
  }
  input.role = nullptr;

  if (!RunModeValue(run_mode, &config.run_mode)) return nullptr;
  config.retain_history = retain_history;
  config.enable_think = enable_think;
  ZOR_LLMRunExtend& ext = config.run_extend;
  ext.disable_chat_template = disable_chat_template;

  if (tool_schemas != Py_None) {
    Py_ssize_t n = PyObject_Size(tool_schemas);
    if (n < 0) return nullptr;
    if (n > 0) {
      if (!JsonText(state, tool_schemas, &tools_json)) return nullptr;
      ext.tools_schemas = tools_json.ptr();
    }
  }
  if (extra_template_params != Py_None) {
    if (!JsonText(state, extra_template_params, &template_json)) return nullptr;
    ext.extra_template_params = template_json.ptr();
  }
  if (sampler_params != Py_None) {
    if (!JsonText(state, sampler_params, &sampler_json)) return nullptr;
    ext.sampler_params_json = sampler_json.ptr();
  }

  bool override_given = false;
  if (sampling_mode != Py_None) {
    if (!NormalizeSamplingMode(state, sampling_mode, &ext.sampling_mode)) return nullptr;
    override_given = true;
  }
  if (top_k != Py_None) {
    if (!Int32Value(top_k, &ext.top_k)) return nullptr;
    override_given = true;
  }
  if (top_p != Py_None) {
    if (!Float32Value(top_p, &ext.top_p)) return nullptr;
    override_given = true;
  }
  if (temperature != Py_None) {
    if (!Float32Value(temperature, &ext.temperature)) return nullptr;
    override_given = true;
  }
  if (repeat_penalty != Py_None) {
    if (!Float32Value(repeat_penalty, &ext.repeat_penalty)) return nullptr;
    override_given = true;
  }
  ext.sampling_config_valid = (override_given || sampler_params != Py_None) ? 1u : 0u;

  // Fresh accumulators for this run.
  PyRef lists[5];
  for (PyRef& list : lists) {
    list.reset(PyList_New(0));
    if (!list) return nullptr;
  }
  ReplaceField(&self->py_userdata, NewRef(userdata).release());
  ReplaceField(&self->result_texts, lists[0].release());
  ReplaceField(&self->result_reasoning, lists[1].release());
  ReplaceField(&self->result_tool_text, lists[2].release());
  ReplaceField(&self->result_token_ids, lists[3].release());
  ReplaceField(&self->result_tool_calls, lists[4].release());
  ReplaceField(&self->result_last_status, NewRef(Py_None).release());
  self->signal_interrupt = false;

  {
    RunningScope running(self);
    LLMContext context = self->context;
    Py_BEGIN_ALLOW_THREADS
    zor_llm_run(context, &input, &config, self);
    Py_END_ALLOW_THREADS
  }
  // A SIGINT that arrived while the runtime delivered on its own thread has
  // not reached the Python handler yet (it runs only when the main thread
  // executes Python code); run it now so the flag below sees it.
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
