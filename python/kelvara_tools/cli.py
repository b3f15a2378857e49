"""The `kelvara` command: look into runs, convert them, plot them.

    kelvara info FILE... [--json]
    kelvara convert FILE... --to mzml|parquet [-o DIR] [--compress zlib|none]
                    [--shape peaks|spectra] [--jobs N | --scheduler ADDRESS] [--force]
    kelvara plot FILE [--tic | --bpc | --xic MZ --ppm P] [--spectrum I] -o OUT.png

Exit status: 0 when everything worked, 1 when a file failed, 2 for bad
arguments (argparse's usage message; never a traceback).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

from . import _viewcli

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


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
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, not {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvara", description="Inspect, convert and plot GC-MS (.qgd) and LC-MS (.lcd) data files.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser("info", help="summarise runs: layout, spectra, points, retention times",
                               description="Summarise each run; a file that fails gets one line with its error.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print a JSON list, one object per file")

    convert = commands.add_parser("convert", help="convert runs to mzML or Parquet",
                                  description="Convert runs to indexed mzML 1.1 or Parquet. Outputs already up to "
                                              "date (same source size and modification time) are skipped.")
    convert.add_argument("files", nargs="+", metavar="FILE")
    convert.add_argument("--to", required=True, choices=("mzml", "parquet"), help="output format")
    convert.add_argument("-o", "--output-dir", metavar="DIR",
                         help="folder for the outputs (default: beside each input)")
    convert.add_argument("--compress", choices=("zlib", "none"), default="zlib",
                         help="mzML array compression (default: zlib)")
    convert.add_argument("--shape", choices=("peaks", "spectra"), default="peaks",
                         help="Parquet shape: a folder with a spectra and a point table (peaks, the default) "
                              "or one file with a row per spectrum (spectra)")
    where = convert.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_whole_number(1), metavar="N",
                       help="local worker processes (default: the number of cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="convert on a Dask cluster, e.g. tcp://host:8786; workers must see the paths")
    convert.add_argument("--force", action="store_true", help="convert even outputs that are up to date")

    plot = commands.add_parser("plot", help="draw a chromatogram and/or a spectrum to a PNG file",
                               description="Draw a chromatogram against retention time and/or a spectrum as "
                                           "sticks. Without a choice, draws the TIC.")
    plot.add_argument("file", metavar="FILE")
    trace = plot.add_mutually_exclusive_group()
    trace.add_argument("--tic", action="store_true", help="total ion current chromatogram (MS1)")
    trace.add_argument("--bpc", action="store_true", help="base peak chromatogram (MS1)")
    trace.add_argument("--xic", type=_positive_float, metavar="MZ", help="extracted ion chromatogram at MZ")
    plot.add_argument("--ppm", type=_positive_float, metavar="P", help="XIC window half-width in ppm (default: 10)")
    plot.add_argument("--spectrum", type=_whole_number(0), metavar="I", help="draw spectrum number I as sticks")
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png", help="picture to write")
    _viewcli.register(commands)
    return parser


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
        "path": path,
        "name": run.name,
        "layout": run.layout,
        "spectra": len(run),
        "spectra_by_ms_level": {str(level): int(count) for level, count in zip(levels.tolist(), counts.tolist())},
        "points": int(len(run.mz)),
        "retention_time_sec": [float(times.min()), float(times.max())] if len(times) else None,
        "file_bytes": os.path.getsize(path),
        "open_seconds": round(seconds, 6),
    }


def _error_text(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def _info(args) -> int:
    results, failed = [], 0
    for path in args.files:
        try:
            results.append(_describe(path))
        except Exception as error:
            failed += 1
            results.append({"path": path, "error": _error_text(error)})
            if not args.json:
                print(f"{path}: {_error_text(error)}", file=sys.stderr)
    if args.json:
        json.dump(results, sys.stdout, indent=2)
        print()
    else:
        _print_table([r for r in results if "error" not in r])
    return EXIT_FAILED if failed else EXIT_OK


def _print_table(rows: list[dict]) -> None:
    if not rows:
        return
    header = ("name", "layout", "spectra by MS level", "points", "retention time (s)", "size", "open")
    lines = []
    for r in rows:
        levels = ", ".join(f"MS{level}: {count}" for level, count in r["spectra_by_ms_level"].items()) or "none"
        rt = r["retention_time_sec"]
        lines.append((r["name"], r["layout"], levels, f"{r['points']:,}",
                      f"{rt[0]:.2f} - {rt[1]:.2f}" if rt else "-",
                      _human_bytes(r["file_bytes"]), f"{r['open_seconds'] * 1e3:.1f} ms"))
    widths = [max(len(row[k]) for row in [header, *lines]) for k in range(len(header))]
    numeric = {3, 5, 6}
    for row in [header, *lines]:
        print("  ".join(cell.rjust(w) if k in numeric else cell.ljust(w)
                        for k, (cell, w) in enumerate(zip(row, widths))).rstrip())


def _human_bytes(n: int) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


# -- convert -----------------------------------------------------------------

def _convert(args) -> int:
    from .convert import convert_many

    if args.to == "parquet":
        try:
            from ._tables import _pyarrow

            _pyarrow()
        except ImportError as error:
            print(f"kelvara convert: {error}", file=sys.stderr)
            return EXIT_FAILED
    out = sys.stderr
    bar = _progress_bar(len(args.files), out)

    def on_result(report) -> None:
        if report.status == "failed":
            line = f"failed    {report.path}: {report.error}"
        elif report.status == "skipped":
            line = f"skipped   {report.path} (up to date: {report.output})"
        else:
            line = (f"converted {report.path} -> {report.output} ({report.spectra} spectra, "
                    f"{report.points:,} points, {report.seconds:.2f} s)")
        if bar is None:
            print(line, file=out, flush=True)
        else:
            if report.status == "failed":
                bar.write(line, file=out)
            bar.update(1)

    client = None
    if args.scheduler:
        from .convert import _dask_client

        try:
            client = _dask_client(args.scheduler)
        except ImportError as error:
            print(f"kelvara convert: {error}", file=sys.stderr)
            return EXIT_FAILED
        except Exception as error:
            print(f"kelvara convert: cannot reach the scheduler {args.scheduler}: {_error_text(error)}",
                  file=sys.stderr)
            return EXIT_FAILED
    spectra_bar = _SpectraBar(out) if bar is not None else None
    try:
        report = convert_many(args.files, args.output_dir, to=args.to, client=client, jobs=args.jobs,
                              compress=args.compress, shape=args.shape, force=args.force, on_result=on_result,
                              progress=spectra_bar)
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
    from .plot import plot_run
    from ._run import read_run

    try:
        run = read_run(args.file)
        trace = "bpc" if args.bpc else "xic" if args.xic is not None else "tic"
        if args.spectrum is not None and not (args.tic or args.bpc or args.xic is not None):
            trace = None
        plot_run(run, args.output, trace=trace, mz=args.xic, ppm=args.ppm or 10.0, spectrum=args.spectrum)
    except ImportError as error:
        print(f"kelvara plot: {error}", file=sys.stderr)
        return EXIT_FAILED
    except IndexError as error:
        print(f"kelvara plot: {args.file}: {error}", file=sys.stderr)
        return EXIT_FAILED
    except Exception as error:
        print(f"kelvara plot: {args.file}: {_error_text(error)}", file=sys.stderr)
        return EXIT_FAILED
    print(args.output)
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "plot" and args.ppm is not None and args.xic is None:
        parser.error("plot: --ppm goes with --xic")
    handler = {"info": _info, "convert": _convert, "plot": _plot, **_viewcli.HANDLERS}[args.command]
    try:
        return handler(args)
    except KeyboardInterrupt:
        print("kelvara: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Output piped into a program that stopped reading (head).
        sys.stderr.close()
        return EXIT_FAILED


def entry_point() -> None:
    sys.exit(main())

