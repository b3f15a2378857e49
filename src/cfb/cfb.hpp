// Reader of Compound File Binary containers ([MS-CFB]): the structured
// storage in which the instruments keep their acquisitions. This facade is
// all the opener uses: open a container on a file, ask whether an entry
// exists, open a stream by path, read it whole.
//
// Checked once, at open (each failure is an Error):
// - the file: it has a size (a directory is refused) of at least 512 bytes;
// - the header: signature, major version 3 or 4, byte order mark, sector
//   shift 9 in version 3 and 12 in version 4, mini sector shift 6, mini
//   stream cutoff 4096;
// - the DIFAT: every FAT sector it lists, and every sector of the DIFAT
//   chain, lies inside the file and is listed once; at least one FAT sector;
// - the FAT and the mini FAT: entries of units past the end of the file (of
//   the mini stream) are dropped; every loop the other entries form is
//   found, so that later walks keep no record of where they have been;
// - the directory, mini FAT and mini stream chains: each unit inside the
//   file, no marker before the chain's end, no loop, and the mini stream's
//   chain long enough for the root entry's size;
// - the directory tree from the root: entry 0 is the root; every linked
//   entry exists, is reached once, is a storage or a stream and has an even
//   name length of at most 64 bytes.
// An entry that links past the end of the file, or to a reserved value, does
// not fail the open: writers leave such values in entries that no chain
// uses. A chain that reaches one fails when it is read.
//
// Checked at read (read_to_end), before anything is allocated: the stream's
// declared size against the space that holds it (the mini stream below 4096
// bytes, the file's sectors from 4096 up). Then its chain is followed for
// exactly the units the size needs: each unit inside that space, no marker
// before the size is covered, no loop; each run of contiguous units is read
// with one call, and must lie inside the file.
//
// For a stream read in parts on demand (open_ranges, then read_range), the
// same checks run once, when its ranges are made: the chain is walked for
// the units the size needs and turned into the list of its contiguous runs,
// each checked against the file's end. A read then only looks up the runs
// it covers; the file shrinking since is the one failure left to it.
//
// Every failure is a value with a complete message; no input makes this
// code crash, recurse, loop without bound or allocate more than the file's
// size justifies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "cfb/file.hpp"
#include "common/bytes.hpp"

namespace kelvara::cfb {

// A stream found by path: enough to read it, nothing more.
struct Stream {
  std::uint32_t entry_id = 0;
  std::uint64_t size = 0;
};

// A stretch of a stream that lies in consecutive units of the file.
struct StreamRun {
  std::uint64_t file_offset;
  std::uint64_t stream_offset;
  std::uint64_t length;
};

// Where every byte of a stream lies in the file: its chain as runs of
// contiguous units, in stream order. A stream stored in order takes one run
// per fragment of the file, whatever its size; at worst one per unit.
struct StreamRanges {
  std::uint64_t size = 0;
  std::vector<StreamRun> runs;
};

class CompoundFile {
 public:
  // Validates the container structure; takes ownership of the file.
  static Expected<CompoundFile, Error> open(File file);

  CompoundFile(CompoundFile&&) noexcept;
  CompoundFile& operator=(CompoundFile&&) noexcept;
  ~CompoundFile();

  // True when any entry, storage or stream, lies at `path`; false otherwise,
  // also for a path that cannot be parsed. Names are compared without
  // regard to case, as [MS-CFB] 2.6.4 prescribes.
  bool exists(std::string_view path) const;

  // The stream at `path`, or an error saying why there is none there
  // (no such entry, or the entry is a storage).
  Expected<Stream, Error> open_stream(std::string_view path) const;

  // All bytes of an opened stream. With `threads` above 1, a stream of
  // several MiB is read in up to that many parts at once, each on its own
  // thread (the calling thread among them), into the same bytes a read on
  // one thread gives; should reads fail, the error is the first part's in
  // stream order.
  Expected<Bytes, Error> read_to_end(const Stream& stream, std::size_t threads = 1) const;

  // Where an opened stream's bytes lie, checked as read_to_end checks them
  // before it reads, for reading parts of it on demand.
  Expected<StreamRanges, Error> open_ranges(const Stream& stream) const;

  // The bytes [offset, offset + out.size()) of a stream whose ranges these
  // are, into `out`; the same bytes read_to_end gives there. A range past
  // the stream's end is an error. Safe to call from several threads at once.
  Expected<void, Error> read_range(const StreamRanges& ranges, std::uint64_t offset,
                                   std::span<std::uint8_t> out) const;

 private:
  struct State;
  explicit CompoundFile(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace kelvara::cfb
