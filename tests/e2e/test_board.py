"""`decode --serve`: the board a pool sees, served while the race is read.

The recording of a real race (a 25-yard race, six lanes) is served from the file as fast as it
reads (`--speed 0`) to a real headless Chromium, and live from a pseudo-terminal at the console's
line rate (twice as fast) to clients of the event stream, some of which never read. What the board must show
comes from the tool's pipe output of the same file (`decode --json`), never from numbers written
here; the names come from the start lists, read here by their layout.
"""

import http.client
import json
import os
import select
import shutil
import socket
import tempfile
import threading
import time
import unittest

import board_page
import harness
import sim_device
from harness import PtyPeer, Tool, run

FIXTURE = os.path.join(sim_device.FIXTURES, "console-streams", "cts-scoreboard-meet.bin")
START_LISTS = os.path.join(sim_device.FIXTURES, "start-lists")
LINE_RATE = 9600 / 11  # bytes a second at 8-E-1: 872.7
# The live race is fed twice as fast as the console sends it: 35 s, still long enough for the
# clients that never read to be dropped while it runs.
FEED_RATE = 2 * LINE_RATE
HOSTILE_NAME = '<b>X</b> & "Q"'  # a swimmer's name that reads like markup
SIZES = ((1920, 1080), (1280, 720))


def setUpModule():
    harness.start_wine()


def screenshot_dir():
    return os.environ.get("KELP_SCREENSHOT_DIR") or os.path.join(
        os.path.dirname(os.path.abspath(harness.BINARY)), "screenshots")


def pipe_changes():
    """The changes `decode --json` reads from the recording, in order."""
    result = run(["decode", "--json", FIXTURE])
    assert result.status == 0, result.stderr
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def final_lines(changes, lanes):
    """Each lane's last line as the board shows it: (lane, place, time) texts, "" when dark."""
    last = {o["channel"]: o for o in changes}
    text = lambda v: "" if v is None else str(v)
    return [(str(n), text(last[n]["place"]), text(last[n]["lane_time"])) for n in range(1, lanes + 1)]


def start_list_with_a_hostile_name(folder):
    """The fixture's start lists copied into `folder`, lane 2 of event 27 heat 1 renamed
    HOSTILE_NAME; gives the (name, team) of heat 1's ten lanes as the copy holds them."""
    for name in os.listdir(START_LISTS):
        if name.endswith(".scb"):
            shutil.copy(os.path.join(START_LISTS, name), folder)
    path = os.path.join(folder, "E027.scb")
    with open(path, encoding="cp1252", newline="") as f:
        lines = f.read().split("\r\n")
    lines[2] = HOSTILE_NAME.ljust(20) + lines[2][20:]
    with open(path, "w", encoding="cp1252", newline="") as f:
        f.write("\r\n".join(lines))
    return [(line[:20].rstrip(), line[22:].rstrip()) for line in lines[1:11]]


def fetch(port, path, method="GET", headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request(method, path, headers=headers or {})
        response = conn.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        conn.close()


def board(port):
    status, _, body = fetch(port, "/board.json")
    assert status == 200, status
    return json.loads(body)


def serve(args, port, workdir=None, banner_on_stderr=False):
    """The tool serving on 127.0.0.1:port, once its banner says where."""
    tool = Tool(["decode"] + args + ["--serve", "127.0.0.1:%d" % port], workdir=workdir)
    banner = b"JSON:     http://127.0.0.1:%d/board.json\n" % port
    (tool.wait_stderr if banner_on_stderr else tool.wait_stdout)(banner)
    return tool


def wait_signal(port, signal, timeout=60):
    if not harness.wait_until(lambda: board(port)["signal"] == signal, timeout, 0.1):
        raise AssertionError("the board never said %r: %r" % (signal, board(port)))


# The overlay's texts that the notice of its signal ("Recording ended") lies over, and whether
# the notice's words overflow it: [] when every text shows whole.
TEXTS_UNDER_NOTICE_JS = """
const notice = document.getElementById('signal').getBoundingClientRect();
const found = [];
for (const id of ['event', 'heat', 'ov-title', 'clock', 'ov-tag']) {
  const range = document.createRange();
  range.selectNodeContents(document.getElementById(id));
  const t = range.getBoundingClientRect();
  if (t.width && notice.width && t.left < notice.right && notice.left < t.right &&
      t.top < notice.bottom && notice.top < t.bottom) found.push(id + ' under the notice');
}
const el = document.getElementById('signal');
if (el.scrollWidth > el.clientWidth) found.push('the notice cut: ' + el.innerText);
return found;
"""


class EventReader(threading.Thread):
    """A client of /events that reads every event as it comes: the boards in order."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.conn.request("GET", "/events")
        self.sock = self.conn.sock  # the response keeps it: the connection lets go of it
        self.response = self.conn.getresponse()
        self.states = []
        self.start()

    def run(self):
        data = []
        try:
            while True:
                line = self.response.readline()
                if not line:
                    return
                line = line.rstrip(b"\r\n")
                if line.startswith(b"data:"):
                    data.append(line[5:].removeprefix(b" "))
                elif not line and data:
                    self.states.append(json.loads(b"\n".join(data)))
                    data = []
        except (OSError, ValueError, http.client.HTTPException):
            return

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.join(10)
        self.conn.close()


def stalled_client(port):
    """A client that asks for /events and never reads a byte of it."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", port))
    sock.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    return sock


