"""The `kelvara` command: look into runs, convert them, plot them.

    kelvara info FILE... [--json]
    kelvara convert FILE... --to mzml|parquet [-o DIR] [--compress zlib|none]
                    [--shape peaks|spectra] [--jobs N | --scheduler ADDRESS] [--force]
                    [--srm-as-spectra] [--numpress] [--gzip] [--mz32]
                    [--ms-level 1,2] [--rt START-END] [--mz LOW-HIGH] [--min-intensity X]
    kelvara plot FILE [--tic | --bpc | --xic MZ [--tol DA | --ppm P]] [--ms-level N]
                 [--spectrum I [--mz LOW-HIGH]] -o OUT.png|.svg|.pdf
    kelvara xic FILE... --mz MZ [MZ...] (--tol DA | --ppm P) [--rt START-END] [--ms-level N]
                -o TABLE.csv|.parquet [--jobs N | --scheduler ADDRESS]
    kelvara view FILE [--port N] [--no-browser]
    kelvara report FILE... -o DIR [--top N]
    kelvara --version

Exit status: 0 when everything worked, 1 when a file failed, 2 for bad
arguments (argparse's usage message; never a traceback), 130 after Ctrl-C
and 143 after SIGTERM. Ctrl-C or SIGTERM stops a batch within about a
second: no further file is started, the worker processes are stopped, no
temporary file stays, and the summary says what finished; converting again
skips the finished outputs and redoes the rest. A second Ctrl-C is ignored.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import signal
import sys
import time

from ._errors import describe, escape, shown
from ._memory import unmap_large_blocks
from . import _viewcli

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED, EXIT_TERMINATED = 130, 143


class Terminated(KeyboardInterrupt):
    """SIGTERM, unwound like Ctrl-C so the same cleanup runs."""


class _Held:
    """Signals held off while a finished file is recorded and reported, so
    the summary and the lines printed agree."""

    depth = 0
    pending: int | None = None

    def __enter__(self):
        _Held.depth += 1

    def __exit__(self, *exc):
        _Held.depth -= 1
        if _Held.depth == 0 and _Held.pending is not None and exc[0] is None:
            signum, _Held.pending = _Held.pending, None
            _raise_for(signum)


def _interrupted(signum, frame):
    # Only the first signal interrupts: the cleanup it starts and the
    # summary that follows must not be cut short by a second one.
    for each in (signal.SIGINT, signal.SIGTERM):
        signal.signal(each, signal.SIG_IGN)
    if _Held.depth:
        _Held.pending = signum
        return
    _raise_for(signum)


def _raise_for(signum: int):
    raise Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()


def _set_signals(handlers: dict) -> dict:
    """Install {signal: handler}; returns the handlers they replace."""
    previous = {}
    try:
        for number, handler in handlers.items():
            previous[number] = signal.signal(number, handler)
    except ValueError:  # main() called from another thread: nothing to catch there
        pass
    return previous


def _whole_number(minimum: int):
    """An argparse type: a whole number of at least `minimum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {minimum} or more, not {value}")
        return value

    return parse


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0, not {text}")
    return value


def _range(what: str):
    """An argparse type: LOW-HIGH, two numbers with LOW below HIGH (or equal, for `equal`)."""

    def parse(text: str) -> tuple[float, float]:
        match = re.fullmatch(r"\s*([-+]?[\d.]+(?:[eE][-+]?\d+)?)\s*-\s*([-+]?[\d.]+(?:[eE][-+]?\d+)?)\s*", text)
        try:
            low, high = (float(v) for v in match.groups()) if match else (None, None)
        except ValueError:
            low = high = None
        if low is None or not low < high:
            raise argparse.ArgumentTypeError(f"{what} must be LOW-HIGH with LOW below HIGH, not {text!r}")
        return low, high

    return parse


def _suffix(formats: tuple[str, ...]):
    """An argparse type: a file name ending in one of `formats`."""

    def parse(text: str) -> str:
        suffix = os.path.splitext(text)[1].lower().lstrip(".")
        if suffix not in formats:
            raise argparse.ArgumentTypeError(
                f"the name must end in {', '.join('.' + f for f in formats)}, not {text!r}")
        return text

    return parse


def _batch_options(command) -> None:
    where = command.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_whole_number(1), metavar="N",
                       help="local worker processes (default: the number of cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="work on a Dask cluster, e.g. tcp://host:8786; workers must see the paths")


def _window_options(command, required: bool) -> None:
    window = command.add_mutually_exclusive_group(required=required)
    window.add_argument("--tol", type=_positive_float, metavar="DA",
                        help="window half-width in m/z units (0.5 suits unit-resolution GC-MS data)")
    window.add_argument("--ppm", type=_positive_float, metavar="P", help="window half-width in ppm of the m/z")


def build_parser() -> argparse.ArgumentParser:
    from .mzml import _version

    parser = argparse.ArgumentParser(
        prog="kelvara", description="Inspect, convert and plot GC-MS (.qgd) and LC-MS (.lcd) data files.")
    parser.add_argument("--version", action="version", version=f"kelvara {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser("info", help="summarise runs: layout, spectra, points, retention times",
                               description="Summarise each run; a file that fails gets one line with its error.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print a JSON list, one object per file")

    convert = commands.add_parser("convert", help="convert runs to mzML or Parquet",
                                  description="Convert runs to indexed mzML 1.1 or Parquet. Outputs already up to "
                                              "date (same source size and modification time, same options) are skipped.")
    convert.add_argument("files", nargs="+", metavar="FILE")
    convert.add_argument("--to", required=True, choices=("mzml", "parquet"), help="output format")
    convert.add_argument("-o", "--output-dir", metavar="DIR",
                         help="folder for the outputs (default: beside each input)")
    convert.add_argument("--compress", choices=("zlib", "none"), default="zlib",
                         help="mzML array compression (default: zlib)")
    convert.add_argument("--shape", choices=("peaks", "spectra"), default="peaks",
                         help="Parquet shape: a folder with a spectra and a point table (peaks, the default) "
                              "or one file with a row per spectrum (spectra)")
    _batch_options(convert)
    convert.add_argument("--force", action="store_true", help="convert even outputs that are up to date")
    _add_output_options(convert)

    plot = commands.add_parser("plot", help="draw a chromatogram and/or a spectrum to a PNG, SVG or PDF file",
                               description="Draw a chromatogram against retention time and/or a spectrum as "
                                           "sticks. Without a choice, draws the TIC.")
    plot.add_argument("file", metavar="FILE")
    trace = plot.add_mutually_exclusive_group()
    trace.add_argument("--tic", action="store_true", help="total ion current chromatogram")
    trace.add_argument("--bpc", action="store_true", help="base peak chromatogram")
    trace.add_argument("--xic", type=_positive_float, metavar="MZ",
                       help="extracted ion chromatogram at MZ (window: --tol or --ppm, default 10 ppm)")
    _window_options(plot, required=False)
    plot.add_argument("--ms-level", type=_whole_number(1), default=1, metavar="N",
                      help="MS level of the chromatogram's spectra (default: 1)")
    plot.add_argument("--spectrum", type=_whole_number(0), metavar="I", help="draw spectrum number I as sticks")
    plot.add_argument("--mz", type=_range("--mz"), metavar="LOW-HIGH", help="zoom the spectrum to this m/z range")
    plot.add_argument("-o", "--output", required=True, type=_suffix(("png", "svg", "pdf")),
                      metavar="OUT.png|.svg|.pdf", help="picture to write; the format follows the suffix")

    xic = commands.add_parser("xic", help="extracted ion chromatograms of many targets over many files, as one table",
                              description="For each file and target m/z, the summed intensity within the window in "
                                          "each spectrum: one tidy table with the columns file, target_mz, "
                                          "retention_time_sec and intensity.")
    xic.add_argument("files", nargs="+", metavar="FILE")
    xic.add_argument("--mz", type=_positive_float, nargs="+", required=True, metavar="MZ", help="target m/z values")
    _window_options(xic, required=True)
    xic.add_argument("--rt", type=_range("--rt"), metavar="START-END",
                     help="only spectra with a retention time in this window, in seconds")
    xic.add_argument("--ms-level", type=_whole_number(1), default=1, metavar="N",
                     help="MS level of the spectra (default: 1)")
    xic.add_argument("-o", "--output", required=True, type=_suffix(("csv", "parquet")),
                     metavar="TABLE.csv|.parquet", help="table to write, whole or not at all")
    _batch_options(xic)
    _viewcli.register(commands)
    return parser


def _parsed(parse, what: str):
    """An argparse type from a parser of kelvara_tools._filters."""

    def parse_text(text: str):
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    parse_text.__name__ = what
    return parse_text


def _add_output_options(convert: argparse.ArgumentParser) -> None:
    from ._filters import parse_levels, parse_number, parse_range

    mzml = convert.add_argument_group("mzML options")
    mzml.add_argument("--srm-as-spectra", action="store_true",
                      help="write MRM transitions as spectra with their precursor and product, instead of "
                           "one SRM chromatogram per (precursor, product) pair")
    precision = mzml.add_mutually_exclusive_group()
    precision.add_argument("--numpress", action="store_true",
                           help="MS-Numpress for spectra: linear prediction for m/z, short logged floats for "
                                "intensities (followed by zlib unless --compress none)")
    precision.add_argument("--mz32", action="store_true", help="32-bit m/z arrays (default: 64-bit)")
    mzml.add_argument("--gzip", action="store_true", help="write NAME.mzML.gz, the whole document gzipped")
    filters = convert.add_argument_group("filters (mzML and Parquet)")
    filters.add_argument("--ms-level", type=_parsed(parse_levels, "levels"), metavar="1,2",
                         help="keep only spectra of these MS levels")
    filters.add_argument("--rt", type=_parsed(parse_range, "range"), metavar="START-END",
                         help="keep only spectra with a retention time from START to END seconds (both kept)")
    filters.add_argument("--mz", type=_parsed(parse_range, "range"), metavar="LOW-HIGH",
                         help="keep only points with m/z from LOW to HIGH (both kept); spectra left without "
                              "points are left out")
    filters.add_argument("--min-intensity", type=_parsed(parse_number, "number"),
                         metavar="X", help="keep only points of intensity X or more; spectra left without "
                                           "points are left out")


def _output_options(args) -> dict:
    return dict(srm_as_spectra=args.srm_as_spectra, numpress=args.numpress, gzip=args.gzip, mz32=args.mz32,
                ms_level=args.ms_level, rt=args.rt, mz=args.mz, min_intensity=args.min_intensity)


# -- info --------------------------------------------------------------------

def _describe(path: str) -> dict:
    import numpy as np

    from ._run import read_run

    started = time.perf_counter()
    run = read_run(path)
    seconds = time.perf_counter() - started
    levels, counts = np.unique(run.ms_level, return_counts=True)
    times = run.retention_time_sec
    return {
        "path": shown(path),
        "name": escape(run.name),
        "layout": run.layout,
        "spectra": len(run),
        "spectra_by_ms_level": {str(level): int(count) for level, count in zip(levels.tolist(), counts.tolist())},
        "points": int(len(run.mz)),
        "retention_time_sec": [float(times.min()), float(times.max())] if len(times) else None,
        "mz_range": [float(run.mz.min()), float(run.mz.max())] if len(run.mz) else None,
        # Scans the reader could not decode and left out.
        "dropped": len(run.dropped),
        "file_bytes": os.path.getsize(path),
        "open_seconds": round(seconds, 6),
    }


def _info(args) -> int:
    results, failed = [], 0
    for path in args.files:
        try:
            results.append(_describe(path))
        except Exception as error:
            failed += 1
            results.append({"path": shown(path), "error": describe(error, path)})
            if not args.json:
                print(f"{shown(path)}: {describe(error, path)}", file=sys.stderr)
    if args.json:
        json.dump(results, sys.stdout, indent=2)
        print()
    else:
        _print_table([r for r in results if "error" not in r])
    return EXIT_FAILED if failed else EXIT_OK


def _print_table(rows: list[dict]) -> None:
    if not rows:
        return
    header = ("name", "layout", "spectra by MS level", "points", "retention time (s)", "m/z range", "dropped",
              "size", "open")
    lines = []
    for r in rows:
        levels = ", ".join(f"MS{level}: {count}" for level, count in r["spectra_by_ms_level"].items()) or "none"
        rt, mz = r["retention_time_sec"], r["mz_range"]
        lines.append((r["name"], r["layout"], levels, f"{r['points']:,}",
                      f"{rt[0]:.2f} - {rt[1]:.2f}" if rt else "-", f"{mz[0]:.4f} - {mz[1]:.4f}" if mz else "-",
                      f"{r['dropped']:,}", _human_bytes(r["file_bytes"]), f"{r['open_seconds'] * 1e3:.1f} ms"))
    widths = [max(len(row[k]) for row in [header, *lines]) for k in range(len(header))]
    numeric = {3, 6, 7, 8}
    for row in [header, *lines]:
        print("  ".join(cell.rjust(w) if k in numeric else cell.ljust(w)
                        for k, (cell, w) in enumerate(zip(row, widths))).rstrip())


def _count(n: int, noun: str) -> str:
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def _human_bytes(n: int) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


# -- convert -----------------------------------------------------------------

def _arrow_missing(args) -> bool:
    """True, after one line on stderr, when Parquet output cannot be written."""
    from ._tables import _pyarrow

    try:
        _pyarrow()
    except ImportError as error:
        print(f"kelvara {args.command}: {describe(error)}", file=sys.stderr)
        return True
    return False


def _client(args):
    """The Dask client for --scheduler, None without it, False (after one
    line on stderr) when it cannot be had."""
    if not args.scheduler:
        return None
    from .convert import _dask_client

    try:
        return _dask_client(args.scheduler)
    except ImportError as error:
        print(f"kelvara {args.command}: {describe(error)}", file=sys.stderr)
    except Exception as error:
        print(f"kelvara {args.command}: cannot reach the scheduler {args.scheduler}: {describe(error)}",
              file=sys.stderr)
    return False


def _convert(args) -> int:
    from .convert import convert_many

    if args.to == "parquet" and _arrow_missing(args):
        return EXIT_FAILED
    client = _client(args)
    if client is False:
        return EXIT_FAILED
    out = sys.stderr
    bar = _progress_bar(len(args.files), out)

    def on_result(report) -> None:
        if report.status == "failed":
            line = f"failed    {shown(report.path)}: {report.error}"
        elif report.status == "skipped":
            line = f"skipped   {shown(report.path)} (up to date: {shown(report.output)})"
        else:
            line = (f"converted {shown(report.path)} -> {shown(report.output)} ({report.spectra} spectra, "
                    f"{report.points:,} points, {report.seconds:.2f} s)")
        if bar is None:
            print(line, file=out, flush=True)
        else:
            if report.status == "failed":
                bar.write(line, file=out)
            bar.update(1)

    spectra_bar = _SpectraBar(out) if bar is not None else None
    finished = []
    started = time.perf_counter()

    def record(report) -> None:
        with _Held():
            finished.append(report)
            on_result(report)

    try:
        report = convert_many(args.files, args.output_dir, to=args.to, client=client, jobs=args.jobs,
                              compress=args.compress, shape=args.shape, force=args.force, on_result=record,
                              progress=spectra_bar, **_output_options(args))
    except KeyboardInterrupt as stop:
        from .convert import BatchReport

        if bar is not None:
            bar.close()
            bar = None
        left = len(args.files) - len(finished)
        print(f"kelvara convert: {'terminated' if isinstance(stop, Terminated) else 'interrupted'}; "
              f"{_count(left, 'file')} not converted (run the command again to finish)", file=sys.stderr)
        print(BatchReport(files=finished, seconds=time.perf_counter() - started).summary(), file=sys.stdout)
        raise
    finally:
        if spectra_bar is not None:
            spectra_bar.close()
        if bar is not None:
            bar.close()
        if client is not None:
            client.close()
    print(report.summary(), file=sys.stdout)
    return EXIT_OK if report.ok else EXIT_FAILED


class _SpectraBar:
    """A second bar, over the spectra of a large file converted in this
    process; small files finish too fast to need one."""

    LARGE = 20_000

    def __init__(self, out):
        self.out = out
        self.bar = None

    def __call__(self, done: int, total: int) -> None:
        if self.bar is None and total >= self.LARGE and done < total:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="spectra", unit_scale=True, leave=False, file=self.out, position=1)
        if self.bar is not None:
            self.bar.update(done - self.bar.n)
            if done >= total:
                self.close()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _progress_bar(total: int, out):
    """A bar over files on a terminal; None elsewhere (and without tqdm),
    where each file gets a line instead."""
    if not out.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="file", file=out, disable=None)


# -- plot --------------------------------------------------------------------

def _plot(args) -> int:
    from ._run import read_run
    from .plot import plot_run

    try:
        run = read_run(args.file)
        trace = "bpc" if args.bpc else "xic" if args.xic is not None else "tic"
        if args.spectrum is not None and not (args.tic or args.bpc or args.xic is not None):
            trace = None
        plot_run(run, args.output, trace=trace, mz=args.xic, tol=args.tol, ppm=args.ppm, ms_level=args.ms_level,
                 spectrum=args.spectrum, mz_range=args.mz)
    except ImportError as error:
        print(f"kelvara plot: {describe(error)}", file=sys.stderr)
        return EXIT_FAILED
    except IndexError as error:
        print(f"kelvara plot: {shown(args.file)}: {escape(str(error))}", file=sys.stderr)
        return EXIT_FAILED
    except Exception as error:
        print(f"kelvara plot: {shown(args.file)}: {describe(error, args.file)}", file=sys.stderr)
        return EXIT_FAILED
    print(shown(args.output))
    return EXIT_OK


# -- xic ---------------------------------------------------------------------

def _xic(args) -> int:
    from .xic import extract_many

    if args.output.lower().endswith(".parquet") and _arrow_missing(args):
        return EXIT_FAILED

    def on_result(report) -> None:
        if report.status == "failed":
            print(f"failed    {shown(report.path)}: {report.error}", file=sys.stderr, flush=True)
        else:
            print(f"extracted {shown(report.path)} ({report.rows:,} rows, {report.seconds:.2f} s)", file=sys.stderr,
                  flush=True)

    started = time.perf_counter()
    client = _client(args)
    if client is False:
        return EXIT_FAILED
    try:
        table = extract_many(args.files, args.mz, tol=args.tol, ppm=args.ppm, rt=args.rt, ms_level=args.ms_level,
                             jobs=args.jobs, client=client, on_result=on_result)
    finally:
        if client is not None:
            client.close()
    failed = len(table.failed)
    if failed == len(table.files):
        print(f"no table written: {'the file' if failed == 1 else f'all {failed} files'} failed", file=sys.stdout)
        return EXIT_FAILED
    try:
        table.write(args.output)
    except Exception as error:
        print(f"kelvara xic: {shown(args.output)}: {describe(error)}", file=sys.stderr)
        return EXIT_FAILED
    print(f"{table.rows:,} rows from {_count(len(table.files) - failed, 'file')} "
          f"({_count(len(args.mz), 'target')}) in "
          f"{shown(args.output)}; {failed} failed; {time.perf_counter() - started:.2f} s")
    return EXIT_FAILED if failed else EXIT_OK


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "plot":
        for option, value, needs in (("--ppm", args.ppm, args.xic), ("--tol", args.tol, args.xic),
                                     ("--mz", args.mz, args.spectrum)):
            if value is not None and needs is None:
                parser.error(f"plot: {option} goes with {'--xic' if option != '--mz' else '--spectrum'}")
    if args.command == "convert" and args.output_dir and os.path.exists(args.output_dir) \
            and not os.path.isdir(args.output_dir):
        parser.error(f"convert: -o {shown(args.output_dir)} is a file; give a folder for the outputs")
    if args.command == "convert" and args.to == "parquet":
        mzml_only = [flag for flag in ("srm_as_spectra", "numpress", "gzip", "mz32") if getattr(args, flag)]
        if mzml_only:
            parser.error(f"convert: --{mzml_only[0].replace('_', '-')} is an mzML option; Parquet takes only the "
                         f"filters")
    handler = {"info": _info, "convert": _convert, "plot": _plot, "xic": _xic, **_viewcli.HANDLERS}[args.command]
    batch = args.command in ("convert", "xic")
    unmap_large_blocks()
    previous = _set_signals({signal.SIGINT: _interrupted, signal.SIGTERM: _interrupted}) if batch else {}
    try:
        return handler(args)
    except KeyboardInterrupt as stop:
        _set_signals({signal.SIGINT: signal.SIG_IGN, signal.SIGTERM: signal.SIG_IGN})
        if args.command == "xic":
            print("kelvara xic: interrupted; no table written", file=sys.stderr)
        elif args.command != "convert":  # convert has said what finished
            print("kelvara: interrupted", file=sys.stderr)
        return EXIT_TERMINATED if isinstance(stop, Terminated) else EXIT_INTERRUPTED
    except BrokenPipeError:
        # Output piped into a program that stopped reading (head).
        sys.stderr.close()
        return EXIT_FAILED
    except Exception as error:
        # Whatever the handlers did not foresee still gets one line, not a traceback.
        print(f"kelvara {args.command}: {describe(error)}", file=sys.stderr)
        return EXIT_FAILED
    finally:
        _set_signals(previous)


def entry_point() -> None:
    status = main()
    if status in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        # The interpreter's exit stops the forkserver: not to be cut short either.
        _set_signals({signal.SIGINT: signal.SIG_IGN, signal.SIGTERM: signal.SIG_IGN})
    sys.exit(status)

