"""Write a run as indexed mzML 1.1.

    write_mzml(run, "out/run01.mzML", source="data/run01.qgd", compression="zlib")

The writer streams the document in one pass: the header (file description
with the source file's SHA-1, software, instrument configuration, data
processing), one <spectrum> per spectrum, a total-ion-current chromatogram,
then the index of byte offsets and the SHA-1 of the document itself. The
peak arrays go out in bulk: each spectrum's m/z (64-bit) and intensity
(32-bit) values are sliced from the run's flat columns and base64-encoded
(zlib-compressed first if asked) in C, so no Python work is done per peak.
Per-spectrum summary values (total ion current, base peak) are computed
once over the whole run with numpy.

Every controlled-vocabulary term below is from the PSI-MS vocabulary (MS:)
or the Unit Ontology (UO:). Output is byte-for-byte deterministic: it holds
no time stamps, so converting the same source twice gives the same file.
"""

from __future__ import annotations

import binascii
import bisect
import hashlib
import os
import pathlib
import queue
import re
import threading
import zlib
from typing import Callable
from xml.sax.saxutils import quoteattr

import numpy as np

from ._errors import escape
from ._summary import base_peaks as _base_peaks, representation as _representation

__all__ = ["write_mzml", "read_source_stamp", "stamp_values"]

# Indexed by the representation code of the spectra table: 0 centroid, 1 profile.
_SPECTRUM_TYPE = (("MS:1000127", "centroid spectrum"), ("MS:1000128", "profile spectrum"))
_COMPRESSION = {"zlib": ("MS:1000574", "zlib compression"), "none": ("MS:1000576", "no compression")}

# Written into the source file's description so a later conversion can tell
# whether this output is still current (see read_source_stamp).
_STAMP_SIZE = "source file size"
_STAMP_MTIME = "source file modification time ns"
_STAMP_OPTIONS = "conversion options"
_STAMP_RE = re.compile(rb'<userParam name="([a-z ]+)" value="([^"]*)"')


def _cv(accession: str, name: str, value: str = "", unit: tuple[str, str] | None = None) -> str:
    """One cvParam element; `unit` is (accession, name) from MS or UO."""
    text = f'<cvParam cvRef="{accession[:2]}" accession="{accession}" name="{name}" value="{value}"'
    if unit:
        text += f' unitCvRef="{unit[0][:2]}" unitAccession="{unit[0]}" unitName="{unit[1]}"'
    return text + "/>"


_MZ_UNIT = ("MS:1000040", "m/z")
_COUNTS_UNIT = ("MS:1000131", "number of detector counts")
_SECOND = ("UO:0000010", "second")


# Fraction texts for values with at most this many decimals (see _format_floats).
_FRACTIONS = {d: [(("." + str(r).rjust(d, "0").rstrip("0")) if r else ".0").encode() for r in range(10 ** d)]
              for d in range(5)}


def _format_floats(values: np.ndarray) -> list[bytes]:
    """Each value as the shortest text that reads back as the same double:
    what Python's repr gives. Most values here are counts, tenths of m/z or
    milliseconds in seconds, so they are first tried as k / 10**d for d up
    to 4: when that division gives the value exactly, the digits of k with
    the point placed and trailing zeros dropped are that shortest text (below
    1e11 two such decimals are much further apart than two doubles), built
    from integer texts without a repr per value. Other values go through
    repr, joined and split once."""
    if len(values) == 0:
        return []
    v = np.asarray(values, dtype=np.float64)
    if not np.signbit(v).any() and (v < 1e11).all():
        for d in range(5):
            scale = 10 ** d
            k = np.rint(v * scale)
            if (k / scale == v).all():
                whole, fraction = np.divmod(k.astype(np.int64), scale)
                digits = "\n".join(map(str, whole.tolist())).encode().split(b"\n")
                return list(map(bytes.__add__, digits, map(_FRACTIONS[d].__getitem__, fraction.tolist())))
    return "\n".join(map(repr, v.tolist())).encode().split(b"\n")


