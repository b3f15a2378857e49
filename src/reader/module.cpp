// The Python module `kelvara`: the only code that touches the C API.
//
// In Python terms:
//
//     class RawReader:                      # RawReader(path)
//         scan_count: int                   # read-only
//         def read_spectrum(self, scan_index) -> Spectrum
//     class Spectrum:                       # made only by read_spectrum
//         mz: list[float]; intensity: list[float]
//         ms_level: int; retention_time_sec: float
//         def __len__(self) -> int          # number of peaks
//
// Construction does all the work: it opens the file, decodes every scan into
// records, releases the file and keeps the records. read_spectrum copies one
// record into a new Spectrum; the list getters build new lists every time.
// Built against the 3.10 limited API, so one abi3 binary serves every later
// CPython. Every entry point runs inside a guard that turns a C++ exception
// into a Python exception; nothing here can end the process.

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <charconv>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "reader/build.hpp"
#include "reader/open.hpp"

namespace {

using kelvara::raw::SpectrumRecord;

// ---------------------------------------------------------------------------
// Ownership and error plumbing

// Owns one strong reference: takes a new reference and releases it when it
// goes out of scope, unless `release` hands it on.
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* object = nullptr) noexcept : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_;
};

// Sets the Python error for a C++ exception that escaped the module's logic.
void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "kelvara internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "kelvara internal error: unknown exception");
  }
}

// Runs `body`; a C++ exception becomes a Python exception and `failed` is
// returned in its place.
template <class Body, class R>
R guarded(Body&& body, R failed) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return failed;
  }
}

// Frees an instance of a heap type and drops the instance's reference to
// its type, as heap types require.
void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc_slot = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc_slot(type, 0);
}

// ---------------------------------------------------------------------------
// Spectrum

struct SpectrumObject {
  PyObject_HEAD
  SpectrumRecord* record;
};

PyObject* spectrum_type = nullptr;

SpectrumRecord& record_of(PyObject* self) { return *reinterpret_cast<SpectrumObject*>(self)->record; }

template <class T>
PyObject* float_list(const std::vector<T>& values) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    // A single-precision intensity widens exactly to double.
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return nullptr;
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

PyObject* spectrum_mz(PyObject* self, void*) {
  return guarded([&] { return float_list(record_of(self).mz); }, static_cast<PyObject*>(nullptr));
}

PyObject* spectrum_intensity(PyObject* self, void*) {
  return guarded([&] { return float_list(record_of(self).intensity); }, static_cast<PyObject*>(nullptr));
}

PyObject* spectrum_ms_level(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromUnsignedLong(record_of(self).ms_level); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* spectrum_retention_time(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(record_of(self).retention_time_sec); },
                 static_cast<PyObject*>(nullptr));
}

Py_ssize_t spectrum_length(PyObject* self) {
  return guarded([&] { return static_cast<Py_ssize_t>(record_of(self).mz.size()); }, Py_ssize_t{-1});
}

// Fixed-point with two decimals, rounded to nearest on the exact binary
// value with ties to even (12.125 shows as 12.12), never in exponent form.
std::string two_decimals(double value) {
  char buffer[512];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  if (result.ec != std::errc()) return "nan";
  return std::string(buffer, result.ptr);
}

PyObject* spectrum_repr(PyObject* self) {
  return guarded(
      [&] {
        const SpectrumRecord& record = record_of(self);
        const std::string text = "Spectrum(" + std::to_string(record.mz.size()) + " peaks, RT " +
                                 two_decimals(record.retention_time_sec) + "s)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      },
      static_cast<PyObject*>(nullptr));
}

void spectrum_dealloc(PyObject* self) {
  try {
    delete reinterpret_cast<SpectrumObject*>(self)->record;
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(self);
  }
  free_instance(self);
}

PyObject* new_spectrum(const SpectrumRecord& record) {
  auto copy = std::make_unique<SpectrumRecord>(record);
  PyObject* self = alloc_instance(reinterpret_cast<PyTypeObject*>(spectrum_type));
  if (self == nullptr) return nullptr;
  reinterpret_cast<SpectrumObject*>(self)->record = copy.release();
  return self;
}

PyGetSetDef spectrum_getset[] = {
    {"mz", spectrum_mz, nullptr, nullptr, nullptr},
    {"intensity", spectrum_intensity, nullptr, nullptr, nullptr},
    {"ms_level", spectrum_ms_level, nullptr, nullptr, nullptr},
    {"retention_time_sec", spectrum_retention_time, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_mp_length, reinterpret_cast<void*>(spectrum_length)},
    {Py_tp_repr, reinterpret_cast<void*>(spectrum_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_dealloc)},
    {Py_tp_getset, spectrum_getset},
    {0, nullptr},
};

PyType_Spec spectrum_spec = {
    "builtins.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

// ---------------------------------------------------------------------------
// RawReader

struct ReaderState {
  std::string display_name;
  std::vector<SpectrumRecord> spectra;
};

struct ReaderObject {
  PyObject_HEAD
  ReaderState* state;
};

PyObject* reader_type = nullptr;

ReaderState& state_of(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->state; }

PyObject* reader_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* path_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:RawReader", const_cast<char**>(keywords), &path_object)) {
    return nullptr;
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path_object, &length);
  if (utf8 == nullptr) return nullptr;
  const std::string path(utf8, static_cast<std::size_t>(length));

  auto opened = kelvara::reader::open_raw_file(path);
  if (!opened) {
    const std::string text = opened.error().display();
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return nullptr;
  }
  auto state = std::make_unique<ReaderState>();
  state->display_name = std::move(opened->display_name);
  // The file's buffers are released when build_spectra returns.
  auto spectra = kelvara::reader::build_spectra(std::move(*opened));
  if (!spectra) {
    const std::string text = spectra.error().display();
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return nullptr;
  }
  state->spectra = std::move(*spectra);

  PyObject* self = alloc_instance(type);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ReaderObject*>(self)->state = state.release();
  return self;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return reader_new_impl(type, args, kwargs); }, static_cast<PyObject*>(nullptr));
}

