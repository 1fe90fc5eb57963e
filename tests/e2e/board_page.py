"""Checks of the live board's pages (`/` and `/overlay`) in a real headless Chromium.

Used by the e2e tests that serve a board with the tool: they open a page at the tool's address
and ask what a person would see. Every reader here goes through the pages' stable hooks:
  body[data-signal]          "connecting", "live", "stale", "ended" or "nosignal"
  #signal                    the plain notice about the signal ("" / hidden while live)
  [data-lane-row]            one element per lane shown (board: lanes 1..N in lane order;
                             overlay: the lanes it lists, in the order shown), with
                             data-lane, data-lit, data-running, data-shows ("result",
                             "running", "lineup" or "none")
  [data-field=F] inside it   F = lane, place, time, name, team: the text shown (textContent)
  #clock, #event, #heat, #time-of-day: the header's texts
  #results[data-open]        the board's results panel, open after a race ends

Needs Debian's chromium, chromium-driver and python3-selenium. With /usr/bin/python3 all three
come from Debian; another interpreter may find Debian's selenium through its dist-packages.
`skip_reason()` says what is missing; `open_browser()` raises unittest.SkipTest with it.
"""

import base64
import contextlib
import os
import shutil
import struct
import sys
import tempfile
import time
import unittest
import zlib

CHROMIUM_ARGS = (
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-dev-shm-usage",
    "--hide-scrollbars",
)


def _import_selenium():
    """selenium's webdriver package, or None; falls back on Debian's copy for another python."""
    try:
        from selenium import webdriver
    except ImportError:
        debian = "/usr/lib/python3/dist-packages"
        if not os.path.isdir(os.path.join(debian, "selenium")) or debian in sys.path:
            return None
        sys.path.append(debian)  # after this interpreter's own packages
        try:
            from selenium import webdriver
        except ImportError:
            return None
    return webdriver


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def skip_reason():
    """None when a browser can be driven here, else why not (for unittest's skip)."""
    if _import_selenium() is None:
        return "selenium is not installed (Debian: python3-selenium, for /usr/bin/python3)"
    if _chromium() is None:
        return "chromium is not installed (Debian: chromium)"
    if shutil.which("chromedriver") is None:
        return "chromedriver is not installed (Debian: chromium-driver)"
    return None


@contextlib.contextmanager
def open_browser(width=1920, height=1080):
    """A headless Chromium driven by selenium, its viewport width x height, console log kept.

    Raises unittest.SkipTest when the browser or its driver is missing. The profile is a fresh
    folder, removed afterwards."""
    reason = skip_reason()
    if reason:
        raise unittest.SkipTest(reason)
    webdriver = _import_selenium()
    profile = tempfile.mkdtemp(prefix="kelp-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = _chromium()
    for arg in CHROMIUM_ARGS:
        options.add_argument(arg)
    options.add_argument("--user-data-dir=" + profile)
    options.add_argument("--window-size=%d,%d" % (width, height))
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    from selenium.webdriver.chrome.service import Service

    service = Service(executable_path=shutil.which("chromedriver"))
    driver = webdriver.Chrome(service=service, options=options)
    try:
        set_viewport(driver, width, height)
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def set_viewport(driver, width, height):
    """Makes the page's viewport exactly width x height CSS pixels (scale 1)."""
    driver.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False},
    )


def wait_for(driver, predicate, timeout=20.0, interval=0.1):
    """Polls predicate(driver) until it is true or timeout seconds pass; returns its last value.

    A predicate that raises (an element replaced meanwhile, a page loading) counts as false."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = predicate(driver)
        except Exception:  # the page changes under us: try again
            value = None
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


_LANE_ROWS_JS = """
const text = (row, f) => {
  const el = row.querySelector('[data-field="' + f + '"]');
  return el ? el.textContent.trim() : '';
};
return Array.from(document.querySelectorAll('[data-lane-row]'))
  .filter(row => row.checkVisibility ? row.checkVisibility({opacityProperty: true,
      visibilityProperty: true, checkOpacity: true, checkVisibilityCSS: true})
    : row.getClientRects().length > 0 && getComputedStyle(row).visibility !== 'hidden')
  .map(row => [row.getBoundingClientRect().top, row])
  .sort((a, b) => a[0] - b[0])
  .map(([top, row]) => ({
    lane: text(row, 'lane'), place: text(row, 'place'), time: text(row, 'time'),
    name: text(row, 'name'), team: text(row, 'team'),
    dim: row.dataset.lit === 'false', running: row.dataset.running === 'true',
    shows: row.dataset.shows || ''}));
"""


def lane_rows(driver):
    """What each lane row on the page shows, top to bottom: a list of dicts with the texts
    lane, place, time, name, team ("" when empty), dim (a lane never lit), running (in the water)
    and shows (what its time is: "result", "running", "lineup" or "none")."""
    return driver.execute_script(_LANE_ROWS_JS)


def lane_lines(driver):
    """The lane rows as (lane, place, time) texts, e.g. ("3", "1", "27.25"): the board's lines."""
    return [(r["lane"], r["place"], r["time"]) for r in lane_rows(driver)]


