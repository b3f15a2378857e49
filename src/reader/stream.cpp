// The streaming walk (see stream.hpp): windows of the index are the ordered
// executor's tasks. A task reads its window's scans from the container and
// decodes them into a chunk (reader/executor.hpp) on whichever thread takes
// it; step() waits for the next window, copies its values into the sink's
// arrays and hands its spectra to the emitter, which keeps the budget.
// Windows live in a ring of slots as deep as the executor may run ahead.

#include "reader/stream.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cfb/file.hpp"
#include "common/executor.hpp"
#include "reader/build.hpp"
#include "reader/executor.hpp"
#include "reader/walk.hpp"

namespace kelvara::reader {
namespace {

// A stretch of the scan data one window reads: [begin, end) of the stream.
struct Span {
  std::uint64_t begin;
  std::uint64_t end;
};

// A window in flight: its chunk of decoded spectra and the bytes they were
// cut from, kept until the window is handed over in case the calling thread
// must finish its decode.
struct Slot {
  Chunk chunk;
  Bytes bytes;
  std::vector<ScanBytes::Piece> pieces;
  std::optional<Error> error;
};

}  // namespace

struct StreamingRun::State final : OrderedExecutor::Work {
  State(RawFile raw, cfb::CompoundFile opened, SpectrumSink& sink, std::uint64_t slack)
      : file(std::move(raw)),
        container(std::move(opened)),
        layout(layout_of(file.layout)),
        out(sink, file.stream_bytes, slack),
        walk(file.layout) {}

  RawFile file;
  cfb::CompoundFile container;
  const Layout& layout;
  cfb::StreamRanges scan_ranges;  // the scan-data stream, read on demand
  std::uint64_t scan_size = 0;
  Bytes whole;  // the scan data, when read whole at open
  bool read_whole = false;
  std::vector<std::size_t> window_starts;  // window k is [window_starts[k], window_starts[k + 1])
  Emitter out;
  Walker walk;
  std::atomic<std::uint64_t> decoded{0};
  std::vector<Slot> slots;
  std::size_t next = 0;  // the next window to hand over
  std::size_t threads = 1;
  std::optional<Error> failure;
  // Last, so that its workers stop before anything they use goes.
  std::unique_ptr<OrderedExecutor> executor;

  std::size_t window_count() const { return window_starts.size() - 1; }

  // The valid scan range of index position i, or nothing.
  std::optional<Span> scan_span(std::size_t i) const {
    const std::uint64_t start = layout.scan_start(file.layout, i);
    const std::uint64_t end = layout.scan_end(file.layout, i, scan_size);
    if (start > end || end > scan_size) return std::nullopt;
    return Span{start, end};
  }

  // The stretches of scan data window k reads: the union of its scans'
  // ranges (of their first `head` bytes only, when given), those closer
  // than kPieceGap joined.
  std::vector<Span> spans_of(std::size_t k, std::optional<std::uint64_t> head = std::nullopt) const {
    std::vector<Span> spans;
    for (std::size_t i = window_starts[k]; i < window_starts[k + 1]; ++i) {
      if (auto span = scan_span(i); span && span->end > span->begin) {
        if (head) span->end = std::min(span->end, span->begin + *head);
        spans.push_back(*span);
      }
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::size_t kept = 0;
    for (const Span& span : spans) {
      if (kept > 0 && span.begin <= spans[kept - 1].end + kPieceGap) {
        spans[kept - 1].end = std::max(spans[kept - 1].end, span.end);
      } else {
        spans[kept++] = span;
      }
    }
    spans.resize(kept);
    return spans;
  }

  // Cuts the index into windows of about kWindowBytes of scans each; gives
  // the bytes the windows would read together.
  std::uint64_t cut_windows() {
    const std::size_t positions = layout.positions(file.layout);
    window_starts.push_back(0);
    std::uint64_t bytes = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < positions; ++i) {
      const auto span = scan_span(i);
      const std::uint64_t length = span ? span->end - span->begin : 0;
      if (count > 0 && (bytes + length > kWindowBytes || count == kMaxWindowPositions)) {
        window_starts.push_back(i);
        bytes = 0;
        count = 0;
      }
      bytes += length;
      ++count;
    }
    if (positions > 0) window_starts.push_back(positions);
    std::uint64_t reads = 0;
    for (std::size_t k = 0; k < window_count(); ++k) {
      for (const Span& span : spans_of(k)) reads += span.end - span.begin;
    }
    return reads;
  }

  // Reads `spans` of the scan data into `bytes`, one piece each.
  Result<bool> read_spans(const std::vector<Span>& spans, Bytes& bytes,
                          std::vector<ScanBytes::Piece>& pieces) const {
    std::uint64_t total = 0;
    for (const Span& span : spans) total += span.end - span.begin;
    bytes.resize(static_cast<std::size_t>(total));
    std::uint64_t at = 0;
    for (const Span& span : spans) {
      const std::span<std::uint8_t> part(bytes.data() + at, static_cast<std::size_t>(span.end - span.begin));
      auto got = container.read_range(scan_ranges, span.begin, part);
      if (!got) return Unexpected(std::move(got).error().restated(Error::Code::Io, ""));
      pieces.push_back({span.begin, ByteView(part.data(), part.size())});
      at += part.size();
    }
    return true;
  }

