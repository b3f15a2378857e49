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
// into a Python exception; nothing here can end the process. References and
// guards come from python/py_support.hpp.

#include "python/py_support.hpp"

#include <charconv>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "reader/build.hpp"
#include "reader/open.hpp"

namespace {

using kelvara::py::alloc_instance;
using kelvara::py::BorrowedRef;
using kelvara::py::dealloc_guard;
using kelvara::py::entry;
using kelvara::py::free_instance;
using kelvara::py::OwnedRef;
using kelvara::raw::SpectrumRecord;

// ---------------------------------------------------------------------------
// Spectrum

struct SpectrumObject {
  PyObject_HEAD
  SpectrumRecord* record;
};

PyObject* spectrum_type = nullptr;

SpectrumRecord& record_of(PyObject* self) { return *reinterpret_cast<SpectrumObject*>(self)->record; }

template <class T>
OwnedRef float_list(const std::vector<T>& values) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < values.size(); ++i) {
    // A single-precision intensity widens exactly to double.
    OwnedRef item(PyFloat_FromDouble(static_cast<double>(values[i])));
    if (!item) return {};
    // PyList_SetItem steals the item's reference, also when it fails.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) return {};
  }
  return list;
}

PyObject* spectrum_mz(PyObject* self, void*) {
  return entry([&] { return float_list(record_of(self).mz); });
}

PyObject* spectrum_intensity(PyObject* self, void*) {
  return entry([&] { return float_list(record_of(self).intensity); });
}

PyObject* spectrum_ms_level(PyObject* self, void*) {
  return entry([&] { return OwnedRef(PyLong_FromUnsignedLong(record_of(self).ms_level)); });
}

PyObject* spectrum_retention_time(PyObject* self, void*) {
  return entry([&] { return OwnedRef(PyFloat_FromDouble(record_of(self).retention_time_sec)); });
}

Py_ssize_t spectrum_length(PyObject* self) {
  return entry([&] { return static_cast<Py_ssize_t>(record_of(self).mz.size()); });
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
  return entry([&] {
    const SpectrumRecord& record = record_of(self);
    const std::string text = "Spectrum(" + std::to_string(record.mz.size()) + " peaks, RT " +
                             two_decimals(record.retention_time_sec) + "s)";
    return OwnedRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

void spectrum_dealloc(PyObject* self) {
  dealloc_guard(self, [&] { delete reinterpret_cast<SpectrumObject*>(self)->record; });
  free_instance(self);
}

OwnedRef new_spectrum(const SpectrumRecord& record) {
  auto copy = std::make_unique<SpectrumRecord>(record);
  OwnedRef self = alloc_instance(reinterpret_cast<PyTypeObject*>(spectrum_type));
  if (!self) return {};
  reinterpret_cast<SpectrumObject*>(self.get())->record = copy.release();
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

OwnedRef reader_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* path_object = nullptr;  // borrowed from args
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:RawReader", const_cast<char**>(keywords), &path_object)) {
    return {};
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path_object, &length);
  if (utf8 == nullptr) return {};
  const std::string path(utf8, static_cast<std::size_t>(length));

  // The interpreter lock is held throughout: the environment is read here.
  auto opened = kelvara::reader::open_raw_file(path, kelvara::reader::read_options_from_environment());
  if (!opened) {
    kelvara::py::set_error(opened.error());
    return {};
  }
  auto state = std::make_unique<ReaderState>();
  state->display_name = std::move(opened->display_name);
  // The file's buffers are released when build_spectra returns.
  auto spectra = kelvara::reader::build_spectra(std::move(*opened));
  if (!spectra) {
    kelvara::py::set_error(spectra.error());
    return {};
  }
  state->spectra = std::move(*spectra);

  OwnedRef self = alloc_instance(type);
  if (!self) return {};
  reinterpret_cast<ReaderObject*>(self.get())->state = state.release();
  return self;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] { return reader_new_impl(type, args, kwargs); });
}

