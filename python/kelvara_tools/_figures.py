"""Bokeh figures and the HTML around them, shared by `kelvara view` and `kelvara report`.

Figures are built in Python with their data in ColumnDataSources and
embedded with bokeh.embed.components; BokehJS itself is inlined from the
installed package (only the core bundle: the pages use no Bokeh widgets),
so a page needs no network. The live page replaces source data from its
own script; a report keeps what it was written with.
"""

from __future__ import annotations

import html
import json

import numpy as np

RT_LABEL = "Retention time (s)"
INTENSITY_LABEL = "Intensity (counts)"
MZ_LABEL = "m/z"
TRACE_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
                 "#bcbd22", "#17becf")
LEVEL_TITLES = {1: "MS1 chromatograms", 2: "MS2 chromatograms"}


def bokeh_modules():
    """Import Bokeh, or say how to install it."""
    try:
        from bokeh import embed, events, models, plotting, resources
    except ImportError as error:
        raise ImportError("the browser views need Bokeh: pip install 'kelvara[view]'") from error
    return embed, events, models, plotting, resources


def _axes(figure, x_label: str) -> None:
    _, _, models, _, _ = bokeh_modules()
    figure.xaxis.axis_label = x_label
    figure.yaxis[0].axis_label = INTENSITY_LABEL
    figure.yaxis[0].formatter = models.BasicTickFormatter(use_scientific=True, power_limit_high=4, precision=1)
    figure.title.text_font_size = "13px"
    figure.axis.axis_label_text_font_style = "normal"
    figure.toolbar.logo = None
    # Equal borders keep the plot areas of stacked figures aligned on one
    # retention-time scale, whether or not a right-hand axis is showing.
    figure.min_border_left, figure.min_border_right = 80, 100


def chromatogram_figure(title: str, name: str, traces: list[dict], x_range=None, height: int = 280):
    """Intensity against retention time for the given traces ({"label", "rt", "intensity", "name"?}).

    Zoom with the mouse wheel (retention time) or a drawn box; "reset" goes
    back to the whole run. Each trace gets a named source, so a page can
    replace its data.
    """
    _, _, models, plotting, _ = bokeh_modules()
    shared = {} if x_range is None else {"x_range": x_range}
    figure = plotting.figure(title=title, name=name, height=height, sizing_mode="stretch_width", **shared,
                             y_range=models.DataRange1d(start=0),
                             tools="xpan,xwheel_zoom,box_zoom,reset,save", active_drag="box_zoom",
                             active_scroll="xwheel_zoom")
    left, right = [], []
    for k, trace in enumerate(traces):
        # numpy columns go to the page as binary, far quicker to embed than lists.
        source = models.ColumnDataSource({"rt": np.asarray(trace["rt"], dtype=np.float64),
                                          "intensity": np.asarray(trace["intensity"], dtype=np.float64)},
                                         name=trace.get("name"))
        # A trace with its own axis (an XIC) is scaled on the right, so a
        # weak ion is as readable as the TIC it is drawn over.
        own_axis = trace.get("own_axis", False)
        renderer = figure.line("rt", "intensity", source=source, color=trace.get("colour", TRACE_COLOURS[k % 10]),
                               line_width=trace.get("width", 1.3), legend_label=trace["label"],
                               y_range_name=trace["name"] if own_axis else "default")
        (right if own_axis else left).append((trace, renderer))
    figure.y_range.renderers = [renderer for _, renderer in left]
    for trace, renderer in right:
        figure.extra_y_ranges[trace["name"]] = models.DataRange1d(start=0, renderers=[renderer])
        figure.add_layout(models.LinearAxis(y_range_name=trace["name"], axis_label=trace["axis_label"],
                                            axis_label_text_color=renderer.glyph.line_color,
                                            formatter=models.BasicTickFormatter(use_scientific=True,
                                                                                power_limit_high=4, precision=1)),
                          "right")
    figure.add_layout(models.Span(location=None, dimension="height", line_color="#555", line_dash="dashed",
                                  line_width=1, name=f"{name}_marker"))
    figure.add_tools(models.HoverTool(tooltips=[("RT", "@rt{0.00} s"), ("intensity", "@intensity{0.000e}")],
                                      mode="vline", line_policy="nearest"))
    figure.legend.location = "top_right"
    figure.legend.click_policy = "hide"
    figure.legend.label_text_font_size = "11px"
    figure.legend.background_fill_alpha = 0.7
    _axes(figure, RT_LABEL)
    return figure


def rt_range(facts: dict):
    """One retention-time range for every chromatogram of a run, so they zoom together."""
    _, _, models, _, _ = bokeh_modules()
    low, high = facts["retention_time_sec"] or (0.0, 1.0)
    pad = max((high - low) * 0.02, 0.5)
    # Named, so a live page can widen it as more of the run is read.
    return models.Range1d(start=low - pad, end=high + pad, reset_start=low - pad, reset_end=high + pad,
                          name="rt_range")


