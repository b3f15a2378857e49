// libFuzzer target for the compound file reader: opens the input as a
// container, probes the entries a data file is read through and reads every
// stream found, so that header, DIFAT, FAT, directory and chain handling all
// see hostile bytes. A stream read whole is never larger than the file it
// came from (a chain visits each sector at most once), give or take the
// last, partly stored sector. Built by `cmake -DKELVARA_FUZZ=ON` with
// Clang; `make fuzz` runs it.
//
// The reader opens files by path, so each input is written to one in-memory
// file (memfd) that is opened again through /proc/self/fd.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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
  }
  return 0;
}
