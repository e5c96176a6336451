// py_support.cc: the CPython helpers both extensions share (py_support.h).
#include "py_support.h"

namespace zor_lumo {

// Types are opaque in the Limited API, so a static type's dotted name is
// rebuilt from __module__ and __name__, which is how it splits; a heap
// type's messages show its bare name.
PyObject* TypeNameForMessages(PyTypeObject* type) {
  PyRef name(PyType_GetName(type));
  if (!name || (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE)) return name.release();
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return name.release();
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0)
    return name.release();
  return PyUnicode_FromFormat("%U.%U", module.get(), name.get());
}

// The chain of tp_base reaches every class whose instance layout a
// subclass extends, so it passes the extension's own type.
PyObject* DefiningModule(PyTypeObject* type, PyModuleDef* def) {
  for (PyTypeObject* t = type; t != nullptr; t = static_cast<PyTypeObject*>(PyType_GetSlot(t, Py_tp_base))) {
    if (!(PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* module = PyType_GetModule(t);  // borrowed; TypeError when none
    if (module == nullptr) {
      PyErr_Clear();
      continue;
    }
    PyModuleDef* module_def = PyModule_GetDef(module);
    if (module_def == nullptr) PyErr_Clear();
    if (module_def == def) return module;
  }
  return nullptr;
}

PyObject* ImportAttr(const char* module, const char* attr) {
  PyRef imported(PyImport_ImportModule(module));
  return imported ? PyObject_GetAttrString(imported.get(), attr) : nullptr;
}

}  // namespace zor_lumo