class _Sink:
    """Buffered binary output that tracks the byte position and hashes
    everything written. Hashing and writing a block both release the GIL,
    so a helper thread does them while the caller formats the next block."""

    BLOCK = 4 << 20

    def __init__(self, handle):
        self.handle = handle
        self.position = 0
        self.sha1 = hashlib.sha1()
        self.parts: list[bytes] = []
        self.pending = 0
        self.blocks: queue.Queue = queue.Queue(maxsize=4)
        self.failure: BaseException | None = None
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self) -> None:
        while (block := self.blocks.get()) is not None:
            if self.failure is None:
                try:
                    self.sha1.update(block)
                    self.handle.write(block)
                except BaseException as error:  # reported by close()
                    self.failure = error

    def write(self, data: bytes) -> None:
        self.parts.append(data)
        self.position += len(data)
        self.pending += len(data)
        if self.pending >= self.BLOCK:
            self.flush()

    def write_many(self, parts: list[bytes], size: int) -> None:
        """Queue parts whose total length the caller has counted."""
        self.parts += parts
        self.position += size
        self.pending += size
        if self.pending >= self.BLOCK:
            self.flush()

    def flush(self) -> None:
        if self.parts:
            self.blocks.put(b"".join(self.parts))
            self.parts = []
            self.pending = 0
        if self.failure is not None:
            raise self.failure

    def close(self) -> str:
        """Write what is left, stop the helper and return the SHA-1."""
        self.flush()
        self.blocks.put(None)
        self.thread.join()
        if self.failure is not None:
            raise self.failure
        return self.sha1.hexdigest()

    def abandon(self) -> None:
        self.failure = self.failure or RuntimeError("abandoned")
        self.blocks.put(None)
        self.thread.join()


def _encoder(compression: str) -> Callable[[np.ndarray], bytes]:
    if compression == "zlib":
        # The fastest level: float arrays shrink little more at higher ones
        # (a few percent) for several times the time.
        return lambda a: binascii.b2a_base64(zlib.compress(a, 1), newline=False)
    return lambda a: binascii.b2a_base64(a, newline=False)


