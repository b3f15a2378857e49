// The table of acquisition layouts: one descriptor per layout, in the spirit
// of a method table. The opener probes the layouts in table order, loads
// the one it finds, and the walk, the page release, the columns module and
// the Python package read what they need from its descriptor; nothing else
// asks which layout a file has.
//
// A layout has one name, used for its decoder folder (src/raw/<name>), its
// glue here (src/reader/layouts/<name>.cpp) and the `layout` string Python
// shows (which stored pickles keep, so it never changes).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cfb/cfb.hpp"
#include "common/bytes.hpp"
#include "common/error.hpp"
#include "raw/records.hpp"
#include "reader/open.hpp"
#include "reader/sinks.hpp"

namespace kelvara::reader {

// Where a layout's walk hands each decoded scan: the emitter of a walk on
// the calling thread, or a chunk of the index decoded on a worker thread.
class ScanOut {
 public:
  // False once the walk should stop between scans (the budget is spent).
  virtual bool more() const = 0;
  // Where the next scan's points go.
  virtual raw::PointSpace& space() = 0;
  // The spectrum of `points` points just written to space(), from index
  // position `position`; false stops the walk at once.
  virtual bool emit(std::size_t position, std::size_t points, const SpectrumInfo& info) = 0;
  // The scan at `position` is left out: its byte range or its bytes are
  // wrong, as `reason` says.
  virtual void drop(std::size_t position, Error&& reason) = 0;
  // Asked when the scan at `position` did not decode: true when space()
  // refused memory for its points, which stops the walk there and fails
  // the decode; false when the scan is merely dropped.
  virtual bool refused(std::size_t position) = 0;

 protected:
  ~ScanOut() = default;
};

// What a layout's walk keeps across the ranges of one decode, on every
// thread (TTFL: the scans several subsets share).
class WalkState {
 public:
  virtual ~WalkState() = default;
};

// The scan data a walk reads: the whole stream in memory, or the pieces of
// it one window of the index addresses, read on demand. Offsets are the
// stream's either way, and a range is valid or not by the stream's size
// alone, so a walk over pieces finds (and drops) the scans a walk over the
// whole stream finds, for the same reasons.
class ScanBytes {
 public:
  struct Piece {
    std::uint64_t offset;  // in the stream
    ByteView bytes;
  };

  explicit ScanBytes(const Bytes& whole) : size_(whole.size()), one_{0, ByteView(whole)}, pieces_(&one_, 1) {}
  // `pieces` in stream order, not overlapping.
  ScanBytes(std::uint64_t stream_size, std::span<const Piece> pieces) : size_(stream_size), pieces_(pieces) {}
  ScanBytes(const ScanBytes&) = delete;
  ScanBytes& operator=(const ScanBytes&) = delete;

  // The stream's size.
  std::uint64_t size() const { return size_; }

  // The bytes [start, end), or why there are none: the range runs
  // backwards or past the stream's end (or, never for a window's own scans,
  // outside its pieces). An empty range is handed to the decoder, which
  // rejects it as too short.
  Result<ByteView> range(std::uint64_t start, std::uint64_t end) const {
    if (start > end) return fail("scan bytes " + num(start) + " to " + num(end) + " run backwards");
    if (end > size_) {
      return fail("scan bytes " + num(start) + " to " + num(end) + " lie past the end of the " + num(size_) +
                  "-byte scan data");
    }
    if (start == end) return ByteView();
    auto piece = std::upper_bound(pieces_.begin(), pieces_.end(), start,
                                  [](std::uint64_t at, const Piece& p) { return at < p.offset; });
    if (piece != pieces_.begin() && end - std::prev(piece)->offset <= std::prev(piece)->bytes.size()) {
      --piece;
      return piece->bytes.sub(static_cast<std::size_t>(start - piece->offset), static_cast<std::size_t>(end - start));
    }
    return fail("scan bytes " + num(start) + " to " + num(end) + " were not read for this window");
  }

 private:
  std::uint64_t size_;
  Piece one_{0, ByteView()};
  std::span<const Piece> pieces_;
};

// What one scan gives a walk that decodes it, told from the index and at
// most the scan's first bytes, without decoding a peak: its count of
// spectra, and whether they are MS1 spectra, MSn spectra, or MRM
// transitions (MS2 spectra of one point with a precursor m/z).
struct ScanYield {
  enum class Kind : std::uint8_t { Ms1, Msn, Transition };
  std::uint32_t spectra = 0;
  Kind kind = Kind::Ms1;
};

struct Layout {
  std::string_view name;       // "gcms", "single_quad", "ttfl_profile", "qtof_centroid"
  std::string_view extension;  // of the files holding it, lower case, without the dot
  std::string_view storage;    // the storage a missing-layout message names
  std::string_view probe;      // the container entry whose presence identifies it
  std::span<const std::string_view> streams;  // the streams it needs, in the order load reads them
  std::string_view scan_stream;                // the one of them holding the scan data the index addresses
  bool profile;                // profile scans (sampled on the channel axis) rather than centroids

