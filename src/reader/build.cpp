// Building the spectrum list.
//
// Every layout follows one loop: for each index position, find the scan's
// byte range in the scan data, skip it when the range runs backwards or past
// the end, decode the bytes in place, and hand the records to the sink.
// Retention times of the LC-MS layouts are looked up by index position,
// never by record number, so a skipped scan does not shift the times of
// later ones. Every record is counted against the decode budget before it
// reaches the sink.

#include "reader/build.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "cfb/file.hpp"
#include "common/bytes.hpp"
#include "raw/mass_raw/mass_raw.hpp"
#include "raw/qgd/qgd.hpp"

namespace kelvara::reader {
namespace {

using raw::SpectrumRecord;

// The bytes [start, end) of the scan data, or nothing when the range runs
// backwards or past the end. An empty range is handed to the decoder, which
// rejects it as too short.
std::optional<ByteView> scan_bytes(const Bytes& data, std::uint64_t start, std::uint64_t end) {
  if (start > end || end > data.size()) return std::nullopt;
  return ByteView(data).sub(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// Scan i runs from its offset up to the next entry's, the last to the end of
// the data; the offsets are taken as stored, never sorted.
template <class Offset>
std::uint64_t scan_end(const std::vector<Offset>& offsets, std::size_t i, const Bytes& data) {
  return i + 1 < offsets.size() ? static_cast<std::uint64_t>(offsets[i + 1]) : data.size();
}

// Room at the end of a sink's value arrays, grown when a spectrum needs
// more than is left.
class ArraySpace final : public raw::PointSpace {
 public:
  explicit ArraySpace(ValueArrays* arrays) : arrays_(arrays) {}
  raw::PointSlots slots(std::size_t points) override {
    if (arrays_->room() < points) arrays_->grow(points);
    return {arrays_->place_mz(points), arrays_->place_intensity(points)};
  }

 private:
  ValueArrays* arrays_;
};

// Hands records to the sink while keeping count of the decoded bytes; the
// first record that would pass the budget stops the walk with an error.
// The decoders write each spectrum's points to space(): into lists, or
// straight into the sink's value arrays when it gives them.
class Emitter {
 public:
  Emitter(SpectrumSink& sink, std::uint64_t stream_bytes, std::uint64_t slack)
      : sink_(sink),
        arrays_(sink.value_arrays()),
        array_space_(arrays_),
        stream_bytes_(stream_bytes),
        slack_(slack),
        budget_(decode_budget(stream_bytes, slack)) {}

  raw::PointSpace& space() {
    if (arrays_ != nullptr) return array_space_;
    return lists_;
  }

  // The spectrum of `points` points just written to space(). Past the
  // budget, the walk ends with an error, and whatever the spectrum left in
  // the value arrays goes with the failed decode.
  bool emit(std::size_t position, std::size_t points, std::uint32_t ms_level, double seconds) {
    if (arrays_ != nullptr) return emit_placed(position, points, ms_level, seconds);
    return emit(position, std::move(lists_.mz), std::move(lists_.intensity), ms_level, seconds);
  }

  // A spectrum with its lists, decoded here or on another thread.
  bool emit(std::size_t position, std::vector<double>&& mz, std::vector<float>&& intensity, std::uint32_t ms_level,
            double seconds) {
    if (!spend(position, mz.size())) return false;
    sink_.add(std::move(mz), std::move(intensity), ms_level, seconds);
    return true;
  }

  // A spectrum whose values are in the sink's arrays already, or are copied
  // there by a decoding thread apart from this call.
  bool emit_placed(std::size_t position, std::size_t points, std::uint32_t ms_level, double seconds) {
    if (!spend(position, points)) return false;
    sink_.add_placed(points, ms_level, seconds);
    return true;
  }

  bool more() const { return true; }
  bool failed() const { return error_.has_value(); }
  ValueArrays* value_arrays() { return arrays_; }
  std::uint64_t budget() const { return budget_; }

  raw::Result<std::size_t> finish() && {
    if (error_) return Unexpected(std::move(*error_));
    return count_;
  }

 private:
  // Counts a spectrum of `points` points against the budget; false, with the
  // error set, when it would pass it.
  bool spend(std::size_t position, std::size_t points) {
    const std::uint64_t cost = decoded_bytes(points);
    if (cost > budget_ - spent_) {
      error_ = raw::RawError::parse(
          "decoded spectra exceed the decode budget of " + std::to_string(budget_) + " bytes (" +
          std::to_string(kDecodeBudgetPerStreamByte) + " per byte of the " + std::to_string(stream_bytes_) +
          " stream bytes, plus " + std::to_string(slack_) + ") at index position " +
          std::to_string(position) + "; the index addresses the scan data more often than an acquisition can");
      return false;
    }
    spent_ += cost;
    ++count_;
    return true;
  }

  SpectrumSink& sink_;
  ValueArrays* const arrays_;
  ArraySpace array_space_;
  raw::PointLists lists_;
  std::uint64_t stream_bytes_;
  std::uint64_t slack_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
  std::size_t count_ = 0;
  std::optional<raw::RawError> error_;
};

// The walks below cover the index positions [begin, end) and hand every
// record to `out`: each scan is decoded into out.space(), then announced
// with out.emit, which returns false to stop the walk at once (the budget
// is spent). Before each position they ask `out.more()`, which lets a
// worker thread give up between scans. They return the position they
// stopped before: `end` when the range is done.

template <class Out>
std::size_t walk_gcms(const GcmsData& layout, std::size_t begin, std::size_t end, Out& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    auto scan = raw::qgd::parse_gcms_scan(*bytes, out.space());
    if (!scan) continue;
    if (const auto* profile = std::get_if<raw::PlacedScan>(&*scan)) {
      if (!out.emit(i, profile->points, 1, raw::ms_to_seconds(profile->retention_time_ms))) return i;
    } else {
      // An MRM scan gives one single-peak record per transition, at its
      // product m/z; the precursor m/z reaches no record.
      const auto& mrm = std::get<raw::qgd::MrmScan>(*scan);
      const double seconds = raw::ms_to_seconds(mrm.retention_time_ms);
      for (const auto& transition : mrm.transitions) {
        const raw::PointSlots slot = out.space().slots(1);
        *slot.mz = transition.product_mz;
        *slot.intensity = transition.intensity;
        if (!out.emit(i, 1, 2, seconds)) return i;
      }
    }
  }
  return end;
}

template <class Out>
std::size_t walk_mass_raw(const MassRawData& layout, std::size_t begin, std::size_t end, Out& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    const auto scan = raw::mass_raw::parse_single_quad_scan(*bytes, out.space());
    if (!scan) continue;
    if (!out.emit(i, scan->points, 1, raw::ms_to_seconds(scan->retention_time_ms))) return i;
  }
  return end;
}

template <class Out>
std::size_t walk_qtfl(const QtflData& layout, std::size_t begin, std::size_t end, Out& out) {
  const auto& entries = layout.index_entries;
  const auto& data = layout.centroid_data;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const std::uint64_t stop = i + 1 < entries.size() ? entries[i + 1].data_offset : data.size();
    const auto bytes = scan_bytes(data, entries[i].data_offset, stop);
    if (!bytes) continue;
    const auto points = raw::qtfl::decode_qtof_centroid_scan(*bytes, out.space());
    if (!points) continue;
    const double seconds =
        i < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[i]) : 0.0;
    const std::uint32_t ms_level = entries[i].level_code < 2 ? 1 : 2;
    if (!out.emit(i, *points, ms_level, seconds)) return i;
  }
  return end;
}