def _base64_segments(values: np.ndarray, bounds: np.ndarray) -> tuple[bytes, np.ndarray]:
    """Base64 of every segment values[bounds[i]:bounds[i+1]] in one pass.

    Base64 turns each 3 input bytes into 4 characters, so a segment padded
    with zero bytes to a multiple of 3 encodes independently of its
    neighbours. The padded segments are laid end to end, encoded with one
    call, and the characters that stand for padding bytes become '=', which
    is exactly what encoding each segment alone gives. Returns the text and
    the start of each segment's text in it (len(bounds) entries)."""
    raw = values.view(np.uint8)
    width = values.itemsize
    byte_len = np.diff(bounds) * width
    padded_len = (byte_len + 2) // 3 * 3
    text_start = np.zeros(len(bounds), dtype=np.int64)
    np.cumsum(padded_len // 3 * 4, out=text_start[1:])
    padded_start = text_start[:-1] // 4 * 3
    buffer = np.zeros(int(padded_len.sum()), dtype=np.uint8)
    # Mark the padding bytes, then lay the input into the rest in order.
    keep = np.ones(len(buffer), dtype=bool)
    pad_at = padded_start + byte_len
    keep[pad_at[padded_len - byte_len >= 1]] = False
    keep[pad_at[padded_len - byte_len == 2] + 1] = False
    buffer[keep] = raw
    text = bytearray(binascii.b2a_base64(buffer, newline=False))
    pad = padded_len - byte_len  # 0, 1 or 2 bytes, giving as many '='
    ends = text_start[1:]
    view = np.frombuffer(text, dtype=np.uint8)
    view[ends[pad >= 1] - 1] = ord("=")
    view[ends[pad == 2] - 2] = ord("=")
    return bytes(text), text_start


def file_sha1(path: str | os.PathLike) -> str:
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


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
    end = head.find(b"</sourceFile>")
    if end < 0:
        return {}
    return {k.decode(): v.decode() for k, v in _STAMP_RE.findall(head[:end])}


def stamp_values(source_size: int, source_mtime_ns: int, options: str) -> dict[str, str]:
    return {_STAMP_SIZE: str(source_size), _STAMP_MTIME: str(source_mtime_ns), _STAMP_OPTIONS: options}


def _header(run, n: int, level_set: set[int], source_abs: str, source_stamp: dict[str, str] | None) -> bytes:
    """Everything before the first spectrum."""
    content = []
    if 1 in level_set:
        content.append(_cv("MS:1000579", "MS1 spectrum"))
    if level_set - {1}:
        content.append(_cv("MS:1000580", "MSn spectrum"))
    stamp = "".join(f'\n          <userParam name="{k}" value={quoteattr(v)} type="xsd:string"/>'
                    for k, v in (source_stamp or {}).items())
    # A file URI of the folder: spaces and other reserved characters escaped.
    location = pathlib.Path(os.path.dirname(source_abs)).as_uri()
    location += "" if location.endswith("/") else "/"
    return f"""<?xml version="1.0" encoding="utf-8"?>
<indexedmzML xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd">
  <mzML xmlns="http://psi.hupo.org/ms/mzml" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd" id={quoteattr(escape(run.name))} version="1.1.0">
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
          {_cv("MS:1000569", "SHA-1", file_sha1(source_abs))}{stamp}
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
      <dataProcessing id="conversion">
        <processingMethod order="0" softwareRef="kelvara">
          {_cv("MS:1000544", "Conversion to mzML")}
        </processingMethod>
      </dataProcessing>
    </dataProcessingList>
    <run id={quoteattr(_ncname(run.name))} defaultInstrumentConfigurationRef="instrument" defaultSourceFileRef="source">
      <spectrumList count="{n}" defaultDataProcessingRef="conversion">
""".encode("utf-8")


def _arrays(compression: str, *arrays) -> list[str]:
    """A binaryDataArrayList; each array is (precision term, array term,
    unit, payload slot). Payload slots are %-format placeholders filled per
    spectrum: the encoded length and then the base64 text."""
    lines = [f'<binaryDataArrayList count="{len(arrays)}">']
    for precision, term, unit, slot in arrays:
        lines += [f'  <binaryDataArray encodedLength="{slot}">',
                  f"    {_cv(*precision)}",
                  f"    {_cv(*_COMPRESSION[compression])}",
                  f"    {_cv(*term, unit=unit)}",
                  f"    <binary>{slot}</binary>",
                  "  </binaryDataArray>"]
    lines.append("</binaryDataArrayList>")
    return lines


_F64 = ("MS:1000523", "64-bit float")
_INDENT = 8  # spaces before <spectrum> and <chromatogram>
_F32 = ("MS:1000521", "32-bit float")


def _spectrum_template(compression: str) -> bytes:
    """One spectrum element as a %-format over (index, index, points,
    spectrum kind term, MS level, representation term, TIC, base peak m/z,
    base peak intensity, scan start time, m/z length, m/z base64, intensity
    length, intensity base64)."""
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
        "  </scanList>",
    ]
    arrays = _arrays(compression, (_F64, ("MS:1000514", "m/z array"), _MZ_UNIT, "%d"),
                     (_F32, ("MS:1000515", "intensity array"), _COUNTS_UNIT, "%d"))
    lines += ["  " + line for line in arrays]
    lines.append("</spectrum>")
    text = "".join(" " * _INDENT + line + "\n" for line in lines)
    # Each array's slot appears twice, as the length then the text.
    text = text.replace('<binary>%d</binary>', '<binary>%b</binary>')
    return text.encode()


