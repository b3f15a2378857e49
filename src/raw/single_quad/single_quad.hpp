// Single-quadrupole LC-MS data files (".lcd" with "Mass Raw Data").
//
// "Mass Raw Data/Spectrum Index" is a bare list of u32 scan start offsets
// into "Mass Raw Data/MS Raw Data"; each scan there is a 64-byte header
// followed by n_peaks peak records whose width (3 to 6 bytes) is inferred
// from the payload size.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "raw/records.hpp"

namespace kelvara::raw::single_quad {

// Scan start offsets in index order; 1 to 3 trailing bytes are ignored.
std::vector<std::uint32_t> parse_spectrum_index(ByteView index);

// Decodes one scan record, header included, its points written to `points`.
Result<PlacedScan> parse_single_quad_scan(ByteView record, PointSpace& points);

}  // namespace kelvara::raw::single_quad
