# Type information for the private extension kelvara_tools._columns.
import os
from typing import Any, Union, final

class FormatError(ValueError):
    # The file's size and the size its container needs at least, when the
    # container points past the end of the file; None otherwise.
    file_bytes: int | None
    needed_bytes: int | None

# Every layout, in probe order:
# {name: {"extension": str, "storage": str, "probe": str, "streams": tuple[str, ...], "profile": bool}}.
LAYOUTS: dict[str, dict[str, Any]]

@final
class Column:
    """One decoded column; numpy builds a read-only array over it without copying."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...

def probe_layout(path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], /) -> str | None:
    """The layout whose identifying entry the container holds, whatever the extension; None when none."""

def read_columns(
    path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], /
) -> tuple[str, str, Column, Column, Column, Column, Column, Column, Column, Column, tuple[str, ...]]: ...

@final
class BatchReader:
    """A run walked window by window; next() gives its batches of whole spectra in file order."""

    def __init__(self, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], max_points: int) -> None: ...
    # The index positions the walk covers.
    @property
    def positions(self) -> int: ...
    # (spectra, MRM transitions among them, some MS1 spectrum, some MSn
    # spectrum that is not a transition) the walk will give, counted from
    # the index and the scans' headers; None when it could not be counted.
    def tally(self) -> tuple[int, int, bool, bool] | None: ...
    # (name, layout, mz, intensity, offsets, ms_level, retention_time_sec,
    # precursor_mz, index, dropped_positions, dropped_codes, dropped_reasons):
    # the scans dropped since the previous batch; None after the last batch.
    def next(
        self,
    ) -> tuple[str, str, Column, Column, Column, Column, Column, Column, Column, Column, Column, tuple[str, ...]] | None: ...

def base64_segments(data: bytes, bounds: bytes, deflate: bool = False, /) -> list[bytes]:
    """Standard base64 of each data[bounds[k]:bounds[k + 1]], or with deflate of each segment's zlib
    stream (the package's own deflate, the lock released); bounds are native 64-bit integers, packed."""

def spectrum_elements(pieces: tuple[bytes, ...], fields: tuple[tuple[Any, ...], ...], threads: int, /
                      ) -> tuple[list[bytes], bytes]:
    """A group of spectrum elements: pieces[0], fields[0]'s text, pieces[1],
    ..., per spectrum. Fields: (b"i", int64s), (b"f", float64s written as
    repr), (b"t", codes, texts), (b"s", texts), (b"a", values, width, bounds,
    deflate) and (b"e", texts) giving an array's base64 length, (b"b",) its
    text. Returns the texts (cut at element ends) and each element's offset
    in them joined, as packed int64s."""
