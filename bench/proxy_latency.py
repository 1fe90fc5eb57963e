#!/usr/bin/env python3
"""Latency and throughput of `kelp-capture proxy` against socat on the same two serial ports.

Two pseudo-terminal pairs stand in for the two serial links: the bench holds both masters and
plays Meet Manager on one and the timing console on the other; the forwarder under test opens the
two slaves. The slaves are left as openpty made them (canonical mode, echo on), so a forwarder
that does not make its ports raw shows up as lost or echoed bytes.

Measured, for each forwarder:
  latency     time from the write on one master to the read of the whole message on the other,
              one-byte and 64-byte messages (the 64-byte message ends with ETX, so the proxy
              logs a frame after each one), both directions, N samples each: median and p99
  throughput  4 MiB of random bytes each way at once, every byte checked

The proxy's console output goes to a file in the run folder, like socat -x's hex dump. One more
run measures the proxy's latency while its console takes nothing at all: its standard output is
a pipe that is never read, filled before the measurement starts (a stopped pager, or a Windows
console with text selected); only the log can be checked then.
Run: python3 bench/proxy_latency.py [--binary build/release/kelp-capture] [--samples 2000]
"""

import argparse
import fcntl
import os
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time

ETX = 0x03
F_GETPIPE_SZ = getattr(fcntl, "F_GETPIPE_SZ", 1032)  # Linux
LABELS = ("MM->CTS6", "CTS6->MM")
BULK_SIZE = 4 * 1024 * 1024
DEFAULT_BINARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                              "release", "kelp-capture")


class BenchError(Exception):
    pass


def open_pair():
    master, slave = os.openpty()
    return {"master": master, "slave": slave, "name": os.ttyname(slave)}


def is_raw(fd):
    lflag = termios.tcgetattr(fd)[3]
    return not (lflag & (termios.ICANON | termios.ECHO))


def drain(fd, quiet=0.2):
    """Reads whatever is still arriving on fd until it has been quiet for `quiet` seconds."""
    got = bytearray()
    while select.select([fd], [], [], quiet)[0]:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        got += chunk
    return bytes(got)


def read_exactly(fd, count, timeout=5.0):
    got = bytearray()
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    deadline = time.monotonic() + timeout
    while len(got) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not poller.poll(left * 1000):
            raise BenchError(f"timed out with {len(got)} of {count} bytes")
        got += os.read(fd, 65536)
    return bytes(got)


def wait_ready(mm, cts, proc):
    """Waits until the forwarder has made both ports raw, then until bytes pass both ways."""
    deadline = time.monotonic() + 20
    while not (is_raw(mm["slave"]) and is_raw(cts["slave"])):
        if proc.poll() is not None:
            raise BenchError(f"forwarder ended early with status {proc.returncode}")
        if time.monotonic() > deadline:
            raise BenchError("the ports were never made raw")
        time.sleep(0.01)
    for src, dst in ((mm, cts), (cts, mm)):
        while True:
            if proc.poll() is not None:
                raise BenchError(f"forwarder ended early with status {proc.returncode}")
            if time.monotonic() > deadline:
                raise BenchError("the forwarder never passed a byte")
            os.write(src["master"], b"W")
            if drain(dst["master"], 0.3):
                break
    drain(mm["master"])
    drain(cts["master"])


def latency(src, dst, message, samples):
    poller = select.poll()
    poller.register(dst, select.POLLIN)
    times = []
    for _ in range(samples):
        got = b""
        start = time.perf_counter_ns()
        os.write(src, message)
        while len(got) < len(message):
            if not poller.poll(5000):
                raise BenchError(f"message lost: {len(got)} of {len(message)} bytes arrived")
            got += os.read(dst, 65536)
        end = time.perf_counter_ns()
        if got != message:
            raise BenchError("message changed on the way")
        times.append((end - start) / 1000.0)
    return times


def median_p99(times):
    times = sorted(times)
    return statistics.median(times), times[min(len(times) - 1, int(len(times) * 0.99))]