def page_signal(driver):
    """body's data-signal: "connecting", "live", "stale", "ended" or "nosignal"."""
    return driver.execute_script("return document.body ? document.body.dataset.signal || '' : ''")


def signal_text(driver):
    """The notice the page shows about its signal (e.g. "NO SIGNAL ..."), "" when it shows none."""
    return driver.execute_script(
        "const el = document.getElementById('signal');"
        "return el && el.getClientRects().length ? el.innerText.replace(/\\s+/g, ' ').trim() : '';"
    )


def header(driver):
    """The header's texts: event, heat, clock, time_of_day ("" when dark)."""
    return driver.execute_script(
        "const t = id => { const el = document.getElementById(id);"
        " return el ? el.textContent.trim() : ''; };"
        "return {event: t('event'), heat: t('heat'), clock: t('clock'),"
        " time_of_day: t('time-of-day')};"
    )


def results_panel(driver):
    """The board's results panel when open: {"title": ..., "rows": [[place, lane, name, team,
    time], ...]}; None when closed."""
    return driver.execute_script(
        "const p = document.getElementById('results');"
        "if (!p || p.dataset.open !== 'true') return null;"
        "const t = (r, f) => { const el = r.querySelector('[data-field=\"' + f + '\"]');"
        " return el ? el.textContent.trim() : ''; };"
        "return {title: document.getElementById('results-title').textContent.trim(),"
        " rows: Array.from(p.querySelectorAll('[data-result-row]')).map(r =>"
        " ['place', 'lane', 'name', 'team', 'time'].map(f => t(r, f)))};"
    )


def console_errors(driver, tool_was_down=False):
    """The browser console's warnings and errors since the last call (each a message text).
    Reading empties the log. While the tool is stopped the browser logs each refused attempt to
    reopen /events (or to ask /board.json); with tool_was_down=True those lines are left out."""
    found = []
    for entry in driver.get_log("browser"):
        if entry.get("level") not in ("SEVERE", "WARNING"):
            continue
        message = entry.get("message", "")
        if tool_was_down and _is_refused_reconnect(message):
            continue
        found.append(message)
    return found


def _is_refused_reconnect(message):
    return ("/events" in message or "/board.json" in message) and (
        "ERR_CONNECTION_REFUSED" in message
        or "ERR_CONNECTION_RESET" in message
        or "ERR_EMPTY_RESPONSE" in message
        or "ERR_INCOMPLETE_CHUNKED_ENCODING" in message
    )


def scrollbars(driver, width, height):
    """Sets the viewport to width x height and returns the directions the page would scroll
    in: [] when it fits, else "vertical" and/or "horizontal"."""
    set_viewport(driver, width, height)
    time.sleep(0.3)  # one layout after the resize
    sizes = driver.execute_script(
        "const d = document.documentElement;"
        "return [d.scrollWidth, d.scrollHeight, window.innerWidth, window.innerHeight];"
    )
    scroll_w, scroll_h, inner_w, inner_h = sizes
    found = []
    if scroll_h > inner_h:
        found.append("vertical")
    if scroll_w > inner_w:
        found.append("horizontal")
    return found


def is_transparent(driver):
    """True when html and body paint no background (colour fully transparent, no image) and the
    page's top-left pixel, rendered over a transparent canvas, has alpha 0."""
    styles = driver.execute_script(
        "return [document.documentElement, document.body].map(el => {"
        " const s = getComputedStyle(el); return [s.backgroundColor, s.backgroundImage]; });"
    )
    for color, image in styles:
        if image != "none" or not _color_is_clear(color):
            return False
    driver.execute_cdp_cmd(
        "Emulation.setDefaultBackgroundColorOverride", {"color": {"r": 0, "g": 0, "b": 0, "a": 0}}
    )
    try:
        shot = driver.execute_cdp_cmd("Page.captureScreenshot", {"format": "png"})
    finally:
        driver.execute_cdp_cmd("Emulation.setDefaultBackgroundColorOverride", {})
    return _first_pixel_alpha(base64.b64decode(shot["data"])) == 0


def _color_is_clear(color):
    color = color.replace(" ", "")
    if color == "transparent":
        return True
    if color.startswith("rgba(") and color.endswith(")"):
        return float(color[5:-1].split(",")[3]) == 0.0
    return False


def _first_pixel_alpha(png):
    """Alpha of pixel (0, 0) of an 8-bit RGBA PNG (255 for a PNG without alpha)."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, color_type = 8, b"", None
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos : pos + 8])
        chunk = png[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            color_type = chunk[9]
        elif kind == b"IDAT":
            idat += chunk
        elif kind == b"IEND":
            break
        pos += 12 + length
    if color_type != 6:
        return 255
    first = zlib.decompressobj().decompress(idat, 5)  # filter byte + one RGBA pixel
    return first[4]  # filters None/Sub/Up/Average/Paeth leave pixel (0, 0) as stored in row 0


def screenshot(driver, path):
    """Saves what the viewport shows as a PNG at path (folders made); returns path."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    driver.save_screenshot(path)
    return path
