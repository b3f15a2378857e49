// kelvara_digest: opens data files through the reader core, with no Python
// in between, and prints a digest of every spectrum.
//
//   kelvara_digest [--stream] [--jobs N] FILE... [@LIST...]
//
// An argument starting with "@" names a list of paths, one per line, read as
// UTF-8 bytes; this keeps non-ASCII file names intact where the command line
// would pass them through a narrow code page.
//
// For each file it prints one line:
//   file <name>: <n> spectra
// followed by one line per spectrum:
//   <i> peaks=<n> level=<l> rt=<16 hex digits> hash=<16 hex digits>
// where rt is the bit pattern of the retention time (a double, so the value
// is exact) and hash is FNV-1a (64 bit) over the m/z bytes followed by the
// intensity bytes, as they lie in memory. A file that cannot be read gives
//   file <name>: error: <message>
// with the message the Python layer would show. <name> is the display name
// the core derives from the path (its final component), so a path spelled
// the way another platform spells it digests alike. Two builds of the core
// that decode identically print identical digests, apart from the operating
// system's own wording of I/O errors.
//
// With --stream each file is walked window by window (the streaming walk
// behind iter_batches), the columns emptied after each window, instead of
// decoded whole; the digests must be the same. With --jobs N, N files are
// digested at once, each on its own thread with its own walk's workers;
// the output keeps the order of the files. Both exist for ThreadSanitizer
// (make test-tsan).
//
// The exit status is 0 whether or not the files could be read (a failure is
// part of the digest), and 2 for a usage error, a list file that cannot be
// read, or output that cannot be written.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "raw/records.hpp"
#include "reader/build.hpp"
#include "reader/open.hpp"
#include "reader/sinks.hpp"
#include "reader/stream.hpp"

namespace {

using kelvara::raw::SpectrumRecord;

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t fnv1a(std::uint64_t hash, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= kFnvPrime;
  }
  return hash;
}

std::uint64_t bits_of(double value) {
  static_assert(sizeof(double) == sizeof(std::uint64_t));
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void append_decimal(std::string& line, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  line.append(buffer, result.ptr);
}

// Sixteen lower-case hex digits, leading zeros kept, so lines align and
// compare as text.
void append_hex16(std::string& line, std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = 60; shift >= 0; shift -= 4) line.push_back(kDigits[(value >> shift) & 0xF]);
}

void emit(std::string& out, const std::string& line) {
  out += line;
  out += '\n';
}

std::string spectrum_line(std::size_t index, const double* mz, std::size_t mz_count, const float* intensity,
                          std::size_t intensity_count, std::uint32_t ms_level, double retention_time) {
  std::uint64_t hash = kFnvOffsetBasis;
  hash = fnv1a(hash, mz, mz_count * sizeof(double));
  hash = fnv1a(hash, intensity, intensity_count * sizeof(float));
  std::string line;
  append_decimal(line, index);
  line += " peaks=";
  append_decimal(line, mz_count);
  if (intensity_count != mz_count) {
    // Never expected: the lists are made in pairs. Shown so a fault would
    // change the digest instead of hiding in the hash.
    line += "/";
    append_decimal(line, intensity_count);
  }
  line += " level=";
  append_decimal(line, ms_level);
  line += " rt=";
  append_hex16(line, bits_of(retention_time));
  line += " hash=";
  append_hex16(line, hash);
  return line;
}

std::string error_digest(const std::string& name, const kelvara::Error& error) {
  return "file " + name + ": error: " + error.display() + "\n";
}

std::string unnamed_error_digest(const std::string& path, const kelvara::Error& error) {
  const auto name = kelvara::reader::final_component(path);
  return error_digest(std::string(name ? *name : "unknown"), error);
}

std::string head_line(const std::string& name, std::size_t spectra) {
  std::string head = "file " + name + ": ";
  append_decimal(head, spectra);
  head += " spectra\n";
  return head;
}