// Subsets that share a start share one byte range (see ttfl_scan_ranges).
// Such a range is decoded once and its scan handed out to each subset:
// a decode costs time in proportion to the range even when it fails or
// yields no points, which the budget does not see, so decoding it once per
// subset would let an index that repeats one start over a large record run
// for minutes. Ranges of distinct starts do not overlap, so the decoding
// work of the walk stays in proportion to the scan data.
//
// One instance serves every thread of a walk: the table of starts is fixed
// before the threads start, and a shared range's entry is only touched under
// the lock. The first thread to need a shared range decodes it; others
// needing it meanwhile wait for that decode instead of repeating it. The
// last subset to take it frees the scan.
class SharedTtflScans {
 public:
  SharedTtflScans(const TtflData& layout, std::size_t count) : calibration_(layout.calibration) {
    // Starts that only grow, as an acquisition writes them, share nothing;
    // otherwise the starts used more than once get an entry.
    const auto& ranges = layout.scan_ranges;
    bool increasing = true;
    for (std::size_t i = 1; i < count && increasing; ++i) increasing = ranges[i - 1].start < ranges[i].start;
    if (increasing) return;
    std::vector<std::uint32_t> starts(count);
    for (std::size_t i = 0; i < count; ++i) starts[i] = ranges[i].start;
    std::sort(starts.begin(), starts.end());
    for (std::size_t i = 0; i < count;) {
      std::size_t j = i + 1;
      while (j < count && starts[j] == starts[i]) ++j;
      if (j - i > 1) entries_[starts[i]].left = j - i;
      i = j;
    }
  }

