#!/usr/bin/env python3
"""How long a scan takes, and what an idle serial capture costs.

scan    `scan --wait-ms 50 --parities none` against a silent pseudo-terminal: 72 exchanges, each
        the open, the 50 ms window (the read under way at the deadline is let finish, and a read
        waits up to its 100 ms time-out, so a 50 ms window listens about 100 ms), the 100 ms
        pause, and for the break preset the 250 ms hold. Reported: the wall time from the first
        console line to the summary, against
          target   72 x (50 + 100) ms + 8 x 250 ms, plus 10 %           = 14.08 s
          ceiling  72 x (50 + 100 + 100) ms + 8 x 250 ms, plus 10 %     = 22.00 s
        (the ceiling counts the one read time-out a window may run over).
idle    `serial` on a silent pseudo-terminal for ~10 s: CPU time used and context switches of all
        the process's threads; the read loop should wake about ten times a second and use next to
        no CPU.

Run: python3 bench/scan_duration.py [--binary build/release/kelp-capture] [--idle-seconds 10]
A .exe binary runs under Wine (WINEPREFIX as for the tests). Exits 1 when the scan passes the
ceiling.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BINARY = os.path.join(HERE, "..", "build", "release", "kelp-capture")

WAIT_MS = 50
PAUSE_MS = 100
READ_TIMEOUT_MS = 100
BREAK_MS = 250
COMBINATIONS = 72
BAUD_RATES = 8
TARGET_S = (COMBINATIONS * (WAIT_MS + PAUSE_MS) + BAUD_RATES * BREAK_MS) / 1000 * 1.10
CEILING_S = (COMBINATIONS * (WAIT_MS + READ_TIMEOUT_MS + PAUSE_MS) + BAUD_RATES * BREAK_MS) \
    / 1000 * 1.10


def load_harness(binary):
    os.environ["KELP_BINARY"] = os.path.abspath(binary)
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
    import harness  # noqa: E402 (needs KELP_BINARY first)
    import sim_device  # noqa: E402
    return harness, sim_device


def process_usage(pid):
    """(CPU seconds, context switches) summed over every thread of a process."""
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = 0.0
    switches = 0
    for task in os.listdir("/proc/%d/task" % pid):
        base = "/proc/%d/task/%s/" % (pid, task)
        try:
            with open(base + "stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu += (int(fields[11]) + int(fields[12])) / ticks
            with open(base + "status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return cpu, switches


def program_pid(harness, tool):
    """The pid that runs the program: under Wine the launcher may exec or spawn the real process."""
    if not harness.ON_WINE:
        return tool.proc.pid
    name = os.path.basename(harness.BINARY).lower()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().lower()
        except OSError:
            continue
        if name.encode() in cmdline and b"serial" in cmdline:
            return int(pid)
    return tool.proc.pid


def bench_scan(harness, sim_device):
    with harness.PtyPeer() as peer, sim_device.SimDevice(peer) as device:
        tool = harness.Tool(["scan", "--port", peer.port_name, "--wait-ms", str(WAIT_MS),
                             "--parities", "none"])
        with tool:
            tool.wait_stdout(b"combinations...\n\n", timeout=60)
            start = time.monotonic()
            tool.wait_stdout(b"=== Scan Summary ===", timeout=120)
            elapsed = time.monotonic() - start
            status = tool.wait(60)
        received = len(device.received_bytes())
    lines = tool.stdout.count(b" ... ")
    if status != 0 or lines != COMBINATIONS:
        raise SystemExit("scan failed: status %r, %d console lines\n%s"
                         % (status, lines, tool.stderr.decode(errors="replace")))
    return elapsed, received


def bench_idle(harness, seconds):
    with harness.PtyPeer() as peer:
        tool = harness.Tool(["serial", "--port", peer.port_name])
        with tool:
            tool.wait_stdout(b"DTR and RTS asserted.\n\n", timeout=60)
            time.sleep(1.0)  # let start-up settle
            pid = program_pid(harness, tool)
            cpu0, sw0 = process_usage(pid)
            t0 = time.monotonic()
            time.sleep(seconds)
            cpu1, sw1 = process_usage(pid)
            elapsed = time.monotonic() - t0
            if tool.proc.poll() is not None:
                raise SystemExit("serial ended early: %r" % tool.stderr)
    return cpu1 - cpu0, (sw1 - sw0) / elapsed, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=DEFAULT_BINARY)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    args = parser.parse_args()
    harness, sim_device = load_harness(args.binary)
    harness.start_wine()

    print("binary: %s%s" % (harness.BINARY, " (under Wine)" if harness.ON_WINE else ""))
    elapsed, received = bench_scan(harness, sim_device)
    print("scan, %d combinations, --wait-ms %d, one parity: %.2f s (%.0f ms per combination)"
          % (COMBINATIONS, WAIT_MS, elapsed, elapsed * 1000 / COMBINATIONS))
    print("  target  %.2f s: %s" % (TARGET_S, "met" if elapsed < TARGET_S else "NOT met"))
    print("  ceiling %.2f s: %s" % (CEILING_S, "met" if elapsed < CEILING_S else "NOT met"))
    print("  bytes that reached the device: %d" % received)

    cpu, wakeups, seconds = bench_idle(harness, args.idle_seconds)
    print("idle serial capture over %.1f s: %.3f s CPU (%.2f %%), %.1f context switches/s"
          % (seconds, cpu, cpu * 100 / seconds, wakeups))
    return 0 if elapsed < CEILING_S else 1


if __name__ == "__main__":
    sys.exit(main())
