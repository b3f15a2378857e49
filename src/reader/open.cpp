// Opening a data file: path and extension, container, layout probe, and the
// whole-stream reads and index parses of each layout.
//
// The order of every step is fixed because it decides which error a user
// sees when a file has several faults: the file must open and be a compound
// file before its extension is judged, and all of a layout's required
// streams are read before its first index is parsed.

#include "reader/open.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "cfb/file.hpp"
#include "common/bytes.hpp"
#include "raw/mass_raw/mass_raw.hpp"
#include "raw/qgd/qgd.hpp"

namespace kelvara::reader {
namespace {

using raw::RawError;
using raw::Result;

constexpr std::string_view kGcmsStorage = "GCMS Raw Data";
constexpr std::string_view kTtflStorage = "TTFL Raw Data";
constexpr std::string_view kQtflStorage = "QTFL RawData";
constexpr std::string_view kMassRawProbe = "Mass Raw Data/MS Raw Data";

Result<LayoutData> load_gcms(const cfb::CompoundFile& container, const ReadOptions& options,
                              std::uint64_t& stream_bytes) {
  auto index = read_stream(container, "GCMS Raw Data/Spectrum Index", options);
  if (!index) return Unexpected(std::move(index).error());
  auto data = read_stream(container, "GCMS Raw Data/MS Raw Data", options);
  if (!data) return Unexpected(std::move(data).error());
  stream_bytes = index->size() + data->size();
  auto offsets = raw::qgd::parse_spectrum_index(*index);
  if (!offsets) return Unexpected(std::move(offsets).error());
  return LayoutData(GcmsData{std::move(*data), std::move(*offsets)});
}

Result<LayoutData> load_ttfl(const cfb::CompoundFile& container, const ReadOptions& options,
                              std::uint64_t& stream_bytes) {
  auto index = read_stream(container, "TTFL Raw Data/Data Index", options);
  if (!index) return Unexpected(std::move(index).error());
  auto data = read_stream(container, "TTFL Raw Data/MS Raw Data", options);
  if (!data) return Unexpected(std::move(data).error());
  auto times = read_stream(container, "TTFL Raw Data/Retention Time", options);
  if (!times) return Unexpected(std::move(times).error());
  stream_bytes = index->size() + data->size() + times->size();
  auto subsets = raw::ttfl::parse_data_index(*index);
  if (!subsets) return Unexpected(std::move(subsets).error());

  TtflData layout;
  layout.scan_ranges = raw::ttfl::ttfl_scan_ranges(*subsets, data->size());
  layout.subsets = std::move(*subsets);
  layout.ms_raw_data = std::move(*data);
  layout.retention_times_ms = read_u32_array(*times);

  // Only the first tuning result that can be read is consulted, even when
  // its fit gives no calibration; tuning streams never fail the open.
  static constexpr std::array<std::string_view, 3> kTuning = {
      "TTFL Tuning/Tuning Result 00", "TTFL Tuning/Tuning Result 01", "TTFL Tuning/Tuning Result 02"};
  for (std::string_view path : kTuning) {
    if (auto tuning = read_stream_opt(container, path)) {
      stream_bytes += tuning->size();
      layout.calibration = raw::ttfl::parse_tuning_calibration(*tuning);
      break;
    }
  }
  return LayoutData(std::move(layout));
}

Result<LayoutData> load_qtfl(const cfb::CompoundFile& container, const ReadOptions& options,
                              std::uint64_t& stream_bytes) {
  auto index = read_stream(container, "QTFL RawData/Centroid Index", options);
  if (!index) return Unexpected(std::move(index).error());
  auto data = read_stream(container, "QTFL RawData/Centroid Data", options);
  if (!data) return Unexpected(std::move(data).error());
  auto times = read_stream(container, "QTFL RawData/Retention Time", options);
  if (!times) return Unexpected(std::move(times).error());
  stream_bytes = index->size() + data->size() + times->size();
  auto entries = raw::qtfl::parse_centroid_index(*index);
  if (!entries) return Unexpected(std::move(entries).error());
  auto retention = raw::qtfl::parse_qtfl_retention_times(*times);
  if (!retention) return Unexpected(std::move(retention).error());
  return LayoutData(QtflData{std::move(*data), std::move(*entries), std::move(*retention)});
}

Result<LayoutData> load_mass_raw(const cfb::CompoundFile& container, const ReadOptions& options,
                              std::uint64_t& stream_bytes) {
  auto index = read_stream(container, "Mass Raw Data/Spectrum Index", options);
  if (!index) return Unexpected(std::move(index).error());
  auto data = read_stream(container, "Mass Raw Data/MS Raw Data", options);
  if (!data) return Unexpected(std::move(data).error());
  stream_bytes = index->size() + data->size();
  auto offsets = raw::mass_raw::parse_spectrum_index(*index);
  return LayoutData(MassRawData{std::move(*data), std::move(offsets)});
}

}  // namespace

std::optional<std::string_view> final_component(std::string_view path) {
  std::optional<std::string_view> last;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t slash = pos;
    while (slash < path.size() && !cfb::is_path_separator(path[slash])) ++slash;
    const std::string_view part = path.substr(pos, slash - pos);
    if (!part.empty() && part != ".") last = part;
    pos = slash + 1;
  }
  if (last && *last == "..") return std::nullopt;
  return last;
}

