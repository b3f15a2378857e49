// The ordered chunk executor (see executor.hpp).

#include "reader/executor.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace kelvara::reader {
namespace {

class ChunkPool {
 public:
  ChunkPool(Walker& walk, Emitter& out, ScanDataRelease& release, std::size_t threads, std::size_t positions,
            std::size_t per_chunk)
      : walk_(walk),
        out_(out),
        release_(release),
        arrays_(out.value_arrays()),
        window_(kChunksAheadPerThread * threads),
        budget_(out.budget()) {
    chunks_.resize((positions + per_chunk - 1) / per_chunk);
    for (std::size_t k = 0; k < chunks_.size(); ++k) {
      chunks_[k].begin = k * per_chunk;
      chunks_[k].end = std::min(positions, chunks_[k].begin + per_chunk);
    }
    // A thread the system cannot start leaves its share to the others; the
    // calling thread alone can decode every chunk.
    workers_.reserve(threads - 1);
    try {
      for (std::size_t t = 1; t < threads; ++t) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
    }
  }
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;
  ~ChunkPool() { stop(); }

  // Hands every chunk's spectra to the emitter, in order, decoding chunks
  // and copying values itself while the next one is not ready. Returns once
  // every value is in place.
  void run() {
    hand_over();
    finish_copies();
  }

 private:
  void hand_over() {
    for (std::size_t k = 0; k < chunks_.size(); ++k) {
      Chunk& chunk = chunks_[k];
      {
        std::unique_lock lock(mutex_);
        while (!chunk.done) {
          if (copy_one(lock)) continue;
          if (const auto j = claim()) {
            lock.unlock();
            decode(chunks_[*j]);
            lock.lock();
            chunks_[*j].done = true;
          } else {
            changed_.wait(lock);
          }
        }
      }
      for (PendingSpectrum& s : chunk.spectra) {
        if (!out_.emit(s.position, std::move(s.mz), std::move(s.intensity), s.info)) return;
      }
      std::vector<PendingSpectrum>().swap(chunk.spectra);
      if (arrays_ != nullptr && !place(chunk)) return;
      for (PendingDrop& d : chunk.drops) out_.drop(d.position, std::move(d.reason));
      std::vector<PendingDrop>().swap(chunk.drops);
      if (out_.failed()) return;
      if (chunk.failure) std::rethrow_exception(chunk.failure);
      if (chunk.stopped_at < chunk.end) {
        // The sink appends these values itself, and its arrays may grow.
        finish_copies();
        walk_(chunk.stopped_at, chunk.end, out_);
        if (out_.failed()) return;
      }
      {
        std::lock_guard lock(mutex_);
        next_emit_ = k + 1;
      }
      changed_.notify_all();
      release_.after_chunk(k);
    }
  }

  // Hands a decoded chunk's spectra to the emitter and makes room for its
  // values at the end of the sink's arrays; the copy into that room is left
  // to whichever thread is free. False when the budget stops the walk.
  bool place(Chunk& chunk) {
    for (const PendingValues& s : chunk.values) {
      if (!out_.emit_placed(s.position, s.points, s.info)) return false;
    }
    std::vector<PendingValues>().swap(chunk.values);
    const std::size_t points = chunk.buffers.mz.size();
    if (points == 0) {
      std::lock_guard lock(mutex_);
      recycle(chunk);
      return true;
    }
    if (arrays_->room() < points) {
      // Growing may move the arrays: no copy may be writing to them.
      finish_copies();
      if (!arrays_->grow(points)) {
        return out_.out_of_memory("room for the " + num(points) + " values of index positions " + num(chunk.begin) +
                                  " to " + num(chunk.end - 1));
      }
    }
    chunk.mz_at = arrays_->place_mz(points);
    chunk.intensity_at = arrays_->place_intensity(points);
    {
      std::lock_guard lock(mutex_);
      copies_.push_back(&chunk);
      ++copies_pending_;
    }
    changed_.notify_all();
    return true;
  }

  // Copies a chunk's values into their place.
  static void copy(const Chunk& chunk) {
    std::copy(chunk.buffers.mz.begin(), chunk.buffers.mz.end(), chunk.mz_at);
    std::copy(chunk.buffers.intensity.begin(), chunk.buffers.intensity.end(), chunk.intensity_at);
  }

