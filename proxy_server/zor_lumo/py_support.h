// py_support.h: what both extensions of the package (_fenn and _lumo) need
// from the CPython C API beyond the API itself: an owning reference, heap
// type instances made and ended through their slots, type names as
// CPython's messages print them, and the module that defined a type.
// Written to the Limited API of CPython 3.11 (abi3); compiled into each
// extension.
#ifndef ZOR_PY_SUPPORT_H
#define ZOR_PY_SUPPORT_H

#ifndef Py_LIMITED_API  // the build may define it already, to the same value
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zor_lumo {

// Owns one strong reference; released on scope exit.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject* release() {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }
  void reset(PyObject* obj = nullptr) {
    PyObject* old = obj_;
    obj_ = obj;
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

// Borrowed reference made strong.
inline PyRef NewRef(PyObject* obj) {
  Py_XINCREF(obj);
  return PyRef(obj);
}

// A zero-filled instance of a heap type, through its tp_alloc.
inline PyObject* AllocInstance(PyTypeObject* type) {
  return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
}

// The end of a collectable heap-type instance: untracked, cleared with
// clear, freed, and the instance's reference to its type dropped.
inline void DeallocInstance(PyObject* op, inquiry clear) {
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  clear(op);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(op);
  Py_DECREF(type);
}

// Sets the pending exception aside for its scope and puts it back at the
// end, replacing whatever the code in between left: for cleanup that runs
// while an exception propagates and must neither clear nor replace it.
class PendingErrorKept {
 public:
  PendingErrorKept() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingErrorKept() { PyErr_Restore(type_, value_, traceback_); }
  PendingErrorKept(const PendingErrorKept&) = delete;
  PendingErrorKept& operator=(const PendingErrorKept&) = delete;

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
};

// The type's name as CPython's own messages print it: "int", "MyClass",
// "collections.OrderedDict". New reference or null.
PyObject* TypeNameForMessages(PyTypeObject* type);

// Raises TypeError with the text format makes of args followed by, for its
// last %s, the name of obj's type (TypeNameForMessages), or the error that
// kept the name from being had (no memory).
template <typename... Args>
void RaiseTypeError(PyObject* obj, const char* format, Args... args) {
  PyRef name(TypeNameForMessages(Py_TYPE(obj)));
  const char* got = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (got != nullptr) PyErr_Format(PyExc_TypeError, format, args..., got);
}

// The module whose definition is def and that defined type or the first of
// its bases that such a module defined: subclasses made in Python have no
// module of their own. Borrowed; null, with no exception set, when there
// is none.
PyObject* DefiningModule(PyTypeObject* type, PyModuleDef* def);

// getattr(import(module), attr). New reference or null.
PyObject* ImportAttr(const char* module, const char* attr);

}  // namespace zor_lumo

#endif  // ZOR_PY_SUPPORT_H
