"""Write a run as indexed mzML 1.1.

    write_mzml(run, "out/run01.mzML", source="data/run01.qgd", compression="zlib")
    stream_mzml("data/run01.qgd", "out/run01.mzML", compression="zlib")

The writer streams the document in one pass: the header (file description
with the source file's SHA-1, software, instrument configuration, data
processing), one <spectrum> per spectrum, a total-ion-current chromatogram
and one selected-reaction-monitoring chromatogram per MRM transition (pair
of precursor and product m/z), then the index of byte offsets and the SHA-1
of the document itself. MRM transitions go out as those chromatograms, not
as spectra, unless srm_as_spectra is asked for; either way a spectrum's id
is "index=N" with N its position in the source run, so it does not change
with the mode or the filters.

A run comes in batches of consecutive spectra: write_mzml's Run is one,
stream_mzml walks the file in many (iter_batches), decoding the next batch
while writing this one, so memory stays near a few batches. Each batch is
filtered, its MRM transitions found and its spectra written on its own;
what spans the run (the chromatograms, the index offsets, the kinds of
spectra met) accumulates as the batches pass. The header's spectra count
and kinds come before the spectra: a walk writes them from a guess (what
the index and the scans' headers foresee; with filters, the index's count
of scans and the first batch's kinds) and, when the end shows
the guess wrong, writes the document again with the right header in front
of the body already written, so the bytes are always those of the whole run
written at once.

The spectrum elements go out in groups of a few thousand, each group in
one call to C++ (_columns.spectrum_elements) on the encoder's threads with
the GIL released: the element's template filled with the spectrum's numbers
(written as Python's repr writes them) and its m/z (64-bit, or 32-bit with
mz32) and intensity (32-bit) arrays, deflated (or MS-Numpress encoded, in
numpy, first) and base64-encoded on the way, so no Python work is done per
spectrum or per peak. Per-spectrum summary values (total ion current, base
peak) are computed per batch with numpy. Hashing and writing run on two
more threads. With gzip the whole document goes through a gzip stream; the
index offsets and the checksum are those of the uncompressed document.

Every controlled-vocabulary term below is from the PSI-MS vocabulary (MS:)
or the Unit Ontology (UO:). Output is byte-for-byte deterministic: it holds
no time stamps, so converting the same source twice gives the same file.
"""

from __future__ import annotations

import binascii
import bisect
import dataclasses
import functools
import gzip as gzip_module
import hashlib
import itertools
import os
import pathlib
import queue
import re
import tempfile
import threading
import zlib
from typing import Callable, Iterator
from xml.sax.saxutils import quoteattr

import numpy as np

from . import _encode, _numpress
from ._columns import spectrum_elements
from ._direct import DirectFile, aligned_block
from ._atomic import discard
from ._errors import escape
from ._filters import Filters, subset
from ._run import SrmChromatogram, _transitions, read_run
from ._summary import base_peaks as _base_peaks, representation as _representation

__all__ = ["write_mzml", "stream_mzml", "read_source_stamp", "stamp_values"]

# Indexed by the representation code of the spectra table: 0 centroid, 1 profile.
_SPECTRUM_TYPE = (("MS:1000127", "centroid spectrum"), ("MS:1000128", "profile spectrum"))
_COMPRESSION = {"zlib": ("MS:1000574", "zlib compression"), "none": ("MS:1000576", "no compression")}

# Written into the source file's description so a later conversion can tell
# whether this output is still current (see read_source_stamp).
_STAMP_SIZE = "source file size"
_STAMP_MTIME = "source file modification time ns"
_STAMP_OPTIONS = "conversion options"
_STAMP_RE = re.compile(rb'<userParam name="([a-z ]+)" value="([^"]*)"')
_GZIP_MAGIC = b"\x1f\x8b"

_NUMPRESS = {
    # (array encoding, without and with zlib after it)
    "linear": (("MS:1002312", "MS-Numpress linear prediction compression"),
               ("MS:1002746", "MS-Numpress linear prediction compression followed by zlib compression")),
    "slof": (("MS:1002314", "MS-Numpress short logged float compression"),
             ("MS:1002748", "MS-Numpress short logged float compression followed by zlib compression")),
}
# A transition's precursor ion was fragmented in the collision cell; the
# file records neither the gas nor the energy, so only the kind is given.
_ACTIVATION = ("MS:1000133", "collision-induced dissociation")
_SRM_CHROMATOGRAM = ("MS:1001473", "selected reaction monitoring chromatogram")
_SRM_SPECTRUM = ("MS:1000583", "SRM spectrum")


def _cv(accession: str, name: str, value: str = "", unit: tuple[str, str] | None = None) -> str:
    """One cvParam element; `unit` is (accession, name) from MS or UO."""
    text = f'<cvParam cvRef="{accession[:2]}" accession="{accession}" name="{name}" value="{value}"'
    if unit:
        text += f' unitCvRef="{unit[0][:2]}" unitAccession="{unit[0]}" unitName="{unit[1]}"'
    return text + "/>"


_MZ_UNIT = ("MS:1000040", "m/z")
_COUNTS_UNIT = ("MS:1000131", "number of detector counts")
_SECOND = ("UO:0000010", "second")


def _format_floats(values: np.ndarray) -> list[bytes]:
    """Each value as the shortest text that reads back as the same double,
    as Python's repr writes it: by the spectrum formatter, so precursor and
    product texts are the same bytes as the spectra's other numbers."""
    if len(values) == 0:
        return []
    texts, _ = spectrum_elements((b"", b"\n"), ((b"f", _float64(values)),), 1)
    return b"".join(texts).split(b"\n")[:-1]


