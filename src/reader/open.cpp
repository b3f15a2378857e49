// Opening a data file: path and extension, container, and the layout probe
// over the table of layouts, whose loads (src/reader/layouts/) read the
// streams whole and parse the indexes.
//
// The order of every step is fixed because it decides which error a user
// sees when a file has several faults: the file must open and be a compound
// file before its extension is judged, and all of a layout's required
// streams are read before its first index is parsed.

#include "reader/open.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cfb/file.hpp"
#include "common/bytes.hpp"
#include "common/executor.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {
namespace {

// "'A', 'B', or 'C'": the storages of several layouts in a message.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) text.append(k + 1 == names.size() ? ", or " : ", ");
    text.append(1, '\'').append(names[k]).append(1, '\'');
  }
  return text;
}

// ".qgd or .lcd": the extensions of the table, each once, in its order.
std::string known_extensions() {
  std::vector<std::string_view> seen;
  std::string text;
  for (const Layout* layout : layouts()) {
    if (std::find(seen.begin(), seen.end(), layout->extension) != seen.end()) continue;
    if (!seen.empty()) text.append(" or ");
    seen.push_back(layout->extension);
    text.append(1, '.').append(layout->extension);
  }
  return text;
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

namespace {

// The file at `path` as a compound file.
Result<cfb::CompoundFile> open_container(const std::string& path) {
  auto file = cfb::File::open_read_only(path);
  // Any failure to open the file shows as an I/O error.
  if (!file) return Unexpected(std::move(file).error().restated(Error::Code::Io, ""));

  auto opened = cfb::CompoundFile::open(std::move(*file));
  if (!opened) {
    // A read that failed (the path is a directory, the device reports an
    // error) keeps its error number for callers that raise OSError.
    return Unexpected(std::move(opened).error().restated(Error::Code::Format, "not a valid OLE2/CFBF container: "));
  }
  return std::move(*opened);
}

}  // namespace

Result<const Layout*> probe_layout(const std::string& path) {
  KELVARA_TRY(container, open_container(path));
  for (const Layout* layout : layouts()) {
    if (container->exists(layout->probe)) return layout;
  }
  return nullptr;
}

Result<DetectedFile> detect_layout(const std::string& path) {
  const std::string extension = lowered_extension(path);
  KELVARA_TRY(opened, open_container(path));
  cfb::CompoundFile container = std::move(*opened);

  // The layouts of this extension, probed in table order.
  std::vector<std::string_view> storages;
  const Layout* found = nullptr;
  for (const Layout* layout : layouts()) {
    if (layout->extension != extension) continue;
    if (container.exists(layout->probe)) {
      found = layout;
      break;
    }
    storages.push_back(layout->storage);
  }
  if (storages.empty() && found == nullptr) {
    return fail("unsupported file extension '." + extension + "' (expected " + known_extensions() + ")");
  }
  if (found == nullptr) {
    if (storages.size() == 1) {
      return fail(quoted_list(storages) + " storage not found in ." + extension + " file");
    }
    return fail("none of " + quoted_list(storages) + " storage found in ." + extension + " file");
  }

  const auto name = final_component(path);
  return DetectedFile{std::move(container), found, name ? std::string(*name) : std::string("unknown")};
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
    return fail("stream '" + std::string(path) + "' not found: " + stream.error().message());
  }
  auto bytes = container.read_to_end(*stream, threads_for_bytes(options, stream->size));
  // A stream the container cannot deliver whole shows as an I/O error
  // (keeping its sizes when it runs past the end of the file), unless
  // memory ran out.
  if (!bytes) {
    const bool memory = bytes.error().code() == Error::Code::OutOfMemory;
    return Unexpected(std::move(bytes).error().restated(memory ? Error::Code::OutOfMemory : Error::Code::Io, ""));
  }
  return std::move(*bytes);
}

Result<ScanStream> read_scan_stream(const cfb::CompoundFile& container, std::string_view path,
                                    const ReadOptions& options) {
  if (!options.scan_data_on_demand) {
    auto bytes = read_stream(container, path, options);
    if (!bytes) return Unexpected(std::move(bytes).error());
    const std::uint64_t size = bytes->size();
    return ScanStream{std::move(*bytes), size};
  }
  auto stream = container.open_stream(path);
  if (!stream) {
    return fail("stream '" + std::string(path) + "' not found: " + stream.error().message());
  }
  // The chain is checked here, as a whole read would check it, so that a
  // file with several faults fails on the same one either way, with the
  // error read_stream gives.
  auto ranges = container.open_ranges(*stream);
  if (!ranges) {
    const bool memory = ranges.error().code() == Error::Code::OutOfMemory;
    return Unexpected(std::move(ranges).error().restated(memory ? Error::Code::OutOfMemory : Error::Code::Io, ""));
  }
  return ScanStream{Bytes{}, stream->size};
}

std::optional<Bytes> read_stream_opt(const cfb::CompoundFile& container, std::string_view path) {
  auto stream = container.open_stream(path);
  if (!stream) return std::nullopt;
  auto bytes = container.read_to_end(*stream);
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

Result<RawFile> open_raw_file(const std::string& path, const ReadOptions& options) {
  // Before the open fills the address space, whose first bad_alloc would
  // otherwise be this thread's first throw (see executor.hpp).
  prepare_exception_state();
  KELVARA_TRY(detected, detect_layout(path));

  std::uint64_t stream_bytes = 0;
  KELVARA_TRY(layout, detected->layout->load(detected->container, options, stream_bytes));
  // The container and the file close here, with `detected`.
  return RawFile{std::move(detected->display_name), std::move(*layout), stream_bytes, options};
}

}  // namespace kelvara::reader