  // Keeps the buffers of a chunk whose values are in place for a chunk yet
  // to decode. Buffers the system has just handed out cost a page fault per
  // page written, as much again as the copy, while these are mapped
  // already. Called with the mutex held.
  void recycle(Chunk& chunk) {
    chunk.buffers.mz.clear();
    chunk.buffers.intensity.clear();
    spare_.push_back(std::move(chunk.buffers));
  }

  // Buffers for a chunk about to decode: kept ones when there are any.
  ChunkBuffers take_buffers() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    ChunkBuffers buffers = std::move(spare_.back());
    spare_.pop_back();
    return buffers;
  }

  // Copies the values of the next chunk waiting for it, if any, with the
  // mutex released meanwhile; false when no chunk waits. Called with the
  // mutex held by `lock`.
  bool copy_one(std::unique_lock<std::mutex>& lock) {
    if (copies_next_ == copies_.size()) return false;
    Chunk& chunk = *copies_[copies_next_++];
    lock.unlock();
    copy(chunk);
    lock.lock();
    recycle(chunk);
    --copies_pending_;
    changed_.notify_all();
    return true;
  }

  // Waits until every value handed out for copying is in place, copying on
  // this thread meanwhile.
  void finish_copies() {
    std::unique_lock lock(mutex_);
    while (copies_pending_ > 0) {
      if (!copy_one(lock)) changed_.wait(lock);
    }
  }

  // The next chunk to decode, if one may be taken now. Called with the
  // mutex held.
  std::optional<std::size_t> claim() {
    if (stopping_ || next_claim_ >= chunks_.size() || next_claim_ >= next_emit_ + window_) return std::nullopt;
    return next_claim_++;
  }

  void decode(Chunk& chunk) {
    try {
      const bool flat = arrays_ != nullptr;
      if (flat) {
        chunk.values.reserve(chunk.end - chunk.begin);
        // Room for as many values as the last chunk decoded had, plus an
        // eighth: chunks of a run are alike, so the buffers rarely grow.
        const std::size_t expected = points_per_chunk_.load(std::memory_order_relaxed);
        chunk.buffers = take_buffers();
        chunk.buffers.mz.reserve(expected + expected / 8);
        chunk.buffers.intensity.reserve(expected + expected / 8);
      } else {
        chunk.spectra.reserve(chunk.end - chunk.begin);
      }
      ChunkCollector collect(chunk, flat, decoded_, budget_);
      chunk.stopped_at = walk_(chunk.begin, chunk.end, collect);
      if (flat) points_per_chunk_.store(chunk.buffers.mz.size(), std::memory_order_relaxed);
    } catch (...) {
      chunk.failure = std::current_exception();
    }
  }

  // A worker copies values first, so that decoded chunks do not pile up,
  // and otherwise decodes the next chunk the window allows. With value
  // arrays it stays until the pool stops, as copies come after the last
  // chunk is taken.
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopping_) return;
      if (copy_one(lock)) continue;
      const auto k = claim();
      if (!k) {
        if (arrays_ == nullptr && next_claim_ >= chunks_.size()) return;
        changed_.wait(lock);
        continue;
      }
      lock.unlock();
      decode(chunks_[*k]);
      lock.lock();
      chunks_[*k].done = true;
      changed_.notify_all();
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  Walker& walk_;
  Emitter& out_;
  ScanDataRelease& release_;
  ValueArrays* const arrays_;
  const std::size_t window_;
  const std::uint64_t budget_;
  std::vector<Chunk> chunks_;
  std::atomic<std::uint64_t> decoded_{0};
  std::atomic<std::size_t> points_per_chunk_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_claim_ = 0;
  std::size_t next_emit_ = 0;
  std::vector<Chunk*> copies_;  // chunks placed, in order; those from copies_next_ on wait for a thread
  std::vector<ChunkBuffers> spare_;  // buffers of chunks whose values are in place
  std::size_t copies_next_ = 0;
  std::size_t copies_pending_ = 0;  // placed and not yet copied
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

void decode_in_chunks(Walker& walk, Emitter& out, ScanDataRelease& release, std::size_t threads,
                      std::size_t positions, std::size_t per_chunk) {
  ChunkPool pool(walk, out, release, threads, positions, per_chunk);
  pool.run();
}

}  // namespace kelvara::reader