// The digest of a file decoded whole.
std::string digest_file(const std::string& path) {
  // KELVARA_THREADS sets the threads, as for the Python modules; the
  // digests must not depend on it.
  auto opened = kelvara::reader::open_raw_file(path, kelvara::reader::read_options_from_environment());
  if (!opened) return unnamed_error_digest(path, opened.error());
  const std::string name = opened->display_name;
  auto built = kelvara::reader::build_spectra(std::move(*opened));
  if (!built) return error_digest(name, built.error());
  const std::vector<SpectrumRecord>& spectra = *built;
  std::string out = head_line(name, spectra.size());
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    const SpectrumRecord& r = spectra[i];
    emit(out, spectrum_line(i, r.mz.data(), r.mz.size(), r.intensity.data(), r.intensity.size(), r.ms_level,
                            r.retention_time_sec));
  }
  return out;
}

// The digest of a file walked window by window; each window's spectra leave
// the columns once digested, as iter_batches hands them out.
std::string stream_digest(const std::string& path) {
  kelvara::reader::ColumnSink sink;
  auto opened =
      kelvara::reader::StreamingRun::open(path, kelvara::reader::read_options_from_environment(), sink);
  if (!opened) return unnamed_error_digest(path, opened.error());
  kelvara::reader::StreamingRun& run = **opened;
  std::string body;
  std::size_t index = 0;
  for (;;) {
    auto stepped = run.step();
    if (!stepped) return error_digest(run.display_name(), stepped.error());
    const std::int64_t* bounds = sink.offsets.data();
    for (std::size_t i = 0; i < sink.ms_level.size(); ++i) {
      const auto from = static_cast<std::size_t>(bounds[i]);
      const auto points = static_cast<std::size_t>(bounds[i + 1]) - from;
      emit(body, spectrum_line(index++, sink.mz.data() + from, points, sink.intensity.data() + from, points,
                               sink.ms_level.data()[i], sink.retention_time.data()[i]));
    }
    sink.drop_front(sink.ms_level.size());
    if (!*stepped) break;
  }
  return head_line(run.display_name(), index) + body;
}

// The paths of a list file, one per line; a final line without a newline
// counts, a carriage return before the newline does not, empty lines are
// skipped.
bool read_list(const std::string& list_path, std::vector<std::string>& paths) {
  std::ifstream in(list_path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back(std::move(line));
  }
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: kelvara_digest [--stream] [--jobs N] FILE... [@LIST...]\n", stderr);
    return 2;
  }
  std::vector<std::string> paths;
  bool stream = false;
  std::size_t jobs = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument == "--stream") {
      stream = true;
    } else if (argument == "--jobs" && i + 1 < argc) {
      const std::string_view count(argv[++i]);
      const auto [ptr, ec] = std::from_chars(count.data(), count.data() + count.size(), jobs);
      if (ec != std::errc() || ptr != count.data() + count.size() || jobs == 0) {
        std::fputs("kelvara_digest: --jobs takes a positive whole number\n", stderr);
        return 2;
      }
    } else if (argument.size() > 1 && argument.front() == '@') {
      const std::string list_path(argument.substr(1));
      if (!read_list(list_path, paths)) {
        std::fprintf(stderr, "kelvara_digest: cannot read the list %s\n", list_path.c_str());
        return 2;
      }
    } else {
      paths.emplace_back(argument);
    }
  }
  // File k goes to thread k % jobs; each digest is kept until printed in
  // file order.
  std::vector<std::string> digests(paths.size());
  const auto digest_share = [&](std::size_t first) {
    for (std::size_t k = first; k < paths.size(); k += jobs) {
      digests[k] = stream ? stream_digest(paths[k]) : digest_file(paths[k]);
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < jobs; ++t) threads.emplace_back(digest_share, t);
  digest_share(0);
  for (std::thread& thread : threads) thread.join();
  for (const std::string& digest : digests) std::fwrite(digest.data(), 1, digest.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 2;
}
