"""`kelvara report`: self-contained HTML pages for a batch of runs, for a quick QC look.

    write_reports(["a.qgd", "b.qgd"], "qc")   # qc/a.html, qc/b.html, qc/index.html

Each run's page holds its facts, its thinned chromatograms per MS level, its
SRM traces and the spectrum at the apex of each of its strongest TIC peaks,
so its size stays a few MB however large the run is (the inlined BokehJS is
most of it). index.html overlays the runs' MS1 TICs and tabulates per-run
totals, where a failed or weak injection stands out. Every file is written
under a temporary name and renamed when complete.
"""

from __future__ import annotations

import html
import os
from dataclasses import dataclass, field

from . import _figures as fig
from ._atomic import atomic_output
from ._errors import describe
from ._source import RunSource

TOP_PEAKS = 5
# A report's spectrum keeps its strongest sticks (or a thinned profile).
REPORT_SPECTRUM_POINTS = 2000


@dataclass
class RunReport:
    """What `write_reports` did with one input: its page, or the error that stopped it."""

    path: str
    output: str | None = None
    error: str | None = None
    facts: dict = field(default_factory=dict)


def _write_whole(path: str, text: str) -> None:
    """Write text to path whole or not at all."""
    with atomic_output(path) as temporary, open(temporary, "x", encoding="utf-8") as out:
        out.write(text)


def _page_names(paths: list[str]) -> list[str]:
    """One page name per input: its stem, numbered when two inputs share one; never index.html."""
    taken, names = {"index"}, []
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0] or "run"
        name, k = stem, 2
        while name.lower() in taken:
            name, k = f"{stem}-{k}", k + 1
        taken.add(name.lower())
        names.append(f"{name}.html")
    return names


def run_page(source: RunSource, top: int = TOP_PEAKS) -> tuple[str, dict]:
    """One run's report page, and its MS1 TIC thinned (for the batch overlay)."""
    facts = source.facts()
    x_range = fig.rt_range(facts)
    figures, captions = {}, {}
    for level in source.levels():
        drawn = source.chromatograms(level)
        traces = [{"label": "TIC", **drawn["tic"]}, {"label": "BPC", **drawn["bpc"]}]
        title = f"{fig.LEVEL_TITLES.get(level, f'MS{level} chromatograms')} — {source.name}"
        figures[f"chrom{level}"] = fig.chromatogram_figure(title, f"chrom{level}", traces, x_range)
    srm = source.srm()
    if srm:
        figures["srm"] = fig.srm_figure(srm, x_range)
    for rank, index in enumerate(source.top_peaks(top), start=1):
        spectrum = source.spectrum(index, REPORT_SPECTRUM_POINTS)
        title = (f"Peak {rank}: scan {index} at RT {spectrum['retention_time_sec']:.2f} s "
                 f"({spectrum['retention_time_sec'] / 60:.2f} min), MS{spectrum['ms_level']}")
        key = f"peak{rank}"
        figures[key] = fig.spectrum_figure(title, spectrum, source.representation, name=key, height=260)
        drawn = "" if len(spectrum["mz"]) == spectrum["points"] else f", the {len(spectrum['mz'])} strongest drawn"
        base = spectrum["base_peak_mz"]
        captions[key] = (f"{spectrum['points']:,} peaks{drawn}"
                         + (f"; base peak m/z {base:.4f}" if base is not None else ""))
    js, script, divs = fig.embed(figures)
    panels = []
    for key, div in divs.items():
        caption = f'<p class="note">{html.escape(captions[key])}</p>' if key in captions else ""
        if key == "peak1":
            panels.append(f"<h2>Spectra at the apex of the {len(captions)} strongest MS1 TIC peaks</h2>")
        panels.append(f'<div class="panel">{div}{caption}</div>')
    body = (f"<h1>{html.escape(source.name)} <span class=\"note\">kelvara report</span></h1>"
            f"<p class=\"note\"><a href=\"index.html\">All runs of this batch</a></p>"
            f"{fig.facts_table(facts)}{''.join(panels)}")
    overlay = source.chromatograms(1)["tic"] if 1 in source.levels() else {"rt": [], "intensity": []}
    return fig.page(f"{source.name} — kelvara report", js, body, script), overlay


def _index_page(reports: list[RunReport], tics: list[dict]) -> str:
    traces = [{"label": os.path.basename(r.path), **tic} for r, tic in zip(reports, tics) if r.output]
    figures = {}
    if traces:
        figures["overlay"] = fig.chromatogram_figure(f"MS1 TIC of {len(traces)} runs, overlaid", "overlay", traces,
                                                     height=380)
    js, script, divs = fig.embed(figures) if figures else ("", "", {})
    header = ("Run", "Layout", "Spectra", "Points", "MS1 TIC area (counts·s)", "Retention time (s)",
              "Dropped scans")
    rows = []
    for r in reports:
        name = html.escape(os.path.basename(r.path))
        if r.error is not None:
            rows.append(f'<tr><td>{name}</td><td class="error" colspan="6">{html.escape(r.error)}</td></tr>')
            continue
        f = r.facts
        rt = f["retention_time_sec"]
        cells = [f'<a href="{html.escape(os.path.basename(r.output))}">{name}</a>', html.escape(f["layout"]),
                 f"{f['spectra']:,}", f"{f['points']:,}", f"{f['tic_area']:.4g}",
                 f"{rt[0]:.2f} – {rt[1]:.2f}" if rt else "—",
                 f"{f['dropped_scans']:,}"]
        rows.append("<tr>" + "".join(f'<td class="n">{c}</td>' if 2 <= k <= 4 or k == 6 else f"<td>{c}</td>"
                                     for k, c in enumerate(cells)) + "</tr>")
    failed = sum(r.error is not None for r in reports)
    body = (f"<h1>kelvara report: {len(reports)} runs"
            + (f' <span class="error">({failed} failed)</span>' if failed else "") + "</h1>"
            + (f'<div class="panel">{divs["overlay"]}</div>' if "overlay" in divs else "")
            + '<table class="totals" id="totals"><tr>' + "".join(f"<th>{h}</th>" for h in header) + "</tr>"
            + "".join(rows) + "</table>")
    return fig.page("kelvara report", js, body, script)


def write_reports(paths: list[str], out_dir: str, top: int = TOP_PEAKS, on_result=None) -> list[RunReport]:
    """One page per run and index.html in out_dir (created if needed). Never raises for a bad input file."""
    fig.bokeh_modules()
    os.makedirs(out_dir, exist_ok=True)
    reports, tics = [], []
    for path, name in zip(paths, _page_names(paths)):
        report = RunReport(os.fspath(path))
        tic = {"rt": [], "intensity": []}
        try:
            # The run is walked to its end, a batch at a time: memory stays at
            # a batch and a summary per spectrum, however large the run.
            with RunSource(path) as source:
                source.wait()
                text, tic = run_page(source, top)
                target = os.path.join(out_dir, name)
                _write_whole(target, text)
                report.output, report.facts = target, source.facts()
        except (OSError, ValueError, MemoryError) as error:
            report.error = describe(error, path)
        reports.append(report)
        tics.append(tic)
        if on_result is not None:
            on_result(report)
    _write_whole(os.path.join(out_dir, "index.html"), _index_page(reports, tics))
    return reports
