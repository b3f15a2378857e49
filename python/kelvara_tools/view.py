"""`kelvara view`: one run in the browser, served from this machine.

    serve("run.lcd", port=0, open_browser=False)

The run is read in the background (RunSource) and the server starts as
soon as its first batch of spectra is in: the page shows what has been read
so far, polls /api/progress, and fills in its chromatograms and facts until
the whole run is read. Everything else is fetched on demand, as JSON, and
covers the spectra read so far:

    GET /                                    the page
    GET /api/progress                        spectra read, fraction of the file, done or not, the facts table
    GET /api/facts                           layout, spectra by level, points, ranges, dropped scans
    GET /api/chromatograms?level=L           TIC and BPC of MS level L, thinned for drawing
    GET /api/spectrum?index=I                spectrum number I
    GET /api/spectrum?rt=S[&level=L]         the spectrum nearest to S seconds (of level L)
    GET /api/xic?mz=M&tol=T|ppm=P[&level=L]  summed intensity within M ± T (Da) or ± P ppm
    GET /api/srm                             one trace per SRM transition

A bad request gets a 4xx status and {"error": message}; the server goes on
serving. It binds 127.0.0.1 only.
"""

from __future__ import annotations

import html
import importlib.util
import json
import math
import signal
import threading
import webbrowser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from . import _figures as fig
from ._source import RunSource

HOST = "127.0.0.1"
# Seconds the walk waits for the page's first poll before it goes on anyway.
FIRST_VIEW_SECONDS = 5.0


class BadRequest(ValueError):
    """A request the page (or a user typing a URL) got wrong: answered with 400."""


def _one(query: dict, name: str) -> str | None:
    values = query.get(name)
    if values is None:
        return None
    if len(values) != 1:
        raise BadRequest(f"give the parameter {name!r} once, not {len(values)} times")
    return values[0]


def _number(query: dict, name: str, required: bool = True) -> float | None:
    text = _one(query, name)
    if text is None:
        if required:
            raise BadRequest(f"the parameter {name!r} is missing")
        return None
    try:
        value = float(text)
    except ValueError:
        raise BadRequest(f"the parameter {name!r} must be a number, not {text!r}") from None
    if not math.isfinite(value):
        raise BadRequest(f"the parameter {name!r} must be a finite number, not {text!r}")
    return value


def _level(query: dict, source: RunSource, required: bool = False) -> int | None:
    value = _number(query, "level", required)
    if value is None:
        return None
    if value not in source.levels():
        have = ", ".join(map(str, source.levels())) or "none"
        so_far = "" if source.complete else " so far"
        raise BadRequest(f"this run has no spectra of MS level {value:g} (levels present{so_far}: {have})")
    return int(value)


def _facts(source: RunSource, query: dict):
    return source.facts()


def _chromatograms(source: RunSource, query: dict):
    return source.chromatograms(_level(query, source, required=True))


def _spectrum(source: RunSource, query: dict):
    index, rt = _number(query, "index", False), _number(query, "rt", False)
    if (index is None) == (rt is None):
        raise BadRequest("give either index=I (a spectrum number) or rt=S (seconds, with level=L if wanted)")
    if rt is not None:
        return source.spectrum_at(rt, _level(query, source))
    count = len(source)
    if index != int(index) or not 0 <= index < count:
        so_far = "" if source.complete else " (the spectra read so far)"
        raise BadRequest(f"index must be a whole number from 0 to {count - 1}{so_far}, not {index:g}")
    return source.spectrum(int(index))


def _xic(source: RunSource, query: dict):
    mz = _number(query, "mz")
    tol, ppm = _number(query, "tol", False), _number(query, "ppm", False)
    if (tol is None) == (ppm is None):
        raise BadRequest("give the window as tol=T (Da) or ppm=P, one of the two")
    width = tol if tol is not None else ppm
    if not 0 < width <= (1e4 if tol is not None else 1e6) or not mz > 0:
        raise BadRequest("m/z must be above 0, and the tolerance above 0 and at most 10,000 Da or 10⁶ ppm")
    level = _level(query, source)
    return source.xic(mz, tol=tol, ppm=ppm, level=1 if level is None else level)


def _srm(source: RunSource, query: dict):
    return source.srm()


def _progress(source: RunSource, query: dict):
    # The page polls once it is drawn: the walk, held until then, goes on.
    source.resume()
    facts = source.facts()
    return {**source.progress(), "retention_time_sec": facts["retention_time_sec"],
            "facts_html": fig.facts_table(facts)}


ROUTES = {
    "/api/progress": _progress,
    "/api/facts": _facts,
    "/api/chromatograms": _chromatograms,
    "/api/spectrum": _spectrum,
    "/api/xic": _xic,
    "/api/srm": _srm,
}


