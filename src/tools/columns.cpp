// The private extension `kelvara_tools._columns`: a whole run as flat columns.
//
// In Python terms:
//
//     class Column:                         # made only by read_columns
//         __array_interface__: dict         # one-dimensional, read-only
//     class FormatError(ValueError): ...
//     LAYOUTS: dict[str, dict]              # {name: {"extension", "storage", "probe", "streams", "profile"}}, probe order
//     def probe_layout(path) -> str | None    # the layout the container holds, any extension
//     def read_columns(path) -> tuple[str, str, Column, Column, Column, Column, Column, Column,
//                                     Column, Column, tuple[str, ...]]
//         # (name, layout, mz, intensity, offsets, ms_level, retention_time_sec, precursor_mz,
//         #  dropped_positions, dropped_codes, dropped_reasons): scan dropped_positions[k] of the
//         #  index was left out for dropped_reasons[dropped_codes[k]]
//     class BatchReader:
//         def __init__(self, path, max_points: int): ...   # opens the file
//         positions: int    # the index positions the walk covers
//         def tally(self) -> tuple[int, int, bool, bool] | None
//             # (spectra, transitions, some MS1, some other MSn) the walk
//             # will give, from the index and scan headers; None if unknown
//         def next(self) -> tuple[str, str, Column, ..., Column, tuple[str, ...]] | None
//             # read_columns' first eight items for the next batch, its
//             # spectra's index in the whole run, then the scans the walk left
//             # out since the previous batch: dropped_positions, dropped_codes,
//             # dropped_reasons as read_columns gives them; None after the last
//     def base64_segments(data: bytes, bounds: bytes) -> list[bytes]   # tools/base64.hpp
//
// read_columns opens the file and decodes every scan with the interpreter
// lock released: nothing between opening and the last scan touches a Python
// object. The core's ColumnSink (reader/sinks.hpp) appends each decoded
// spectrum to six contiguous blocks (every m/z of every spectrum, every
// intensity, the spectrum boundaries, the MS levels, the retention times and
// the precursor m/z values), so the peak data exist once. Each block then moves into a Column, whose __array_interface__ lets
// numpy build an array over the block without copying it; the array keeps
// the Column alive through its base, and the block is freed when the last
// array over it goes. Built against the 3.10 limited API like `kelvara`.
//
// BatchReader walks a run with the core's streaming walk (reader/stream.hpp)
// instead: each next() decodes windows, with the lock released, into a
// staging ColumnSink until it holds more than max_points points past the
// spectra already given out (or the walk ends), then copies the longest run
// of whole spectra within max_points (one spectrum at least) into blocks of
// their own, which become the batch's Columns. Memory stays near a batch
// and a few windows, whatever the size of the run. Each batch also carries
// the scans the walk dropped since the batch before; once a batch takes the
// last spectra decoded, the walk goes on to the next spectrum or the end,
// so the scans dropped after the run's last spectrum come with its last
// batch and the batches together list what read_columns does.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/py_support.hpp"
// Member definitions (T_PYSSIZET, READONLY), after Python.h.
#include <structmember.h>
#include "reader/build.hpp"
#include "reader/layouts.hpp"
#include "reader/open.hpp"
#include "reader/sinks.hpp"
#include "reader/stream.hpp"
#include "tools/base64.hpp"
#include "tools/spectra.hpp"