def spectrum_figure(title: str, spectrum: dict | None, representation: str, name: str = "spectrum",
                    height: int = 300):
    """A spectrum: sticks for centroid data, a line for profile data; zoom along m/z."""
    _, _, models, plotting, _ = bokeh_modules()
    mz = spectrum["mz"] if spectrum else []
    intensity = spectrum["intensity"] if spectrum else []
    low, high = (min(mz), max(mz)) if mz else (0.0, 100.0)
    pad = max((high - low) * 0.03, 1.0)
    top = max(intensity) * 1.08 if intensity and max(intensity) > 0 else 1.0
    figure = plotting.figure(
        title=title, name=name, height=height, sizing_mode="stretch_width",
        x_range=models.Range1d(low - pad, high + pad, name=f"{name}_x"),
        y_range=models.Range1d(0, top, name=f"{name}_y"),
        tools="xpan,xwheel_zoom,xbox_zoom,reset,save", active_drag="xbox_zoom", active_scroll="xwheel_zoom")
    source = models.ColumnDataSource({"mz": np.asarray(mz, dtype=np.float64),
                                      "intensity": np.asarray(intensity, dtype=np.float64)}, name=f"{name}_source")
    sticks = figure.segment(x0="mz", y0=0, x1="mz", y1="intensity", source=source, color="#1f4e79",
                            line_width=1.2, name=f"{name}_sticks")
    line = figure.line("mz", "intensity", source=source, color="#1f4e79", line_width=1.0, name=f"{name}_line")
    sticks.visible = representation != "profile"
    line.visible = representation == "profile"
    figure.add_tools(models.HoverTool(tooltips=[("m/z", "@mz{0.0000}"), ("intensity", "@intensity{0.000e}")],
                                      renderers=[sticks, line], mode="vline", line_policy="nearest"))
    _axes(figure, MZ_LABEL)
    return figure


def srm_figure(traces: list[dict], x_range=None):
    """One line per SRM transition, labelled precursor → product m/z."""
    coloured = [dict(t, colour=TRACE_COLOURS[k % 10]) for k, t in enumerate(traces)]
    return chromatogram_figure(f"SRM chromatograms ({len(traces)} transitions)", "srm", coloured, x_range)


def embed(figures: dict) -> tuple[str, str, dict]:
    """BokehJS (inlined), the script that draws the figures, and one div per figure."""
    embed_module, _, _, _, resources = bokeh_modules()
    script, divs = embed_module.components(figures)
    js = resources.Resources(mode="inline", components=["bokeh"]).render_js()
    return js, script, divs


def facts_table(facts: dict) -> str:
    """The run's facts as an HTML table."""
    def number(value):
        return "not reported" if value is None else f"{value:,}"

    rt, mz = facts["retention_time_sec"], facts["mz"]
    levels = ", ".join(f"MS{level}: {count:,}" for level, count in facts["spectra_by_ms_level"].items()) or "none"
    rows = [
        ("Layout", f"{facts['layout']} ({facts['representation']} spectra)"),
        ("Spectra", f"{facts['spectra']:,} ({levels})"),
        ("Points", number(facts["points"])),
        ("Retention time", f"{rt[0]:.2f} – {rt[1]:.2f} s ({rt[0] / 60:.2f} – {rt[1] / 60:.2f} min)" if rt else "—"),
        ("m/z", f"{mz[0]:.4f} – {mz[1]:.4f}" if mz else "—"),
        ("Dropped scans", number(facts["dropped_scans"])),
        ("MS1 TIC area", f"{facts['tic_area']:.4g} counts·s"),
    ]
    body = "".join(f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>" for k, v in rows)
    return f'<table class="facts" id="facts">{body}</table>'


STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", sans-serif; margin: 1em 1.5em; color: #222; }
h1 { font-size: 1.35em; margin: 0 0 .4em 0; } h2 { font-size: 1.1em; margin: 1.2em 0 .3em 0; }
table { border-collapse: collapse; font-size: .9em; }
th, td { padding: .2em .8em .2em 0; text-align: left; vertical-align: top; }
table.totals th, table.totals td { border-bottom: 1px solid #ddd; padding-right: 1.2em; }
table.totals td.n { text-align: right; font-variant-numeric: tabular-nums; }
.row { display: flex; gap: 2em; flex-wrap: wrap; align-items: flex-start; }
.panel { margin: .6em 0; } .note { color: #555; font-size: .85em; } .error { color: #b00020; }
form { display: flex; gap: .6em; align-items: center; flex-wrap: wrap; font-size: .9em; }
input[type=number] { width: 7em; }
"""


def page(title: str, js: str, body: str, script: str = "") -> str:
    """A whole HTML document: everything inline, nothing fetched from elsewhere."""
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f"<title>{html.escape(title)}</title><style>{STYLE}</style>\n{js}\n</head>\n"
            f"<body>\n{body}\n{script}\n</body></html>\n")


def json_for_script(value) -> str:
    """JSON that is safe inside a <script> element."""
    return json.dumps(value, allow_nan=False).replace("</", "<\\/")
