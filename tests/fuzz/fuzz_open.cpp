// libFuzzer target for the whole open path: the input is a data file. Its
// first byte picks the extension (".qgd" when even, ".lcd" when odd) and
// the rest is written to a file of that name, which goes through layout
// detection, stream loading and the spectrum walk as RawReader does. The
// decoded spectra must stay within the decode budget of the file's stream
// bytes, and the streaming walk (iter_batches') must give the same columns
// or the same error. Built by `cmake -DKELVARA_FUZZ=ON` with Clang; `make fuzz`
// runs it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "budget_check.hpp"
#include "reader/open.hpp"

namespace {

// A private folder for the input file, on a memory file system when there
// is one, removed when the process exits normally.
class InputFolder {
 public:
  InputFolder() {
    std::error_code ec;
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path base =
        std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
    std::string pattern = (base / "kelvara-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder_ = pattern;
  }
  InputFolder(const InputFolder&) = delete;
  InputFolder& operator=(const InputFolder&) = delete;
  ~InputFolder() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  std::string write(const char* name, const std::uint8_t* data, std::size_t size) const {
    const std::string path = (folder_ / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) std::abort();
    return path;
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelvara;
  if (size == 0) return 0;
  static const InputFolder folder;
  const std::string path = folder.write(data[0] % 2 == 0 ? "run.qgd" : "run.lcd", data + 1, size - 1);

  auto opened = reader::open_raw_file(path);
  fuzz::check_error_text(opened);
  if (!opened) return 0;
  fuzz::decode_and_check(*opened);
  fuzz::stream_and_compare(path, *opened);
  return 0;
}