  // Task k: read window k's scans and decode them into its slot.
  void produce(std::size_t k) override {
    Slot& slot = slots[k % slots.size()];
    reset(slot.chunk);
    slot.chunk.begin = window_starts[k];
    slot.chunk.end = window_starts[k + 1];
    slot.chunk.stopped_at = slot.chunk.begin;
    slot.error.reset();
    slot.pieces.clear();
    if (read_whole) {
      slot.pieces.push_back({0, ByteView(whole)});
    } else {
      if (auto read = read_spans(spans_of(k), slot.bytes, slot.pieces); !read) {
        slot.error = std::move(read).error();
        return;
      }
    }
    ChunkCollector collect(slot.chunk, true, decoded, out.budget());
    slot.chunk.values.reserve(slot.chunk.end - slot.chunk.begin);
    const ScanBytes scans(scan_size, slot.pieces);
    slot.chunk.stopped_at = walk(scans, slot.chunk.begin, slot.chunk.end, collect);
    if (slot.chunk.stopped_at == slot.chunk.end) release_bytes(slot);
  }

  // A slot's buffers are kept from window to window, as the whole-run
  // decode keeps its chunks' buffers: windows of a run are alike, and
  // buffers made afresh for each would grow through a series of sizes that
  // the allocator keeps around, so the process would grow with the run.
  // Only the bytes of a window far larger than usual (one huge scan) go.
  static void reset(Chunk& chunk) {
    ChunkBuffers buffers = std::move(chunk.buffers);
    buffers.mz.clear();
    buffers.intensity.clear();
    std::vector<PendingValues> values = std::move(chunk.values);
    values.clear();
    chunk = Chunk{};  // the drops go
    chunk.buffers = std::move(buffers);
    chunk.values = std::move(values);
  }

  static void release_bytes(Slot& slot) {
    if (slot.bytes.capacity() > 4 * kWindowBytes) {
      Bytes().swap(slot.bytes);
    } else {
      slot.bytes.clear();
    }
    slot.pieces.clear();
  }

  // Ends the walk with the emitter's error.
  Error emitter_failure() {
    auto result = std::move(out).finish();
    return result ? Error::format("the walk stopped without a reason") : std::move(result).error();
  }