class _Sink:
    """Output that tracks the byte position and hashes everything written.

    Parts are queued as they come, in lists of about BLOCK bytes. One
    helper thread copies them into page-aligned blocks and hashes each
    piece right after copying it, while it is still in the CPU's cache
    (hashing the parts where they lie, long after they were made, ran at
    half the speed); another writes the full blocks, straight to the device
    where the file allows it. Both release the GIL for the long steps, so
    they run beside the caller formatting the next parts and beside each
    other."""

    BLOCK = DirectFile.BLOCK

    def __init__(self, handle):
        self.handle = handle
        self.position = 0
        self.sha1 = hashlib.sha1()
        self.parts: list[bytes] = []
        self.pending = 0
        # Two lists wait for the hashing thread and two blocks for the
        # writing one at most: memory stays near eight blocks.
        self.lists: queue.Queue = queue.Queue(maxsize=2)
        self.full: queue.Queue = queue.Queue()
        self.free: queue.Queue = queue.Queue()
        for _ in range(3):
            self.free.put(memoryview(aligned_block(self.BLOCK)))
        self.failure: BaseException | None = None
        self.threads = [threading.Thread(target=self._hash, daemon=True),
                        threading.Thread(target=self._write, daemon=True)]
        for thread in self.threads:
            thread.start()

    def _hash(self) -> None:
        block, used = self.free.get(), 0
        while (parts := self.lists.get()) is not None:
            if self.failure is not None:
                continue
            try:
                for part in parts:
                    part = memoryview(part)
                    while part:
                        take = min(len(part), self.BLOCK - used)
                        piece = block[used:used + take]
                        piece[:] = part[:take]
                        self.sha1.update(piece)
                        used += take
                        part = part[take:]
                        if used == self.BLOCK:
                            self.full.put((block, used))
                            block, used = self.free.get(), 0
            except BaseException as error:  # reported by close()
                self.failure = error
        self.full.put((block, used))
        self.full.put(None)

    def _write(self) -> None:
        # A file of ours takes the blocks as they are (it copies only a
        # partial one); gzip compresses them.
        write = self.handle.write_block if isinstance(self.handle, DirectFile) else self.handle.write
        while (item := self.full.get()) is not None:
            block, used = item
            if self.failure is None and used:
                try:
                    write(block[:used])
                except BaseException as error:  # reported by close()
                    self.failure = error
            self.free.put(block)

    def write(self, data: bytes) -> None:
        self.parts.append(data)
        self.position += len(data)
        self.pending += len(data)
        if self.pending >= self.BLOCK:
            self.flush()

    def write_many(self, parts: list[bytes], size: int) -> None:
        """Queue parts whose total length the caller has counted; lists are
        cut between parts, so a long one goes out a block at a time."""
        if self.pending + size < self.BLOCK:
            self.parts += parts
            self.position += size
            self.pending += size
            return
        for part in parts:
            self.write(part)

    def flush(self) -> None:
        if self.parts:
            self.lists.put(self.parts)
            self.parts = []
            self.pending = 0
        if self.failure is not None:
            raise self.failure

    def _stop(self) -> None:
        self.lists.put(None)
        for thread in self.threads:
            thread.join()

    def close(self) -> str:
        """Write what is left, stop the helpers and return the SHA-1."""
        self.flush()
        self._stop()
        if self.failure is not None:
            raise self.failure
        return self.sha1.hexdigest()

    def abandon(self) -> None:
        self.failure = self.failure or RuntimeError("abandoned")
        self._stop()


def _encoder(encoder: _encode.Encoder, deflate: bool) -> Callable[[np.ndarray], bytes]:
    """One whole array's text: a chromatogram's, or a one-value spectrum array's."""
    return lambda a: encoder.encode(a, deflate)


def file_sha1(path: str | os.PathLike) -> str:
    digest = hashlib.sha1()
    # One buffer read into again and again: a fresh 1 MiB bytes object per
    # read would be fresh pages each time.
    block = bytearray(1 << 20)
    view = memoryview(block)
    with open(path, "rb", buffering=0) as f:
        while size := f.readinto(block):
            digest.update(view[:size])
    return digest.hexdigest()


class _Beside:
    """A call run on a daemon thread beside the caller; result() waits for
    it and returns its value or raises its error. Given up, it is left to
    finish on its own."""

    def __init__(self, call: Callable, *args) -> None:
        self._outcome: tuple[bool, object] | None = None
        self._thread = threading.Thread(target=self._run, args=(call, args), daemon=True)
        self._thread.start()

    def _run(self, call: Callable, args) -> None:
        try:
            self._outcome = (True, call(*args))
        except BaseException as error:  # raised by result()
            self._outcome = (False, error)

    def result(self):
        self._thread.join()
        done, value = self._outcome
        if done:
            return value
        raise value


def _ncname(text: str) -> str:
    cleaned = re.sub(r"[^A-Za-z0-9_.-]", "_", text)
    return cleaned if cleaned[:1].isalpha() or cleaned[:1] == "_" else "_" + cleaned


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("kelvara")
    except Exception:  # not installed as a distribution (source checkout)
        return "0+unknown"


def read_source_stamp(path: str | os.PathLike) -> dict[str, str]:
    """The source stamp recorded in an mzML file written here: size,
    modification time and options, read from the document's head without
    parsing it. Empty if the file has none."""
    with open(path, "rb") as f:
        head = f.read(1 << 16)
    if head.startswith(_GZIP_MAGIC):
        try:
            with gzip_module.open(path, "rb") as f:
                head = f.read(1 << 16)
        except (OSError, EOFError):  # damaged or cut short: no stamp to trust
            return {}
    end = head.find(b"</sourceFile>")
    if end < 0:
        return {}
    return {k.decode(): v.decode() for k, v in _STAMP_RE.findall(head[:end])}


def stamp_values(source_size: int, source_mtime_ns: int, options: str) -> dict[str, str]:
    return {_STAMP_SIZE: str(source_size), _STAMP_MTIME: str(source_mtime_ns), _STAMP_OPTIONS: options}


def _processing(filters: Filters) -> str:
    """The conversion, then one processing method per filter, in the order
    they apply; each names its filter and value in a userParam."""
    methods = [_cv("MS:1000544", "Conversion to mzML")]
    for name, value in filters.describe():
        term = ("MS:1000594", "low intensity data point removal") if name == "min-intensity" else \
            ("MS:1001486", "data filtering")
        methods.append(f'{_cv(*term)}\n          <userParam name={quoteattr(name)} value={quoteattr(value)} '
                       f'type="xsd:string"/>')
    return "".join(f"""
        <processingMethod order="{order}" softwareRef="kelvara">
          {method}
        </processingMethod>""" for order, method in enumerate(methods))


