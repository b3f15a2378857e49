// The decode on several threads: the index cut into chunks, decoded on the
// ordered executor (common/executor.hpp) and handed to the sink in order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "common/bytes.hpp"
#include "raw/records.hpp"
#include "reader/build.hpp"
#include "reader/release.hpp"
#include "reader/sinks.hpp"
#include "reader/walk.hpp"

namespace kelvara::reader {

// ---------------------------------------------------------------------------
// Decoding on several threads
//
// The index is cut into chunks of consecutive positions. Worker threads and
// the calling thread take chunks in file order and decode each into a list
// of pending spectra; the calling thread alone hands them to the emitter, in
// chunk order, so the sink sees exactly the records of the single-threaded
// walk, in the same order, and the budget is checked record by record in
// that order. Only a window of chunks ahead of the one being handed over may
// be taken, which bounds the decoded spectra waiting in memory.
//
// Workers also add what they decode to a shared count; once it passes the
// budget the budget error is certain to come at some record already decoded
// or before, and workers stop between scans. A chunk they left unfinished is
// finished by the calling thread, through the emitter, which then finds the
// exact record that passes the budget.

struct PendingSpectrum {
  std::size_t position;
  std::vector<double> mz;
  std::vector<float> intensity;
  SpectrumInfo info;
};

// A spectrum of a chunk decoded for a sink with value arrays: `points`
// values of the chunk's flat buffers, following those of the spectra before
// it.
struct PendingValues {
  std::size_t position;
  std::size_t points;
  SpectrumInfo info;
};

// A scan of a chunk that was left out, with why.
struct PendingDrop {
  std::size_t position;
  Error reason;
};

// The values of a chunk decoded for a sink with value arrays, end to end,
// in blocks from malloc that grow without throwing.
struct ChunkBuffers {
  Block<double> mz;
  Block<float> intensity;
};

// What a chunk's decode could not get memory for, if anything: the walk
// stopped before `position`.
struct Refusal {
  std::size_t position = 0;
  std::size_t points = 0;  // 0: memory ran out, but not for points
  bool any = false;
};

struct Chunk {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t stopped_at = 0;  // end when the chunk was decoded whole
  std::vector<PendingSpectrum> spectra;  // for a sink that keeps lists
  std::vector<PendingValues> values;     // for a sink with value arrays, with the two buffers below
  std::vector<PendingDrop> drops;        // scans left out, in position order
  ChunkBuffers buffers;
  double* mz_at = nullptr;  // where the sink's arrays take the buffers' values
  float* intensity_at = nullptr;
  Refusal refused;
};

// The end of a chunk's buffers, where the decoders write its values.
class ChunkSpace final : public raw::PointSpace {
 public:
  explicit ChunkSpace(ChunkBuffers& buffers) : buffers_(buffers) {}
  raw::PointSlots slots(std::size_t points) noexcept override {
    if (!buffers_.mz.reserve_more(points) || !buffers_.intensity.reserve_more(points)) {
      return refuse(points);
    }
    return {buffers_.mz.place(points), buffers_.intensity.place(points)};
  }

 private:
  ChunkBuffers& buffers_;
};

// Collects a chunk's spectra on a decoding thread. Nothing here throws for
// want of memory: a refusal is kept in the chunk, for the calling thread to
// report in record order.
class ChunkCollector final : public ScanOut {
 public:
  ChunkCollector(Chunk& chunk, bool flat, std::atomic<std::uint64_t>& decoded, std::uint64_t budget)
      : chunk_(chunk), flat_(flat), space_(chunk.buffers), decoded_(decoded), budget_(budget) {}

  bool more() const override { return decoded_.load(std::memory_order_relaxed) <= budget_; }

  raw::PointSpace& space() override {
    if (flat_) return space_;
    return lists_;
  }

  bool emit(std::size_t position, std::size_t points, const SpectrumInfo& info) override {
    decoded_.fetch_add(decoded_bytes(points), std::memory_order_relaxed);
    try {
      if (flat_) {
        chunk_.values.push_back(PendingValues{position, points, info});
      } else {
        chunk_.spectra.push_back(
            PendingSpectrum{position, std::move(lists_.mz), std::move(lists_.intensity), info});
      }
    } catch (const std::bad_alloc&) {
      chunk_.refused = Refusal{position, 0, true};
      return false;
    }
    return true;
  }

  void drop(std::size_t position, Error&& reason) override {
    try {
      chunk_.drops.push_back(PendingDrop{position, std::move(reason)});
    } catch (const std::bad_alloc&) {
      chunk_.refused = Refusal{position, 0, true};
    }
  }

  bool refused(std::size_t position) override {
    const std::size_t points = space().refused();
    if (points == 0) return false;
    chunk_.refused = Refusal{position, points, true};
    return true;
  }

 private:
  Chunk& chunk_;
  bool flat_;
  ChunkSpace space_;
  raw::PointLists lists_;
  std::atomic<std::uint64_t>& decoded_;
  std::uint64_t budget_;
};

// About this many bytes of scan data per chunk.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// The same for a sink with value arrays, whose chunks are copied into place
// as soon as they are handed over: a chunk's buffers then stay in the
// processor's caches until the copy, and the few buffers in use are mapped
// once and reused.
constexpr std::size_t kCopiedChunkBytes = std::size_t{1} << 18;
// Chunks each thread may run ahead of the one being handed to the sink.
constexpr std::size_t kChunksAheadPerThread = 2;

// Decodes the index positions [0, positions) in chunks of `per_chunk` on
// `threads` threads, the calling thread among them, and hands every record
// to `out` in order on the calling thread; releases scan data behind the
// chunks handed over. Returns once every value is in place.
void decode_in_chunks(Walker& walk, Emitter& out, ScanDataRelease& release, std::size_t threads,
                      std::size_t positions, std::size_t per_chunk);

}  // namespace kelvara::reader