class _Handler(BaseHTTPRequestHandler):
    server_version = "kelvara-view"
    server: ViewServer

    def do_GET(self) -> None:
        url = urlsplit(self.path)
        if url.path in ("/", "/index.html"):
            try:
                page = self.server.page()
            except Exception as error:  # the API stays up whatever the page hits
                return self._error(500, f"{type(error).__name__}: {error}")
            return self._send(200, page, "text/html; charset=utf-8")
        if url.path == "/favicon.ico":
            return self._send(204, b"", "image/x-icon")
        route = ROUTES.get(url.path)
        if route is None:
            return self._error(404, f"nothing at {url.path}; the endpoints are /, {', '.join(ROUTES)}")
        try:
            answer = route(self.server.source, parse_qs(url.query, keep_blank_values=True))
            body = json.dumps(answer, allow_nan=False).encode()
        except BadRequest as error:
            return self._error(400, str(error))
        except (ValueError, IndexError, TypeError) as error:
            return self._error(400, str(error))
        except Exception as error:  # the server keeps serving whatever one request hits
            return self._error(500, f"{type(error).__name__}: {error}")
        self._send(200, body, "application/json")

    def _refuse(self) -> None:
        self._error(405, f"{self.command} is not supported: the view only answers GET")

    do_POST = do_PUT = do_DELETE = do_PATCH = _refuse

    def _error(self, status: int, message: str) -> None:
        self._send(status, json.dumps({"error": message, "status": status}).encode(), "application/json")

    def _send(self, status: int, body: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the page was closed or reloaded before its answer came

    do_HEAD = do_GET

    def log_message(self, format: str, *args) -> None:
        # One line per request would bury the address the user needs.
        pass


class ViewServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, source: RunSource, port: int = 0) -> None:
        self.source = source
        self._page: tuple[object, bytes] | None = None
        self._page_lock = threading.Lock()
        self.page()
        super().__init__((HOST, port), _Handler)

    def page(self) -> bytes:
        """The page, built again only when it would draw more: MS levels found
        since, or the run read whole (with every SRM transition). Between
        those, the page's own polling fills in what is read."""
        with self._page_lock:
            key = (self.source.complete, tuple(self.source.levels()))
            if self._page is None or self._page[0] != key:
                self._page = (key, view_page(self.source).encode())
            return self._page[1]

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server_address[1]}/"


def serve(path: str, port: int = 0, open_browser: bool = True, announce=print) -> None:
    """Start reading the run, serve its page until interrupted (KeyboardInterrupt
    propagates after the socket is closed, the walk stopped and its scratch files removed)."""
    # Bokeh is imported while the run's first batch is read (the read
    # releases the interpreter lock).
    if importlib.util.find_spec("bokeh") is None:
        fig.bokeh_modules()  # raises, with the install command
    importing = threading.Thread(target=_import_quietly, daemon=True)
    importing.start()
    # A polite kill (SIGTERM) stops the server as Ctrl-C does, so the scratch
    # files go too; the default would end the process on the spot.
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _interrupt)
    # The walk is held after its first batch while the first view is built
    # and drawn (the page's first poll lets it go on, or a few seconds do).
    with RunSource(path, held=True) as source:
        importing.join()
        server = ViewServer(source, port)
        timer = threading.Timer(FIRST_VIEW_SECONDS, source.resume)
        timer.daemon = True
        timer.start()
        try:
            announce(f"kelvara view: {source.name} at {server.url} (Ctrl-C to stop)")
            if open_browser:
                threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
            server.serve_forever()
        finally:
            server.server_close()


def _interrupt(signum, frame) -> None:
    raise KeyboardInterrupt


def _import_quietly() -> None:
    try:
        fig.bokeh_modules()
    except ImportError:
        pass  # a broken install: said again, with the install command, when the page is built


# -- the page ------------------------------------------------------------------

