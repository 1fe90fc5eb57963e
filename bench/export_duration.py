#!/usr/bin/env python3
"""How long `export` takes for the log of a capture of 100,000 datagrams.

The log is made by the tool itself: a `udp` capture (console to /dev/null) receives 100,000
datagrams of 200 bytes (the scoreboard-like text of bench/udp_capture) sent to 127.0.0.1 at a
fixed rate, and is stopped with Ctrl+C once every datagram is in its log. Then `export` turns the
log into a pcapng file, several times; the bench shows each run's wall-clock time, the median,
the tool's CPU time, the sizes, and checks with tshark (when installed) that the file holds every
packet.

Run:  python3 bench/export_duration.py [--binary build/release/kelp-capture] [--datagrams 100000]
        [--rate 10000] [--runs 5] [--dir DIR] [--keep]
Linux, Python 3 (standard library only); tshark optional. About 30 s for the default.
"""

import argparse
import os
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BINARY = os.path.join(HERE, "..", "build", "release", "kelp-capture")
SIZE = 200


def payload(i):
    head = b"SEQ%09d;LANE,4,SMITH J,00:59.12,2;EVENT,12,HEAT,3;" % i
    return (head + b"SPLIT," * 40)[:SIZE - 1] + b"\n"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def capture(binary, folder, count, rate):
    """Runs a udp capture of `count` datagrams in `folder`; gives the log's path."""
    port = free_port()
    with open(os.devnull, "wb") as null:
        tool = subprocess.Popen([binary, "udp", "--port", str(port)], cwd=folder, stdout=null,
                                stderr=subprocess.PIPE)
    time.sleep(0.5)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target = ("127.0.0.1", port)
    start = time.perf_counter()
    for i in range(count):
        while i >= (time.perf_counter() - start) * rate:
            time.sleep(0.0005)
        sock.sendto(payload(i + 1), target)
    sock.close()
    logs = [name for name in os.listdir(os.path.join(folder, "captures")) if name.endswith(".log")]
    log = os.path.join(folder, "captures", logs[0])
    # Done when the last datagram's record is in the log.
    last = b"SEQ%09d;" % count
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        with open(log, "rb") as f:
            f.seek(max(0, os.path.getsize(log) - 4096))
            if last in f.read():
                break
        time.sleep(0.2)
    tool.send_signal(signal.SIGINT)
    tool.wait(30)
    return log


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", default=DEFAULT_BINARY)
    parser.add_argument("--datagrams", type=int, default=100000)
    parser.add_argument("--rate", type=int, default=10000, help="datagrams per second to capture")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", help="work in this folder (default: a temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the folder")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    folder = tempfile.mkdtemp(prefix="kelp-export-", dir=args.dir)
    try:
        log = capture(binary, folder, args.datagrams, args.rate)
        with open(log, "rb") as f:
            records = len(re.findall(rb"^--- #\d+ at ", f.read(), re.M))
        print("log: %s, %d records, %.1f MB" % (os.path.basename(log), records,
                                                os.path.getsize(log) / 1e6))
        if records != args.datagrams:
            print("the capture lost datagrams: %d of %d" % (records, args.datagrams))
            return 1

        walls = []
        for run in range(args.runs):
            out = os.path.join(folder, "run%d.pcapng" % run)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            result = subprocess.run([binary, "export", log, "--out", out], cwd=folder,
                                    capture_output=True)
            wall = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            if result.returncode != 0 or result.stderr:
                print("export failed: %r %r" % (result.returncode, result.stderr))
                return 1
            walls.append(wall)
            print("run %d: %.3f s wall, %.3f s CPU, %.1f MB written, peak memory %.0f MB"
                  % (run + 1, wall, cpu, os.path.getsize(out) / 1e6, after.ru_maxrss / 1024))
        print("median: %.3f s for %d datagrams (%.1f us per record)"
              % (statistics.median(walls), records, statistics.median(walls) / records * 1e6))

        tshark = shutil.which("tshark")
        if tshark:
            start = time.perf_counter()
            counted = subprocess.run([tshark, "-r", os.path.join(folder, "run0.pcapng"), "-T",
                                      "fields", "-e", "frame.number"], capture_output=True)
            lines = counted.stdout.split()
            print("tshark read %d packets in %.1f s" % (len(lines), time.perf_counter() - start))
            if len(lines) != records:
                return 1
        return 0
    finally:
        if args.keep:
            print("kept", folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
