// lumo_images.cc: the two normalisers in front of the runtime. as_rgb888
// turns any image array into the packed H x W x 3 uint8 RGB buffer that
// ZOR_LLM_IMAGE_TYPE_BUFFER requires; the sampling-mode normaliser turns a
// name, a number or a SamplingMode member into a ZOR_LLMSamplingMode value.
#include "lumo_module.h"

namespace zor_lumo {

namespace {

// arr.shape[i] as a C value; -1 with an exception on failure.
Py_ssize_t ShapeAt(PyObject* shape, Py_ssize_t i) {
  PyObject* dim = PyTuple_GetItem(shape, i);  // borrowed
  return dim ? PyLong_AsSsize_t(dim) : -1;
}

// Raises ValueError(prefix + str(shape)).
PyObject* ShapeError(PyObject* arr, const char* prefix) {
  PyRef shape(PyObject_GetAttrString(arr, "shape"));
  if (!shape) return nullptr;
  PyErr_Format(PyExc_ValueError, "%s%S", prefix, shape.get());
  return nullptr;
}

}  // namespace

PyObject* AsRgb888(ModuleState* state, PyObject* image) {
  PyObject* np = state->numpy;
  PyRef arr(PyObject_CallMethod(np, "asarray", "O", image));
  if (!arr) return nullptr;

  PyRef ndim_obj(PyObject_GetAttrString(arr.get(), "ndim"));
  if (!ndim_obj) return nullptr;
  long ndim = PyLong_AsLong(ndim_obj.get());
  if (ndim == -1 && PyErr_Occurred()) return nullptr;
  if (ndim != 3) return ShapeError(arr.get(), "Image must be 3D (H,W,C) or (C,H,W), got shape ");

  PyRef shape(PyObject_GetAttrString(arr.get(), "shape"));
  if (!shape) return nullptr;
  Py_ssize_t d0 = ShapeAt(shape.get(), 0);
  Py_ssize_t d2 = ShapeAt(shape.get(), 2);
  if (PyErr_Occurred()) return nullptr;

  // CHW when the first axis holds 3 channels and the last does not; an array
  // with 3 on both ends is taken as HWC.
  if (d0 == 3 && d2 != 3) {
    arr.reset(PyObject_CallMethod(np, "transpose", "O(iii)", arr.get(), 1, 2, 0));
    if (!arr) return nullptr;
    shape.reset(PyObject_GetAttrString(arr.get(), "shape"));
    if (!shape) return nullptr;
    d2 = ShapeAt(shape.get(), 2);
    if (d2 == -1 && PyErr_Occurred()) return nullptr;
  }

  // Drop an alpha channel: arr[:, :, :3].
  if (d2 == 4) {
    PyRef all(PySlice_New(nullptr, nullptr, nullptr));
    PyRef three(PyLong_FromLong(3));
    if (!all || !three) return nullptr;
    PyRef first3(PySlice_New(nullptr, three.get(), nullptr));
    if (!first3) return nullptr;
    PyRef key(PyTuple_Pack(3, all.get(), all.get(), first3.get()));
    if (!key) return nullptr;
    arr.reset(PyObject_GetItem(arr.get(), key.get()));
    if (!arr) return nullptr;
    d2 = 3;
  }
  if (d2 != 3) return ShapeError(arr.get(), "Image must have 3 colour channels (RGB), got shape ");

  PyRef uint8(PyObject_GetAttrString(np, "uint8"));
  PyRef dtype(PyObject_GetAttrString(arr.get(), "dtype"));
  if (!uint8 || !dtype) return nullptr;
  int is_uint8 = PyObject_RichCompareBool(dtype.get(), uint8.get(), Py_EQ);
  if (is_uint8 < 0) return nullptr;
  if (!is_uint8) {
    PyRef kind(PyObject_GetAttrString(dtype.get(), "kind"));
    if (!kind) return nullptr;
    PyRef float_kind(PyUnicode_FromString("f"));
    if (!float_kind) return nullptr;
    int is_float = PyObject_RichCompareBool(kind.get(), float_kind.get(), Py_EQ);
    if (is_float < 0) return nullptr;
    if (is_float) {
      PyRef size_obj(PyObject_GetAttrString(arr.get(), "size"));
      if (!size_obj) return nullptr;
      Py_ssize_t size = PyLong_AsSsize_t(size_obj.get());
      if (size == -1 && PyErr_Occurred()) return nullptr;
      if (size > 0) {
        // NaN has no uint8 value: converting it is undefined, and it would
        // also defeat the 0..1 range test below.
        PyRef nan_mask(PyObject_CallMethod(np, "isnan", "O", arr.get()));
        PyRef any_nan(nan_mask ? PyObject_CallMethod(nan_mask.get(), "any", nullptr) : nullptr);
        if (!any_nan) return nullptr;
        int has_nan = PyObject_IsTrue(any_nan.get());
        if (has_nan < 0) return nullptr;
        if (has_nan) {
          PyErr_SetString(PyExc_ValueError, "Image contains NaN values");
          return nullptr;
        }
        PyRef max_obj(PyObject_CallMethod(arr.get(), "max", nullptr));
        if (!max_obj) return nullptr;
        double max_value = PyFloat_AsDouble(max_obj.get());
        if (max_value == -1.0 && PyErr_Occurred()) return nullptr;
        // Values up to 1 (with a little slack for rounding) are taken as
        // 0..1 and scaled; anything else as 0..255 already.
        if (max_value <= 1.0 + 1e-6) {
          PyRef scale(PyFloat_FromDouble(255.0));
          if (!scale) return nullptr;
          arr.reset(PyNumber_Multiply(arr.get(), scale.get()));
          if (!arr) return nullptr;
        }
      }
    }
    // Clip, then truncate toward zero (astype does not round).
    PyRef clipped(PyObject_CallMethod(np, "clip", "Oii", arr.get(), 0, 255));
    if (!clipped) return nullptr;
    arr.reset(PyObject_CallMethod(clipped.get(), "astype", "O", uint8.get()));
    if (!arr) return nullptr;
  }

  PyRef func(PyObject_GetAttrString(np, "ascontiguousarray"));
  PyRef args(PyTuple_Pack(1, arr.get()));
  PyRef kwargs(PyDict_New());
  if (!func || !args || !kwargs || PyDict_SetItemString(kwargs.get(), "dtype", uint8.get()) < 0) return nullptr;
  return PyObject_Call(func.get(), args.get(), kwargs.get());
}

PyObject* BuildSamplingModeMap(ModuleState* state) {
  PyRef map(PyDict_New());
  if (!map) return nullptr;
  static const struct {
    const char* name;
    int value;
  } kNames[] = {
      {"arg_max", ZOR_LLM_ARG_Max}, {"argmax", ZOR_LLM_ARG_Max}, {"max", ZOR_LLM_ARG_Max},
      {"top_p", ZOR_LLM_TOP_P},     {"topp", ZOR_LLM_TOP_P},     {"top_k", ZOR_LLM_TOP_K},
      {"topk", ZOR_LLM_TOP_K},      {"chain_sampler", ZOR_LLM_CHAIN_SAMPLER},
      {"chain", ZOR_LLM_CHAIN_SAMPLER},
  };
  for (const auto& entry : kNames) {
    PyRef value(PyLong_FromLong(entry.value));
    if (!value || PyDict_SetItemString(map.get(), entry.name, value.get()) < 0) return nullptr;
  }
  for (int i = 0; i <= 3; ++i) {
    PyRef key(PyLong_FromLong(i));
    if (!key || PyDict_SetItem(map.get(), key.get(), key.get()) < 0) return nullptr;
  }
  static const struct {
    const char* member;
    int value;
  } kMembers[] = {
      {"ARG_MAX", ZOR_LLM_ARG_Max},
      {"TOP_P", ZOR_LLM_TOP_P},
      {"TOP_K", ZOR_LLM_TOP_K},
      {"CHAIN_SAMPLER", ZOR_LLM_CHAIN_SAMPLER},
  };
  for (const auto& entry : kMembers) {
    PyRef member(PyObject_GetAttrString(state->sampling_mode, entry.member));
    PyRef value(PyLong_FromLong(entry.value));
    if (!member || !value || PyDict_SetItem(map.get(), member.get(), value.get()) < 0) return nullptr;
  }
  return map.release();
}

bool NormalizeSamplingMode(ModuleState* state, PyObject* mode_in, ZOR_LLMSamplingMode* out) {
  PyRef mode = NewRef(mode_in);
  int is_member = PyObject_IsInstance(mode.get(), state->sampling_mode);
  if (is_member < 0) return false;
  if (is_member) {
    mode.reset(PyObject_GetAttrString(mode.get(), "value"));
    if (!mode) return false;
  }
  if (PyUnicode_Check(mode.get())) {
    PyRef stripped(PyObject_CallMethod(mode.get(), "strip", nullptr));
    if (!stripped) return false;
    mode.reset(PyObject_CallMethod(stripped.get(), "lower", nullptr));
    if (!mode) return false;
  }
  PyRef value(PyObject_GetItem(state->sampling_mode_map, mode.get()));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;  // e.g. unhashable
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError,
                 "Invalid sampling_mode: %R. Expected one of: 'arg_max', 'top_p', 'top_k', 'chain_sampler', "
                 "or the corresponding SamplingMode/int value.",
                 mode.get());
    return false;
  }
  unsigned long raw = PyLong_AsUnsignedLong(value.get());
  if (raw == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (raw > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to ZOR_LLMSamplingMode");
    return false;
  }
  *out = static_cast<ZOR_LLMSamplingMode>(raw);
  return true;
}

}  // namespace zor_lumo
