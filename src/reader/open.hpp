// From a path to an in-memory data file.
//
// detect_layout opens the file and its container, checks the extension and
// probes for the entries that identify the acquisition layout (the table in
// layouts.hpp, in its order); open_raw_file then has the layout read every
// stream it needs whole, in a fixed order, parse the index and
// retention-time streams, and releases the container and the file before
// returning. What it returns holds owned
// bytes and parsed lists only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cfb/cfb.hpp"
#include "common/bytes.hpp"
#include "common/error.hpp"
#include "raw/qtof_centroid/qtof_centroid.hpp"
#include "raw/ttfl_profile/ttfl_profile.hpp"

namespace kelvara::reader {

struct Layout;

// How many threads one open may use: fixed once per call, before any work
// starts, and handed down to the stream reads and the decode. Nothing in the
// core reads the environment; the bindings do, while they hold the
// interpreter lock, so no Python thread can change it meanwhile.
struct ReadOptions {
  // 0: every core, or one thread for less than 4 MiB of bytes; otherwise
  // that many threads, at most max_threads().
  std::size_t threads = 0;
  // The layout's scan data is left in the container, to be read window by
  // window as a streaming walk needs it (stream.hpp); only its size is
  // taken at load.
  bool scan_data_on_demand = false;
};

struct DetectedFile {
  cfb::CompoundFile container;
  const Layout* layout;  // an entry of layouts()
  std::string display_name;
};

// The path's final component, or nothing when it has none (a path that is
// empty, names a root, or ends in ".."); "." components are passed over.
// Components are split at the platform's separators ('/', and on Windows
// '\' too).
std::optional<std::string_view> final_component(std::string_view path);

// The extension of the final component, ASCII letters lower-cased; empty
// when the component has no "." or only a leading one.
std::string lowered_extension(std::string_view path);

Result<DetectedFile> detect_layout(const std::string& path);

// The first layout, in probe order, whose identifying entry the container
// at `path` holds, whatever the file's extension; nullptr when it holds
// none. Fails as detect_layout does for a file that is no container.
Result<const Layout*> probe_layout(const std::string& path);

// A required stream, whole; a stream that cannot be opened is a parse error
// naming its path, one that cannot be read an I/O error.
Result<Bytes> read_stream(const cfb::CompoundFile& container, std::string_view path, const ReadOptions& options = {});
// The scan data a layout's index addresses: the stream whole, or, with
// options.scan_data_on_demand, only its size (the stream found and its
// chain checked, its bytes left unread).
struct ScanStream {
  Bytes bytes;
  std::uint64_t size = 0;
};
Result<ScanStream> read_scan_stream(const cfb::CompoundFile& container, std::string_view path,
                                    const ReadOptions& options);
// An optional stream, whole, or nothing on any failure.
std::optional<Bytes> read_stream_opt(const cfb::CompoundFile& container, std::string_view path);

struct GcmsData {
  Bytes ms_raw_data;
  std::vector<std::uint64_t> scan_offsets;
};

struct TtflProfileData {
  std::optional<raw::ttfl_profile::MassCalibration> calibration;
  Bytes ms_raw_data;
  std::vector<raw::ttfl_profile::Subset> subsets;
  std::vector<raw::ttfl_profile::TtflScanRange> scan_ranges;
  std::vector<std::uint32_t> retention_times_ms;
};

struct QtofCentroidData {
  Bytes centroid_data;
  std::vector<raw::qtof_centroid::QtofIndexEntry> index_entries;
  std::vector<std::uint32_t> retention_times_ms;
};

struct SingleQuadData {
  Bytes ms_raw_data;
  std::vector<std::uint32_t> scan_offsets;
};

// One alternative per entry of layouts(), in the table's order.
using LayoutData = std::variant<GcmsData, TtflProfileData, QtofCentroidData, SingleQuadData>;

struct RawFile {
  std::string display_name;
  LayoutData layout;
  // Bytes of every stream the layout was read from, index streams included:
  // the basis of the decode budget.
  std::uint64_t stream_bytes = 0;
  // What the file was opened with; its decode uses the same.
  ReadOptions options;
};

// The environment variable KELVARA_THREADS as options: a positive number of
// threads (1: everything on the calling thread); unset, empty or not a
// positive number, the automatic choice. Reads the environment: call it
// where nothing can change it meanwhile.
ReadOptions read_options_from_environment();

// More threads than this per core only cost time: starting thousands of
// threads for one file takes longer than decoding it.
inline constexpr std::size_t kThreadsPerCore = 4;
// The most threads an open uses: kThreadsPerCore per core.
std::size_t max_threads();

// The threads for reading or decoding `bytes` bytes under `options`.
std::size_t threads_for_bytes(const ReadOptions& options, std::uint64_t bytes);

Result<RawFile> open_raw_file(const std::string& path, const ReadOptions& options = {});

}  // namespace kelvara::reader