def _header(name: str, n: int, content_terms: list[tuple[str, str]], source_abs: str, source_sha1: str,
            source_stamp: dict[str, str] | None, filters: Filters) -> bytes:
    """Everything before the first spectrum."""
    content = [_cv(*term) for term in content_terms]
    stamp = "".join(f'\n          <userParam name="{k}" value={quoteattr(v)} type="xsd:string"/>'
                    for k, v in (source_stamp or {}).items())
    # A file URI of the folder: spaces and other reserved characters escaped.
    location = pathlib.Path(os.path.dirname(source_abs)).as_uri()
    location += "" if location.endswith("/") else "/"
    return f"""<?xml version="1.0" encoding="utf-8"?>
<indexedmzML xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd">
  <mzML xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd" id={quoteattr(escape(name))} version="1.1.0">
    <cvList count="2">
      <cv id="MS" fullName="Proteomics Standards Initiative Mass Spectrometry Ontology" version="4.1.258" URI="https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"/>
      <cv id="UO" fullName="Unit Ontology" URI="http://ontologies.berkeleybop.org/uo.obo"/>
    </cvList>
    <fileDescription>
      <fileContent>
        {(chr(10) + "        ").join(content)}
      </fileContent>
      <sourceFileList count="1">
        <sourceFile id="source" name={quoteattr(escape(os.path.basename(source_abs)))} location={quoteattr(location)}>
          {_cv("MS:1000774", "multiple peak list nativeID format")}
          {_cv("MS:1000560", "mass spectrometer file format")}
          {_cv("MS:1000569", "SHA-1", source_sha1)}{stamp}
        </sourceFile>
      </sourceFileList>
    </fileDescription>
    <softwareList count="1">
      <software id="kelvara" version={quoteattr(_version())}>
        {_cv("MS:1000799", "custom unreleased software tool", "kelvara")}
      </software>
    </softwareList>
    <instrumentConfigurationList count="1">
      <instrumentConfiguration id="instrument">
        {_cv("MS:1000031", "instrument model")}
      </instrumentConfiguration>
    </instrumentConfigurationList>
    <dataProcessingList count="1">
      <dataProcessing id="conversion">{_processing(filters)}
      </dataProcessing>
    </dataProcessingList>
    <run id={quoteattr(_ncname(name))} defaultInstrumentConfigurationRef="instrument" defaultSourceFileRef="source">
      <spectrumList count="{n}" defaultDataProcessingRef="conversion">
""".encode("utf-8")


@dataclasses.dataclass(frozen=True)
class _Coding:
    """How one kind of array is written: the values' type and precision
    term, the compression term, and the function from one array's values to
    its base64 text. A batch of spectra's arrays goes through `encoder` in
    one call, deflated first unless `plain`. An array of one value goes with
    the `single` coding where there is one: its compression term then varies
    by spectrum."""

    dtype: str
    precision: tuple[str, str]
    compression: tuple[str, str]
    encode: Callable[[np.ndarray], bytes]
    plain: bool
    single: _Coding | None = None
    # MS-Numpress: the batch encoder (values, bounds) -> bytes per segment,
    # and whether zlib follows it.
    numpress: Callable[[np.ndarray, np.ndarray], list[bytes]] | None = None
    then_zlib: bool = False
    encoder: _encode.Encoder = dataclasses.field(default_factory=_encode.Encoder)

    def field(self, values: np.ndarray, data: bytes, bounds: np.ndarray) -> tuple:
        """The spectrum_elements field of the arrays values[bounds[k]:bounds[k + 1]],
        `data` being the values' bytes: deflated and base64-encoded there,
        or, for MS-Numpress, encoded here first."""
        if self.numpress is None:
            return b"a", data, values.itemsize, _int64(bounds), not self.plain
        return b"e", self._numpress_texts(values[bounds[0]:bounds[-1]], bounds - bounds[0])

    def _numpress_texts(self, values: np.ndarray, bounds: np.ndarray) -> list[bytes]:
        """Base64 text of each MS-Numpress segment values[bounds[k]:bounds[k + 1]]."""
        encoded = self.numpress(values, bounds)
        if self.single is not None:
            # A one-value array goes as its plain 64-bit value, deflated as
            # the numpress arrays are.
            at = bounds.tolist()
            for k in np.flatnonzero(np.diff(bounds) == 1).tolist():
                encoded[k] = np.ascontiguousarray(values[at[k]:at[k + 1]], dtype=self.single.dtype).tobytes()
        return self.encoder.encode_parts(encoded, deflate=self.then_zlib)


def _codings(compression: str, numpress: bool = False, mz32: bool = False) -> dict[str, _Coding]:
    """The coding of each array kind: spectra's "mz" and "intensity",
    chromatograms' "time" and "tic" (64-bit) and "srm" (the transitions'
    32-bit intensities). MS-Numpress applies to the spectra's arrays only:
    chromatograms keep their times and intensities exactly. All share one
    encoder, on as many threads as KELVARA_THREADS asks, read here, once
    per conversion."""
    plain = compression == "none"
    term = _COMPRESSION[compression]
    encoder = _encode.Encoder(_encode.threads())
    encode = _encoder(encoder, not plain)

    def coding(dtype: str, precision: tuple[str, str]) -> _Coding:
        return _Coding(dtype, precision, term, encode, plain, encoder=encoder)

    codings = {
        "mz": coding("<f4", _F32) if mz32 else coding("<f8", _F64),
        "intensity": coding("<f4", _F32),
        "time": coding("<f8", _F64),
        "tic": coding("<f8", _F64),
        "srm": coding("<f4", _F32),
    }
    if numpress:
        # Numpress arrays decode to doubles. pynumpress, which pyteomics
        # decodes with, refuses a linear-prediction array of one value (an
        # MRM transition's product m/z, or a scan of one peak), so such an
        # array keeps the plain coding.
        single = coding("<f8", _F64)
        codings["mz"] = _Coding("<f8", _F64, _NUMPRESS["linear"][not plain], encode, False, single,
                                _numpress.linear_batch, not plain, encoder)
        codings["intensity"] = _Coding("<f8", _F64, _NUMPRESS["slof"][not plain], encode, False,
                                       None, _numpress.slof_batch, not plain, encoder)
    return codings


def _arrays(*arrays) -> list[str]:
    """A binaryDataArrayList; each array is (coding, array term, unit,
    payload slot). Payload slots are %-format placeholders filled per
    spectrum: the encoded length and then the base64 text."""
    lines = [f'<binaryDataArrayList count="{len(arrays)}">']
    for coding, term, unit, slot in arrays:
        lines += [f'  <binaryDataArray encodedLength="{slot}">',
                  f"    {_cv(*coding.precision)}",
                  "    %b" if coding.single else f"    {_cv(*coding.compression)}",
                  f"    {_cv(*term, unit=unit)}",
                  f"    <binary>{slot}</binary>",
                  "  </binaryDataArray>"]
    lines.append("</binaryDataArrayList>")
    return lines


_F64 = ("MS:1000523", "64-bit float")
_INDENT = 8  # spaces before <spectrum> and <chromatogram>
_F32 = ("MS:1000521", "32-bit float")


