# Type information for the private extension kelvara_tools._columns.
import os
from typing import Any, Union, final

class FormatError(ValueError): ...

# Every layout, in probe order: {name: {"extension": str, "storage": str, "profile": bool}}.
LAYOUTS: dict[str, dict[str, Any]]

@final
class Column:
    """One decoded column; numpy builds a read-only array over it without copying."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...

def read_columns(
    path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], /
) -> tuple[str, str, Column, Column, Column, Column, Column, Column]: ...

@final
class BatchReader:
    """A run walked window by window; next() gives its batches of whole spectra in file order."""

    def __init__(self, path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], max_points: int) -> None: ...
    # (name, layout, mz, intensity, offsets, ms_level, retention_time_sec,
    # precursor_mz, index), or None after the last batch.
    def next(self) -> tuple[str, str, Column, Column, Column, Column, Column, Column, Column] | None: ...
