// The container facade: open reads the header, the FAT, the directory, the
// mini stream's chain and the mini FAT, in that order; a stream is read
// through whichever table its size selects.
#include "cfb/cfb.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <exception>
#include <utility>
#include <vector>

#include "cfb/chain.hpp"
#include "cfb/directory.hpp"
#include "cfb/header.hpp"
#include "cfb/tables.hpp"
#include "common/bytes.hpp"
#include "common/executor.hpp"

namespace kelvara::cfb {
struct CompoundFile::State {
  File file;
  Geometry geometry;
  ChainTable fat;
  ChainTable minifat;
  Directory directory;
  std::vector<std::uint32_t> ministream_sectors;  // the root entry's chain
};

namespace {

// Streams are read in parts of at least this size on several threads.
constexpr std::uint64_t kMinPartBytes = std::uint64_t{4} << 20;

// Reads the bytes [begin, end) of a stream laid out as `runs` into `out`,
// which receives byte `begin` first.
Expected<void, Error> read_runs(const File& file, const std::vector<StreamRun>& runs, std::uint64_t begin,
                                std::uint64_t end, std::uint8_t* out) {
  auto run = std::upper_bound(runs.begin(), runs.end(), begin,
                              [](std::uint64_t at, const StreamRun& r) { return at < r.stream_offset; });
  if (run != runs.begin()) --run;
  for (; run != runs.end() && run->stream_offset < end; ++run) {
    const std::uint64_t from = std::max(begin, run->stream_offset);
    const std::uint64_t to = std::min(end, run->stream_offset + run->length);
    if (from >= to) continue;
    auto got = file.read_exact_at(run->file_offset + (from - run->stream_offset), out + (from - begin),
                                  static_cast<std::size_t>(to - from));
    if (!got) return got;
  }
  return {};
}

}  // namespace

CompoundFile::CompoundFile(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
CompoundFile::CompoundFile(CompoundFile&&) noexcept = default;
CompoundFile& CompoundFile::operator=(CompoundFile&&) noexcept = default;
CompoundFile::~CompoundFile() = default;

Expected<CompoundFile, Error> CompoundFile::open(File file) {
  KELVARA_TRY(size, file.size());
  std::uint8_t header_bytes[kHeaderSize];
  const std::size_t header_length = static_cast<std::size_t>(std::min<std::uint64_t>(*size, kHeaderSize));
  KELVARA_FORWARD_IF_ERROR(file.read_exact_at(0, header_bytes, header_length));
  KELVARA_TRY(header, Header::parse(ByteView(header_bytes, header_length)));

  const Geometry geometry(*header, *size);
  const SectorReader sectors(file, geometry);
  KELVARA_TRY(fat, read_fat(sectors, *header, geometry));
  KELVARA_TRY(directory, Directory::read(sectors, *fat, header->first_directory_sector, geometry.version3, geometry.sector_size));

  // The mini stream is the root entry's stream, in regular sectors; the
  // mini FAT chains its 64-byte mini sectors ([MS-CFB] 2.4, 2.6.2).
  const DirEntry& root = directory->entry(0);
  std::vector<std::uint32_t> ministream_sectors;
  if (root.size > 0) {
    const std::uint64_t needed = ceil_div(root.size, geometry.sector_size);
    if (needed > geometry.sector_count) {
      return fail_past_end("the mini stream's size of " + num(root.size) + " bytes needs " + num(needed) +
                               " sectors, but the file holds " + num(geometry.sector_count),
                           geometry.file_size, (needed + 1) * geometry.sector_size);
    }
    KELVARA_TRY(chain, fat->walk(root.start, needed, "the mini stream"));
    ministream_sectors = std::move(*chain);
  }
  KELVARA_TRY(minifat, read_minifat(sectors, *fat, header->first_minifat_sector, root.size));

  return CompoundFile(std::make_unique<State>(State{std::move(file), geometry, std::move(*fat), std::move(*minifat),
                                                    std::move(*directory), std::move(ministream_sectors)}));
}

bool CompoundFile::exists(std::string_view path) const { return state_->directory.resolve(path).has_value(); }

Expected<Stream, Error> CompoundFile::open_stream(std::string_view path) const {
  const Directory& dir = state_->directory;
  KELVARA_TRY(id, dir.resolve(path));
  if (*id == 0) return fail("the root storage is not a stream");
  const DirEntry& e = dir.entry(*id);
  if (e.type != kTypeStream) return fail(dir.entry_text(*id) + " is a storage, not a stream");
  return Stream{*id, e.size};
}

Expected<StreamRanges, Error> CompoundFile::open_ranges(const Stream& stream) const {
  const State& s = *state_;
  const Geometry& g = s.geometry;
  if (stream.entry_id == 0 || stream.entry_id >= s.directory.size() ||
      s.directory.entry(stream.entry_id).type != kTypeStream) {
    return fail("directory entry " + num(stream.entry_id) + " is not a stream of this container");
  }
  const DirEntry& e = s.directory.entry(stream.entry_id);
  const std::string what = s.directory.entry_text(stream.entry_id);
  const std::uint64_t size = e.size;
  StreamRanges ranges;
  ranges.size = size;
  if (size == 0) return ranges;

  // Streams below the cutoff live in the mini stream, the rest in regular
  // sectors; a stream of exactly 4096 bytes is a regular one ([MS-CFB] 2.2, 2.4).
  const bool mini = size < kMiniStreamCutoff;
  const std::uint64_t unit = mini ? kMiniSectorSize : g.sector_size;
  const ChainTable& table = mini ? s.minifat : s.fat;
  const std::uint64_t needed = ceil_div(size, unit);
  if (needed > table.unit_count()) {
    std::string message = what + " declares " + num(size) + " bytes, needing " + num(needed) + " " +
                          table.names().unit + "s, but " + table.names().space + " holds only " +
                          num(table.unit_count());
    if (mini) return fail(std::move(message));
    // The header and that many sectors.
    return fail_past_end(std::move(message), g.file_size, (needed + 1) * g.sector_size);
  }
  KELVARA_TRY(chain, table.walk(e.start, needed, what));

  // File offset of each unit of the chain. A mini sector below the mini
  // stream's size always lies inside the mini stream's sectors, which open
  // walked for that size.
  auto unit_offset = [&](std::uint32_t n) -> std::uint64_t {
    if (!mini) return g.sector_offset(n);
    const std::uint64_t at = std::uint64_t{n} << kMiniSectorShift;
    return g.sector_offset(s.ministream_sectors[static_cast<std::size_t>(at >> g.shift)]) + (at & (g.sector_size - 1));
  };

  // One run per stretch of units that follow each other in the file, every
  // run checked against the file's end.
  std::size_t i = 0;
  std::uint64_t done = 0;
  while (i < chain->size()) {
    const std::uint64_t offset = unit_offset((*chain)[i]);
    std::size_t j = i + 1;
    while (j < chain->size() && unit_offset((*chain)[j]) == offset + (j - i) * unit) ++j;
    const std::uint64_t length = std::min<std::uint64_t>((j - i) * unit, size - done);
    if (offset > g.file_size || length > g.file_size - offset) {
      return fail_past_end(what + " needs bytes " + num(offset) + " to " + num(offset + length) +
                               ", past the end of the file (" + num(g.file_size) + " bytes)",
                           g.file_size, offset + length);
    }
    ranges.runs.push_back(StreamRun{offset, done, length});
    done += length;
    i = j;
  }
  ranges.runs.shrink_to_fit();
  return ranges;
}

Expected<void, Error> CompoundFile::read_range(const StreamRanges& ranges, std::uint64_t offset,
                                               std::span<std::uint8_t> out) const {
  if (offset > ranges.size || out.size() > ranges.size - offset) {
    return fail("bytes " + num(offset) + " to " + num(offset + out.size()) + " lie past the end of a stream of " +
                num(ranges.size) + " bytes");
  }
  return read_runs(state_->file, ranges.runs, offset, offset + out.size(), out.data());
}

Expected<Bytes, Error> CompoundFile::read_to_end(const Stream& stream, std::size_t threads) const {
  const State& s = *state_;
  auto ranges = open_ranges(stream);
  if (!ranges) return Unexpected<Error>(std::move(ranges).error());
  const std::uint64_t size = ranges->size;
  const std::vector<StreamRun>& runs = ranges->runs;
  if (size == 0) return Bytes{};
  const std::string what = s.directory.entry_text(stream.entry_id);

  // Every byte of the buffer is written by the reads. The file's size bounds
  // it, yet the system may still refuse it.
  Bytes out;
  try {
    out.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return Unexpected<Error>(Error::out_of_memory(num(size) + " bytes for " + what));
  }
  const auto parts = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(size / kMinPartBytes, 1, std::max<std::uint64_t>(threads, 1)));
  if (parts == 1) {
    KELVARA_FORWARD_IF_ERROR(read_runs(s.file, runs, 0, size, out.data()));
    return out;
  }
  // Parts of equal size, read on the ordered executor; a part whose thread
  // cannot be started is read by another. Should reads fail, the error is
  // the first part's in stream order.
  struct Parts final : OrderedExecutor::Work {
    const File& file;
    const std::vector<StreamRun>& runs;
    std::uint64_t size;
    std::size_t count;
    std::uint8_t* out;
    std::vector<Expected<void, Error>> results;

    Parts(const File& f, const std::vector<StreamRun>& r, std::uint64_t s, std::size_t n, std::uint8_t* o)
        : file(f), runs(r), size(s), count(n), out(o), results(n) {}
    void produce(std::size_t k) override {
      const std::uint64_t begin = size / count * k;
      const std::uint64_t end = k + 1 == count ? size : size / count * (k + 1);
      results[k] = read_runs(file, runs, begin, end, out + begin);
    }
  } work(s.file, runs, size, parts, out.data());
  {
    OrderedExecutor executor(work, parts, parts, parts);
    for (std::size_t k = 0; k < parts; ++k) {
      if (const std::exception_ptr failure = executor.wait_for(k)) std::rethrow_exception(failure);
    }
  }
  for (auto& result : work.results) KELVARA_FORWARD_IF_ERROR(std::move(result));
  return out;
}

}  // namespace kelvara::cfb