  // Reads the layout's streams whole, in a fixed order, on the threads
  // `options` allow, and parses its index; `stream_bytes` receives the
  // bytes of every stream read.
  Result<LayoutData> (*load)(const cfb::CompoundFile& container, const ReadOptions& options,
                             std::uint64_t& stream_bytes);
  // The number of index positions the walk covers.
  std::size_t (*positions)(const LayoutData& data);
  // The scan data the index addresses.
  const Bytes& (*scan_data)(const LayoutData& data);
  // Where the scan of index position i starts in the scan data.
  std::uint64_t (*scan_start)(const LayoutData& data, std::size_t i);
  // Where it ends, in scan data of `size` bytes; a scan whose start lies
  // past its end, or whose end lies past `size`, is not read.
  std::uint64_t (*scan_end)(const LayoutData& data, std::size_t i, std::uint64_t size);
  // State shared by the walks of one decode, or nullptr when none is needed.
  std::unique_ptr<WalkState> (*walk_state)(const LayoutData& data);
  // Decodes the index positions [begin, end), their scans cut out of
  // `bytes`, and hands every record to `out`; before each position it asks
  // out.more(). Returns the position it stopped before: `end` when the
  // range is done.
  std::size_t (*walk)(const LayoutData& data, WalkState* state, const ScanBytes& bytes, std::size_t begin,
                      std::size_t end, ScanOut& out);
  // How many of a scan's first bytes `yield` reads: 0 when the index alone
  // tells what each scan gives.
  std::size_t yield_head_bytes;
  // What the scan at index position i, of `length` bytes, gives the walk
  // when it decodes; `head` holds its first yield_head_bytes bytes (all of
  // a shorter scan).
  ScanYield (*yield)(const LayoutData& data, std::size_t i, ByteView head, std::uint64_t length);
  // The fewest bytes of scan data a point can be stored in (the densest
  // record the decoder accepts), so that a run whose index addresses each
  // scan once holds at most scan data / this many points.
  std::size_t densest_point_bytes;
};

// Every layout, in probe order; entry k describes alternative k of
// LayoutData.
std::span<const Layout* const> layouts();

// The descriptor of the layout `data` holds.
const Layout& layout_of(const LayoutData& data);

// The most points a run can hold when its index addresses each scan once.
inline std::size_t most_points(const LayoutData& data) {
  const Layout& layout = layout_of(data);
  return layout.scan_data(data).size() / layout.densest_point_bytes;
}

// The loop every layout's walk follows over the index positions [begin,
// end): `range(i)` gives the scan's byte range in `data` as a pair, and
// `decode(i, bytes)` decodes it and emits its records, giving out.emit's
// verdict (false: stop) or the decoder's error, with which the scan is
// dropped. Returns the position the walk stopped before.
template <class Range, class Decode>
std::size_t walk_scans(const ScanBytes& data, std::size_t begin, std::size_t end, ScanOut& out, Range&& range,
                       Decode&& decode) {
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto [start, stop] = range(i);
    auto bytes = data.range(start, stop);
    if (!bytes) {
      out.drop(i, std::move(bytes).error());
      continue;
    }
    Result<bool> emitted = decode(i, *bytes);
    if (!emitted) {
      if (out.refused(i)) return i;
      out.drop(i, std::move(emitted).error());
    } else if (!*emitted) {
      return i;
    }
  }
  return end;
}

// Scan i runs from its offset up to the next entry's, the last to the end of
// the data; the offsets are taken as stored, never sorted.
template <class Offset>
std::uint64_t scan_end(const std::vector<Offset>& offsets, std::size_t i, std::uint64_t size) {
  return i + 1 < offsets.size() ? static_cast<std::uint64_t>(offsets[i + 1]) : size;
}

// The descriptors of the table, one per file in src/reader/layouts/.
extern const Layout kGcmsLayout;
extern const Layout kTtflProfileLayout;
extern const Layout kQtofCentroidLayout;
extern const Layout kSingleQuadLayout;

}  // namespace kelvara::reader
