# Type information for the kelvara extension module.
from typing import SupportsIndex, final

__all__ = ["RawReader", "Spectrum"]

@final
class RawReader:
    """Reads a GC-MS (.qgd) or LC-MS (.lcd) data file; all scans are decoded on construction."""

    def __new__(cls, path: str) -> RawReader: ...
    @property
    def scan_count(self) -> int: ...
    def read_spectrum(self, scan_index: SupportsIndex) -> Spectrum: ...

@final
class Spectrum:
    """One spectrum: m/z values, intensities, MS level and retention time in seconds."""

    @property
    def mz(self) -> list[float]: ...
    @property
    def intensity(self) -> list[float]: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def retention_time_sec(self) -> float: ...
    def __len__(self) -> int: ...
