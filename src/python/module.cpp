// The module entry: a multi-phase module definition for the interpreter the
// module was compiled for.
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <mutex>

#include "core/interpreter_version.h"
#include "python/registration.h"

#ifndef MORLA_PYTHON_COMPILED_FOR
#error "MORLA_PYTHON_COMPILED_FOR must name the Python version the module is built for"
#endif

namespace py = pybind11;

namespace {

int exec_core(PyObject* module) {
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    morla::python::init_core_module(m);
    return 0;
  } catch (py::error_already_set& e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return -1;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_core)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef core_def = {
    PyModuleDef_HEAD_INIT, "core", nullptr, 0, nullptr, core_slots, nullptr, nullptr, nullptr,
};

PyObject* kept_definition = nullptr;
std::mutex definition_mutex;

void release_definition() {
  if (kept_definition && Py_REFCNT(kept_definition) > 1) Py_DECREF(kept_definition);
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_core() {
  const char* version = Py_GetVersion();
  if (!morla::interpreter_version_accepted(MORLA_PYTHON_COMPILED_FOR, version)) {
    const auto message = morla::interpreter_version_mismatch(MORLA_PYTHON_COMPILED_FOR, version);
    PyErr_SetString(PyExc_ImportError, message.c_str());
    return nullptr;
  }
  try {
    py::detail::get_internals();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(definition_mutex);
  if (!kept_definition) {
    PyObject* definition = PyModuleDef_Init(&core_def);
    if (!definition) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError,
                        "Internal error in module_::initialize_multiphase_module_def()");
      return nullptr;
    }
    Py_INCREF(definition);
    kept_definition = definition;
    std::atexit(release_definition);
  }
  return kept_definition;
}
