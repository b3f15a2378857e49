"""The `kelvara view` and `kelvara report` subcommands, registered by cli.py.

    kelvara view FILE [--port N] [--no-browser]
    kelvara report FILE... -o DIR [--top N]
"""

from __future__ import annotations

import argparse
import errno
import os
import sys

from ._errors import describe, shown

EXIT_OK, EXIT_FAILED, EXIT_INTERRUPTED = 0, 1, 130


def _whole_number(low: int, high: int, what: str):
    """An argparse type: a whole number from low to high."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {value}")
        return value

    return parse


def register(commands) -> None:
    view = commands.add_parser(
        "view", help="look at a run in the browser: chromatograms, spectra, XICs",
        description="Serve an interactive page of one run on 127.0.0.1 and open it in the browser. "
                    "Stop with Ctrl-C.")
    view.add_argument("file", metavar="FILE")
    view.add_argument("--port", type=_whole_number(0, 65535, "a port number"), default=0, metavar="N",
                      help="port to listen on (default: any free port)")
    view.add_argument("--no-browser", action="store_true", help="only print the address; open no browser")

    report = commands.add_parser(
        "report", help="write self-contained HTML QC pages for a batch of runs",
        description="Write one self-contained HTML page per run and index.html with the runs' TICs overlaid "
                    "and their totals, into DIR.")
    report.add_argument("files", nargs="+", metavar="FILE")
    report.add_argument("-o", "--output-dir", required=True, metavar="DIR", help="folder for the pages")
    report.add_argument("--top", type=_whole_number(0, 50, "a whole number"), default=5, metavar="N",
                        help="spectra of the N strongest TIC peaks per run (default: 5)")


def _view(args) -> int:
    from .view import serve

    try:
        serve(args.file, port=args.port, open_browser=not args.no_browser,
              announce=lambda line: print(line, flush=True))
    except KeyboardInterrupt:
        print("kelvara view: stopped", file=sys.stderr)
        return EXIT_INTERRUPTED
    except ImportError as error:
        print(f"kelvara view: {describe(error)}", file=sys.stderr)
        return EXIT_FAILED
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            print(f"kelvara view: port {args.port} is in use; choose another with --port, or --port 0 for any",
                  file=sys.stderr)
        else:
            print(f"kelvara view: {shown(args.file)}: {describe(error, args.file)}", file=sys.stderr)
        return EXIT_FAILED
    except (ValueError, MemoryError) as error:
        print(f"kelvara view: {shown(args.file)}: {describe(error, args.file)}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _report(args) -> int:
    from .report import write_reports

    def on_result(report) -> None:
        if report.error is not None:
            print(f"failed  {shown(report.path)}: {report.error}", file=sys.stderr, flush=True)
        else:
            print(f"wrote   {shown(report.output)}", file=sys.stderr, flush=True)

    try:
        reports = write_reports(args.files, args.output_dir, top=args.top, on_result=on_result)
    except ImportError as error:
        print(f"kelvara report: {describe(error)}", file=sys.stderr)
        return EXIT_FAILED
    except OSError as error:
        print(f"kelvara report: cannot write to {shown(args.output_dir)}: {describe(error)}", file=sys.stderr)
        return EXIT_FAILED
    failed = sum(r.error is not None for r in reports)
    print(f"{len(reports) - failed} of {len(reports)} runs reported in {shown(os.path.join(args.output_dir, 'index.html'))}")
    return EXIT_FAILED if failed else EXIT_OK


HANDLERS = {"view": _view, "report": _report}