namespace {

using kelvara::py::entry;
using kelvara::py::OwnedRef;

using kelvara::reader::Block;
using kelvara::reader::ColumnSink;

// ---------------------------------------------------------------------------
// Column

struct ColumnObject {
  PyObject_HEAD
  void* data;          // from malloc; freed with the column
  Py_ssize_t length;   // elements
  const char* typestr; // numpy's array-interface type code
  PyObject* weakrefs;  // lets callers watch the column go
};

PyObject* column_type = nullptr;
PyObject* format_error = nullptr;

ColumnObject& column_of(PyObject* self) { return *reinterpret_cast<ColumnObject*>(self); }

PyObject* column_array_interface(PyObject* self, void*) {
  return entry([&]() -> OwnedRef {
    const ColumnObject& column = column_of(self);
    OwnedRef address(PyLong_FromVoidPtr(column.data));
    if (!address) return OwnedRef();
    // The data tuple's second item marks the memory read-only.
    return OwnedRef(Py_BuildValue("{s:(n),s:s,s:(O,O),s:i}", "shape", column.length, "typestr", column.typestr,
                                  "data", address.get(), Py_True, "version", 3));
  });
}

void column_dealloc(PyObject* self) {
  if (column_of(self).weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  std::free(column_of(self).data);
  kelvara::py::free_instance(self);
}

PyGetSetDef column_getset[] = {
    {"__array_interface__", column_array_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef column_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ColumnObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_getset, column_getset},
    {Py_tp_members, column_members},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "kelvara_tools._columns.Column",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    column_slots,
};

// numpy's array-interface type codes, in the byte order of this machine.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr const char* kFloat64 = kLittleEndian ? "<f8" : ">f8";
constexpr const char* kFloat32 = kLittleEndian ? "<f4" : ">f4";
constexpr const char* kInt64 = kLittleEndian ? "<i8" : ">i8";
constexpr const char* kUInt8 = "|u1";

// Moves the block into a new Column; on failure the block is freed.
template <class T>
OwnedRef new_column(Block<T>& block, const char* typestr) {
  const auto length = static_cast<Py_ssize_t>(block.size());
  T* data = block.take();
  if (data == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "could not allocate an empty column");
    return OwnedRef();
  }
  OwnedRef self = kelvara::py::alloc_instance(reinterpret_cast<PyTypeObject*>(column_type));
  if (!self) {
    std::free(data);
    return self;
  }
  ColumnObject& column = column_of(self.get());
  column.data = data;
  column.length = length;
  column.typestr = typestr;
  column.weakrefs = nullptr;
  return self;
}

// ---------------------------------------------------------------------------
// read_columns

OwnedRef text_object(const std::string& text) {
  return OwnedRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Raises the exception for a failed open. A failure the operating system
// reported (no such file, no permission, a directory) becomes the matching
// OSError subclass with errno and filename set. Anything else means the file
// is not a valid run, a container that cannot be read to the end included
// (the core shows that as an I/O error without an error number): FormatError,
// with the text the `kelvara` module shows for it, and for a container whose
// structures point past the end of the file that file's size and the size
// the container needs at least (file_bytes, needed_bytes; None otherwise).
// Memory the system refused is a MemoryError saying what it was for.
void set_open_error(const kelvara::Error& error, PyObject* path) {
  if (error.code() == kelvara::Error::Code::OutOfMemory) {
    OwnedRef message = text_object(error.message());
    if (message) PyErr_SetObject(PyExc_MemoryError, message.get());
    return;
  }
  if (const int code = error.os_errno(); code != 0) {
    // OSError(errno, strerror, filename) picks the subclass for the errno.
    OwnedRef number(PyLong_FromLong(code));
    OwnedRef message = text_object(error.message());
    if (!number || !message) return;
    OwnedRef exception(PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(), message.get(), path, nullptr));
    if (!exception) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return;
  }
  OwnedRef message = text_object(error.display());
  if (!message) return;
  OwnedRef exception(PyObject_CallFunctionObjArgs(format_error, message.get(), nullptr));
  if (!exception) return;
  const auto set_size = [&](const char* name, const std::optional<std::uint64_t>& bytes) {
    if (!bytes) return true;
    OwnedRef value(PyLong_FromUnsignedLongLong(*bytes));
    return value && PyObject_SetAttrString(exception.get(), name, value.get()) == 0;
  };
  if (!set_size("file_bytes", error.file_bytes()) || !set_size("needed_bytes", error.needed_bytes())) return;
  PyErr_SetObject(format_error, exception.get());
}

// The file's columns, or the error of opening or decoding it.
struct Decoded {
  std::string name;
  std::string_view layout;
  ColumnSink sink;
};

kelvara::Result<std::unique_ptr<Decoded>> open_and_decode(const std::string& path,
                                                          const kelvara::reader::ReadOptions& options) {
  KELVARA_TRY(opened, kelvara::reader::open_raw_file(path, options));
  auto decoded = std::make_unique<Decoded>();
  decoded->name = std::move(opened->display_name);
  decoded->layout = kelvara::reader::layout_of(opened->layout).name;
  if (decoded->sink.offsets.size() == 0) {
    return kelvara::Unexpected<kelvara::Error>(kelvara::Error::out_of_memory("the spectrum offsets of a run"));
  }
  // The columns grow to what the run's first scans project, not to the
  // layout's bound: address space is what a run under a limit runs out of.
  decoded->sink.expect_positions(kelvara::reader::layout_of(opened->layout).positions(opened->layout),
                                 kelvara::reader::most_points(opened->layout));
  // The file is dropped once decoded, so its scan data is handed back as
  // the walk leaves it behind.
  KELVARA_FORWARD_IF_ERROR(kelvara::reader::decode_spectra(std::move(*opened), decoded->sink));
  return decoded;
}

// The path a Python caller gave (str, bytes or os.PathLike) in the file
// system's encoding; nothing, with the Python error set, when it is none.
std::optional<std::string> file_path_of(PyObject* path) {
  OwnedRef fspath(PyOS_FSPath(path));
  if (!fspath) return std::nullopt;
  OwnedRef encoded = PyUnicode_Check(fspath.get()) ? OwnedRef(PyUnicode_EncodeFSDefault(fspath.get()))
                                                   : OwnedRef::new_reference_to(fspath.get());
  if (!encoded) return std::nullopt;
  char* bytes = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) < 0) return std::nullopt;
  std::string file_path(bytes, static_cast<std::size_t>(length));
  if (file_path.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return std::nullopt;
  }
  return file_path;
}