def closed_by_tool(sock):
    """True once the tool has closed the connection (what it sent before is read and dropped)."""
    sock.setblocking(False)
    try:
        while sock.recv(65536):
            pass
        return True
    except BlockingIOError:
        return False
    except OSError:  # reset
        return True


def crowd(port, count):
    """`count` connections that send nothing; gives them and how many were refused at once with
    503 (an accepted one waits for its request and says nothing)."""
    socks = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(count)]
    answers = {}
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        waiting = [s for s in socks if s not in answers]
        ready, _, _ = select.select(waiting, [], [], max(0.0, deadline - time.monotonic()))
        for s in ready:
            try:
                answers[s] = s.recv(4096)
            except OSError:
                answers[s] = b""
    refused = sum(answer.startswith(b"HTTP/1.1 503 ") for answer in answers.values())
    return socks, refused, len(answers)


class BoardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(FIXTURE, "rb") as f:
            cls.data = f.read()
        cls.changes = pipe_changes()

    def test_the_board_and_the_overlay_in_a_browser(self):
        reason = board_page.skip_reason()
        if reason:
            self.skipTest(reason)
        lists = tempfile.mkdtemp(prefix="kelp-lists-")
        self.addCleanup(shutil.rmtree, lists, ignore_errors=True)
        names = start_list_with_a_hostile_name(lists)
        args = [FIXTURE, "--speed", "0", "--start-lists", lists]
        port = harness.free_tcp_port()
        tool = serve(args, port)
        self.addCleanup(tool.__exit__)
        wait_signal(port, "ended")
        shown = board(port)["lanes_shown"]
        self.assertGreaterEqual(shown, 6)  # the race swam in lanes 1-6
        finals = final_lines(self.changes, shown)
        named = [line + names[n] for n, line in enumerate(finals)]
        shots = screenshot_dir()
        with board_page.open_browser(*SIZES[0]) as page:
            # The board: each lane's final line, the swimmer's name and team beside it, the
            # name that reads like markup shown as the text it is.
            page.get("http://127.0.0.1:%d/" % port)
            self.assertTrue(board_page.wait_for(page, lambda p: board_page.page_signal(p) == "ended"))
            rows = lambda: [(r["lane"], r["place"], r["time"], r["name"], r["team"])
                            for r in board_page.lane_rows(page)]
            self.assertEqual(rows(), named)
            self.assertEqual(page.execute_script("return document.querySelectorAll("
                                                 "'[data-lane-row] b').length"), 0)
            for width, height in SIZES:
                self.assertEqual(board_page.scrollbars(page, width, height), [], (width, height))
                board_page.screenshot(page, os.path.join(shots, "board-ended-%dx%d.png"
                                                         % (width, height)))
            self.assertEqual(board_page.console_errors(page), [])

            # The overlay over the video: transparent, the finishers in place order.
            page.get("http://127.0.0.1:%d/overlay" % port)
            self.assertTrue(board_page.wait_for(page, lambda p: board_page.page_signal(p) == "ended"))
            board_page.set_viewport(page, *SIZES[0])
            by_place = sorted((line for line in named if line[2]), key=lambda line: int(line[1]))
            self.assertEqual(rows(), by_place)
            self.assertTrue(board_page.is_transparent(page))
            # (once the graphic has slid into place: it rises as the board arrives)
            board_page.wait_for(page, lambda p: p.execute_script(TEXTS_UNDER_NOTICE_JS) == [], 5)
            self.assertEqual(page.execute_script(TEXTS_UNDER_NOTICE_JS), [])
            board_page.screenshot(page, os.path.join(shots, "overlay-ended-1920x1080.png"))
            self.assertEqual(board_page.console_errors(page), [])

            # The tool stopped: the page says it has no signal; started again on the same
            # port, the board comes back by itself.
            page.get("http://127.0.0.1:%d/" % port)
            self.assertTrue(board_page.wait_for(page, lambda p: board_page.page_signal(p) == "ended"))
            tool.interrupt()
            self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
            self.assertTrue(board_page.wait_for(
                page, lambda p: board_page.page_signal(p) == "nosignal", 30))
            self.assertIn("no signal", board_page.signal_text(page).lower())
            board_page.screenshot(page, os.path.join(shots, "board-nosignal-1920x1080.png"))
            again = serve(args, port)
            self.addCleanup(again.__exit__)
            self.assertTrue(board_page.wait_for(
                page, lambda p: board_page.page_signal(p) == "ended", 40))
            self.assertEqual(rows(), named)
            self.assertEqual(board_page.console_errors(page, tool_was_down=True), [])

    @harness.skip_on_wine("pseudo-terminals fed at line rate are checked on Linux")
    def test_live_from_the_console_line_with_clients_that_never_read(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        port = harness.free_tcp_port()
        tool = serve(["--port", peer.port_name], port)
        self.addCleanup(tool.__exit__)
        self.assertTrue(harness.wait_until(peer.opened, 20))
        reader = EventReader(port)
        self.addCleanup(reader.close)
        self.assertTrue(harness.wait_until(lambda: reader.states, 10))
        before = reader.states[0]
        self.assertEqual([(lane["lit"], lane["place"], lane["time"]) for lane in before["lanes"]],
                         [(False, None, None)] * 10)
        stalled = [stalled_client(port) for _ in range(40)]
        self.addCleanup(lambda: [s.close() for s in stalled])
        player = threading.Thread(target=sim_device.play, args=(peer, self.data, FEED_RATE))
        player.start()
        self.addCleanup(player.join)

        # While the race is fed: requests that are wrong cost only their own connection.
        status, headers, _ = fetch(port, "/board.json", "POST")
        self.assertEqual((status, headers.get("Allow")), (405, "GET, HEAD"))
        self.assertEqual(fetch(port, "/no-such-page")[0], 404)
        self.assertEqual(fetch(port, "/board.json", headers={"X-Pad": "p" * 9216})[0], 431)
        kept = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        self.addCleanup(kept.close)
        kept.request("GET", "/board.json")
        self.assertEqual(kept.getresponse().read()[:1], b"{")
        socks, refused, answered = crowd(port, 70)
        self.addCleanup(lambda: [s.close() for s in socks])
        # The reader and the kept connection stay open whatever became of the stalled ones.
        self.assertGreaterEqual(refused, 70 + 2 - 64)
        self.assertEqual(answered, refused)
        kept.request("GET", "/board.json")
        self.assertEqual(json.loads(kept.getresponse().read())["signal"], "live")
        # Those let in but never asking anything are closed by the tool (after 10 s); then new
        # connections are let in again.
        self.assertTrue(harness.wait_until(lambda: all(map(closed_by_tool, socks)), 30))
        self.assertEqual(fetch(port, "/board.json")[0], 200)

        # Every byte reached the capture's raw files, whatever the clients did.
        player.join()
        bins = lambda: tool.workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
        recorded = lambda: b"".join(map(tool.workdir.read, bins()))
        self.assertTrue(harness.wait_until(lambda: recorded() == self.data, 30))
        # The clients that never read were dropped, long before the race ended.
        self.assertEqual([closed_by_tool(s) for s in stalled], [True] * 40)
        wait_signal(port, "stale", 20)
        final = board(port)
        self.assertTrue(harness.wait_until(lambda: reader.states[-1] == final, 10))
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)

        # The reading client saw the race as it went: many boards, each lane only ever showing
        # what the console sent it, the clock only what it showed, and the count of changes
        # never going back.
        states = reader.states
        self.assertGreater(len(states), 300)
        had = {n: {o["text"] for o in self.changes if o["channel"] == n} for n in range(1, 11)}
        clocks = {o.get("clock") for o in self.changes if o["channel"] == 0} | {before["clock"]}
        for k, state in enumerate(states[1:], 1):
            for lane in state["lanes"]:
                n = lane["lane"]
                self.assertTrue(lane["text"] in had[n] or lane["text"] == before["lanes"][n - 1]
                                ["text"], (k, lane))
            self.assertIn(state["clock"], clocks, k)
        counts = [state["changes"] for state in states]
        self.assertEqual(counts, sorted(counts))
        self.assertEqual([(lane["place"], lane["time"]) for lane in final["lanes"]],
                         [(o["place"], o["lane_time"]) for o in
                          ({o["channel"]: o for o in self.changes}[n] for n in range(1, 11))])

    def test_a_port_already_taken(self):
        taken = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        peer = PtyPeer()
        self.addCleanup(peer.close)
        for args in (["--port", peer.port_name], [FIXTURE]):
            result = run(["decode"] + args + ["--serve", "127.0.0.1:%d" % port])
            self.assertEqual(result.status, 1, args)
            self.assertRegex(result.stderr, rb"(^|\n)ERROR: .*127\.0\.0\.1:%d" % port)
            self.assertEqual(result.workdir.files(), [], args)

    def test_served_from_the_file_as_the_program_reads_it(self):
        # Also the Windows program under Wine: the board, its results and the stream.
        port = harness.free_tcp_port()
        tool = serve([FIXTURE, "--json", "--speed", "0", "--start-lists", START_LISTS], port,
                     banner_on_stderr=True)
        self.addCleanup(tool.__exit__)
        for line in (b"Board:    http://127.0.0.1:%d/\n" % port,
                     b"Overlay:  http://127.0.0.1:%d/overlay\n" % port):
            self.assertIn(line, tool.stderr)
        wait_signal(port, "ended")
        final = board(port)
        last = {o["channel"]: o for o in self.changes}
        self.assertEqual([lane["text"] for lane in final["lanes"]],
                         [last[n]["text"] for n in range(1, 11)])
        status, headers, body = fetch(port, "/results.json")
        self.assertEqual(status, 200)
        race = [r for r in json.loads(body)["races"] if (r["event"], r["heat"]) == (27, 1)]
        self.assertEqual(len(race), 1, body)
        finishers = sorted((n for n in range(1, 11) if last[n]["lane_time"]),
                           key=lambda n: last[n]["place"])
        self.assertEqual([(r["lane"], r["place"], r["time"]) for r in race[0]["results"]],
                         [(n, last[n]["place"], last[n]["lane_time"]) for n in finishers])
        self.assertTrue(all(r["name"] for r in race[0]["results"]), race)
        reader = EventReader(port)
        self.addCleanup(reader.close)
        self.assertTrue(harness.wait_until(lambda: reader.states, 10))
        self.assertEqual(reader.states[0], final)
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        # What it printed is what the same run without --serve prints.
        piped = run(["decode", "--json", FIXTURE, "--start-lists", START_LISTS])
        self.assertEqual(changes_of(tool.stdout), changes_of(piped.stdout))

        # At twenty times the recorded pace the 70-second race takes seconds, not none.
        port = harness.free_tcp_port()
        started = time.monotonic()
        paced = serve([FIXTURE, "--speed", "20"], port)
        self.addCleanup(paced.__exit__)
        wait_signal(port, "ended")
        self.assertGreater(time.monotonic() - started, 2.0)
        self.assertEqual([lane["text"] for lane in board(port)["lanes"]],
                         [lane["text"] for lane in final["lanes"]])


def changes_of(stdout):
    """A --json run's changes without their times."""
    objects = [json.loads(line) for line in stdout.decode().splitlines()]
    for o in objects:
        o.pop("time", None)
    return objects


if __name__ == "__main__":
    unittest.main()