def write_mzml(run, path: str | os.PathLike, *, source: str | os.PathLike, compression: str = "zlib",
               source_stamp: dict[str, str] | None = None,
               progress: Callable[[int, int], None] | None = None) -> int:
    """Write `run` to `path` as indexed mzML; returns the bytes written.

    `source` is the raw file the run came from (hashed into the output's
    source file description). `source_stamp`, from stamp_values, is recorded
    beside it. `progress(done, total)` is called with the number of spectra
    written so far and in all, every few thousand spectra. The caller owns
    atomicity: `path` should be a temporary name to rename on success."""
    if compression not in _COMPRESSION:
        raise ValueError(f"compression must be 'zlib' or 'none', not {compression!r}")
    mz = np.ascontiguousarray(run.mz, dtype="<f8")
    intensity = np.ascontiguousarray(run.intensity, dtype="<f4")
    offsets = np.asarray(run.offsets, dtype=np.int64)
    levels = np.asarray(run.ms_level)
    times = np.asarray(run.retention_time_sec, dtype=np.float64)
    n = len(offsets) - 1
    # The same summary values and representation as the spectra table.
    tic = run.tic(ms_level=None).intensity
    bp_mz, bp_int, _ = _base_peaks(run)
    representation = _representation(run)
    level_set = set(np.unique(levels).tolist())
    kind = {level: _cv(*(("MS:1000579", "MS1 spectrum") if level == 1 else ("MS:1000580", "MSn spectrum"))).encode()
            for level in level_set}
    template = _spectrum_template(compression)
    header = _header(run, n, level_set, os.path.abspath(os.fspath(source)), source_stamp)

    with open(path, "wb") as handle:
        out = _Sink(handle)
        try:
            out.write(header)
            spectrum_offsets = _write_spectra(out, template, compression, mz, intensity, offsets, levels,
                                              kind, representation, tic, bp_mz, bp_int, times, progress)
            out.write(b"      </spectrumList>\n"
                      b'      <chromatogramList count="1" defaultDataProcessingRef="conversion">\n')
            chromatogram_offset = out.position + _INDENT
            out.write(_tic_chromatogram(compression, _encoder(compression), times, tic, levels))
            out.write(b"      </chromatogramList>\n    </run>\n  </mzML>\n")
            out.write(b"  ")
            index_offset = out.position
            out.write(b'<indexList count="2">\n    <index name="spectrum">\n')
            line = b'      <offset idRef="index=%d">%d</offset>\n'
            out.write(b"".join([line % pair for pair in enumerate(spectrum_offsets)]))
            out.write(b'    </index>\n    <index name="chromatogram">\n'
                      b'      <offset idRef="TIC">%d</offset>\n    </index>\n  </indexList>\n'
                      b"  <indexListOffset>%d</indexListOffset>\n  <fileChecksum>"
                      % (chromatogram_offset, index_offset))
            checksum = out.close()
        except BaseException:
            out.abandon()
            raise
        tail = f"{checksum}</fileChecksum>\n</indexedmzML>\n".encode()
        handle.write(tail)
        return out.position + len(tail)


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


def _text(values) -> list[bytes]:
    """Each value of an iterable of ints as decimal text."""
    return "\n".join(map(str, values)).encode().split(b"\n")


def _interleave(pieces: list[bytes], fields: list[list[bytes]], n: int) -> tuple[list[bytes], np.ndarray]:
    """n elements laid out as pieces[0] fields[0][i] pieces[1] ... pieces[-1]:
    the parts to join, and each element's length in bytes. Filling a list by
    strided slices keeps the per-element work in C."""
    width = len(pieces) + len(fields)
    parts: list[bytes] = [b""] * (width * n)
    lengths = np.full(n, sum(map(len, pieces)), dtype=np.int64)
    for k, piece in enumerate(pieces):
        parts[2 * k::width] = [piece] * n
    for k, field in enumerate(fields):
        parts[2 * k + 1::width] = field
        lengths += np.fromiter(map(len, field), dtype=np.int64, count=n)
    return parts, lengths


