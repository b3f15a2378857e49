// The decode on several threads (see executor.hpp): chunks of the index are
// the ordered executor's tasks, and the copies of their values into the
// sink's arrays its side jobs.

#include "reader/executor.hpp"

#include <algorithm>
#include <string>

#include "common/executor.hpp"
#include "common/thread_annotations.hpp"

namespace kelvara::reader {
namespace {

// Decodes chunks on any thread; hands them over on the calling thread.
// Safe for concurrent use only as the executor calls it.
class ChunkPool final : public OrderedExecutor::Work {
 public:
  ChunkPool(Walker& walk, Emitter& out, ScanDataRelease& release, std::size_t positions, std::size_t per_chunk)
      : walk_(walk), out_(out), release_(release), arrays_(out.value_arrays()), budget_(out.budget()) {
    chunks_.resize((positions + per_chunk - 1) / per_chunk);
    for (std::size_t k = 0; k < chunks_.size(); ++k) {
      chunks_[k].begin = k * per_chunk;
      chunks_[k].end = std::min(positions, chunks_[k].begin + per_chunk);
    }
    // Room for every chunk here, so that handing a copy or a buffer on
    // never allocates.
    copies_.resize(chunks_.size());
    MutexLock lock(spare_mutex_);
    spare_.reserve(chunks_.size());
  }

  // Hands every chunk's spectra to the emitter, in order, decoding chunks
  // and copying values itself while the next one is not ready. Returns once
  // every value is in place.
  void run(std::size_t threads) {
    OrderedExecutor executor(*this, chunks_.size(), threads, kChunksAheadPerThread * threads);
    executor_ = &executor;
    hand_over();
    finish_copies();
  }

  void produce(std::size_t k) override { decode(chunks_[k]); }

  // Copies a placed chunk's values into their place and keeps its buffers.
  void side(std::size_t j) override {
    Chunk& chunk = *copies_[j];
    std::copy_n(chunk.buffers.mz.data(), chunk.buffers.mz.size(), chunk.mz_at);
    std::copy_n(chunk.buffers.intensity.data(), chunk.buffers.intensity.size(), chunk.intensity_at);
    recycle(chunk);
  }

 private:
  void hand_over() {
    for (std::size_t k = 0; k < chunks_.size(); ++k) {
      Chunk& chunk = chunks_[k];
      if (const std::exception_ptr failure = executor_->wait_for(k)) std::rethrow_exception(failure);
      for (PendingSpectrum& s : chunk.spectra) {
        if (!out_.emit(s.position, std::move(s.mz), std::move(s.intensity), s.info)) return;
      }
      std::vector<PendingSpectrum>().swap(chunk.spectra);
      if (arrays_ != nullptr && !place(chunk)) return;
      for (PendingDrop& d : chunk.drops) out_.drop(d.position, std::move(d.reason));
      std::vector<PendingDrop>().swap(chunk.drops);
      if (out_.failed()) return;
      if (chunk.refused.any) {
        // The records before the refusal are handed over, as a walk on one
        // thread would have; the decode ends here for want of memory.
        if (chunk.refused.points != 0) {
          const std::size_t points = chunk.refused.points;
          out_.out_of_memory(num(points * kDecodeBytesPerPoint) + " bytes for the " + num(points) +
                             " points of the scan at index position " + num(chunk.refused.position));
        } else {
          out_.out_of_memory("the pending records of the chunk at index position " +
                             std::to_string(chunk.refused.position));
        }
        return;
      }
      if (chunk.stopped_at < chunk.end) {
        // The sink appends these values itself, and its arrays may grow.
        finish_copies();
        walk_(chunk.stopped_at, chunk.end, out_);
        if (out_.failed()) return;
      }
      executor_->consumed(k);
      release_.after_chunk(k);
    }
  }