void reader_dealloc(PyObject* self) {
  try {
    delete reinterpret_cast<ReaderObject*>(self)->state;
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(self);
  }
  free_instance(self);
}

PyObject* reader_scan_count(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(state_of(self).spectra.size()); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* reader_repr(PyObject* self) {
  return guarded(
      [&] {
        const ReaderState& state = state_of(self);
        const std::string text =
            "RawReader('" + state.display_name + "', " + std::to_string(state.spectra.size()) + " scans)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      },
      static_cast<PyObject*>(nullptr));
}

// The one argument, `scan_index`, by position or by keyword.
PyObject* single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  if (nkw < 0) return nullptr;
  if (nargs > 1 || nargs + nkw > 1) {
    if (nargs == 1 && nkw == 1) {
      PyObject* name = PyTuple_GetItem(kwnames, 0);
      if (name == nullptr) return nullptr;
      if (PyUnicode_CompareWithASCIIString(name, "scan_index") == 0) {
        PyErr_SetString(PyExc_TypeError, "read_spectrum() got multiple values for argument 'scan_index'");
        return nullptr;
      }
      PyErr_Format(PyExc_TypeError, "read_spectrum() got an unexpected keyword argument '%U'", name);
      return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "read_spectrum() takes exactly 1 argument (%zd given)", nargs + nkw);
    return nullptr;
  }
  if (nargs == 1) return args[0];
  if (nkw == 1) {
    PyObject* name = PyTuple_GetItem(kwnames, 0);
    if (name == nullptr) return nullptr;
    if (PyUnicode_CompareWithASCIIString(name, "scan_index") != 0) {
      PyErr_Format(PyExc_TypeError, "read_spectrum() got an unexpected keyword argument '%U'", name);
      return nullptr;
    }
    return args[0];
  }
  PyErr_SetString(PyExc_TypeError, "read_spectrum() missing 1 required argument: 'scan_index'");
  return nullptr;
}

PyObject* reader_read_spectrum_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* argument = single_argument(args, nargs, kwnames);
  if (argument == nullptr) return nullptr;
  // An int is taken as it is; anything else goes through __index__.
  OwnedRef index(PyLong_Check(argument) ? (Py_INCREF(argument), argument) : PyNumber_Index(argument));
  if (!index) return nullptr;
  const unsigned long long scan_index = PyLong_AsUnsignedLongLong(index.get());
  if (scan_index == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;

  const ReaderState& state = state_of(self);
  if (scan_index >= state.spectra.size()) {
    PyErr_Format(PyExc_RuntimeError, "scan %llu out of range", scan_index);
    return nullptr;
  }
  return new_spectrum(state.spectra[static_cast<std::size_t>(scan_index)]);
}

PyObject* reader_read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return reader_read_spectrum_impl(self, args, nargs, kwnames); },
                 static_cast<PyObject*>(nullptr));
}

PyGetSetDef reader_getset[] = {
    {"scan_count", reader_scan_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"read_spectrum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reader_read_spectrum)),
     METH_FASTCALL | METH_KEYWORDS, "read_spectrum($self, scan_index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.RawReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    reader_slots,
};

// ---------------------------------------------------------------------------
// Module

// Each class: its exported name, its type description, and where its type object is kept
// once created. Types are created on first use and shared from then on.
struct ClassEntry {
  const char* name;
  PyType_Spec* type_spec;
  PyObject** type;
};

const ClassEntry classes[] = {
    {"RawReader", &reader_spec, &reader_type},
    {"Spectrum", &spectrum_spec, &spectrum_type},
};

PyObject* type_for(const ClassEntry& entry) {
  if (*entry.type == nullptr) *entry.type = PyType_FromSpec(entry.type_spec);
  return *entry.type;
}

// The module's __all__, created empty and bound when it does not exist yet.
PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all != nullptr) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  OwnedRef created(PyList_New(0));
  if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return nullptr;
  return created.release();
}

int module_exec_impl(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "kelvara module initialisation expects a module object");
    return -1;
  }
  for (const ClassEntry& entry : classes) {
    PyObject* type = type_for(entry);
    if (type == nullptr) return -1;
    OwnedRef all(all_list(module));
    if (!all) return -1;
    OwnedRef name(PyUnicode_FromString(entry.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, entry.name, type) < 0) return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  return guarded([&] { return module_exec_impl(module); }, -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvara",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kelvara(void) { return PyModuleDef_Init(&module_def); }