def _write_spectra(out: _Sink, template: bytes, compression: str, mz, intensity, offsets: np.ndarray,
                   levels: np.ndarray, kind: dict[int, bytes], representation: np.ndarray, tic, bp_mz, bp_int,
                   times, progress) -> list[int]:
    """Every spectrum element; returns their byte offsets. Spectra go out in
    batches: the numbers of a batch are formatted together, its arrays
    base64-encoded together when uncompressed, and the batch's elements laid
    out by interleaving the template's fixed pieces with the columns of
    values, so no Python code runs per spectrum beyond a few C-level maps."""
    encode = _encoder(compression)
    spectrum_type = [_cv(*term).encode() for term in _SPECTRUM_TYPE]
    pieces = re.split(rb"%[db]", template)
    level_text = {level: str(level).encode() for level in kind}
    positions: list[int] = []
    for start, stop in _batches(offsets):
        n = stop - start
        local = offsets[start:stop + 1] - offsets[start]
        first, last = int(offsets[start]), int(offsets[stop])
        if compression == "none":
            mz_text, mz_at = _base64_segments(mz[first:last], local)
            int_text, int_at = _base64_segments(intensity[first:last], local)
            mz_at, int_at = mz_at.tolist(), int_at.tolist()
            mz_parts = [mz_text[a:b] for a, b in zip(mz_at, mz_at[1:])]
            int_parts = [int_text[a:b] for a, b in zip(int_at, int_at[1:])]
        else:
            bounds = local.tolist()
            mz_batch, int_batch = mz[first:last], intensity[first:last]
            mz_parts = [encode(mz_batch[a:b]) for a, b in zip(bounds, bounds[1:])]
            int_parts = [encode(int_batch[a:b]) for a, b in zip(bounds, bounds[1:])]
        index = _text(range(start, stop))
        batch_levels = levels[start:stop].tolist()
        # In the template's order: index, index, points, spectrum kind, MS
        # level, representation, TIC, base peak m/z and intensity, scan
        # start time, m/z length and text, intensity length and text.
        fields = [index, index, _text(np.diff(local).tolist()),
                  list(map(kind.__getitem__, batch_levels)), list(map(level_text.__getitem__, batch_levels)),
                  list(map(spectrum_type.__getitem__, representation[start:stop].tolist())),
                  _format_floats(tic[start:stop]), _format_floats(bp_mz[start:stop]),
                  _format_floats(bp_int[start:stop]), _format_floats(times[start:stop]),
                  _text(map(len, mz_parts)), mz_parts, _text(map(len, int_parts)), int_parts]
        parts, lengths = _interleave(pieces, fields, n)
        block = b"".join(parts)
        # The offset of each "<spectrum", past the indentation.
        starts = out.position + _INDENT + np.concatenate(([0], np.cumsum(lengths[:-1])))
        positions += starts.tolist()
        out.write_many([block], len(block))
        if progress is not None:
            progress(stop, len(levels))
    return positions


def _tic_chromatogram(compression: str, encode, times, tic, levels) -> bytes:
    """The total ion current of the MS1 spectra against retention time."""
    ms1 = levels == 1
    chrom_times = np.ascontiguousarray(times[ms1], dtype="<f8")
    chrom_tic = np.ascontiguousarray(tic[ms1], dtype="<f8")
    time_b64, tic_b64 = encode(chrom_times), encode(chrom_tic)
    lines = ['<chromatogram index="0" id="TIC" defaultArrayLength="%d">' % len(chrom_times),
             f'  {_cv("MS:1000235", "total ion current chromatogram")}']
    lines += ["  " + line for line in _arrays(compression, (_F64, ("MS:1000595", "time array"), _SECOND, "%d"),
                                               (_F64, ("MS:1000515", "intensity array"), _COUNTS_UNIT, "%d"))]
    lines.append("</chromatogram>")
    template = "".join(" " * _INDENT + line + "\n" for line in lines).replace("<binary>%d</binary>", "<binary>%b</binary>")
    return template.encode() % (len(time_b64), time_b64, len(tic_b64), tic_b64)
