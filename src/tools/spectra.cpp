// The mzML writer's spectrum elements (see spectra.hpp).
//
// Every argument is read and checked, and every pointer the formatting
// needs taken, while the interpreter lock is held; the formatting itself
// touches only those immutable bytes objects, which the caller's argument
// tuple keeps alive, and memory of its own. Runs of elements go to threads
// started for the call: a group holds thousands of spectra, so starting them
// costs little against the work.

#include "tools/spectra.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/base64.hpp"
#include "tools/deflate.hpp"

namespace kelvara::tools {
namespace {

using py::OwnedRef;

// Native values at any alignment: the bytes objects' buffers promise none
// under the limited API.
template <typename T>
T load(const char* base, std::size_t k) {
  T value;
  std::memcpy(&value, base + k * sizeof(T), sizeof(T));
  return value;
}

void append_int(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

// A double as Python's repr writes it: the shortest digits that read back as
// the same value, in positional notation when the decimal exponent is from
// -4 to 15 (with ".0" when nothing follows the point), else as d.ddde+XX
// with at least two exponent digits.
void append_repr(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Counts and whole seconds, most values here: the integer's digits.
  if (value == std::trunc(value) && std::fabs(value) < 1e16) {
    if (value == 0) {
      out += std::signbit(value) ? "-0.0" : "0.0";
    } else {
      append_int(out, static_cast<std::int64_t>(value));
      out += ".0";
    }
    return;
  }
  char buffer[40];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  std::size_t at = 0;
  if (text[0] == '-') {
    out += '-';
    at = 1;
  }
  const std::size_t e = text.find('e');
  char digits[24];
  std::size_t count = 0;
  for (std::size_t k = at; k < e; ++k) {
    if (text[k] != '.') digits[count++] = text[k];
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  if (exponent >= -4 && exponent < 16) {
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits, count);
    } else if (static_cast<std::size_t>(point) >= count) {
      out.append(digits, count);
      out.append(static_cast<std::size_t>(point) - count, '0');
      out += ".0";
    } else {
      out.append(digits, static_cast<std::size_t>(point));
      out += '.';
      out.append(digits + point, count - static_cast<std::size_t>(point));
    }
    return;
  }
  out += digits[0];
  if (count > 1) {
    out += '.';
    out.append(digits + 1, count - 1);
  }
  out += exponent < 0 ? "e-" : "e+";
  if (std::abs(exponent) < 10) out += '0';
  append_int(out, std::abs(exponent));
}

enum class Kind { Int, Float, Code, Texts, Array, Encoded, Body };

struct Field {
  Kind kind = Kind::Body;
  const char* data = nullptr;  // the int64s, float64s, codes or array values
  std::vector<std::string_view> texts;
  std::size_t width = 0;  // bytes per array value
  std::vector<std::int64_t> bounds;
  bool deflate = false;
};

std::size_t sized_width(const Field* field) { return field ? field->width : 0; }

struct Template {
  std::vector<std::string_view> pieces;
  std::vector<Field> fields;
  std::size_t count = 0;  // spectra
};

// A bytes object's buffer, or an empty reference with TypeError set.
bool bytes_of(PyObject* object, const char*& data, std::size_t& size, const char* what) {
  char* buffer = nullptr;
  Py_ssize_t length = 0;
  if (!PyBytes_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bytes object", what);
    return false;
  }
  if (PyBytes_AsStringAndSize(object, &buffer, &length) < 0) return false;
  data = buffer;
  size = static_cast<std::size_t>(length);
  return true;
}

bool texts_of(PyObject* sequence, std::vector<std::string_view>& texts, const char* what) {
  OwnedRef items(PySequence_Tuple(sequence));
  if (!items) return false;
  const Py_ssize_t n = PyTuple_Size(items.get());
  texts.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    const char* data = nullptr;
    std::size_t size = 0;
    // The tuple holds new references to the caller's own objects, which the
    // caller keeps: the buffers outlive this tuple.
    if (!bytes_of(PyTuple_GetItem(items.get(), k), data, size, what)) return false;
    texts.emplace_back(data, size);
  }
  return true;
}

// Agrees the spectra count among the fields, or sets ValueError.
bool counts(Template& t, std::size_t n, std::size_t field) {
  if (t.count == SIZE_MAX) {
    t.count = n;
    return true;
  }
  if (n == t.count) return true;
  PyErr_Format(PyExc_ValueError, "field %zu has %zu spectra where the fields before it have %zu", field, n, t.count);
  return false;
}

bool read_field(PyObject* item, std::size_t index, Template& t) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) < 1) {
    PyErr_Format(PyExc_TypeError, "field %zu must be a tuple starting with its kind", index);
    return false;
  }
  const char* code = nullptr;
  std::size_t code_size = 0;
  if (!bytes_of(PyTuple_GetItem(item, 0), code, code_size, "a field's kind")) return false;
  const std::string_view kind(code, code_size);
  const Py_ssize_t arity = PyTuple_Size(item);
  const auto want = [&](Py_ssize_t n) {
    if (arity == n) return true;
    PyErr_Format(PyExc_TypeError, "a field of kind %s takes %zd items, not %zd", code, n, arity);
    return false;
  };
  Field field;
  std::size_t size = 0;
  if (kind == "i" || kind == "f") {
    field.kind = kind == "i" ? Kind::Int : Kind::Float;
    if (!want(2) || !bytes_of(PyTuple_GetItem(item, 1), field.data, size, "a field's values")) return false;
    if (size % 8 != 0) {
      PyErr_Format(PyExc_ValueError, "field %zu holds %zu bytes, not whole 64-bit values", index, size);
      return false;
    }
    if (!counts(t, size / 8, index)) return false;
  } else if (kind == "t") {
    field.kind = Kind::Code;
    if (!want(3) || !bytes_of(PyTuple_GetItem(item, 1), field.data, size, "a field's codes") ||
        !texts_of(PyTuple_GetItem(item, 2), field.texts, "a field's texts") || !counts(t, size, index)) {
      return false;
    }
    for (std::size_t k = 0; k < size; ++k) {
      if (static_cast<unsigned char>(field.data[k]) >= field.texts.size()) {
        PyErr_Format(PyExc_ValueError, "field %zu: code %d has no text", index, field.data[k]);
        return false;
      }
    }
  } else if (kind == "s" || kind == "e") {
    field.kind = kind == "s" ? Kind::Texts : Kind::Encoded;
    if (!want(2) || !texts_of(PyTuple_GetItem(item, 1), field.texts, "a field's texts") ||
        !counts(t, field.texts.size(), index)) {
      return false;
    }
  } else if (kind == "a") {
    field.kind = Kind::Array;
    const char* bounds = nullptr;
    std::size_t bounds_size = 0;
    if (!want(5) || !bytes_of(PyTuple_GetItem(item, 1), field.data, size, "an array's values") ||
        !bytes_of(PyTuple_GetItem(item, 3), bounds, bounds_size, "an array's bounds")) {
      return false;
    }
    field.width = PyLong_AsSize_t(PyTuple_GetItem(item, 2));
    const int deflate = PyObject_IsTrue(PyTuple_GetItem(item, 4));
    if (PyErr_Occurred() || deflate < 0) return false;
    field.deflate = deflate != 0;
    if (field.width != 4 && field.width != 8) {
      PyErr_Format(PyExc_ValueError, "an array's values are 4 or 8 bytes wide, not %zu", field.width);
      return false;
    }
    if (bounds_size % 8 != 0 || bounds_size == 0 || !counts(t, bounds_size / 8 - 1, index)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "an array's bounds are one or more 64-bit offsets");
      return false;
    }
    field.bounds.resize(bounds_size / 8);
    std::memcpy(field.bounds.data(), bounds, bounds_size);
    const auto values = static_cast<std::int64_t>(size / field.width);
    for (std::size_t k = 0; k < field.bounds.size(); ++k) {
      const std::int64_t at = field.bounds[k];
      if (at < 0 || at > values || (k > 0 && at < field.bounds[k - 1])) {
        PyErr_Format(PyExc_ValueError, "field %zu: bound %zu (%lld) is outside the %lld values or decreasing",
                     index, k, static_cast<long long>(at), static_cast<long long>(values));
        return false;
      }
    }
  } else if (kind == "b") {
    field.kind = Kind::Body;
    const bool after_array = std::any_of(t.fields.begin(), t.fields.end(), [](const Field& f) {
      return f.kind == Kind::Array || f.kind == Kind::Encoded;
    });
    if (!want(1)) return false;
    if (!after_array) {
      PyErr_Format(PyExc_ValueError, "field %zu is an array's text with no array before it", index);
      return false;
    }
  } else {
    PyErr_Format(PyExc_ValueError, "field %zu has the unknown kind %R", index, PyTuple_GetItem(item, 0));
    return false;
  }
  t.fields.push_back(std::move(field));
  return true;
}

