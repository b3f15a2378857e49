// Base64 of many byte segments in one call, for kelvara_tools._columns.
//
// In Python terms:
//
//     def base64_segments(data: bytes, bounds: bytes, deflate: bool = False, /) -> list[bytes]
//         # bounds holds n + 1 native 64-bit offsets into data, non-decreasing,
//         # from 0 or more to len(data) or less; item k is the standard base64
//         # text ('=' padded, no newline) of data[bounds[k]:bounds[k + 1]],
//         # or with deflate of its zlib stream (tools/deflate.hpp)
//
// The mzML writer encodes each spectrum's m/z and intensity arrays (raw, or
// deflated first) this way: a few hundred bytes per array and thousands of
// arrays per batch, so one call per array would cost more than the encoding.
// The output objects are made with the interpreter lock held; the deflating
// and encoding run with it released, so the writer's threads encode their
// runs of spectra side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "python/py_support.hpp"

namespace kelvara::tools {

// Appends the standard base64 text ('=' padded, no newline) of data[0, size) to `out`.
void append_base64(const std::uint8_t* data, std::size_t size, std::string& out);

// The METH_FASTCALL entry of base64_segments.
PyObject* base64_segments(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kBase64SegmentsDoc =
    "base64_segments(data, bounds, deflate=False, /)\n--\n\n"
    "Standard base64 of each segment data[bounds[k]:bounds[k + 1]] as a list of bytes, or with deflate of "
    "each segment's zlib stream; bounds are native 64-bit integers packed in a bytes object.";

}  // namespace kelvara::tools