def bulk(mm, cts, size, timeout=300):
    """Sends `size` random bytes each way at once; gives the seconds until both have arrived."""
    ends = [
        {"src": mm["master"], "dst": cts["master"], "data": os.urandom(size)},
        {"src": cts["master"], "dst": mm["master"], "data": os.urandom(size)},
    ]
    for end in ends:
        end["sent"] = 0
        end["got"] = bytearray()
        end["view"] = memoryview(end["data"])
    fds = [mm["master"], cts["master"]]
    for fd in fds:
        os.set_blocking(fd, False)
    start = time.perf_counter()
    deadline = start + timeout
    try:
        while any(len(e["got"]) < size for e in ends):
            writers = [e["src"] for e in ends if e["sent"] < size]
            readable, writable, _ = select.select(fds, writers, [], 1.0)
            if time.perf_counter() > deadline:
                raise BenchError("bulk transfer timed out: " +
                                 ", ".join(f"{len(e['got'])} of {size}" for e in ends))
            for e in ends:
                if e["src"] in writable and e["sent"] < size:
                    try:
                        e["sent"] += os.write(e["src"], e["view"][e["sent"]:e["sent"] + 65536])
                    except BlockingIOError:
                        pass
                if e["dst"] in readable:
                    try:
                        e["got"] += os.read(e["dst"], 65536)
                    except BlockingIOError:
                        pass
        elapsed = time.perf_counter() - start
    finally:
        for fd in fds:
            os.set_blocking(fd, True)
    for e, label in zip(ends, LABELS):
        if bytes(e["got"]) != e["data"]:
            raise BenchError(f"{label}: bytes lost or changed in the bulk transfer")
    extra = drain(mm["master"]) + drain(cts["master"])
    if extra:
        raise BenchError(f"{len(extra)} unexpected bytes after the bulk transfer")
    return elapsed, [e["data"] for e in ends]


def cpu_seconds(pid):
    """User and system time the process has used so far (all its threads)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stop(proc, interrupt):
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT if interrupt else signal.SIGTERM)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def shown_bytes(console_path):
    """The bytes of every frame's HEX line on the proxy's console, per direction."""
    header = re.compile(rb"^\[\d\d:\d\d:\d\d\.\d{3} (MM->CTS6|CTS6->MM)\] \((\d+) bytes\)$")
    shown = {label: bytearray() for label in LABELS}
    frames = {label: 0 for label in LABELS}
    label = None
    with open(console_path, "rb") as f:
        for line in f.read().split(b"\n"):
            m = header.match(line)
            if m:
                label = m.group(1).decode()
                count = int(m.group(2))
            elif line.startswith(b"  HEX:  ") and label:
                data = bytes.fromhex(line[8:].decode())
                if len(data) != count:
                    raise BenchError(f"{label}: frame of {count} bytes shows {len(data)}")
                shown[label] += data
                frames[label] += 1
                label = None
    return shown, frames


def logged_counts(log_path):
    header = re.compile(rb"^\[\d\d:\d\d:\d\d\.\d{3} (MM->CTS6|CTS6->MM)\] (\d+) bytes$")
    total = {label: 0 for label in LABELS}
    with open(log_path, "rb") as f:
        for line in f.read().split(b"\n"):
            m = header.match(line)
            if m:
                total[m.group(1).decode()] += int(m.group(2))
    return total


def pipe_bytes(fd):
    """How many bytes wait in a pipe."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def stall_console(mm, cts, console, sent):
    """Sends frames until the proxy's unread console pipe is full."""
    frame = bytes((0x30 + i % 40) for i in range(63)) + bytes([ETX])
    capacity = fcntl.fcntl(console, F_GETPIPE_SZ)
    deadline = time.monotonic() + 60
    while pipe_bytes(console) < capacity - 4096:
        if time.monotonic() > deadline:
            raise BenchError("the console pipe never filled")
        os.write(mm["master"], frame)
        read_exactly(cts["master"], len(frame))
        sent["MM->CTS6"] += frame


