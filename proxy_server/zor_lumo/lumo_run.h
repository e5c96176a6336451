// lumo_run.h: what LUMO.run and LUMO.stream share: the request built from
// run's arguments, starting it on a helper thread, and the result dict.
#ifndef ZOR_LUMO_RUN_H
#define ZOR_LUMO_RUN_H

#include <climits>
#include <cstring>
#include <vector>

#include "lumo_module.h"

namespace zor_lumo {

class NativeRun;

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

// One generation's input and config with everything they point into; it
// must stay in place (and alive) until the native call has returned.
struct RunRequest {
  ZOR_LLMRunConfig config;
  ZOR_LLMInput input;
  Utf8Text prompt_text, start_text, end_text, content_text, tools_json, template_json, sampler_json;
  std::vector<ZOR_LLMImageInput> image_records;
  std::vector<ImageView> image_views;
  PyRef img_refs;  // the normalised arrays the views look into
  PyRef userdata;
};

// Parses run's arguments (method names them in errors) into request.
bool PrepareRun(LumoObject* self, PyObject* args, PyObject* kwds, const char* method, RunRequest* request);
// Resets the object's accumulators and starts the request on run.
bool StartRun(LumoObject* self, RunRequest* request, NativeRun* run);
// The object no longer has a run in progress.
void EndRun(LumoObject* self);
// The result dict of the ended run, or KeyboardInterrupt after a SIGINT.
PyObject* FinishRun(LumoObject* self);

}  // namespace zor_lumo

#endif  // ZOR_LUMO_RUN_H