def view_page(source: RunSource) -> str:
    facts = source.facts()
    x_range = fig.rt_range(facts)
    figures = {}
    for level in source.levels():
        drawn = source.chromatograms(level)
        traces = [{"label": "TIC", "name": f"tic{level}", **drawn["tic"]},
                  {"label": "BPC", "name": f"bpc{level}", **drawn["bpc"]},
                  {"label": "XIC (right axis)", "name": f"xic{level}", "rt": [], "intensity": [],
                   "colour": "#d62728", "width": 1.6, "own_axis": True, "axis_label": "XIC intensity (counts)"}]
        title = f"{fig.LEVEL_TITLES.get(level, f'MS{level} chromatograms')} — {source.name} (click for the spectrum)"
        figure = fig.chromatogram_figure(title, f"chrom{level}", traces, x_range)
        figures[f"chrom{level}"] = figure
    srm = [dict(trace, name=f"srm{k}") for k, trace in enumerate(source.srm())]
    if srm:
        figures["srm"] = fig.srm_figure(srm, x_range)
    figures["spectrum"] = fig.spectrum_figure("Spectrum — click a chromatogram", None, source.representation)
    _, events, models, _, _ = fig.bokeh_modules()
    for level in source.levels():
        figures[f"chrom{level}"].js_on_event(
            events.Tap, models.CustomJS(code=f"window.kelvara.spectrumAt(cb_obj.x, {level})"))
    js, script, divs = fig.embed(figures)
    levels = source.levels()
    options = "".join(f'<option value="{level}">MS{level}</option>' for level in levels)
    chromatograms = "".join(f'<div class="panel">{divs[f"chrom{level}"]}</div>' for level in levels)
    complete = source.complete
    reading = "" if complete else "Reading the run: the chromatograms fill in as it goes…"
    body = f"""
<h1>{html.escape(source.name)} <span class="note">kelvara view</span></h1>
<p id="progress" class="note" data-complete="{str(complete).lower()}">{reading}</p>
<div class="row">{fig.facts_table(facts)}
<div class="panel"><form id="xic-form">
  <label>XIC at m/z <input id="xic-mz" type="number" step="any" min="0" required></label>
  <label>± <input id="xic-tol" type="number" step="any" min="0" value="0.5" required></label>
  <select id="xic-unit"><option value="tol">Da</option><option value="ppm">ppm</option></select>
  <label>on <select id="xic-level">{options}</select></label>
  <button type="submit">Draw XIC</button>
</form><p id="xic-status" class="note">The XIC is drawn in red over the chromatogram of its MS level, on its own axis (right).</p></div>
</div>
{chromatograms}
{f'<div class="panel">{divs["srm"]}</div>' if "srm" in divs else ""}
<div class="panel"><p id="spectrum-info" class="note">Click a chromatogram to see the spectrum at that
retention time.</p>{divs["spectrum"]}</div>
"""
    return fig.page(f"{source.name} — kelvara view", js, body, script + _PAGE_SCRIPT)


