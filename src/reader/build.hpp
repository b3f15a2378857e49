// The spectrum list: every scan of an opened data file decoded once.
#pragma once

#include <vector>

#include "raw/records.hpp"
#include "reader/open.hpp"

namespace kelvara::reader {

// Walks the layout's index in file order, cuts each scan out of the scan
// data, decodes it and makes its records. Scans whose byte range is invalid
// or whose bytes do not decode are left out without a message. Consumes the
// file: its buffers are released when the list is complete.
std::vector<raw::SpectrumRecord> build_spectra(RawFile file);

}  // namespace kelvara::reader
