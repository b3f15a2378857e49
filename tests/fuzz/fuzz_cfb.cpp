// libFuzzer target for the compound file reader: opens the input as a
// container, probes the entries a data file is read through and reads every
// stream found, so that header, DIFAT, FAT, directory and chain handling all
// see hostile bytes. A stream read whole is never larger than the file it
// came from (a chain visits each sector at most once), give or take the
// last, partly stored sector. Every stream read whole is read again in
// parts on demand, at offsets and lengths drawn from the input, and each
// part must be the same bytes; a stream whose ranges open reads whole, and
// the other way round. Built by `cmake -DKELVARA_FUZZ=ON` with
// Clang; `make fuzz` runs it.
//
// The reader opens files by path, so each input is written to one in-memory
// file (memfd) that is opened again through /proc/self/fd.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "cfb/cfb.hpp"

namespace {

constexpr const char* kPaths[] = {
    "GCMS Raw Data",
    "GCMS Raw Data/Spectrum Index",
    "GCMS Raw Data/MS Raw Data",
    "Mass Raw Data/MS Raw Data",
    "TTFL Raw Data/Data Index",
    "QTFL RawData/Centroid Data",
    "s",
    "S/s",
    "",
};

constexpr std::size_t kLargestSector = 4096;

int memory_file() {
  static const int fd = memfd_create("fuzz_cfb", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  return fd;
}

// Parts of the stream read on demand: a stream read whole gives the same
// bytes in every part, one that could not be read has no ranges. Offsets
// and lengths come from the input's own bytes, some of them past the end.
void check_ranges(const kelvara::cfb::CompoundFile& container, const kelvara::cfb::Stream& stream,
                  const kelvara::Bytes* whole, const std::uint8_t* data, std::size_t size) {
  auto ranges = container.open_ranges(stream);
  if (static_cast<bool>(ranges) != (whole != nullptr)) std::abort();
  if (!ranges) return;
  if (ranges->size != stream.size) std::abort();
  std::uint64_t covered = 0;
  for (const auto& run : ranges->runs) {
    if (run.stream_offset != covered || run.length == 0) std::abort();
    covered += run.length;
  }
  if (covered != stream.size) std::abort();
  std::vector<std::uint8_t> part;
  for (std::size_t k = 0; k < 8; ++k) {
    std::uint64_t pick = 0;
    for (std::size_t b = 0; b < 8 && size > 0; ++b) pick = pick << 8 | data[(k * 8 + b) % size];
    const std::uint64_t span = stream.size + 2;
    const std::uint64_t offset = pick % span;
    const std::uint64_t length = (pick >> 32) % (span - offset + 1);
    part.assign(static_cast<std::size_t>(length), 0);
    auto got = container.read_range(*ranges, offset, part);
    const bool inside = offset + length <= stream.size;
    if (static_cast<bool>(got) != inside) std::abort();
    if (got && !std::equal(part.begin(), part.end(), whole->begin() + static_cast<std::ptrdiff_t>(offset))) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelvara::cfb;
  const int fd = memory_file();
  if (ftruncate(fd, 0) != 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) std::abort();
    written += static_cast<std::size_t>(n);
  }

  auto file = File::open_read_only("/proc/self/fd/" + std::to_string(fd));
  if (!file) std::abort();
  auto container = CompoundFile::open(std::move(*file));
  if (!container) {
    if (container.error().message().empty()) std::abort();
    return 0;
  }
  for (const char* path : kPaths) {
    (void)container->exists(path);
    auto stream = container->open_stream(path);
    if (!stream) continue;
    auto bytes = container->read_to_end(*stream);
    // A successful read returns exactly the declared size, and no more
    // than the file's sectors hold.
    if (bytes && bytes->size() != stream->size) std::abort();
    if (bytes && bytes->size() > size + kLargestSector) std::abort();
    check_ranges(*container, *stream, bytes ? &*bytes : nullptr, data, size);
  }
  return 0;
}