void reader_dealloc(PyObject* self) {
  dealloc_guard(self, [&] { delete reinterpret_cast<ReaderObject*>(self)->state; });
  free_instance(self);
}

PyObject* reader_scan_count(PyObject* self, void*) {
  return entry([&] { return OwnedRef(PyLong_FromSize_t(state_of(self).spectra.size())); });
}

PyObject* reader_repr(PyObject* self) {
  return entry([&] {
    const ReaderState& state = state_of(self);
    const std::string text =
        "RawReader('" + state.display_name + "', " + std::to_string(state.spectra.size()) + " scans)";
    return OwnedRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

// The one argument, `scan_index`, by position or by keyword; empty with a
// TypeError set when the call does not pass exactly that.
BorrowedRef single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  if (nkw < 0) return {};
  if (nargs > 1 || nargs + nkw > 1) {
    if (nargs == 1 && nkw == 1) {
      PyObject* name = PyTuple_GetItem(kwnames, 0);
      if (name == nullptr) return {};
      if (PyUnicode_CompareWithASCIIString(name, "scan_index") == 0) {
        PyErr_SetString(PyExc_TypeError, "read_spectrum() got multiple values for argument 'scan_index'");
        return {};
      }
      PyErr_Format(PyExc_TypeError, "read_spectrum() got an unexpected keyword argument '%U'", name);
      return {};
    }
    PyErr_Format(PyExc_TypeError, "read_spectrum() takes exactly 1 argument (%zd given)", nargs + nkw);
    return {};
  }
  if (nargs == 1) return BorrowedRef(args[0]);
  if (nkw == 1) {
    PyObject* name = PyTuple_GetItem(kwnames, 0);
    if (name == nullptr) return {};
    if (PyUnicode_CompareWithASCIIString(name, "scan_index") != 0) {
      PyErr_Format(PyExc_TypeError, "read_spectrum() got an unexpected keyword argument '%U'", name);
      return {};
    }
    return BorrowedRef(args[0]);
  }
  PyErr_SetString(PyExc_TypeError, "read_spectrum() missing 1 required argument: 'scan_index'");
  return {};
}

OwnedRef reader_read_spectrum_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  const BorrowedRef argument = single_argument(args, nargs, kwnames);
  if (!argument) return {};
  // An int is taken as it is; anything else goes through __index__.
  const OwnedRef index =
      PyLong_Check(argument.get()) ? argument.new_reference() : OwnedRef(PyNumber_Index(argument.get()));
  if (!index) return {};
  const unsigned long long scan_index = PyLong_AsUnsignedLongLong(index.get());
  if (scan_index == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return {};

  const ReaderState& state = state_of(self);
  if (scan_index >= state.spectra.size()) {
    PyErr_Format(PyExc_RuntimeError, "scan %llu out of range", scan_index);
    return {};
  }
  return new_spectrum(state.spectra[static_cast<std::size_t>(scan_index)]);
}

PyObject* reader_read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] { return reader_read_spectrum_impl(self, args, nargs, kwnames); });
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

// The class's type object, kept for the life of the process and so lent to
// the caller; empty with an exception set when creating it failed.
BorrowedRef type_for(const ClassEntry& entry) {
  if (*entry.type == nullptr) *entry.type = PyType_FromSpec(entry.type_spec);
  return BorrowedRef(*entry.type);
}

// The module's __all__, created empty and bound when it does not exist yet.
OwnedRef all_list(PyObject* module) {
  OwnedRef all(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
  PyErr_Clear();
  OwnedRef created(PyList_New(0));
  if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return {};
  return created;
}

int module_exec_impl(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "kelvara module initialisation expects a module object");
    return -1;
  }
  for (const ClassEntry& cls : classes) {
    const BorrowedRef type = type_for(cls);
    if (!type) return -1;
    const OwnedRef all = all_list(module);
    if (!all) return -1;
    const OwnedRef name(PyUnicode_FromString(cls.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, cls.name, type.get()) < 0) return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  return entry([&] { return module_exec_impl(module); });
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