def _spectrum_template(codings: dict[str, _Coding]) -> bytes:
    """One spectrum element as a %-format over (index, source index, points,
    spectrum kind term, MS level, representation term, TIC, base peak m/z,
    base peak intensity, scan start time, precursor and product lists, m/z
    length, m/z base64, intensity length, intensity base64)."""
    lines = [
        '<spectrum index="%d" id="index=%d" defaultArrayLength="%d">',
        "  %b",
        '  <cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="%d"/>',
        "  %b",
        '  <cvParam cvRef="MS" accession="MS:1000285" name="total ion current" value="%b"/>',
        '  <cvParam cvRef="MS" accession="MS:1000504" name="base peak m/z" value="%b"'
        ' unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>',
        '  <cvParam cvRef="MS" accession="MS:1000505" name="base peak intensity" value="%b"'
        ' unitCvRef="MS" unitAccession="MS:1000131" unitName="number of detector counts"/>',
        '  <scanList count="1">',
        f'    {_cv("MS:1000795", "no combination")}',
        "    <scan>",
        '      <cvParam cvRef="MS" accession="MS:1000016" name="scan start time" value="%b"'
        ' unitCvRef="UO" unitAccession="UO:0000010" unitName="second"/>',
        "    </scan>",
        "  </scanList>%b",
    ]
    arrays = _arrays((codings["mz"], ("MS:1000514", "m/z array"), _MZ_UNIT, "%d"),
                     (codings["intensity"], ("MS:1000515", "intensity array"), _COUNTS_UNIT, "%d"))
    lines += ["  " + line for line in arrays]
    lines.append("</spectrum>")
    text = "".join(" " * _INDENT + line + "\n" for line in lines)
    # Each array's slot appears twice, as the length then the text.
    text = text.replace('<binary>%d</binary>', '<binary>%b</binary>')
    return text.encode()


def _check_options(compression: str, numpress: bool, mz32: bool) -> None:
    if compression not in _COMPRESSION:
        raise ValueError(f"compression must be 'zlib' or 'none', not {compression!r}")
    if numpress and mz32:
        raise ValueError("numpress and mz32 both reduce the m/z precision: choose one")


def write_mzml(run, path: str | os.PathLike, *, source: str | os.PathLike, compression: str = "zlib",
               source_stamp: dict[str, str] | None = None,
               progress: Callable[[int, int], None] | None = None, srm_as_spectra: bool = False,
               numpress: bool = False, mz32: bool = False, gzip: bool = False,
               filters: Filters | None = None) -> int:
    """Write `run` to `path` as indexed mzML; returns the bytes of the
    document (before gzip).

    `source` is the raw file the run came from (hashed into the output's
    source file description). `source_stamp`, from stamp_values, is recorded
    beside it. `progress(done, total)` is called with the number of spectra
    written so far and in all, every few thousand spectra. MRM transitions
    become SRM chromatograms, or spectra with their precursor and product
    with `srm_as_spectra`. `numpress` encodes the spectra's m/z with
    MS-Numpress linear prediction and their intensities with short logged
    floats (then zlib, unless compression is "none"); `mz32` writes m/z as
    32-bit floats; `gzip` compresses the whole document; `filters` chooses
    the spectra and points written and is recorded in the data processing.
    The caller owns atomicity: `path` should be a temporary name to rename on
    success."""
    _check_options(compression, numpress, mz32)
    index = np.arange(len(run))
    return _write_document(run.name, iter([(run, index)]), None, path, source=source, compression=compression,
                           source_stamp=source_stamp, progress=progress, srm_as_spectra=srm_as_spectra,
                           numpress=numpress, mz32=mz32, gzip=gzip, filters=filters).size


@dataclasses.dataclass
class _Written:
    """What stream_mzml wrote: the document's bytes (before gzip), the
    spectra and points read from the source, and the spectra written."""

    size: int
    spectra_read: int
    points_read: int
    spectra_written: int


def stream_mzml(source: str | os.PathLike, path: str | os.PathLike, *, compression: str = "zlib",
                source_stamp: dict[str, str] | None = None, progress: Callable[[int, int], None] | None = None,
                srm_as_spectra: bool = False, numpress: bool = False, mz32: bool = False, gzip: bool = False,
                filters: Filters | None = None, max_points: int = 1 << 20) -> _Written:
    """Convert the data file `source` to indexed mzML at `path`, batch by
    batch: the same bytes write_mzml(read_run(source), path, ...) writes,
    with memory near a few batches of `max_points` points plus the MRM
    transitions' points (the index and the TIC chromatogram's values go to
    scratch files beside `path` once they grow past 1 MiB).
    The next batch is decoded and prepared on a helper thread while this
    one is encoded and written. Errors are read_run's, raised when the walk
    reaches them; the caller owns atomicity as with write_mzml.
    `progress(done, total)` gets the spectra written so far and the count
    the file's index and scan headers foresee (the index's count of scans
    with filters; what was written, once past it)."""
    from ._batches import _walk, _walk_tallied

    _check_options(compression, numpress, mz32)
    if filters:  # what the filters keep is known only as the batches pass
        positions, batches = _walk(source, max_points)
        tally = None
    else:
        positions, tally, batches = _walk_tallied(source, max_points)
    expected = (positions, None)
    if tally is not None:
        # The MRM transitions leave the spectra as SRM chromatograms, or
        # stay as SRM spectra.
        srm = tally.transitions > 0
        kinds = [_MS1] * tally.ms1 + [_MSN] * tally.msn + [_SRM_SPECTRUM] * (srm and srm_as_spectra)
        expected = (tally.spectra - (0 if srm_as_spectra else tally.transitions),
                    _content(kinds, srm and not srm_as_spectra))
    return _write_document(None, ((batch, batch.index) for batch in batches), expected, path, source=source,
                           compression=compression, source_stamp=source_stamp, progress=progress,
                           srm_as_spectra=srm_as_spectra, numpress=numpress, mz32=mz32, gzip=gzip, filters=filters)


class _Ahead:
    """The items of an iterator made one ahead on a helper thread, handed
    over in order; an error the iterator raises is raised where its item
    was due. Decoding a batch releases the interpreter lock, and so does
    encoding one, so the two overlap."""

    _END = object()

    def __init__(self, items) -> None:
        self.items = items
        self.queue: queue.Queue = queue.Queue(maxsize=1)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        try:
            for item in self.items:
                if not self._put((True, item)):
                    return
            self._put((True, self._END))
        except BaseException as error:  # raised in the taker's thread
            self._put((False, error))

    def _put(self, item) -> bool:
        while not self.stop.is_set():
            try:
                self.queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def __iter__(self):
        return self

    def __next__(self):
        if self.stop.is_set():
            raise StopIteration
        ok, item = self.queue.get()
        if not ok:
            self.stop.set()
            raise item
        if item is self._END:
            self.stop.set()
            raise StopIteration
        return item

    def close(self) -> None:
        """Stop after the item under way, and wait for the thread."""
        self.stop.set()
        self.thread.join()


