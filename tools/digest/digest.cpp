// kelvara_digest: opens data files through the reader core, with no Python
// in between, and prints a digest of every spectrum.
//
//   kelvara_digest FILE... [@LIST...]
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
#include <utility>
#include <vector>

#include "raw/records.hpp"
#include "reader/build.hpp"
#include "reader/open.hpp"

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

void emit(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

std::string spectrum_line(std::size_t index, const SpectrumRecord& record) {
  std::uint64_t hash = kFnvOffsetBasis;
  hash = fnv1a(hash, record.mz.data(), record.mz.size() * sizeof(double));
  hash = fnv1a(hash, record.intensity.data(), record.intensity.size() * sizeof(float));
  std::string line;
  append_decimal(line, index);
  line += " peaks=";
  append_decimal(line, record.mz.size());
  if (record.intensity.size() != record.mz.size()) {
    // Never expected: the lists are made in pairs. Shown so a fault would
    // change the digest instead of hiding in the hash.
    line += "/";
    append_decimal(line, record.intensity.size());
  }
  line += " level=";
  append_decimal(line, record.ms_level);
  line += " rt=";
  append_hex16(line, bits_of(record.retention_time_sec));
  line += " hash=";
  append_hex16(line, hash);
  return line;
}

void digest_file(const std::string& path) {
  // KELVARA_THREADS sets the threads, as for the Python modules; the
  // digests must not depend on it.
  auto opened = kelvara::reader::open_raw_file(path, kelvara::reader::read_options_from_environment());
  if (!opened) {
    const auto name = kelvara::reader::final_component(path);
    emit("file " + std::string(name ? *name : "unknown") + ": error: " + opened.error().display());
    return;
  }
  const std::string name = opened->display_name;
  auto built = kelvara::reader::build_spectra(std::move(*opened));
  if (!built) {
    emit("file " + name + ": error: " + built.error().display());
    return;
  }
  const std::vector<SpectrumRecord>& spectra = *built;
  std::string head = "file " + name + ": ";
  append_decimal(head, spectra.size());
  head += " spectra";
  emit(head);
  for (std::size_t i = 0; i < spectra.size(); ++i) emit(spectrum_line(i, spectra[i]));
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
    std::fputs("usage: kelvara_digest FILE... [@LIST...]\n", stderr);
    return 2;
  }
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument.size() > 1 && argument.front() == '@') {
      const std::string list_path(argument.substr(1));
      if (!read_list(list_path, paths)) {
        std::fprintf(stderr, "kelvara_digest: cannot read the list %s\n", list_path.c_str());
        return 2;
      }
    } else {
      paths.emplace_back(argument);
    }
  }
  for (const std::string& path : paths) digest_file(path);
  return std::fflush(stdout) == 0 ? 0 : 2;
}
