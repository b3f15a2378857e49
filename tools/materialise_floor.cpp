// The materialisation floor of the benchmark: the least work any reader of a
// data file must do to hand out its spectra.
//
//     materialise_floor FILE COUNTS ROUNDS
//
// COUNTS holds one little-endian u32 per spectrum, its number of points.
// Each round preads FILE whole into fresh memory, then makes one
// vector<double> and one vector<float> per spectrum and writes 12 bytes per
// point into them, with a trivial decode (u16 values read from the file
// bytes in order). The spectra are kept until the round ends, as a reader
// keeps them, and are released with the memory they used before the next
// round. Prints one line per round: the seconds from the pread to the
// last spectrum, freeing excluded, then the processor seconds of the same
// span.
//
// With ROUNDS 0 it runs one round for each line read from standard input,
// until that ends, so that a caller can take turns with other timings while
// the rounds still run in one process.

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Spectrum {
  std::vector<double> mz;
  std::vector<float> intensity;
};

std::vector<std::uint32_t> read_counts(const char* path) {
  std::vector<std::uint32_t> counts;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return counts;
  std::uint32_t value = 0;
  while (std::fread(&value, sizeof value, 1, file) == 1) counts.push_back(value);
  std::fclose(file);
  return counts;
}

bool read_whole(int fd, std::uint8_t* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, buffer + done, size - done, static_cast<off_t>(done));
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: materialise_floor FILE COUNTS ROUNDS\n");
    return 2;
  }
  const std::vector<std::uint32_t> counts = read_counts(argv[2]);
  const int rounds = std::atoi(argv[3]);
  std::uint64_t points = 0;
  for (const std::uint32_t n : counts) points += n;

  const bool on_request = rounds == 0;
  int done = 0;
  char request[64];
  while (on_request ? std::fgets(request, sizeof request, stdin) != nullptr : done++ < rounds) {
    const int fd = open(argv[1], O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 8) {
      std::fprintf(stderr, "cannot read %s\n", argv[1]);
      return 1;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);
    if (!read_whole(fd, bytes.get(), size)) {
      std::fprintf(stderr, "cannot read %s\n", argv[1]);
      return 1;
    }
    close(fd);

    // Step through the file bytes so that every point reads fresh input.
    const std::size_t step = points > 0 && size / points >= 2 ? static_cast<std::size_t>(size / points) : 2;
    const std::size_t limit = size - 4;
    std::size_t at = 0;
    std::vector<Spectrum> spectra;
    spectra.reserve(counts.size());
    for (const std::uint32_t n : counts) {
      Spectrum& s = spectra.emplace_back();
      s.mz.resize(n);
      s.intensity.resize(n);
      double* mz = s.mz.data();
      float* intensity = s.intensity.data();
      for (std::uint32_t k = 0; k < n; ++k) {
        std::uint16_t a;
        std::uint16_t b;
        std::memcpy(&a, bytes.get() + at, 2);
        std::memcpy(&b, bytes.get() + at + 2, 2);
        mz[k] = static_cast<double>(a) / 10.0;
        intensity[k] = static_cast<float>(b);
        at += step;
        if (at >= limit) at = 0;
      }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.6f %.6f\n", elapsed.count(), cpu_seconds() - cpu_start);
    std::fflush(stdout);
    // The next round writes into fresh memory again, as a newly started
    // reader would, instead of into pages this one leaves in the heap.
    spectra = {};
    bytes.reset();
    malloc_trim(0);
  }
  return 0;
}