  // Writes the scan of `range` to `space` for one subset, its channels
  // mapped to m/z when the file has a calibration; gives its number of
  // points, nothing when the range does not decode.
  std::optional<std::size_t> take(const raw::ttfl::TtflScanRange& range, ByteView bytes, raw::PointSpace& space) {
    const auto shared = entries_.empty() ? entries_.end() : entries_.find(range.start);
    if (shared == entries_.end()) return decode(bytes, space);  // the range's only subset
    Entry& entry = shared->second;
    std::unique_lock lock(mutex_);
    while (entry.state == State::Decoding) decoded_.wait(lock);
    if (entry.state == State::Pending) {
      entry.state = State::Decoding;
      lock.unlock();
      raw::PointLists decoded;
      bool ok = false;
      try {
        ok = decode(bytes, decoded).has_value();
      } catch (...) {
        lock.lock();
        entry.state = State::Pending;  // another subset may try again
        decoded_.notify_all();
        throw;
      }
      lock.lock();
      entry.ok = ok;
      entry.scan = std::move(decoded);
      entry.state = State::Done;
      decoded_.notify_all();
    }
    std::optional<std::size_t> points;
    if (entry.ok) {
      const std::size_t n = entry.scan.mz.size();
      const raw::PointSlots slots = space.slots(n);
      std::copy_n(entry.scan.mz.data(), n, slots.mz);
      std::copy_n(entry.scan.intensity.data(), n, slots.intensity);
      points = n;
    }
    if (--entry.left == 0) entry.scan = {};
    return points;
  }

 private:
  enum class State { Pending, Decoding, Done };
  // A start shared by several subsets. The table holds these alone and is
  // fixed before any take.
  struct Entry {
    std::size_t left = 0;  // subsets yet to take it
    State state = State::Pending;
    bool ok = false;
    raw::PointLists scan;
  };

  std::optional<std::size_t> decode(ByteView bytes, raw::PointSpace& space) const {
    return raw::ttfl::decode_ttfl_scan(bytes, calibration_, space);
  }

  std::optional<raw::ttfl::MassCalibration> calibration_;
  std::unordered_map<std::uint32_t, Entry> entries_;
  std::mutex mutex_;
  std::condition_variable decoded_;
};

template <class Out>
std::size_t walk_ttfl(const TtflData& layout, SharedTtflScans& scans, std::size_t begin, std::size_t end,
                      Out& out) {
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto& range = layout.scan_ranges[i];
    const auto bytes = scan_bytes(layout.ms_raw_data, range.start, range.end);
    if (!bytes) continue;
    // Channels come back as m/z when the file has a calibration.
    const auto points = scans.take(range, *bytes, out.space());
    if (!points) continue;
    const std::uint32_t t = layout.subsets[i].rt_index;
    const double seconds =
        t < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[t]) : 0.0;
    if (!out.emit(i, *points, 1, seconds)) return i;
  }
  return end;
}