// Texts are cut at the first element end past this many bytes. Kept below
// the allocator's mapping threshold, the texts and the bytes objects copied
// from them reuse the heap's memory from one group to the next: fresh
// mapped pages, zeroed by the kernel on first touch, cost more than the
// formatting.
constexpr std::size_t kTextBytes = 256 << 10;

// Formats spectra [begin, end) into texts of about kTextBytes, recording
// where each starts: its offset in this run's texts joined.
void format_run(const Template& t, std::size_t begin, std::size_t end, std::vector<std::string>& texts,
                std::vector<std::int64_t>& starts) {
  Deflater deflater;
  std::string deflated;
  std::string array_text;
  std::string_view body;
  std::int64_t before = 0;  // bytes in the texts before `out`
  std::string* out = nullptr;
  for (std::size_t k = begin; k < end; ++k) {
    if (out == nullptr || out->size() >= kTextBytes) {
      if (out != nullptr) before += static_cast<std::int64_t>(out->size());
      out = &texts.emplace_back();
      out->reserve(kTextBytes + (kTextBytes >> 2));
    }
    starts[k] = before + static_cast<std::int64_t>(out->size());
    for (std::size_t f = 0; f < t.fields.size(); ++f) {
      *out += t.pieces[f];
      const Field& field = t.fields[f];
      switch (field.kind) {
        case Kind::Int:
          append_int(*out, load<std::int64_t>(field.data, k));
          break;
        case Kind::Float:
          append_repr(*out, load<double>(field.data, k));
          break;
        case Kind::Code:
          *out += field.texts[static_cast<unsigned char>(field.data[k])];
          break;
        case Kind::Texts:
          *out += field.texts[k];
          break;
        case Kind::Array: {
          const auto first = static_cast<std::size_t>(field.bounds[k]) * field.width;
          const auto size = static_cast<std::size_t>(field.bounds[k + 1]) * field.width - first;
          const auto* values = reinterpret_cast<const std::uint8_t*>(field.data) + first;
          array_text.clear();
          if (field.deflate) {
            deflated.clear();
            deflater.compress(values, size, deflated);
            append_base64(reinterpret_cast<const std::uint8_t*>(deflated.data()), deflated.size(), array_text);
          } else {
            append_base64(values, size, array_text);
          }
          body = array_text;
          append_int(*out, static_cast<std::int64_t>(body.size()));
          break;
        }
        case Kind::Encoded:
          body = field.texts[k];
          append_int(*out, static_cast<std::int64_t>(body.size()));
          break;
        case Kind::Body:
          *out += body;
          break;
      }
    }
    *out += t.pieces.back();
  }
}