  // Hands window k's spectra to the emitter; an error when the walk ends
  // here.
  std::optional<Error> hand_over(std::size_t k) {
    if (const std::exception_ptr thrown = executor->wait_for(k)) std::rethrow_exception(thrown);
    Slot& slot = slots[k % slots.size()];
    if (slot.error) return std::move(slot.error);
    Chunk& chunk = slot.chunk;
    ValueArrays& arrays = *out.value_arrays();
    const std::size_t points = chunk.buffers.mz.size();
    if (points > 0) {
      if (arrays.room() < points && !arrays.grow(points)) {
        out.out_of_memory(num(points * kDecodeBytesPerPoint) + " bytes for the " + num(points) +
                          " values of the window from index position " + num(chunk.begin));
        return emitter_failure();
      }
      std::copy_n(chunk.buffers.mz.data(), points, arrays.place_mz(points));
      std::copy_n(chunk.buffers.intensity.data(), points, arrays.place_intensity(points));
    }
    for (const PendingValues& s : chunk.values) {
      if (!out.emit_placed(s.position, s.points, s.info)) return emitter_failure();
    }
    for (PendingDrop& d : chunk.drops) out.drop(d.position, std::move(d.reason));
    if (out.failed()) return emitter_failure();
    if (chunk.refused.any) {
      // The records before the refusal are handed over, as a walk on one
      // thread would have; the walk ends here for want of memory.
      if (chunk.refused.points != 0) {
        const std::size_t refused = chunk.refused.points;
        out.out_of_memory(num(refused * kDecodeBytesPerPoint) + " bytes for the " + num(refused) +
                          " points of the scan at index position " + num(chunk.refused.position));
      } else {
        out.out_of_memory("the pending records of the window at index position " + num(chunk.refused.position));
      }
      return emitter_failure();
    }
    if (chunk.stopped_at < chunk.end) {
      // The workers stopped between scans once the budget looked spent: the
      // rest goes through the emitter, which finds the exact record.
      const ScanBytes scans(scan_size, slot.pieces);
      walk(scans, chunk.stopped_at, chunk.end, out);
      if (out.failed()) return emitter_failure();
    }
    reset(chunk);
    release_bytes(slot);
    executor->consumed(k);
    return std::nullopt;
  }
};

StreamingRun::StreamingRun(std::unique_ptr<State> state) : state_(std::move(state)) {}
StreamingRun::~StreamingRun() = default;

Result<std::unique_ptr<StreamingRun>> StreamingRun::open(const std::string& path, const ReadOptions& options,
                                                              SpectrumSink& sink, std::uint64_t slack) {
  prepare_exception_state();  // as open_raw_file does
  try {
    auto detected = detect_layout(path);
    if (!detected) return Unexpected(std::move(detected).error());
    ReadOptions on_demand = options;
    on_demand.scan_data_on_demand = true;
    std::uint64_t stream_bytes = 0;
    auto loaded = detected->layout->load(detected->container, on_demand, stream_bytes);
    if (!loaded) return Unexpected(std::move(loaded).error());
    const std::string_view scan_path = detected->layout->scan_stream;
    auto stream = detected->container.open_stream(scan_path);
    if (!stream) {
      return fail("stream '" + std::string(scan_path) + "' not found: " + stream.error().message());
    }
    auto ranges = detected->container.open_ranges(*stream);
    if (!ranges) return Unexpected(std::move(ranges).error().restated(Error::Code::Io, ""));

    auto state = std::make_unique<State>(
        RawFile{std::move(detected->display_name), std::move(*loaded), stream_bytes, options},
        std::move(detected->container), sink, slack);
    state->scan_ranges = std::move(*ranges);
    state->scan_size = stream->size;
    const std::uint64_t reads = state->cut_windows();
    if (reads > kMaxReadsOfScanData * state->scan_size + kDecodeBudgetSlack) {
      // The index reads the same scan data over and over across windows:
      // one read of the whole stream costs less.
      auto whole = read_stream(state->container, scan_path, options);
      if (!whole) return Unexpected(std::move(whole).error());
      state->whole = std::move(*whole);
      state->read_whole = true;
    }
    state->threads = std::min(threads_for_bytes(options, state->scan_size), std::max<std::size_t>(state->window_count(), 1));
    state->slots.resize(kChunksAheadPerThread * state->threads + 1);
    return std::unique_ptr<StreamingRun>(new StreamingRun(std::move(state)));
  } catch (const std::bad_alloc&) {
    return Unexpected(Error::out_of_memory("memory for the index of " + path));
  }
}

Result<bool> StreamingRun::step() {
  State& s = *state_;
  if (s.failure) return Unexpected(*s.failure);
  if (s.next == s.window_count()) return false;
  try {
    if (!s.executor) {
      s.executor = std::make_unique<OrderedExecutor>(s, s.window_count(), s.threads, s.slots.size() - 1);
    }
    s.failure = s.hand_over(s.next);
  } catch (const std::bad_alloc&) {
    s.failure = Error::out_of_memory("memory for decoding the scans of " +
                                             s.file.display_name);
  }
  if (s.failure) {
    s.executor.reset();
    return Unexpected(*s.failure);
  }
  ++s.next;
  if (s.next == s.window_count()) s.executor.reset();
  return true;
}

std::optional<SpectrumTally> StreamingRun::tally() const {
  const State& s = *state_;
  const std::uint64_t head = s.layout.yield_head_bytes;
  SpectrumTally tally;
  try {
    Bytes bytes;
    std::vector<ScanBytes::Piece> pieces;
    if (s.read_whole) pieces.push_back({0, ByteView(s.whole)});
    for (std::size_t k = 0; k < s.window_count(); ++k) {
      if (head > 0 && !s.read_whole) {
        // Only the scans' heads: within the stretches the walk reads for
        // this window, never more.
        pieces.clear();
        if (!s.read_spans(s.spans_of(k, head), bytes, pieces)) return std::nullopt;
      }
      const ScanBytes scans(s.scan_size, pieces);
      for (std::size_t i = s.window_starts[k]; i < s.window_starts[k + 1]; ++i) {
        const auto span = s.scan_span(i);
        // The walk drops a range that runs backwards or past the end; an
        // empty one no decoder accepts.
        if (!span || span->end == span->begin) continue;
        const std::uint64_t length = span->end - span->begin;
        ByteView first;
        if (head > 0) {
          auto got = scans.range(span->begin, span->begin + std::min(length, head));
          if (!got) return std::nullopt;
          first = *got;
        }
        const ScanYield yield = s.layout.yield(s.file.layout, i, first, length);
        tally.spectra += yield.spectra;
        if (yield.spectra == 0) continue;
        switch (yield.kind) {
          case ScanYield::Kind::Ms1: tally.ms1 = true; break;
          case ScanYield::Kind::Msn: tally.msn = true; break;
          case ScanYield::Kind::Transition: tally.transitions += yield.spectra; break;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return tally;
}

const std::string& StreamingRun::display_name() const { return state_->file.display_name; }
const Layout& StreamingRun::layout() const { return state_->layout; }
std::size_t StreamingRun::windows() const { return state_->window_count(); }
std::size_t StreamingRun::positions() const { return state_->layout.positions(state_->file.layout); }

}  // namespace kelvara::reader