// The number of index positions the layout's walk covers.
std::size_t index_positions(const LayoutData& layout) {
  return std::visit(
      [](const auto& data) -> std::size_t {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, GcmsData> || std::is_same_v<T, MassRawData>) {
          return data.scan_offsets.size();
        } else if constexpr (std::is_same_v<T, QtflData>) {
          return data.index_entries.size();
        } else {
          return std::min(data.scan_ranges.size(), data.subsets.size());
        }
      },
      layout);
}

// The bytes of scan data the index addresses.
std::size_t scan_data_bytes(const LayoutData& layout) {
  return std::visit(
      [](const auto& data) -> std::size_t {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, QtflData>) {
          return data.centroid_data.size();
        } else {
          return data.ms_raw_data.size();
        }
      },
      layout);
}

// Walks ranges of one file's index; the walks of one decode, on any
// thread, share what TTFL subsets with a common start have decoded.
class Walker {
 public:
  explicit Walker(const LayoutData& layout) : layout_(layout) {
    if (const auto* ttfl = std::get_if<TtflData>(&layout)) ttfl_.emplace(*ttfl, index_positions(layout));
  }

  template <class Out>
  std::size_t operator()(std::size_t begin, std::size_t end, Out& out) {
    return std::visit(
        [&](const auto& data) -> std::size_t {
          using T = std::decay_t<decltype(data)>;
          if constexpr (std::is_same_v<T, GcmsData>) {
            return walk_gcms(data, begin, end, out);
          } else if constexpr (std::is_same_v<T, MassRawData>) {
            return walk_mass_raw(data, begin, end, out);
          } else if constexpr (std::is_same_v<T, QtflData>) {
            return walk_qtfl(data, begin, end, out);
          } else {
            return walk_ttfl(data, *ttfl_, begin, end, out);
          }
        },
        layout_);
  }

 private:
  const LayoutData& layout_;
  std::optional<SharedTtflScans> ttfl_;
};

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
  std::uint32_t ms_level;
  double seconds;
};

// A spectrum of a chunk decoded for a sink with value arrays: `points`
// values of the chunk's flat buffers, following those of the spectra before
// it.
struct PendingValues {
  std::size_t position;
  std::size_t points;
  std::uint32_t ms_level;
  double seconds;
};

// The values of a chunk decoded for a sink with value arrays, end to end.
// They are not zeroed as they grow: every slot handed out is written.
struct ChunkBuffers {
  std::vector<double, FillLaterAllocator<double>> mz;
  std::vector<float, FillLaterAllocator<float>> intensity;
};

struct Chunk {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t stopped_at = 0;  // end when the chunk was decoded whole
  std::vector<PendingSpectrum> spectra;  // for a sink that keeps lists
  std::vector<PendingValues> values;     // for a sink with value arrays, with the two buffers below
  ChunkBuffers buffers;
  double* mz_at = nullptr;  // where the sink's arrays take the buffers' values
  float* intensity_at = nullptr;
  std::exception_ptr failure;
  bool done = false;  // guarded by the pool's mutex
};

// The end of a chunk's buffers, where the decoders write its values.
class ChunkSpace final : public raw::PointSpace {
 public:
  explicit ChunkSpace(ChunkBuffers& buffers) : buffers_(buffers) {}
  raw::PointSlots slots(std::size_t points) override {
    const std::size_t at = buffers_.mz.size();
    buffers_.mz.resize(at + points);
    buffers_.intensity.resize(at + points);
    return {buffers_.mz.data() + at, buffers_.intensity.data() + at};
  }

 private:
  ChunkBuffers& buffers_;
};

class ChunkCollector {
 public:
  ChunkCollector(Chunk& chunk, bool flat, std::atomic<std::uint64_t>& decoded, std::uint64_t budget)
      : chunk_(chunk), flat_(flat), space_(chunk.buffers), decoded_(decoded), budget_(budget) {}

  bool more() const { return decoded_.load(std::memory_order_relaxed) <= budget_; }

  raw::PointSpace& space() {
    if (flat_) return space_;
    return lists_;
  }