std::string lowered_extension(std::string_view path) {
  const auto name = final_component(path);
  if (!name) return {};
  const std::size_t dot = name->rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string extension(name->substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

Result<DetectedFile> detect_layout(const std::string& path) {
  const std::string extension = lowered_extension(path);

  auto file = cfb::File::open_read_only(path);
  if (!file) return Unexpected(RawError::io(file.error().message, file.error().os_errno));

  auto opened = cfb::CompoundFile::open(std::move(*file));
  if (!opened) {
    // A read that failed (the path is a directory, the device reports an
    // error) keeps its error number for callers that raise OSError.
    return Unexpected(RawError::parse("not a valid OLE2/CFBF container: " + opened.error().message,
                                      opened.error().os_errno));
  }
  cfb::CompoundFile container = std::move(*opened);

  LayoutKind kind;
  if (extension == "qgd") {
    if (!container.exists(kGcmsStorage)) return raw::parse_error("'GCMS Raw Data' storage not found in .qgd file");
    kind = LayoutKind::Gcms;
  } else if (extension == "lcd") {
    if (container.exists(kTtflStorage)) {
      kind = LayoutKind::Ttfl;
    } else if (container.exists(kQtflStorage)) {
      kind = LayoutKind::Qtfl;
    } else if (container.exists(kMassRawProbe)) {
      kind = LayoutKind::MassRaw;
    } else {
      return raw::parse_error(
          "none of 'TTFL Raw Data', 'QTFL RawData', or 'Mass Raw Data' storage found in .lcd file");
    }
  } else {
    return raw::parse_error("unsupported file extension '." + extension + "' (expected .qgd or .lcd)");
  }

  const auto name = final_component(path);
  return DetectedFile{std::move(container), kind, name ? std::string(*name) : std::string("unknown")};
}

namespace {

// Below this many bytes, starting threads costs more than they save.
constexpr std::uint64_t kMinBytesForThreads = std::uint64_t{4} << 20;

std::size_t cores() {
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

}  // namespace

ReadOptions read_options_from_environment() {
  const char* text = std::getenv("KELVARA_THREADS");
  if (text == nullptr) return {};
  const char* last = text + std::strlen(text);
  std::size_t value = 0;
  const auto [ptr, ec] = std::from_chars(text, last, value);
  // A number too large for size_t is as many threads as may be had.
  if (ec == std::errc::result_out_of_range && ptr == last) return {max_threads()};
  if (ec != std::errc() || ptr != last) return {};
  return {value};
}

std::size_t max_threads() { return kThreadsPerCore * cores(); }

std::size_t threads_for_bytes(const ReadOptions& options, std::uint64_t bytes) {
  if (options.threads != 0) return std::min(options.threads, max_threads());
  return bytes < kMinBytesForThreads ? 1 : cores();
}

Result<Bytes> read_stream(const cfb::CompoundFile& container, std::string_view path, const ReadOptions& options) {
  auto stream = container.open_stream(path);
  if (!stream) {
    return raw::parse_error("stream '" + std::string(path) + "' not found: " + std::move(stream).error().message);
  }
  try {
    auto bytes = container.read_to_end(*stream, threads_for_bytes(options, stream->size));
    if (!bytes) return Unexpected(RawError::io(bytes.error().message, bytes.error().os_errno));
    return std::move(*bytes);
  } catch (const std::bad_alloc&) {
    return Unexpected(RawError::out_of_memory("could not allocate " + std::to_string(stream->size) + " bytes for stream '" +
                                              std::string(path) + "'"));
  }
}

std::optional<Bytes> read_stream_opt(const cfb::CompoundFile& container, std::string_view path) {
  auto stream = container.open_stream(path);
  if (!stream) return std::nullopt;
  auto bytes = container.read_to_end(*stream);
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

Result<RawFile> open_raw_file(const std::string& path, const ReadOptions& options) {
  auto detected = detect_layout(path);
  if (!detected) return Unexpected(std::move(detected).error());

  std::uint64_t stream_bytes = 0;
  Result<LayoutData> layout = [&] {
    switch (detected->kind) {
      case LayoutKind::Gcms:
        return load_gcms(detected->container, options, stream_bytes);
      case LayoutKind::Ttfl:
        return load_ttfl(detected->container, options, stream_bytes);
      case LayoutKind::Qtfl:
        return load_qtfl(detected->container, options, stream_bytes);
      case LayoutKind::MassRaw:
        break;
    }
    return load_mass_raw(detected->container, options, stream_bytes);
  }();
  if (!layout) return Unexpected(std::move(layout).error());
  // The container and the file close here, with `detected`.
  return RawFile{std::move(detected->display_name), std::move(*layout), stream_bytes, options};
}

}  // namespace kelvara::reader