class _Spectra:
    """One batch as written: the spectra the filters keep, without the MRM
    transitions that go out as chromatograms, and every column the
    spectrum elements need."""

    def __init__(self, run, index: np.ndarray, filters: Filters, srm_as_spectra: bool, mz_dtype: str,
                 totals: _Totals) -> None:
        run, kept = filters.apply(run)
        self.source_index = index if kept is None else index[kept]
        transitions, group, precursor, product = _transitions(run)
        self.srm = bool(len(transitions)) and not srm_as_spectra
        if self.srm:
            totals.add_transitions(run, transitions, group, precursor, product)
            keep = np.ones(len(run), dtype=bool)
            keep[transitions] = False
            run, positions = subset(run, keep)
            self.source_index, transitions = self.source_index[positions], transitions[:0]
        self.mz = np.ascontiguousarray(run.mz, dtype=mz_dtype)
        self.intensity = np.ascontiguousarray(run.intensity, dtype="<f4")
        self.offsets = np.asarray(run.offsets, dtype=np.int64)
        self.levels = np.asarray(run.ms_level)
        self.times = np.asarray(run.retention_time_sec, dtype=np.float64)
        # The same summary values and representation as the spectra table.
        self.tic = run.tic(ms_level=None).intensity
        self.bp_mz, self.bp_int, _ = _base_peaks(run)
        self.representation = _representation(run)
        # Each spectrum's kind as its position in _KINDS.
        codes = (self.levels != 1).astype(np.uint8)
        codes[transitions] = _KINDS.index(_SRM_SPECTRUM)
        self.kind_codes = codes
        self.kinds = {_KINDS[code] for code in np.unique(codes).tolist()}
        self.precursors = _precursor_lists(run, transitions)
        totals.add_spectra(self)

    def __len__(self) -> int:
        return len(self.levels)


# What spans the run (the index's spectrum numbers and offsets, the MS1
# spectra's times and total ion currents) grows by some 32 bytes a spectrum:
# 180 MB for a 1.5 GB GC-MS run of 5.8 million scans. Past this many bytes a
# column goes to an unnamed scratch file beside the output, to be read back
# in pieces of _PIECE values at the end.
_SPILL_BYTES = 1 << 20
# A multiple of 3: a piece of values of any width is then a whole number of
# 3-byte groups, so the pieces' base64 texts join into the whole array's.
_PIECE = 3 << 14


class _Column:
    """Values of one type appended as the batches pass, held in memory up to
    _SPILL_BYTES and in a scratch file past that. The file has no name (or
    loses it at once where the file system cannot make nameless files), so
    a conversion killed part way leaves nothing behind; it lives in the
    output's folder, where the output's own bytes are known to fit."""

    def __init__(self, folder: str, dtype) -> None:
        self.folder, self.dtype = folder, np.dtype(dtype)
        self.held: list[np.ndarray] = []
        self.held_bytes = self.rows = 0
        self.file = None

    def append(self, values) -> None:
        values = np.ascontiguousarray(values, dtype=self.dtype)
        self.held.append(values)
        self.rows += len(values)
        self.held_bytes += values.nbytes
        if self.held_bytes > _SPILL_BYTES:
            self._spill()

    def _spill(self) -> None:
        if self.file is None:
            self.file = tempfile.TemporaryFile(dir=self.folder, prefix=".kelvara-", suffix=".tmp")
        for values in self.held:
            self.file.write(memoryview(values).cast("B"))
        self.held, self.held_bytes = [], 0

    def pieces(self) -> Iterator[np.ndarray]:
        """The values in order, _PIECE at a time (the last piece fewer)."""
        if self.file is None:
            values = np.concatenate([np.zeros(0, self.dtype), *self.held])
            for start in range(0, len(values), _PIECE):
                yield values[start:start + _PIECE]
            return
        self._spill()
        self.file.flush()
        self.file.seek(0)
        size = _PIECE * self.dtype.itemsize
        for _ in range(0, self.rows, _PIECE):
            yield np.frombuffer(self.file.read(size), dtype=self.dtype)

    def close(self) -> None:
        self.held = []
        if self.file is not None:
            self.file.close()


class _Totals:
    """What spans the run, gathered as its batches pass: the spectrum kinds
    met, the index (each spectrum's number in the source run and offset),
    the MS1 spectra's times and total ion currents, and the MRM transitions'
    points grouped by (precursor, product) pair, pairs numbered by first
    appearance across the run. The index and the MS1 columns go to scratch
    files in `folder` once they grow; close() removes them."""

    def __init__(self, folder: str) -> None:
        self.name: str | None = None
        self.spectra_read = self.points_read = 0
        self.kinds: set[tuple[str, str]] = set()
        self.numbers, self.offsets = _Column(folder, np.int64), _Column(folder, np.int64)
        self.tic_times, self.tic_values = _Column(folder, "<f8"), _Column(folder, "<f8")
        self.pairs: dict[tuple[float, float], int] = {}
        self.transitions: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []

    def read(self, run) -> None:
        self.name = run.name
        self.spectra_read += len(run)
        self.points_read += len(run.mz)

    def add_spectra(self, spectra: _Spectra) -> None:
        self.kinds.update(spectra.kinds)
        ms1 = spectra.levels == 1
        self.tic_times.append(spectra.times[ms1])
        self.tic_values.append(spectra.tic[ms1])

    def add_transitions(self, run, spectra, group, precursor, product) -> None:
        # The batch numbers its pairs by first appearance in it; in that
        # order, a pair the run has not met yet takes the next number.
        numbers = np.array([self.pairs.setdefault(pair, len(self.pairs))
                            for pair in zip(precursor.tolist(), product.tolist())], dtype=np.int64)
        self.transitions.append((numbers[group], run.retention_time_sec[spectra],
                                 run.intensity[run.offsets[spectra]].astype(np.float64)))

    def chromatograms(self, codings: dict[str, _Coding]) -> list[tuple[str, Iterator[bytes]]]:
        """The TIC chromatogram, then one per MRM transition: Run.srm()'s
        chromatograms of the whole run, each as its id and the pieces of
        its text, encoded as they are taken."""
        elements = [_chromatogram(0, "TIC", codings, "tic", _cv(*_TIC), self.tic_times, self.tic_values)]
        if not self.pairs:
            return elements
        numbers, times, values = (np.concatenate(parts) for parts in zip(*self.transitions))
        order = np.argsort(numbers, kind="stable")
        bounds = np.searchsorted(numbers[order], np.arange(len(self.pairs) + 1))
        times, values = times[order], values[order]
        for k, (precursor, product) in enumerate(self.pairs):
            trace = SrmChromatogram(precursor, product, times[bounds[k]:bounds[k + 1]],
                                    values[bounds[k]:bounds[k + 1]])
            elements.append(_srm_chromatogram(k + 1, codings, trace))
        return elements

    def close(self) -> None:
        for column in (self.numbers, self.offsets, self.tic_times, self.tic_values):
            column.close()