  // Hands a decoded chunk's spectra to the emitter and makes room for its
  // values at the end of the sink's arrays; the copy into that room is left
  // to whichever thread is free. False when the walk stops.
  bool place(Chunk& chunk) {
    for (const PendingValues& s : chunk.values) {
      if (!out_.emit_placed(s.position, s.points, s.info)) return false;
    }
    std::vector<PendingValues>().swap(chunk.values);
    const std::size_t points = chunk.buffers.mz.size();
    if (points == 0) {
      recycle(chunk);
      return true;
    }
    if (arrays_->room() < points) {
      // Growing may move the arrays: no copy may be writing to them.
      finish_copies();
      if (!arrays_->grow(points)) {
        return out_.out_of_memory(std::to_string(points * kDecodeBytesPerPoint) + " bytes for the " +
                                  std::to_string(points) + " values of the chunk from index position " +
                                  std::to_string(chunk.begin));
      }
    }
    chunk.mz_at = arrays_->place_mz(points);
    chunk.intensity_at = arrays_->place_intensity(points);
    copies_[posted_++] = &chunk;
    executor_->post();
    return true;
  }

  // Waits until every value handed out for copying is in place, copying on
  // this thread meanwhile.
  void finish_copies() {
    if (const std::exception_ptr failure = executor_->drain()) std::rethrow_exception(failure);
  }

  // Keeps the buffers of a chunk whose values are in place for a chunk yet
  // to decode. Buffers the system has just handed out cost a page fault per
  // page written, as much again as the copy, while these are mapped
  // already. Never allocates: spare_ has room for every chunk.
  void recycle(Chunk& chunk) EXCLUDES(spare_mutex_) {
    chunk.buffers.mz.clear();
    chunk.buffers.intensity.clear();
    MutexLock lock(spare_mutex_);
    spare_.push_back(std::move(chunk.buffers));
  }

  // Buffers for a chunk about to decode: kept ones when there are any.
  ChunkBuffers take_buffers() EXCLUDES(spare_mutex_) {
    MutexLock lock(spare_mutex_);
    if (spare_.empty()) return {};
    ChunkBuffers buffers = std::move(spare_.back());
    spare_.pop_back();
    return buffers;
  }

  void decode(Chunk& chunk) {
    const bool flat = arrays_ != nullptr;
    ChunkCollector collect(chunk, flat, decoded_, budget_);
    try {
      if (flat) {
        chunk.values.reserve(chunk.end - chunk.begin);
        // Room for as many values as the last chunk decoded had, plus an
        // eighth: chunks of a run are alike, so the buffers rarely grow.
        // Only a wish: the slots ask again, and may be refused.
        const std::size_t expected = points_per_chunk_.load(std::memory_order_relaxed);
        chunk.buffers = take_buffers();
        (void)chunk.buffers.mz.reserve_more(expected + expected / 8);
        (void)chunk.buffers.intensity.reserve_more(expected + expected / 8);
      } else {
        chunk.spectra.reserve(chunk.end - chunk.begin);
      }
    } catch (const std::bad_alloc&) {
      chunk.refused = Refusal{chunk.begin, 0, true};
      chunk.stopped_at = chunk.begin;
      return;
    }
    chunk.stopped_at = walk_(chunk.begin, chunk.end, collect);
    if (flat) points_per_chunk_.store(chunk.buffers.mz.size(), std::memory_order_relaxed);
  }

  Walker& walk_;
  Emitter& out_;
  ScanDataRelease& release_;
  ValueArrays* const arrays_;
  const std::uint64_t budget_;
  std::vector<Chunk> chunks_;
  std::atomic<std::uint64_t> decoded_{0};
  std::atomic<std::size_t> points_per_chunk_{0};
  OrderedExecutor* executor_ = nullptr;
  // Chunks placed, in order: side job j copies copies_[j]. Written by the
  // calling thread before it posts the job.
  std::vector<Chunk*> copies_;
  std::size_t posted_ = 0;  // the calling thread's alone
  Mutex spare_mutex_;
  std::vector<ChunkBuffers> spare_ GUARDED_BY(spare_mutex_);  // buffers of chunks whose values are in place
};

}  // namespace

void decode_in_chunks(Walker& walk, Emitter& out, ScanDataRelease& release, std::size_t threads,
                      std::size_t positions, std::size_t per_chunk) {
  ChunkPool pool(walk, out, release, positions, per_chunk);
  pool.run(threads);
}

}  // namespace kelvara::reader