// The run's display name as str, decoded as the file system encodes names.
OwnedRef name_object(const std::string& name) {
  return OwnedRef(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// `work()` with the interpreter lock released: plain C++ over owned bytes,
// while other Python threads run. No exception may cross the lock's
// release, so one is carried over and rethrown here.
template <class Work>
auto without_lock(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(work());
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

OwnedRef read_columns_impl(PyObject* path) {
  const auto file_path = file_path_of(path);
  if (!file_path) return OwnedRef();
  // KELVARA_THREADS is read once, with the lock held: once it is released,
  // a Python thread may be writing os.environ.
  const kelvara::reader::ReadOptions options = kelvara::reader::read_options_from_environment();
  auto result = without_lock([&] { return open_and_decode(*file_path, options); });
  if (!result) {
    set_open_error(result.error(), path);
    return OwnedRef();
  }
  Decoded& decoded = **result;
  ColumnSink& sink = decoded.sink;

  OwnedRef name = name_object(decoded.name);
  if (!name) return OwnedRef();
  // Made in order, stopping at the first failure; blocks not yet handed to
  // a column are freed with the sink.
  OwnedRef columns[8];
  const auto make = [](auto& block, const char* typestr, OwnedRef& out) {
    out = new_column(block, typestr);
    return static_cast<bool>(out);
  };
  if (!make(sink.mz, kFloat64, columns[0]) || !make(sink.intensity, kFloat32, columns[1]) ||
      !make(sink.offsets, kInt64, columns[2]) || !make(sink.ms_level, kUInt8, columns[3]) ||
      !make(sink.retention_time, kFloat64, columns[4]) || !make(sink.precursor_mz, kFloat64, columns[5]) ||
      !make(sink.dropped_positions, kInt64, columns[6]) || !make(sink.dropped_codes, kUInt8, columns[7])) {
    return OwnedRef();
  }
  OwnedRef reasons(PyTuple_New(static_cast<Py_ssize_t>(sink.reasons.size())));
  if (!reasons) return OwnedRef();
  for (std::size_t k = 0; k < sink.reasons.size(); ++k) {
    OwnedRef text = text_object(sink.reasons[k]);
    if (!text || PyTuple_SetItem(reasons.get(), static_cast<Py_ssize_t>(k), text.release()) < 0) return OwnedRef();
  }
  return OwnedRef(Py_BuildValue("(Os#OOOOOOOOO)", name.get(), decoded.layout.data(),
                                static_cast<Py_ssize_t>(decoded.layout.size()), columns[0].get(), columns[1].get(),
                                columns[2].get(), columns[3].get(), columns[4].get(), columns[5].get(),
                                columns[6].get(), columns[7].get(), reasons.get()));
}

PyObject* read_columns(PyObject*, PyObject* path) {
  return entry([&] { return read_columns_impl(path); });
}

OwnedRef probe_layout_impl(PyObject* path) {
  const auto file_path = file_path_of(path);
  if (!file_path) return OwnedRef();
  const auto probed = without_lock([&] { return kelvara::reader::probe_layout(*file_path); });
  if (!probed) {
    set_open_error(probed.error(), path);
    return OwnedRef();
  }
  if (*probed == nullptr) return OwnedRef::new_reference_to(Py_None);
  const std::string_view name = (*probed)->name;
  return OwnedRef(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

PyObject* probe_layout(PyObject*, PyObject* path) {
  return entry([&] { return probe_layout_impl(path); });
}

// ---------------------------------------------------------------------------
// BatchReader

// Whole spectra of a run, copied out of the staging sink: the columns of one
// batch, with each spectrum's index in the whole run.
struct Batch {
  Block<double> mz;
  Block<float> intensity;
  Block<std::int64_t> offsets;
  Block<std::uint8_t> ms_level;
  Block<double> retention_time;
  Block<double> precursor_mz;
  Block<std::int64_t> index;
  // The scans dropped since the previous batch, coded into `reasons` (every
  // reason text met so far).
  Block<std::int64_t> dropped_positions;
  Block<std::uint8_t> dropped_codes;
  std::vector<std::string> reasons;
};

// The C++ side of a BatchReader: the streaming walk, the spectra it has
// decoded but not yet given out, and where the walk ended. Used by one
// thread at a time (the reader's `busy` flag sees to it).
class BatchSource {
 public:
  explicit BatchSource(std::size_t max_points) : max_points_(max_points) {}

  kelvara::Result<bool> open(const std::string& path, const kelvara::reader::ReadOptions& options) {
    auto opened = kelvara::reader::StreamingRun::open(path, options, staging_);
    if (!opened) return kelvara::Unexpected(std::move(opened).error());
    run_ = std::move(*opened);
    return true;
  }

  std::size_t positions() const { return run_->positions(); }
  std::optional<kelvara::reader::SpectrumTally> tally() const { return run_->tally(); }

  const std::string& name() const { return run_->display_name(); }
  std::string_view layout() const { return run_->layout().name; }
  const std::optional<kelvara::Error>& error() const { return error_; }

  // The next batch; nothing once the walk has ended or failed (error()
  // says which) and every spectrum before has been given out.
  std::optional<Batch> next() {
    ColumnSink& s = staging_;
    // Spectra given out leave the staging columns once they are half of
    // them, so each value moves a bounded number of times.
    if (taken_ > 0 && 2 * taken_ >= s.ms_level.size()) {
      s.drop_front(taken_);
      taken_ = 0;
    }
    while (!ended_ && !error_ && pending_points() <= max_points_) {
      auto stepped = run_->step();
      if (!stepped) {
        error_ = std::move(stepped).error();
      } else if (!*stepped) {
        ended_ = true;
      }
    }
    const std::size_t spectra = s.ms_level.size();
    if (taken_ == spectra) return std::nullopt;
    const std::int64_t* bounds = s.offsets.data();
    const std::size_t first = taken_;
    std::size_t count = 1;
    while (first + count < spectra &&
           static_cast<std::size_t>(bounds[first + count + 1] - bounds[first]) <= max_points_) {
      ++count;
    }

    // Each column is allocated once at its size, so that handing it to a
    // Column needs no trim and the allocator sees one block per column.
    Batch batch;
    const auto from = static_cast<std::size_t>(bounds[first]);
    const auto points = static_cast<std::size_t>(bounds[first + count]) - from;
    bool ok = exact(batch.mz, points).append(s.mz.data() + from, points) &&
              exact(batch.intensity, points).append(s.intensity.data() + from, points);
    exact(batch.offsets, count + 1);
    for (std::size_t k = 0; ok && k <= count; ++k) ok = batch.offsets.push(bounds[first + k] - bounds[first]);
    ok = ok && exact(batch.ms_level, count).append(s.ms_level.data() + first, count) &&
         exact(batch.retention_time, count).append(s.retention_time.data() + first, count) &&
         exact(batch.precursor_mz, count).append(s.precursor_mz.data() + first, count);
    exact(batch.index, count);
    for (std::size_t k = 0; ok && k < count; ++k) ok = batch.index.push(static_cast<std::int64_t>(given_ + k));
    // MemoryError in Python, with the batch's blocks freed.
    if (!ok) throw std::bad_alloc();
    taken_ += count;
    given_ += count;
    // With every decoded spectrum given out, walk on to the next one (or
    // the end), so that the scans dropped before it come with this batch.
    // An error met here is the next call's.
    while (!ended_ && !error_ && taken_ == s.ms_level.size()) {
      auto stepped = run_->step();
      if (!stepped) {
        error_ = std::move(stepped).error();
      } else if (!*stepped) {
        ended_ = true;
      }
    }
    const std::size_t dropped = s.dropped_positions.size() - dropped_given_;
    ok = exact(batch.dropped_positions, dropped).append(s.dropped_positions.data() + dropped_given_, dropped) &&
         exact(batch.dropped_codes, dropped).append(s.dropped_codes.data() + dropped_given_, dropped);
    if (!ok) throw std::bad_alloc();
    batch.reasons = s.reasons;
    dropped_given_ += dropped;
    return batch;
  }

 private:
  template <class T>
  static Block<T>& exact(Block<T>& block, std::size_t count) {
    block.try_reserve(std::max<std::size_t>(count, 1));
    return block;
  }

  // Points decoded and not yet given out.
  std::size_t pending_points() const {
    const std::int64_t* bounds = staging_.offsets.data();
    return static_cast<std::size_t>(bounds[staging_.ms_level.size()] - bounds[taken_]);
  }

  std::size_t max_points_;
  ColumnSink staging_;
  std::unique_ptr<kelvara::reader::StreamingRun> run_;  // after staging_, which it writes to
  std::size_t taken_ = 0;    // staging spectra given out
  std::uint64_t given_ = 0;  // spectra given out in all: the next one's index in the run
  std::size_t dropped_given_ = 0;  // dropped scans given out with the batches so far
  bool ended_ = false;
  std::optional<kelvara::Error> error_;
};

struct BatchReaderObject {
  PyObject_HEAD
  BatchSource* source;  // owned
  PyObject* path;       // as given, for the errors' filename
  bool busy;            // next() runs with the lock released
  Py_ssize_t positions;  // the index positions the walk covers
};

PyObject* batch_reader_type = nullptr;

BatchReaderObject& reader_of(PyObject* self) { return *reinterpret_cast<BatchReaderObject*>(self); }

OwnedRef batch_reader_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* path = nullptr;
  Py_ssize_t max_points = 0;
  static const char* keywords[] = {"path", "max_points", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On:BatchReader", const_cast<char**>(keywords), &path,
                                   &max_points)) {
    return OwnedRef();
  }
  if (max_points < 1) {
    PyErr_Format(PyExc_ValueError, "max_points must be at least 1, not %zd", max_points);
    return OwnedRef();
  }
  const std::optional<std::string> file_path = file_path_of(path);
  if (!file_path) return OwnedRef();
  // KELVARA_THREADS is read once, here, with the lock held.
  const kelvara::reader::ReadOptions options = kelvara::reader::read_options_from_environment();
  auto source = std::make_unique<BatchSource>(static_cast<std::size_t>(max_points));
  std::optional<kelvara::Result<bool>> opened;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    opened.emplace(source->open(*file_path, options));
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
  if (!*opened) {
    set_open_error(opened->error(), path);
    return OwnedRef();
  }
  OwnedRef self = kelvara::py::alloc_instance(type);
  if (!self) return self;
  BatchReaderObject& reader = reader_of(self.get());
  reader.source = source.release();
  Py_INCREF(path);
  reader.path = path;
  reader.busy = false;
  reader.positions = static_cast<Py_ssize_t>(reader.source->positions());
  return self;
}

PyObject* batch_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] { return batch_reader_new_impl(type, args, kwargs); });
}