def _content(kinds, srm: bool) -> list[tuple[str, str]]:
    """The fileContent terms: the spectrum kinds, the TIC chromatogram that
    every file holds (so fileContent is never empty, even when the filters
    leave no spectrum) and the SRM chromatograms where there are any."""
    return sorted(set(kinds)) + [_TIC] + ([_SRM_CHROMATOGRAM] if srm else [])


_MS1 = ("MS:1000579", "MS1 spectrum")
_MSN = ("MS:1000580", "MSn spectrum")
_KINDS = (_MS1, _MSN, _SRM_SPECTRUM)
_TIC = ("MS:1000235", "total ion current chromatogram")


class _Output:
    """The document's file, through gzip when asked, behind a _Sink."""

    def __init__(self, path: str | os.PathLike, gzip: bool) -> None:
        self.raw = DirectFile(path)
        # mtime 0 and no file name in the gzip header keep the output
        # deterministic. Level 6, the gzip command's own: on a converted
        # GC-MS sample it came within 2% of level 9's size in four fifths of
        # its time, and 9% smaller than level 1.
        self.handle = gzip_module.GzipFile(filename="", mode="wb", fileobj=self.raw, mtime=0, compresslevel=6) \
            if gzip else self.raw
        self.sink = _Sink(self.handle)

    def finish(self, tail: bytes = b"") -> str:
        """Write what is queued, then `tail` outside the checksum; close."""
        checksum = self.sink.close()
        self.handle.write(tail)
        self.close()
        return checksum

    def close(self, keep: bool = True) -> None:
        try:
            if self.handle is not self.raw:
                self.handle.close()
        finally:
            self.raw.close(keep)

    def abandon(self) -> None:
        """Stop and close without writing what waits: the file is removed."""
        self.sink.abandon()
        try:
            self.close(keep=False)
        except (OSError, ValueError):
            pass  # the error on its way to the caller says more


def _write_document(name: str | None, batches, expected: tuple[int, list | None] | None, path: str | os.PathLike, *,
                    source: str | os.PathLike, compression: str, source_stamp: dict[str, str] | None,
                    progress: Callable[[int, int], None] | None, srm_as_spectra: bool, numpress: bool, mz32: bool,
                    gzip: bool, filters: Filters | None) -> _Written:
    """Write the document of a run given as (run, index in the whole run)
    batches in file order: a whole Run is one batch (expected None), a walk
    many (expected: the count of spectra and the content terms its tally
    foresees, or the index's count of scans and None), prepared one ahead.

    The header, which comes first, holds two things only the end knows: the
    count of spectra written and the kinds of content. It is written from a
    guess (for a whole Run, its own values, which are exact): the expected
    count and content, else the first batch's kinds. Spectrum offsets are
    kept relative to the end of the header. When the guess turns out wrong (filters, MRM
    transitions leaving the spectra list, dropped scans, kinds first met
    later), the document is made again with the right header in front of
    the body written so far, read back from the first file."""
    filters = filters or Filters()
    codings = _codings(compression, numpress, mz32)
    totals = _Totals(os.path.dirname(os.path.abspath(os.fspath(path))))

    def prepared():
        for run, index in batches:
            totals.read(run)
            yield _Spectra(run, index, filters, srm_as_spectra, codings["mz"].dtype, totals)

    parts = prepared() if expected is None else _Ahead(prepared())
    # Named after the output's temporary, so the stale-temporary cleanup
    # knows it as this writer's.
    aside = os.fspath(path) + ".body"
    source_abs = os.path.abspath(os.fspath(source))
    # The source's checksum, for the header, is read while the first batch
    # is decoded.
    source_sha1 = _Beside(file_sha1, source_abs)
    try:
        first = next(parts, None)
        # A walk that met no spectrum (every scan dropped) has the name
        # read_run gives, which costs nothing to decode.
        name = totals.name or name or read_run(source).name
        head = functools.partial(_header, name, source_abs=source_abs, source_sha1=source_sha1.result(),
                                 source_stamp=source_stamp, filters=filters)
        # The helper thread may be adding the next batch to the totals: the
        # guess takes the first batch's own kinds.
        # A walk's expected count and content come from its tally, or are
        # the index's count of scans and (None) the first batch's kinds.
        count, content = expected or (None, None)
        guess = (len(first) if expected is None and first is not None else count or 0,
                 content or _content(first.kinds if first is not None else (), first is not None and first.srm))
        header = head(*guess)
        # A walk through gzip writes its first pass plain beside the output
        # and compresses it once, with the right header, at the end: a
        # wrong guess then costs a copy, not a second compression.
        first_path = aside if gzip and expected is not None else path
        out = _Output(first_path, gzip and first_path == path)
        try:
            out.sink.write(header)
            template = _spectrum_template(codings)
            done = 0
            for spectra in itertools.chain([first] if first is not None else [], parts):
                report = None if progress is None else \
                    (lambda k, done=done: progress(done + k, max(guess[0], done + k)))
                totals.offsets.append(_write_spectra(out.sink, template, codings, spectra, done, report) - len(header))
                totals.numbers.append(spectra.source_index)
                done += len(spectra)
            truth = (done, _content(totals.kinds, bool(totals.pairs)))
            if truth != guess or first_path != path:
                old_header, body = len(header), out.sink.position - len(header)
                out.finish()
                header = head(*truth)
                if first_path == path:
                    os.replace(path, aside)
                out = _rewrite(aside, path, gzip, header, old_header, body)
            size, checksum = _write_end(out.sink, totals.chromatograms(codings), totals.numbers, totals.offsets,
                                        len(header))
        except BaseException:
            out.abandon()
            raise
        tail = f"{checksum}</fileChecksum>\n</indexedmzML>\n".encode()
        try:
            out.handle.write(tail)
        finally:
            out.close()
        return _Written(size + len(tail), totals.spectra_read, totals.points_read, done)
    finally:
        if isinstance(parts, _Ahead):
            parts.close()
        totals.close()
        discard(aside)


