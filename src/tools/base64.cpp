// Base64 of many byte segments in one call (see base64.hpp).
//
// Each 3 input bytes become 4 characters, looked up two at a time from a
// table of every 12-bit value's character pair. The bounds are checked in
// full, and every output object made, before the lock is released: past that
// point nothing can fail and nothing touches the interpreter. With deflate,
// the segments' zlib streams are written first, with the lock released,
// into one buffer; their sizes then give the texts' sizes.

#include "tools/base64.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/deflate.hpp"

namespace kelvara::tools {
namespace {

using py::OwnedRef;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<char, 8192> make_pairs() {
  std::array<char, 8192> pairs{};
  for (std::size_t v = 0; v < 4096; ++v) {
    pairs[2 * v] = kAlphabet[v >> 6];
    pairs[2 * v + 1] = kAlphabet[v & 63];
  }
  return pairs;
}

constexpr std::array<char, 8192> kPairs = make_pairs();

// The text length of n bytes: 4 characters per started group of 3.
constexpr std::size_t encoded_size(std::size_t n) { return (n + 2) / 3 * 4; }

void encode(const std::uint8_t* in, std::size_t n, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3, out += 4) {
    const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | std::uint32_t{in[i + 2]};
    std::memcpy(out, &kPairs[2 * (v >> 12)], 2);
    std::memcpy(out + 2, &kPairs[2 * (v & 0xFFF)], 2);
  }
  if (i == n) return;
  const bool two = n - i == 2;
  const std::uint32_t v = std::uint32_t{in[i]} << 16 | (two ? std::uint32_t{in[i + 1]} << 8 : 0u);
  out[0] = kAlphabet[v >> 18];
  out[1] = kAlphabet[(v >> 12) & 63];
  out[2] = two ? kAlphabet[(v >> 6) & 63] : '=';
  out[3] = '=';
}

struct Segment {
  const std::uint8_t* in;
  std::size_t size;
  char* out;
};

// Deflates each segment into `streams`, one after another, and points the
// segments at their streams. Runs without the interpreter lock; false when
// memory ran out.
bool deflate_segments(std::vector<Segment>& segments, std::string& streams) noexcept {
  try {
    // One per call: a call deflates a whole run of arrays, so the tables'
    // set-up is shared by many. (Not thread_local: the encoder's pool
    // threads outlive the interpreter's exit, and their destructor lists
    // with them.)
    Deflater deflater;
    std::vector<std::size_t> ends;
    ends.reserve(segments.size());
    for (const Segment& segment : segments) {
      deflater.compress(segment.in, segment.size, streams);
      ends.push_back(streams.size());
    }
    const auto* base = reinterpret_cast<const std::uint8_t*>(streams.data());
    std::size_t at = 0;
    for (std::size_t k = 0; k < segments.size(); ++k) {
      segments[k].in = base + at;
      segments[k].size = ends[k] - at;
      at = ends[k];
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

OwnedRef base64_segments_impl(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 2 || nargs > 3 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "base64_segments(data, bounds, deflate=False) takes two bytes objects and a flag");
    return OwnedRef();
  }
  const int deflate = nargs == 3 ? PyObject_IsTrue(args[2]) : 0;
  if (deflate < 0) return OwnedRef();
  char* data = nullptr;
  char* packed = nullptr;
  Py_ssize_t data_size = 0;
  Py_ssize_t packed_size = 0;
  if (PyBytes_AsStringAndSize(args[0], &data, &data_size) < 0 ||
      PyBytes_AsStringAndSize(args[1], &packed, &packed_size) < 0) {
    return OwnedRef();
  }
  const auto bound_count = static_cast<std::size_t>(packed_size) / sizeof(std::int64_t);
  if (bound_count == 0 || static_cast<std::size_t>(packed_size) % sizeof(std::int64_t) != 0) {
    PyErr_Format(PyExc_ValueError, "bounds must hold one or more 64-bit offsets, not %zd bytes", packed_size);
    return OwnedRef();
  }
  std::vector<std::int64_t> bounds(bound_count);
  std::memcpy(bounds.data(), packed, bound_count * sizeof(std::int64_t));
  if (bounds.front() < 0 || bounds.back() > data_size) {
    PyErr_Format(PyExc_ValueError, "bounds run from %lld to %lld, outside the data's %zd bytes",
                 static_cast<long long>(bounds.front()), static_cast<long long>(bounds.back()), data_size);
    return OwnedRef();
  }
  const std::size_t n = bound_count - 1;
  for (std::size_t k = 0; k < n; ++k) {
    if (bounds[k + 1] < bounds[k]) {
      PyErr_Format(PyExc_ValueError, "bounds must not decrease: segment %zu runs from %lld to %lld", k,
                   static_cast<long long>(bounds[k]), static_cast<long long>(bounds[k + 1]));
      return OwnedRef();
    }
  }
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return OwnedRef();
  std::vector<Segment> segments(n);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  for (std::size_t k = 0; k < n; ++k) {
    segments[k] = {bytes + bounds[k], static_cast<std::size_t>(bounds[k + 1] - bounds[k]), nullptr};
  }
  // The streams live here until the texts are written; the segments then
  // point into them instead of into `data`.
  std::string streams;
  if (deflate) {
    bool deflated = false;
    Py_BEGIN_ALLOW_THREADS
    deflated = deflate_segments(segments, streams);
    Py_END_ALLOW_THREADS
    if (!deflated) {
      PyErr_NoMemory();
      return OwnedRef();
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    // A segment, or its stream, fits a Py_ssize_t; its text, 4/3 of it, may not.
    if (segments[k].size > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 4 * 3) {
      PyErr_NoMemory();
      return OwnedRef();
    }
    OwnedRef text(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(encoded_size(segments[k].size))));
    if (!text) return OwnedRef();
    segments[k].out = PyBytes_AsString(text.get());
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), text.release()) < 0) return OwnedRef();
  }
  // The texts are new objects that only this call refers to, and `data` is
  // an immutable bytes object the caller holds: no other thread can see
  // either change while the lock is released.
  Py_BEGIN_ALLOW_THREADS
  for (const Segment& segment : segments) encode(segment.in, segment.size, segment.out);
  Py_END_ALLOW_THREADS
  return list;
}

}  // namespace

void append_base64(const std::uint8_t* data, std::size_t size, std::string& out) {
  const std::size_t at = out.size();
  out.resize(at + encoded_size(size));
  encode(data, size, out.data() + at);
}

PyObject* base64_segments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return py::entry([&] { return base64_segments_impl(args, nargs); });
}

}  // namespace kelvara::tools