  bool emit(std::size_t position, std::size_t points, std::uint32_t ms_level, double seconds) {
    decoded_.fetch_add(decoded_bytes(points), std::memory_order_relaxed);
    if (flat_) {
      chunk_.values.push_back(PendingValues{position, points, ms_level, seconds});
    } else {
      chunk_.spectra.push_back(
          PendingSpectrum{position, std::move(lists_.mz), std::move(lists_.intensity), ms_level, seconds});
    }
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

// Hands the pages of the scan data back to the system once no later index
// position can read them, so that the decoded spectra take the place of the
// scan data instead of adding to it. Scans are usually stored in index
// order, and then all but a chunk or two of the scan data is released by the
// time the last spectrum is decoded; an index that goes back to the start of
// the data releases nothing. Only for a caller that owns the data and never
// reads it again (the released pages read as zeros).
class ScanDataRelease {
 public:
  ScanDataRelease() = default;
  ScanDataRelease(const LayoutData& layout, Bytes& data, std::size_t positions, std::size_t per_chunk)
      : data_(&data) {
    // lowest_[k]: the lowest scan start of any position in chunk k or later.
    const std::size_t chunks = (positions + per_chunk - 1) / per_chunk;
    lowest_.assign(chunks + 1, data.size());
    std::visit(
        [&](const auto& layout_data) {
          for (std::size_t i = 0; i < positions; ++i) {
            auto& low = lowest_[i / per_chunk];
            low = std::min<std::uint64_t>(low, scan_start(layout_data, i));
          }
        },
        layout);
    for (std::size_t k = chunks; k-- > 0;) lowest_[k] = std::min(lowest_[k], lowest_[k + 1]);
  }

  // Chunks 0 to k have been decoded; later ones may be decoding now.
  void after_chunk(std::size_t k) {
    if (data_ == nullptr || k + 1 >= lowest_.size()) return;
    const auto upto = static_cast<std::size_t>(std::min<std::uint64_t>(lowest_[k + 1], data_->size()));
    if (upto <= released_) return;
    cfb::discard_pages(data_->data() + released_, data_->data() + upto);
    released_ = upto;
  }

 private:
  static std::uint64_t scan_start(const GcmsData& data, std::size_t i) { return data.scan_offsets[i]; }
  static std::uint64_t scan_start(const MassRawData& data, std::size_t i) { return data.scan_offsets[i]; }
  static std::uint64_t scan_start(const QtflData& data, std::size_t i) { return data.index_entries[i].data_offset; }
  static std::uint64_t scan_start(const TtflData& data, std::size_t i) { return data.scan_ranges[i].start; }


  Bytes* data_ = nullptr;
  std::vector<std::uint64_t> lowest_;
  std::size_t released_ = 0;
};

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
        if (!out_.emit(s.position, std::move(s.mz), std::move(s.intensity), s.ms_level, s.seconds)) return;
      }
      std::vector<PendingSpectrum>().swap(chunk.spectra);
      if (arrays_ != nullptr && !place(chunk)) return;
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
      if (!out_.emit_placed(s.position, s.points, s.ms_level, s.seconds)) return false;
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
      arrays_->grow(points);
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

// Keeps every record, as the Python reader holds them.
class RecordSink final : public SpectrumSink {
 public:
  explicit RecordSink(std::vector<SpectrumRecord>& records) : records_(records) {}
  void add(std::vector<double>&& mz, std::vector<float>&& intensity, std::uint32_t ms_level,
           double retention_time_sec) override {
    records_.push_back(SpectrumRecord{std::move(mz), std::move(intensity), ms_level, retention_time_sec});
  }

 private:
  std::vector<SpectrumRecord>& records_;
};

// The capacity to reserve for the record list: one record per index entry.
// GC-MS MRM scans give one record per transition, so a GC-MS list with MRM
// scans grows once past it.
std::size_t expected_records(const LayoutData& layout) { return index_positions(layout); }

}  // namespace

