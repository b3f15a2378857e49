// Replays fuzz inputs without libFuzzer: every file named on the command
// line, or found (recursively) in a folder named there, goes once through
// the target's LLVMFuzzerTestOneInput. Any compiler builds it, so a plain
// build re-checks the committed corpus; a fault aborts and names the input.
#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

char current_input[4096] = "";

// Names the input that was running when the target aborted.
extern "C" void report_abort(int) {
  const char prefix[] = "\nfuzz replay: fault on input ";
  (void)!write(2, prefix, sizeof prefix - 1);
  (void)!write(2, current_input, std::strlen(current_input));
  (void)!write(2, "\n", 1);
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

std::vector<std::filesystem::path> inputs(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(arg);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  std::signal(SIGABRT, report_abort);
  std::size_t count = 0;
  for (const auto& file : inputs(argc, argv)) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "fuzz replay: cannot read %s\n", file.c_str());
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::snprintf(current_input, sizeof current_input, "%s", file.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  if (count == 0) {
    std::fprintf(stderr, "fuzz replay: no inputs found\n");
    return 1;
  }
  std::printf("%s: %zu inputs replayed\n", std::filesystem::path(argv[0]).filename().c_str(), count);
  return 0;
}
