// The mzML writer's <spectrum> elements, a group of spectra at a time, for
// kelvara_tools._columns.
//
// In Python terms:
//
//     def spectrum_elements(pieces: tuple[bytes, ...], fields: tuple[tuple, ...], threads: int, /)
//             -> tuple[list[bytes], bytes]
//
// An element is a template: pieces[0], the text of fields[0], pieces[1], ...,
// the text of fields[-1], pieces[-1]. Each field gives one text per spectrum:
//
//     (b"i", int64s)            the decimal text of a 64-bit integer
//     (b"f", float64s)          a double as Python's repr writes it
//     (b"t", codes, texts)      texts[codes[k]], codes being one byte each
//     (b"s", texts)             texts[k], a list of n bytes objects
//     (b"a", values, width, bounds, deflate)
//                               the base64 length of a spectrum's array:
//                               values[bounds[k]:bounds[k + 1]], `width`
//                               bytes per value, zlib-compressed first when
//                               `deflate` is true
//     (b"e", texts)             the length of texts[k], an array already
//                               encoded (MS-Numpress output)
//     (b"b",)                   the text whose length the last b"a" or b"e"
//                               field gave
//
// Numbers are packed native-endian in bytes objects (numpy's tobytes()).
// The elements are cut into `threads` runs of consecutive spectra of about
// equal points, formatted side by side with the interpreter lock released;
// the result is each run's text and the byte offset of each element in the
// texts joined. Every element depends on its own spectrum's values only, so
// the bytes never depend on the thread count.
#pragma once

#include "python/py_support.hpp"

namespace kelvara::tools {

PyObject* spectrum_elements(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kSpectrumElementsDoc =
    "spectrum_elements(pieces, fields, threads, /)\n--\n\n"
    "The text of a group of spectrum elements, a template filled per spectrum from columns of values; "
    "returns (texts of consecutive runs of elements, each element's byte offset as packed 64-bit integers).";

}  // namespace kelvara::tools