def _write_end(sink: _Sink, chromatograms: list[tuple[str, Iterator[bytes]]], numbers: _Column,
               offsets: _Column, shift: int) -> tuple[int, str]:
    """The chromatograms (each an id and the pieces of its text), the index
    (spectrum `numbers` and their `offsets` past the header, `shift` bytes)
    and everything up to the checksum; returns the bytes written and the
    checksum. The index's text goes out a piece of the columns at a time,
    so a long run's is never held whole."""
    sink.write(b"      </spectrumList>\n"
               b'      <chromatogramList count="%d" defaultDataProcessingRef="conversion">\n' % len(chromatograms))
    chromatogram_offsets = []
    for ref, element in chromatograms:
        chromatogram_offsets.append((ref, sink.position + _INDENT))
        for piece in element:
            sink.write(piece)
    sink.write(b"      </chromatogramList>\n    </run>\n  </mzML>\n")
    sink.write(b"  ")
    index_offset = sink.position
    sink.write(b'<indexList count="2">\n    <index name="spectrum">\n')
    line = (b'      <offset idRef="index=', b'">', b'</offset>\n')
    for some_numbers, some_offsets in zip(numbers.pieces(), offsets.pieces()):
        texts, _ = spectrum_elements(line, ((b"i", _int64(some_numbers)), (b"i", _int64(some_offsets + shift))), 1)
        sink.write_many(texts, sum(map(len, texts)))
    sink.write(b'    </index>\n    <index name="chromatogram">\n')
    sink.write(b"".join(b'      <offset idRef=%b>%d</offset>\n' % (quoteattr(ref).encode(), at)
                        for ref, at in chromatogram_offsets))
    sink.write(b"    </index>\n  </indexList>\n"
               b"  <indexListOffset>%d</indexListOffset>\n  <fileChecksum>" % index_offset)
    return sink.position, sink.close()


# Pieces of the body a rewrite copies: below the allocator's mapping
# threshold, so each reuses the heap's memory instead of fresh pages.
_READ_BYTES = 512 << 10


def _rewrite(first: str, path: str | os.PathLike, gzip: bool, header: bytes, old_header: int,
             body: int) -> _Output:
    """The document again at `path` (through gzip when asked): `header` in
    front of the `body` bytes that followed the first file's header of
    `old_header` bytes. Returns the new output, open for what follows the
    body; the caller removes `first`."""
    out = _Output(path, gzip)
    try:
        with open(first, "rb") as old:
            out.sink.write(header)
            old.seek(old_header)
            while body > 0:
                block = old.read(min(body, _READ_BYTES))
                if not block:
                    raise OSError(f"{path}: the document's body was cut short while it was rewritten")
                out.sink.write(block)
                body -= len(block)
    except BaseException:
        out.abandon()
        raise
    return out


def _batches(offsets: np.ndarray, max_spectra: int = 4096, max_points: int = 1 << 20) -> list[tuple[int, int]]:
    """Consecutive spectrum ranges [start, stop) of at most `max_spectra`
    spectra and, unless one spectrum alone is larger, `max_points` points."""
    n = len(offsets) - 1
    bounds = offsets.tolist()
    batches = []
    start = 0
    while start < n:
        by_points = bisect.bisect_right(bounds, bounds[start] + max_points) - 1
        stop = min(n, start + max_spectra, max(by_points, start + 1))
        batches.append((start, stop))
        start = stop
    return batches


def _int64(values) -> bytes:
    return np.ascontiguousarray(values, dtype=np.int64).tobytes()


def _float64(values) -> bytes:
    return np.ascontiguousarray(values, dtype=np.float64).tobytes()


def _write_spectra(out: _Sink, template: bytes, codings: dict[str, _Coding], spectra: _Spectra, first_index: int,
                   progress: Callable[[int], None] | None) -> np.ndarray:
    """Every spectrum element of a batch, numbered from `first_index`;
    returns their byte offsets. Spectra go out in groups of a few thousand,
    each formatted in one call to _columns.spectrum_elements on the
    encoder's threads: the template's fixed pieces filled from the group's
    columns, the arrays deflated and base64-encoded on the way. Each
    spectrum's text depends on its own values only, so the grouping (and
    the batches) never shows in the output."""
    spectrum_type = tuple(_cv(*term).encode() for term in _SPECTRUM_TYPE)
    kind_text = tuple(_cv(*kind).encode() for kind in _KINDS)
    pieces = tuple(re.split(rb"%[db]", template))
    offsets = spectra.offsets
    positions: list[np.ndarray] = [np.zeros(0, dtype=np.int64)]
    mz_coding, intensity_coding = codings["mz"], codings["intensity"]
    threads = mz_coding.encoder.threads
    mz, intensity = spectra.mz.tobytes(), spectra.intensity.tobytes()
    representation = np.asarray(spectra.representation, dtype=np.uint8)
    mz_term = tuple(_cv(*coding.compression).encode() for coding in (mz_coding, mz_coding.single or mz_coding))

    for start, stop in _batches(offsets):
        bounds = offsets[start:stop + 1]
        counts = np.diff(bounds)
        # In the template's order: index, source index, points, spectrum
        # kind, MS level, representation, TIC, base peak m/z and intensity,
        # scan start time, precursor and product lists, m/z length, (its
        # compression term where it varies,) and text, intensity length and
        # text.
        fields = [(b"i", _int64(np.arange(first_index + start, first_index + stop))),
                  (b"i", _int64(spectra.source_index[start:stop])), (b"i", _int64(counts)),
                  (b"t", spectra.kind_codes[start:stop].tobytes(), kind_text),
                  (b"i", _int64(spectra.levels[start:stop])),
                  (b"t", representation[start:stop].tobytes(), spectrum_type),
                  (b"f", _float64(spectra.tic[start:stop])), (b"f", _float64(spectra.bp_mz[start:stop])),
                  (b"f", _float64(spectra.bp_int[start:stop])), (b"f", _float64(spectra.times[start:stop])),
                  (b"s", spectra.precursors[start:stop]),
                  mz_coding.field(spectra.mz, mz, bounds), (b"b",),
                  intensity_coding.field(spectra.intensity, intensity, bounds), (b"b",)]
        if mz_coding.single is not None:
            fields.insert(-3, (b"t", (counts == 1).astype(np.uint8).tobytes(), mz_term))
        texts, starts = spectrum_elements(pieces, tuple(fields), threads)
        # The offset of each "<spectrum", past the indentation.
        positions.append(out.position + _INDENT + np.frombuffer(starts, dtype=np.int64))
        out.write_many(texts, sum(map(len, texts)))
        if progress is not None:
            progress(stop)
    return np.concatenate(positions)


