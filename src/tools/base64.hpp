// Base64 of many byte segments in one call, for kelvara_tools._columns.
//
// In Python terms:
//
//     def base64_segments(data: bytes, bounds: bytes, /) -> list[bytes]
//         # bounds holds n + 1 native 64-bit offsets into data, non-decreasing,
//         # from 0 or more to len(data) or less; item k is the standard base64
//         # text ('=' padded, no newline) of data[bounds[k]:bounds[k + 1]]
//
// The mzML writer encodes each spectrum's m/z and intensity arrays (raw, or
// deflated first) this way: a few hundred bytes per array and thousands of
// arrays per batch, so one call per array would cost more than the encoding.
// The output objects are made with the interpreter lock held; the encoding
// itself runs with it released, so the writer's threads encode their runs of
// spectra side by side.
#pragma once

#include "python/py_support.hpp"

namespace kelvara::tools {

// The METH_FASTCALL entry of base64_segments.
PyObject* base64_segments(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kBase64SegmentsDoc =
    "base64_segments(data, bounds, /)\n--\n\n"
    "Standard base64 of each segment data[bounds[k]:bounds[k + 1]] as a list of bytes; bounds are native "
    "64-bit integers packed in a bytes object.";

}  // namespace kelvara::tools