void SpectrumSink::add(std::vector<double>&& /*mz*/, std::vector<float>&& /*intensity*/, std::uint32_t /*ms_level*/,
                       double /*retention_time_sec*/) {
  throw std::logic_error("a spectrum sink without value arrays must take lists");
}

std::uint64_t decode_budget(std::uint64_t stream_bytes, std::uint64_t slack) {
  const std::uint64_t max_stream_bytes = (~std::uint64_t{0} - slack) / kDecodeBudgetPerStreamByte;
  return std::min(stream_bytes, max_stream_bytes) * kDecodeBudgetPerStreamByte + slack;
}

namespace {

// Scan data below this size is not worth releasing while decoding.
constexpr std::size_t kMinBytesForRelease = std::size_t{4} << 20;

// The decode on `threads` threads; with `releasable`, the scan data of
// `file`, which the caller owns and drops afterwards, is released as the
// walk leaves it behind.
raw::Result<std::size_t> decode(const RawFile& file, SpectrumSink& sink, std::size_t threads, std::uint64_t slack,
                                Bytes* releasable) {
  Emitter out(sink, file.stream_bytes, slack);
  Walker walk(file.layout);
  const std::size_t positions = index_positions(file.layout);
  const std::size_t data_bytes = scan_data_bytes(file.layout);
  if (releasable != nullptr && data_bytes < kMinBytesForRelease) releasable = nullptr;
  if (positions < 2 || (threads <= 1 && releasable == nullptr)) {
    walk(0, positions, out);
    return std::move(out).finish();
  }
  // Positions per chunk from the average scan size, and at least two chunks
  // per thread.
  const std::size_t chunk_bytes = sink.value_arrays() != nullptr ? kCopiedChunkBytes : kChunkBytes;
  const std::size_t chunks = std::max(data_bytes / chunk_bytes, 2 * std::max<std::size_t>(threads, 1));
  const std::size_t per_chunk = std::max<std::size_t>(1, positions / chunks);
  ScanDataRelease release;
  if (releasable != nullptr) release = ScanDataRelease(file.layout, *releasable, positions, per_chunk);
  if (threads <= 1) {
    for (std::size_t k = 0, begin = 0; begin < positions; ++k, begin += per_chunk) {
      walk(begin, std::min(positions, begin + per_chunk), out);
      if (out.failed()) break;
      release.after_chunk(k);
    }
    return std::move(out).finish();
  }
  threads = std::min(threads, (positions + per_chunk - 1) / per_chunk);
  ChunkPool pool(walk, out, release, threads, positions, per_chunk);
  pool.run();
  return std::move(out).finish();
}

// The number of threads for decoding a file's scan data.
std::size_t threads_for(const RawFile& file) { return threads_for_bytes(scan_data_bytes(file.layout)); }

Bytes& scan_data(LayoutData& layout) {
  return std::visit(
      [](auto& data) -> Bytes& {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, QtflData>) {
          return data.centroid_data;
        } else {
          return data.ms_raw_data;
        }
      },
      layout);
}

}  // namespace

raw::Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink) {
  return decode(file, sink, threads_for(file), kDecodeBudgetSlack, nullptr);
}

raw::Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink, std::uint64_t slack) {
  return decode(file, sink, threads_for(file), slack, nullptr);
}

raw::Result<std::size_t> decode_spectra_on_threads(const RawFile& file, SpectrumSink& sink, std::size_t threads,
                                                   std::uint64_t slack) {
  return decode(file, sink, threads, slack, nullptr);
}

raw::Result<std::size_t> decode_spectra(RawFile&& file, SpectrumSink& sink) {
  return decode(file, sink, threads_for(file), kDecodeBudgetSlack, &scan_data(file.layout));
}

raw::Result<std::vector<SpectrumRecord>> build_spectra(RawFile file) {
  std::vector<SpectrumRecord> spectra;
  spectra.reserve(expected_records(file.layout));
  RecordSink sink(spectra);
  // The file is dropped when the list is complete.
  auto decoded = decode_spectra(std::move(file), sink);
  if (!decoded) return Unexpected(std::move(decoded).error());
  return spectra;
}

}  // namespace kelvara::reader