OwnedRef spectrum_elements_impl(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !PyTuple_Check(args[0]) || !PyTuple_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "spectrum_elements(pieces, fields, threads) takes two tuples and an int");
    return OwnedRef();
  }
  Template t;
  t.count = SIZE_MAX;
  const auto field_count = static_cast<std::size_t>(PyTuple_Size(args[1]));
  if (!texts_of(args[0], t.pieces, "a piece")) return OwnedRef();
  if (t.pieces.size() != field_count + 1) {
    PyErr_Format(PyExc_ValueError, "%zu fields need %zu pieces, not %zu", field_count, field_count + 1,
                 t.pieces.size());
    return OwnedRef();
  }
  for (std::size_t f = 0; f < field_count; ++f) {
    if (!read_field(PyTuple_GetItem(args[1], static_cast<Py_ssize_t>(f)), f, t)) return OwnedRef();
  }
  const std::size_t threads_asked = PyLong_AsSize_t(args[2]);
  if (PyErr_Occurred()) return OwnedRef();
  const std::size_t n = t.count == SIZE_MAX ? 0 : t.count;

  // Runs of about equal work: a spectrum's template text plus its points.
  std::size_t fixed = 0;
  for (const std::string_view piece : t.pieces) fixed += piece.size();
  const Field* sized = nullptr;
  for (const Field& field : t.fields) {
    if (field.kind == Kind::Array && sized == nullptr) sized = &field;
  }
  // Work done before spectrum k: the template's text per spectrum, and the
  // base64 of the first array's points, about twice their bytes.
  const auto work = [&](std::size_t k) {
    const std::size_t points = sized ? static_cast<std::size_t>(sized->bounds[k] - sized->bounds[0]) : 0;
    return fixed * k + points * sized_width(sized) * 2;
  };
  // At most one thread a spectrum, and never more than the machine could
  // use: the caller asks for its encoder's count, at most four per core.
  constexpr std::size_t kMostThreads = 256;
  const std::size_t runs = std::clamp<std::size_t>(threads_asked, 1, std::clamp<std::size_t>(n, 1, kMostThreads));
  std::vector<std::size_t> cuts{0};
  for (std::size_t r = 1; r < runs; ++r) {
    const std::size_t goal = work(n) / runs * r;
    std::size_t lo = cuts.back();
    std::size_t hi = n;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (work(mid) < goal) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    cuts.push_back(lo);
  }
  cuts.push_back(n);

  std::vector<std::vector<std::string>> texts(runs);
  std::vector<std::int64_t> starts(n);
  std::vector<std::exception_ptr> failures(runs);
  Py_BEGIN_ALLOW_THREADS
  {
    const auto format = [&](std::size_t r) {
      try {
        format_run(t, cuts[r], cuts[r + 1], texts[r], starts);
      } catch (...) {
        failures[r] = std::current_exception();
      }
    };
    std::vector<std::thread> helpers;
    try {
      for (std::size_t r = 1; r < runs; ++r) helpers.emplace_back(format, r);
    } catch (...) {
      // No thread to be had: the rest of the runs go on this one.
      for (std::size_t r = helpers.size() + 1; r < runs; ++r) format(r);
    }
    format(0);
    for (std::thread& helper : helpers) helper.join();
  }
  Py_END_ALLOW_THREADS
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }

  OwnedRef list(PyList_New(0));
  if (!list) return OwnedRef();
  std::int64_t shift = 0;
  for (std::size_t r = 0; r < runs; ++r) {
    for (std::size_t k = cuts[r]; k < cuts[r + 1]; ++k) starts[k] += shift;
    for (std::string& text : texts[r]) {
      shift += static_cast<std::int64_t>(text.size());
      OwnedRef item(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return OwnedRef();
      std::string().swap(text);
    }
  }
  OwnedRef packed(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(starts.data()),
                                            static_cast<Py_ssize_t>(starts.size() * sizeof(std::int64_t))));
  if (!packed) return OwnedRef();
  return OwnedRef(PyTuple_Pack(2, list.get(), packed.get()));
}

}  // namespace

PyObject* spectrum_elements(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return py::entry([&] { return spectrum_elements_impl(args, nargs); });
}

}  // namespace kelvara::tools