def run_forwarder(name, command, mm, cts, folder, samples, bulk_size, is_proxy,
                  stalled_console=False):
    """One run of a forwarder on the two ports: latency (when samples > 0), then throughput
    (when bulk_size > 0)."""
    os.makedirs(folder)
    out_path = os.path.join(folder, "stdout")
    err_path = os.path.join(folder, "stderr")
    console = None
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        if stalled_console:
            console, write_end = os.pipe()
            out = write_end
        proc = subprocess.Popen(command, cwd=folder, stdout=out, stderr=err,
                                stdin=subprocess.DEVNULL)
        if stalled_console:
            os.close(write_end)
    result = {"latency": {}}
    sent = {label: bytearray() for label in LABELS}
    try:
        wait_ready(mm, cts, proc)
        sent["MM->CTS6"] += b"W"
        sent["CTS6->MM"] += b"W"
        if stalled_console:
            stall_console(mm, cts, console, sent)
        if samples:
            one = b"A"
            frame = bytes((0x30 + i % 40) for i in range(63)) + bytes([ETX])
            for label, src, dst in (("MM->CTS6", mm, cts), ("CTS6->MM", cts, mm)):
                for size, message in ((1, one), (64, frame)):
                    result["latency"][(label, size)] = latency(src["master"], dst["master"],
                                                               message, samples)
                    sent[label] += message * samples
                # Let a frame without ETX end by silence before the next measurement.
                time.sleep(0.3)
        if bulk_size:
            cpu_before = cpu_seconds(proc.pid)
            elapsed, data = bulk(mm, cts, bulk_size)
            result["cpu_share"] = (cpu_seconds(proc.pid) - cpu_before) / elapsed
            sent["MM->CTS6"] += data[0]
            sent["CTS6->MM"] += data[1]
            result["throughput"] = 2 * bulk_size / elapsed / (1024 * 1024)
        time.sleep(0.3)
    finally:
        stopped = time.monotonic()
        stop(proc, interrupt=is_proxy)
        result["stop_seconds"] = time.monotonic() - stopped
        if console is not None:
            os.close(console)
    if is_proxy:
        check_proxy_records(folder, None if stalled_console else out_path, err_path, sent)
    return result