def _window(target: bytes) -> str:
    return ('<isolationWindow>\n  <cvParam cvRef="MS" accession="MS:1000827" name="isolation window target m/z" '
            f'value="{target.decode()}" unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>\n'
            '</isolationWindow>')


def _indented(text: str, spaces: int) -> str:
    return "".join(" " * spaces + line + "\n" for line in text.splitlines())


def _precursor_block(precursor: bytes) -> str:
    """A <precursor>: its isolation window, the selected ion and the activation."""
    return ("<precursor>\n" + _indented(_window(precursor), 2) +
            '  <selectedIonList count="1">\n    <selectedIon>\n'
            '      <cvParam cvRef="MS" accession="MS:1000744" name="selected ion m/z" '
            f'value="{precursor.decode()}" unitCvRef="MS" unitAccession="MS:1000040" unitName="m/z"/>\n'
            f"    </selectedIon>\n  </selectedIonList>\n  <activation>\n    {_cv(*_ACTIVATION)}\n  </activation>\n"
            "</precursor>")


def _precursor_lists(run, transitions: np.ndarray) -> list[bytes]:
    """Per spectrum, the text after its scan list: a precursor list where the
    precursor is known, and for an MRM transition a product list with its
    product m/z (the spectrum's one point); empty for other spectra."""
    blocks = [b""] * len(run)
    known = np.flatnonzero(~np.isnan(run.precursor_mz))
    if not len(known):
        return blocks
    is_transition = np.zeros(len(run), dtype=bool)
    is_transition[transitions] = True
    products = _format_floats(np.asarray(run.mz, dtype=np.float64)[run.offsets[known]]) if len(run.mz) else []
    for k, (position, precursor) in enumerate(zip(known.tolist(), _format_floats(run.precursor_mz[known]))):
        text = '<precursorList count="1">\n' + _indented(_precursor_block(precursor), 2) + "</precursorList>"
        if is_transition[position]:
            text += '\n<productList count="1">\n  <product>\n' + _indented(_window(products[k]), 4) + \
                "  </product>\n</productList>"
        blocks[position] = ("\n" + _indented(text, _INDENT + 2).rstrip("\n")).encode()
    return blocks


def _chromatogram(index: int, ref: str, codings: dict[str, _Coding], value_coding: str, head: str, times,
                  values) -> tuple[str, Iterator[bytes]]:
    """One chromatogram element: its terms (and precursor and product) in
    `head`, then the time and intensity arrays (arrays, or the run's
    _Columns). Returns its id and the pieces of its text, each array
    encoded when its turn comes."""
    time_coding, coding = codings["time"], codings[value_coding]
    lines = [f'<chromatogram index="{index}" id={quoteattr(ref)} defaultArrayLength="{_length(times)}">']
    lines += ["  " + line for line in head.splitlines()]
    lines += ["  " + line for line in _arrays((time_coding, ("MS:1000595", "time array"), _SECOND, "%d"),
                                              (coding, ("MS:1000515", "intensity array"), _COUNTS_UNIT, "%d"))]
    lines.append("</chromatogram>")
    # Split at each array's text; its encoded length goes in the piece before.
    before_times, before_values, after = \
        "".join(" " * _INDENT + line + "\n" for line in lines).encode().split(b"<binary>%d</binary>")

    def pieces() -> Iterator[bytes]:
        for text, array_coding, array in ((before_times, time_coding, times), (before_values, coding, values)):
            length, texts = _encoded(array_coding, array)
            yield text % length + b"<binary>"
            yield from texts
            yield b"</binary>"
        yield after

    return ref, pieces()


def _length(values) -> int:
    return values.rows if isinstance(values, _Column) else len(values)


def _encoded(coding: _Coding, values) -> tuple[int, Iterator[bytes]]:
    """The length of an array's base64 text, and the text in pieces. A
    _Column goes a piece at a time: deflated as one zlib stream into a
    column of its own first (the text's length comes before the text), then
    base64-encoded in pieces of whole 3-byte groups, which join into the
    text of the whole."""
    if not isinstance(values, _Column):
        text = coding.encode(np.ascontiguousarray(values, dtype=coding.dtype))
        return len(text), iter([text])
    pieces = (np.ascontiguousarray(piece, dtype=coding.dtype) for piece in values.pieces())
    if coding.compression == _COMPRESSION["none"]:
        size = values.rows * np.dtype(coding.dtype).itemsize
        return 4 * -(-size // 3), (binascii.b2a_base64(piece, newline=False) for piece in pieces)
    deflated = _Column(values.folder, np.uint8)
    try:
        stream = zlib.compressobj(1)
        for piece in pieces:
            deflated.append(np.frombuffer(stream.compress(piece), dtype=np.uint8))
        deflated.append(np.frombuffer(stream.flush(), dtype=np.uint8))
    except BaseException:
        deflated.close()
        raise

    def texts() -> Iterator[bytes]:
        try:
            for piece in deflated.pieces():
                yield binascii.b2a_base64(piece, newline=False)
        finally:
            deflated.close()

    return 4 * -(-deflated.rows // 3), texts()


def _srm_chromatogram(index: int, codings: dict[str, _Coding], chromatogram) -> tuple[str, Iterator[bytes]]:
    """One MRM transition against retention time, with both targets."""
    precursor, product = _format_floats(np.array([chromatogram.precursor_mz, chromatogram.product_mz]))
    head = "\n".join([
        _cv(*_SRM_CHROMATOGRAM),
        "<precursor>", _indented(_window(precursor), 2).rstrip("\n"),
        f"  <activation>\n    {_cv(*_ACTIVATION)}\n  </activation>", "</precursor>",
        "<product>", _indented(_window(product), 2).rstrip("\n"), "</product>",
    ])
    ref = f"SRM SIC Q1={precursor.decode()} Q3={product.decode()}"
    return _chromatogram(index, ref, codings, "srm", head, chromatogram.retention_time_sec, chromatogram.intensity)