# Fetches what the page asks for and puts it into the Bokeh sources by name.
_PAGE_SCRIPT = """
<script>
window.kelvara = (function () {
  function model(name) {
    for (const doc of Bokeh.documents) { const m = doc.get_model_by_name(name); if (m) return m; }
    return null;
  }
  async function getJSON(url) {
    const response = await fetch(url);
    const answer = await response.json();
    if (!response.ok) throw new Error(answer.error || response.statusText);
    return answer;
  }
  function text(id, message, isError) {
    const el = document.getElementById(id);
    el.textContent = message;
    el.className = isError ? "error" : "note";
  }
  function showSpectrum(s) {
    model("spectrum_source").data = {mz: s.mz, intensity: s.intensity};
    const lo = s.mz.length ? Math.min(...s.mz) : 0, hi = s.mz.length ? Math.max(...s.mz) : 100;
    const pad = Math.max((hi - lo) * 0.03, 1), top = s.intensity.length ? Math.max(...s.intensity) * 1.08 : 1;
    const x = model("spectrum_x"), y = model("spectrum_y");
    x.setv({start: lo - pad, end: hi + pad, reset_start: lo - pad, reset_end: hi + pad});
    y.setv({start: 0, end: top > 0 ? top : 1, reset_start: 0, reset_end: top > 0 ? top : 1});
    model("spectrum_sticks").visible = s.representation !== "profile";
    model("spectrum_line").visible = s.representation === "profile";
    const parts = ["Scan " + s.index, "RT " + s.retention_time_sec.toFixed(2) + " s (" +
                   (s.retention_time_sec / 60).toFixed(2) + " min)", "MS" + s.ms_level];
    if (s.precursor_mz !== null) parts.push("precursor m/z " + s.precursor_mz.toFixed(4));
    parts.push(s.points + (s.representation === "profile" ? " points" : " peaks"));
    if (s.base_peak_mz !== null) parts.push("base peak m/z " + s.base_peak_mz.toFixed(4));
    if (s.mz.length < s.points) parts.push("(" + s.mz.length + " drawn)");
    const info = document.getElementById("spectrum-info");
    info.textContent = parts.join(" · ");
    info.className = "";
    info.dataset.index = s.index;
    info.dataset.rt = s.retention_time_sec;
    info.dataset.points = s.points;
    model("spectrum").title.text = "Spectrum — scan " + s.index + ", RT " + s.retention_time_sec.toFixed(2) +
        " s, MS" + s.ms_level + (s.precursor_mz !== null ? ", precursor m/z " + s.precursor_mz.toFixed(4) : "");
  }
  async function spectrumAt(rt, level) {
    for (const figure of ["chrom1", "chrom2", "srm"]) {
      const marker = model(figure + "_marker");
      if (marker) marker.location = rt;
    }
    try {
      showSpectrum(await getJSON("/api/spectrum?rt=" + encodeURIComponent(rt) + "&level=" + level));
    } catch (e) { text("spectrum-info", "No spectrum: " + e.message, true); }
  }
  document.getElementById("xic-form").addEventListener("submit", async function (event) {
    event.preventDefault();
    const mz = document.getElementById("xic-mz").value, tol = document.getElementById("xic-tol").value;
    const unit = document.getElementById("xic-unit").value, level = document.getElementById("xic-level").value;
    text("xic-status", "Extracting…", false);
    try {
      const xic = await getJSON("/api/xic?mz=" + encodeURIComponent(mz) + "&" + unit + "=" +
                                encodeURIComponent(tol) + "&level=" + level);
      for (const other of document.getElementById("xic-level").options) {
        const source = model("xic" + other.value);
        if (source) source.data = other.value === level ? {rt: xic.rt, intensity: xic.intensity} : {rt: [], intensity: []};
      }
      const peak = xic.intensity.length ? Math.max(...xic.intensity) : 0;
      text("xic-status", "XIC m/z " + Number(mz).toFixed(4) + " ± " + tol + (unit === "tol" ? " Da" : " ppm") +
           " (MS" + level + "), drawn in red on the right axis; highest point " + peak.toExponential(3) +
           " counts" + (xic.complete ? "." : ", over the " + xic.spectra.toLocaleString("en") +
           " spectra read so far (draw it again when the run is read whole)."), false);
    } catch (e) { text("xic-status", "No XIC: " + e.message, true); }
  });

  // While the run is being read: poll the progress, and redraw the
  // chromatograms, the SRM traces and the facts whenever more spectra are in.
  let drawnSpectra = -1;
  function widen(rt) {
    const range = model("rt_range");
    if (!rt || !range) return;
    const pad = Math.max((rt[1] - rt[0]) * 0.02, 0.5), low = rt[0] - pad, high = rt[1] + pad;
    const zoomed = range.start !== range.reset_start || range.end !== range.reset_end;
    range.setv(zoomed ? {reset_start: low, reset_end: high} : {start: low, end: high, reset_start: low, reset_end: high});
  }
  async function redraw(state) {
    const unseen = [];
    for (const level of state.levels) {
      if (!model("tic" + level)) { unseen.push("MS" + level + " spectra"); continue; }
      const drawn = await getJSON("/api/chromatograms?level=" + level);
      model("tic" + level).data = drawn.tic;
      model("bpc" + level).data = drawn.bpc;
    }
    if (model("srm0") || state.levels.includes(2)) {
      const traces = await getJSON("/api/srm");
      traces.forEach((trace, k) => { const m = model("srm" + k); if (m) m.data = {rt: trace.rt, intensity: trace.intensity}; });
      let shown = 0;
      while (model("srm" + shown)) shown++;
      if (traces.length > shown) unseen.push((traces.length - shown) + " SRM transitions");
    }
    widen(state.retention_time_sec);
    // The table's rows are replaced, the table itself kept.
    const fresh = document.createElement("template");
    fresh.innerHTML = state.facts_html;
    document.getElementById("facts").replaceChildren(...fresh.content.firstElementChild.childNodes);
    return unseen;
  }
  async function poll() {
    const el = document.getElementById("progress");
    let state;
    try { state = await getJSON("/api/progress"); }
    catch (e) { text("progress", "The server does not answer (" + e.message + "); trying again…", true); setTimeout(poll, 2000); return; }
    let unseen = [];
    if (state.spectra !== drawnSpectra || state.complete) {
      try { unseen = await redraw(state); drawnSpectra = state.spectra; }
      catch (e) { text("progress", "Could not redraw: " + e.message, true); }
    }
    const n = state.spectra.toLocaleString("en");
    let message, isError = false;
    if (state.error) {
      message = "Reading stopped after " + n + " spectra: " + state.error + ". The page shows what was read.";
      isError = true;
    } else if (state.complete) {
      message = "Read whole: " + n + " spectra in " + state.seconds.toFixed(1) + " s.";
    } else {
      const percent = state.fraction === null ? "" : " " + Math.floor(state.fraction * 100) + " %";
      message = "Reading the run…" + percent + " (" + n + " spectra so far; the chromatograms fill in as it goes)";
    }
    if (unseen.length) message += " " + unseen.join(" and ") + " found after this page was built: reload to draw them.";
    text("progress", message, isError);
    el.dataset.complete = state.complete;
    el.dataset.spectra = state.spectra;
    if (!state.complete) setTimeout(poll, 700);
  }
  if (document.getElementById("progress").dataset.complete !== "true") setTimeout(poll, 200);
  return {spectrumAt: spectrumAt, model: model};
})();
</script>
"""