def check_proxy_records(folder, out_path, err_path, sent):
    """Every byte sent is counted in the log's records and, unless the console was never read
    (out_path None), in the console frames, in order."""
    shown, _ = shown_bytes(out_path) if out_path else (None, None)
    logs = [p for p in os.listdir(os.path.join(folder, "captures")) if p.startswith("proxy_")]
    if len(logs) != 1:
        raise BenchError(f"expected one proxy log, found {logs}")
    logged = logged_counts(os.path.join(folder, "captures", logs[0]))
    for label in LABELS:
        if shown is not None and bytes(shown[label]) != bytes(sent[label]):
            raise BenchError(f"{label}: console frames do not hold every byte sent")
        if logged[label] != len(sent[label]):
            raise BenchError(f"{label}: log holds {logged[label]} of {len(sent[label])} bytes")
    with open(err_path, "rb") as f:
        errors = f.read()
    if errors:
        raise BenchError(f"proxy wrote to its error stream: {errors[:200]!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=os.environ.get("KELP_BINARY", DEFAULT_BINARY))
    parser.add_argument("--samples", type=int, default=2000, help="latency samples per case")
    parser.add_argument("--rounds", type=int, default=5,
                        help="alternating runs of each forwarder the samples are spread over")
    parser.add_argument("--bulk", type=int, default=BULK_SIZE, help="bytes each way")
    parser.add_argument("--keep", action="store_true", help="keep the run folder")
    args = parser.parse_args()
    if not os.path.exists(args.binary):
        sys.exit(f"no binary at {args.binary}: build it (cmake --workflow --preset release) "
                 "or pass --binary")
    if not shutil.which("socat"):
        sys.exit("socat is needed for the comparison")

    folder = tempfile.mkdtemp(prefix="kelp-proxy-bench-")
    mm, cts = open_pair(), open_pair()
    cooked = {pair["name"]: termios.tcgetattr(pair["slave"]) for pair in (mm, cts)}

    def fresh_ports():
        # Back to the state openpty made (cooked, echo on), so every forwarder must make its
        # ports raw itself; and no exclusive-open flag left behind by the previous one.
        for pair in (mm, cts):
            termios.tcsetattr(pair["slave"], termios.TCSANOW, cooked[pair["name"]])
            fcntl.ioctl(pair["slave"], termios.TIOCNXCL)

    socat_ends = [f"{mm['name']},raw,echo=0", f"{cts['name']},raw,echo=0"]
    forwarders = {
        "kelp-capture proxy": [os.path.abspath(args.binary), "proxy", "--listen", mm["name"],
                               "--forward", cts["name"], "--baud", "115200"],
        "socat": ["socat"] + socat_ends,
    }
    results = {name: {"latency": {}, "throughput": [], "cpu": []} for name in forwarders}
    per_round = max(1, args.samples // args.rounds)
    print(f"ports: MM side {mm['name']}, console side {cts['name']}; run folder {folder}")
    print(f"{args.rounds} rounds, proxy and socat taking turns, {per_round} samples per case "
          "and round")
    try:
        for number in range(args.rounds):
            order = list(forwarders) if number % 2 == 0 else list(reversed(forwarders))
            for name in order:
                fresh_ports()
                run = run_forwarder(name, forwarders[name], mm, cts,
                                    os.path.join(folder, f"{number}-{name.replace(' ', '-')}"),
                                    per_round, args.bulk, name == "kelp-capture proxy")
                for key, times in run["latency"].items():
                    results[name]["latency"].setdefault(key, []).extend(times)
                results[name]["throughput"].append(run["throughput"])
                results[name]["cpu"].append(run["cpu_share"])
        fresh_ports()
        hexdump = run_forwarder("socat -x", ["socat", "-x"] + socat_ends, mm, cts,
                                os.path.join(folder, "socat-x"), 0, args.bulk, False)
        fresh_ports()
        stalled = run_forwarder("kelp-capture proxy", forwarders["kelp-capture proxy"], mm, cts,
                                os.path.join(folder, "proxy-console-stalled"), per_round, 0, True,
                                stalled_console=True)
    finally:
        for pair in (mm, cts):
            os.close(pair["master"])
            os.close(pair["slave"])
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)

    proxy, socat = results["kelp-capture proxy"], results["socat"]
    samples = per_round * args.rounds
    print(f"\nlatency, {samples} samples per case (microseconds)")
    print(f"{'direction':<10} {'size':>4}  {'proxy med':>9} {'p99':>8}  {'socat med':>9} {'p99':>8}"
          f"  {'med ratio':>9} {'p99 ratio':>9}")
    figures = {}
    for label in LABELS:
        for size in (1, 64):
            pm, pp = median_p99(proxy["latency"][(label, size)])
            sm, sp = median_p99(socat["latency"][(label, size)])
            figures[(label, size)] = (pm, pp, sm, sp)
            print(f"{label:<10} {size:>4}  {pm:9.1f} {pp:8.1f}  {sm:9.1f} {sp:8.1f}"
                  f"  {pm / sm:9.2f} {pp / sp:9.2f}")
    print(f"\nlatency with the proxy's console stalled (an unread pipe, full before the first "
          f"sample), {per_round} samples per case (microseconds)")
    print(f"{'direction':<10} {'size':>4}  {'proxy med':>9} {'p99':>8}  {'vs. console read':>16}")
    for label in LABELS:
        for size in (1, 64):
            sm, sp = median_p99(stalled["latency"][(label, size)])
            pm, pp, _, _ = figures[(label, size)]
            print(f"{label:<10} {size:>4}  {sm:9.1f} {sp:8.1f}  {sm / pm:7.2f} {sp / pp:8.2f}")
    print(f"  Ctrl+C to exit with the console stalled: {stalled['stop_seconds']:.2f} s")
    proxy_rate = statistics.median(proxy["throughput"])
    socat_rate = statistics.median(socat["throughput"])
    print(f"\nthroughput, {args.bulk} random bytes each way at once, every byte checked "
          f"(MiB/s, both directions together; median of the rounds)")
    print(f"  {'kelp-capture proxy':<20} {proxy_rate:8.1f}   rounds: "
          + " ".join(f"{r:.1f}" for r in proxy["throughput"]))
    print(f"  {'socat':<20} {socat_rate:8.1f}   rounds: "
          + " ".join(f"{r:.1f}" for r in socat["throughput"]))
    print(f"  {'socat -x':<20} {hexdump['throughput']:8.1f}")
    print("  CPU used by the forwarder during the transfer (cores, of 2; median of the rounds): "
          f"proxy {statistics.median(proxy['cpu']):.2f}, "
          f"socat {statistics.median(socat['cpu']):.2f}"
          f", socat -x {hexdump['cpu_share']:.2f}")
    print(f"  proxy / socat    {proxy_rate / socat_rate:6.2f}")
    print(f"  proxy / socat -x {proxy_rate / hexdump['throughput']:6.2f}")

    goals = []
    for label in LABELS:
        pm, pp, sm, sp = figures[(label, 1)]
        goals.append((f"{label} 1-byte median <= socat", pm <= sm))
        goals.append((f"{label} 1-byte p99 <= 1.2 x socat", pp <= 1.2 * sp))
    goals.append(("throughput >= 10 x socat -x", proxy_rate >= 10 * hexdump["throughput"]))
    goals.append(("Ctrl+C ends the proxy within 2 s with its console stalled",
                  stalled["stop_seconds"] <= 2.0))
    print("\ngoals (every byte was checked in every run)")
    for text, met in goals:
        print(f"  {'met   ' if met else 'MISSED'} {text}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as error:
        sys.exit(f"bench failed: {error}")