void batch_reader_dealloc(PyObject* self) {
  kelvara::py::dealloc_guard(self, [&] {
    BatchReaderObject& reader = reader_of(self);
    // Stops the walk's workers between windows and joins them.
    delete reader.source;
    reader.source = nullptr;
    Py_CLEAR(reader.path);
  });
  kelvara::py::free_instance(self);
}

OwnedRef batch_reader_next_impl(PyObject* self) {
  BatchReaderObject& reader = reader_of(self);
  if (reader.busy) {
    PyErr_SetString(PyExc_RuntimeError, "BatchReader.next() is already running in another thread");
    return OwnedRef();
  }
  BatchSource& source = *reader.source;
  std::optional<Batch> batch;
  std::exception_ptr failure;
  reader.busy = true;
  Py_BEGIN_ALLOW_THREADS
  try {
    batch = source.next();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  reader.busy = false;
  if (failure) std::rethrow_exception(failure);
  if (!batch) {
    if (source.error()) {
      set_open_error(*source.error(), reader.path);
      return OwnedRef();
    }
    return OwnedRef::new_reference_to(Py_None);
  }
  OwnedRef name = name_object(source.name());
  if (!name) return OwnedRef();
  OwnedRef columns[9];
  const auto make = [](auto& block, const char* typestr, OwnedRef& out) {
    out = new_column(block, typestr);
    return static_cast<bool>(out);
  };
  if (!make(batch->mz, kFloat64, columns[0]) || !make(batch->intensity, kFloat32, columns[1]) ||
      !make(batch->offsets, kInt64, columns[2]) || !make(batch->ms_level, kUInt8, columns[3]) ||
      !make(batch->retention_time, kFloat64, columns[4]) || !make(batch->precursor_mz, kFloat64, columns[5]) ||
      !make(batch->index, kInt64, columns[6]) || !make(batch->dropped_positions, kInt64, columns[7]) ||
      !make(batch->dropped_codes, kUInt8, columns[8])) {
    return OwnedRef();
  }
  OwnedRef reasons(PyTuple_New(static_cast<Py_ssize_t>(batch->reasons.size())));
  if (!reasons) return OwnedRef();
  for (std::size_t k = 0; k < batch->reasons.size(); ++k) {
    OwnedRef text = text_object(batch->reasons[k]);
    if (!text || PyTuple_SetItem(reasons.get(), static_cast<Py_ssize_t>(k), text.release()) < 0) return OwnedRef();
  }
  const std::string_view layout = source.layout();
  return OwnedRef(Py_BuildValue("(Os#OOOOOOOOOO)", name.get(), layout.data(),
                                static_cast<Py_ssize_t>(layout.size()), columns[0].get(), columns[1].get(),
                                columns[2].get(), columns[3].get(), columns[4].get(), columns[5].get(),
                                columns[6].get(), columns[7].get(), columns[8].get(), reasons.get()));
}

PyObject* batch_reader_next(PyObject* self, PyObject*) {
  return entry([&] { return batch_reader_next_impl(self); });
}

OwnedRef batch_reader_tally_impl(PyObject* self) {
  BatchReaderObject& reader = reader_of(self);
  if (reader.busy) {
    PyErr_SetString(PyExc_RuntimeError, "BatchReader.tally() called while next() runs in another thread");
    return OwnedRef();
  }
  std::optional<kelvara::reader::SpectrumTally> tally;
  std::exception_ptr failure;
  reader.busy = true;
  Py_BEGIN_ALLOW_THREADS
  try {
    tally = reader.source->tally();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  reader.busy = false;
  if (failure) std::rethrow_exception(failure);
  if (!tally) return OwnedRef::new_reference_to(Py_None);
  return OwnedRef(Py_BuildValue("(KKOO)", static_cast<unsigned long long>(tally->spectra),
                                static_cast<unsigned long long>(tally->transitions), tally->ms1 ? Py_True : Py_False,
                                tally->msn ? Py_True : Py_False));
}

PyObject* batch_reader_tally(PyObject* self, PyObject*) {
  return entry([&] { return batch_reader_tally_impl(self); });
}

PyMethodDef batch_reader_methods[] = {
    {"next", batch_reader_next, METH_NOARGS,
     "next($self, /)\n--\n\n"
     "The next batch: read_columns' first eight items, each spectrum's index in the run, and the scans "
     "dropped since the previous batch (positions, codes, reasons); None after the last."},
    {"tally", batch_reader_tally, METH_NOARGS,
     "tally($self, /)\n--\n\n"
     "The spectra the walk will give, counted from the index and the scans' headers without decoding a peak: "
     "(spectra, MRM transitions among them, some MS1 spectrum, some MSn spectrum that is not a transition), "
     "exact when every scan decodes; None when the count could not be made."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef batch_reader_members[] = {
    {"positions", T_PYSSIZET, offsetof(BatchReaderObject, positions), READONLY,
     "The index positions the walk covers: the run's spectra when each gives one and none is dropped."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot batch_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_reader_dealloc)},
    {Py_tp_methods, batch_reader_methods},
    {Py_tp_members, batch_reader_members},
    {Py_tp_doc, const_cast<char*>("BatchReader(path, max_points)\n--\n\nA run read in batches of whole spectra.")},
    {0, nullptr},
};

PyType_Spec batch_reader_spec = {
    "kelvara_tools._columns.BatchReader",
    sizeof(BatchReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    batch_reader_slots,
};

// ---------------------------------------------------------------------------
// Module

PyMethodDef module_methods[] = {
    {"read_columns", read_columns, METH_O,
     "read_columns(path, /)\n--\n\n"
     "Open and decode a data file; return (name, layout, mz, intensity, offsets, ms_level, "
     "retention_time_sec, precursor_mz, dropped_positions, dropped_codes, dropped_reasons)."},
    {"probe_layout", probe_layout, METH_O,
     "probe_layout(path, /)\n--\n\n"
     "The name of the layout whose identifying entry the file's container holds, whatever its "
     "extension; None when it holds none."},
    {"base64_segments", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kelvara::tools::base64_segments)),
     METH_FASTCALL, kelvara::tools::kBase64SegmentsDoc},
    {"spectrum_elements",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kelvara::tools::spectrum_elements)), METH_FASTCALL,
     kelvara::tools::kSpectrumElementsDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The layouts' table as Python sees it: {name: {"extension": ..., "storage":
// ..., "probe": ..., "streams": (...), "profile": ...}}, in probe order.
OwnedRef layout_table() {
  OwnedRef table(PyDict_New());
  if (!table) return OwnedRef();
  for (const kelvara::reader::Layout* layout : kelvara::reader::layouts()) {
    OwnedRef streams(PyTuple_New(static_cast<Py_ssize_t>(layout->streams.size())));
    if (!streams) return OwnedRef();
    for (std::size_t k = 0; k < layout->streams.size(); ++k) {
      const std::string_view path = layout->streams[k];
      OwnedRef text(PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
      if (!text || PyTuple_SetItem(streams.get(), static_cast<Py_ssize_t>(k), text.release()) < 0) return OwnedRef();
    }
    OwnedRef entry(Py_BuildValue("{s:s#,s:s#,s:s#,s:O,s:O}", "extension", layout->extension.data(),
                                 static_cast<Py_ssize_t>(layout->extension.size()), "storage",
                                 layout->storage.data(), static_cast<Py_ssize_t>(layout->storage.size()), "probe",
                                 layout->probe.data(), static_cast<Py_ssize_t>(layout->probe.size()), "streams",
                                 streams.get(), "profile", layout->profile ? Py_True : Py_False));
    if (!entry) return OwnedRef();
    OwnedRef name(PyUnicode_FromStringAndSize(layout->name.data(), static_cast<Py_ssize_t>(layout->name.size())));
    if (!name || PyDict_SetItem(table.get(), name.get(), entry.get()) < 0) return OwnedRef();
  }
  return table;
}

int module_exec_impl(PyObject* module) {
  if (column_type == nullptr) column_type = PyType_FromSpec(&column_spec);
  if (column_type == nullptr) return -1;
  if (format_error == nullptr) {
    // Sizes of a file that looks cut short; None on the class, set on an
    // instance when the container points past the end of its file.
    OwnedRef attributes(Py_BuildValue("{s:O,s:O}", "file_bytes", Py_None, "needed_bytes", Py_None));
    if (!attributes) return -1;
    format_error = PyErr_NewExceptionWithDoc("kelvara_tools.FormatError",
                                             "The file is not a valid run: its container, layout entries, "
                                             "index or decoded size are wrong. file_bytes and needed_bytes "
                                             "give the file's size and the size its container needs at least "
                                             "when the container points past the end of the file, else None.",
                                             PyExc_ValueError, attributes.get());
  }
  if (format_error == nullptr) return -1;
  if (batch_reader_type == nullptr) batch_reader_type = PyType_FromSpec(&batch_reader_spec);
  if (batch_reader_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Column", column_type) < 0) return -1;
  if (PyModule_AddObjectRef(module, "BatchReader", batch_reader_type) < 0) return -1;
  if (PyModule_AddObjectRef(module, "FormatError", format_error) < 0) return -1;
  OwnedRef layouts = layout_table();
  if (!layouts || PyModule_AddObjectRef(module, "LAYOUTS", layouts.get()) < 0) return -1;
  return 0;
}

int module_exec(PyObject* module) {
  return entry([&] { return module_exec_impl(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kelvara_tools._columns", "", 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__columns(void) { return PyModuleDef_Init(&module_def); }
