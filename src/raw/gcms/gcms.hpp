// GC-MS data files (".qgd"): the scan index and the scan records.
//
// "GCMS Raw Data/Spectrum Index" lists where each scan begins in
// "GCMS Raw Data/MS Raw Data"; each scan there is a 32-byte header and a
// payload that is either a Profile scan (m/z-intensity points) or an MRM scan
// (precursor/product transitions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "raw/records.hpp"

namespace kelvara::raw::gcms {

// Scan start offsets, in index order, from either index layout: u32[N]
// (Variant A) or a 2-byte header followed by u64[N] (Variant B).
Result<std::vector<std::uint64_t>> parse_spectrum_index(ByteView index);

struct MrmTransition {
  double precursor_mz = 0.0;
  double product_mz = 0.0;
  float intensity = 0.0f;
};

struct MrmScan {
  std::uint32_t retention_time_ms = 0;
  std::vector<MrmTransition> transitions;  // never empty
};

// A Profile scan, whose points went to the caller's PointSpace, or an MRM
// scan with its transitions.
using GcmsPlacedScan = std::variant<PlacedScan, MrmScan>;

// Decodes one scan record, header included; a Profile scan's points are
// written to `profile_points`.
Result<GcmsPlacedScan> parse_gcms_scan(ByteView record, PointSpace& profile_points);

// The bytes of a scan record's header.
inline constexpr std::size_t kScanHeaderBytes = 32;

// What a scan record of `length` bytes gives, told from its header alone
// (`head`: its first kScanHeaderBytes bytes, or all of a shorter record):
// a Profile scan one spectrum, an MRM scan one per transition, a record of
// neither layout none. parse_gcms_scan decodes exactly the records this
// calls Profile or MRM.
struct ScanShape {
  bool mrm = false;
  std::uint32_t spectra = 0;
};
ScanShape gcms_scan_shape(ByteView head, std::uint64_t length);

}  // namespace kelvara::raw::gcms
