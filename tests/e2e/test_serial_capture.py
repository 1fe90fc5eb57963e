"""`serial`: the incoming stream is cut at ETX reads and silences, and every chunk is shown, logged
and saved; no received byte is lost when the line fails or the user presses Ctrl+C."""

import os
import re
import signal
import threading
import time
import unittest

import harness
import sim_device
from harness import EVENT_TIME, LOG_STAMP, ON_WINE, SEP, PtyPeer, Tool, run

DTR_LINE = b"DTR and RTS asserted.\n\n"
ANALYSIS_HEADER = rb"\n\[#(\d+) (%s) from (.*?) \((\d+) bytes\)\]\n" % EVENT_TIME


def setUpModule():
    harness.start_wine()


def banner(port, baud, letter, log_path):
    return ("=== Serial Capture ===\n"
            "Port:  %s\n"
            "Baud:  %d (8-%s-1)\n"
            "Logging to %s\n"
            "Press Ctrl+C to stop.\n\n"
            "%s\n\n" % (port, baud, letter, log_path, "=" * 60)).encode()


def record(number, time_text, source, payload):
    """One log record of an ASCII payload."""
    return (b"--- #%d at %s from %s (%d bytes) ---\nRAW_TEXT: %s\nRAW_HEX: %s\n\n"
            % (number, time_text, source, len(payload), payload,
               " ".join("%02x" % b for b in payload).encode()))


def analyses(stdout):
    """(number, time, label, length) of every chunk shown on the console."""
    return [(int(n), t, label, int(length))
            for n, t, label, length in re.findall(ANALYSIS_HEADER, stdout)]


def wait_chunks(tool, count):
    """Waits until the console shows `count` chunk headers; gives stdout."""
    harness.wait_until(lambda: len(analyses(tool.stdout)) >= count or tool.proc.poll() is not None)
    out = tool.stdout
    if len(analyses(out)) < count:
        raise AssertionError("expected %d chunks, stdout:\n%r\nstderr:\n%r"
                             % (count, out, tool.stderr))
    return out


class SerialCaptureTest(unittest.TestCase):
    def start(self, peer, *options):
        tool = Tool(["serial", "--port", peer.port_name] + list(options))
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(DTR_LINE)
        return tool

    def peer(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        return peer

    def bins(self, workdir):
        names = workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
        return [(name[:11], workdir.read(name)) for name in names]

    def test_banner_warnings_and_a_silent_line(self):
        peer = self.peer()
        tool = self.start(peer, "--baud", "19200", "--parity", "ODD")
        log_name, log = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        self.assertEqual(tool.stdout, banner(peer.port_name, 19200, "O", "captures" + SEP + log_name)
                         + DTR_LINE)
        # A pseudo-terminal has no modem control lines: both warnings, and the capture goes on.
        # stderr is read by its own thread, which may lag behind stdout's.
        err = tool.wait_stderr(b"Warning: couldn't assert RTS: ")
        self.assertRegex(err, rb"\AWarning: couldn't assert DTR: [^\n]+\n"
                                      rb"Warning: couldn't assert RTS: [^\n]+\n\Z")
        self.assertEqual(sim_device.line_settings(peer.master), (19200, sim_device.PARITY_ODD))
        # A silent line gives no chunk at all.
        time.sleep(1.0)
        self.assertTrue(tool.stdout.endswith(DTR_LINE))
        self.assertEqual(tool.workdir.files(), [log_name])
        self.assertEqual(tool.workdir.read(log_name), b"")
        self.assertIsNone(tool.proc.poll())

    def test_chunks_end_at_etx_reads_and_after_silence(self):
        peer = self.peer()
        tool = self.start(peer, "--baud", "9600")
        label = "Serial " + peer.port_name
        quiet = label + " [quiet-flush]"

        peer.write(b"SWIM,RUN,1\x03")
        wait_chunks(tool, 1)
        # One frame in three reads, the ETX in the last one.
        sim_device.stream(peer, [b"SWIM,", b"SPLT,2", b",0:31.44\x03"], gap=0.03)
        wait_chunks(tool, 2)
        # A byte after the ETX of the same read stays in that chunk.
        peer.write(b"A\x03B")
        wait_chunks(tool, 3)
        # No ETX: the chunk ends once the line has been quiet for more than 200 ms.
        peer.write(b"HELLO\r\n")
        wait_chunks(tool, 4)
        # Pieces closer together than the silence accumulate into one chunk.
        sim_device.stream(peer, [b"tick%d;" % i for i in range(8)], gap=0.03)
        out = wait_chunks(tool, 5)

        chunks = [b"SWIM,RUN,1\x03", b"SWIM,SPLT,2,0:31.44\x03", b"A\x03B", b"HELLO\r\n",
                  b"".join(b"tick%d;" % i for i in range(8))]
        shown = analyses(out)
        self.assertEqual([(n, lab, length) for n, _, lab, length in shown],
                         [(1, label.encode(), 11), (2, label.encode(), 20), (3, label.encode(), 3),
                          (4, quiet.encode(), 7), (5, quiet.encode(), 48)])

        # Same numbers, times and bytes in the log and in the raw files.
        source = ("serial/%s@9600" % peer.port_name).encode()
        log_name = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)[0]
        expected_log = b"".join(record(n, t, source, chunk)
                                for (n, t, _, _), chunk in zip(shown, chunks))
        self.assertTrue(harness.wait_until(lambda: tool.workdir.read(log_name) == expected_log, 5),
                        tool.workdir.read(log_name))
        expected_bins = [("serial_%04d" % n, chunk) for n, chunk in enumerate(chunks, start=1)]
        harness.wait_until(lambda: self.bins(tool.workdir) == expected_bins, 5)
        self.assertEqual(self.bins(tool.workdir), expected_bins)
        self.assertIsNone(tool.proc.poll())

    @harness.skip_on_wine("Wine reports a hung-up pseudo-terminal as a silent line, never as a "
                          "read error")
    def test_far_end_closing_mid_frame_keeps_the_pending_bytes(self):
        peer = self.peer()
        tool = self.start(peer)
        peer.write(b"SWIM,RU")
        time.sleep(0.1)  # read by the tool, well before the silence would end the chunk
        peer.close()
        status = tool.wait()
        self.assertEqual(status, 0)
        self.assertRegex(tool.stderr, rb"Read error: [^\n]+\n\Z")
        label = ("Serial " + peer.port_name).encode()
        shown = analyses(tool.stdout)
        self.assertEqual([(n, lab, length) for n, _, lab, length in shown], [(1, label, 7)])
        _, log = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        self.assertEqual(log, record(1, shown[0][1], ("serial/%s@9600" % peer.port_name).encode(),
                                     b"SWIM,RU"))
        self.assertEqual(self.bins(tool.workdir), [("serial_0001", b"SWIM,RU")])

    @harness.skip_on_wine("Wine reports a hung-up pseudo-terminal as a silent line, never as a "
                          "read error")
    def test_reconnect_goes_on_in_the_same_log_after_the_adapter_returns(self):
        adapter = harness.PluggablePeer()
        self.addCleanup(adapter.close)
        tool = Tool(["serial", "--port", adapter.port_name, "--reconnect"])
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(DTR_LINE)
        chunks = [b"ONE\x03", b"TW", b"O\x03", b"FO", b"UR\x03"]
        adapter.peer.write(chunks[0])
        wait_chunks(tool, 1)
        for i in (1, 3):  # twice: a chunk cut by the pull, then one after the return
            gone = adapter.peer.slave_path
            adapter.peer.write(chunks[i])
            time.sleep(0.1)  # read by the tool, well before the silence would end the chunk
            adapter.pull()
            tool.wait_stdout(b"Waiting for %s to come back; press Ctrl+C to stop.\n"
                             % adapter.port_name.encode(), count=i // 2 + 1)
            # The failed handle is closed at once, not when the adapter returns.
            self.assertTrue(harness.wait_until(lambda: not harness.held_open(tool.proc.pid, gone)))
            adapter.plug()
            tool.wait_stdout(b" is back after ", count=i // 2 + 1)
            adapter.peer.write(chunks[i + 1])
            wait_chunks(tool, i + 2)
        adapter.pull()  # Ctrl+C while waiting ends the run as any Ctrl+C
        tool.wait_stdout(b"to come back", count=3)
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        self.assertEqual(tool.stderr.count(b"Read error: "), 3)
        shown = analyses(tool.stdout)
        # The first record after each return says so in its source: the bytes before the pull
        # and after the return did not follow each other on the wire.
        source = ("serial/%s@9600" % adapter.port_name).encode()
        marked = source + b" [reconnected]"
        sources = [source, source, marked, source, marked]
        log_name, log = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        self.assertEqual(log, b"".join(record(n, t, label, chunk) for (n, t, _, _), label, chunk in
                                       zip(shown, sources, chunks)))
        self.assertEqual(self.bins(tool.workdir),
                         [("serial_%04d" % n, c) for n, c in enumerate(chunks, start=1)])

        # Read back as any other log: every record exported and replayed.
        exported = run(["export", "captures/" + log_name, "--out", "back.pcapng"],
                       workdir=tool.workdir)
        self.assertEqual((exported.status, exported.stderr), (0, b""))
        self.assertIn(b"serial log, 5 records", exported.stdout)
        peer = PtyPeer()
        self.addCleanup(peer.close)
        replayed = run(["replay", "captures/" + log_name, "--port", peer.port_name, "--speed", "0"],
                       workdir=tool.workdir)
        self.assertEqual((replayed.status, replayed.stderr), (0, b""))
        self.assertEqual(peer.read_exactly(len(b"".join(chunks))), b"".join(chunks))

    def test_a_port_that_does_not_exist(self):
        if ON_WINE:
            port = harness.map_com_port("/dev/kelp-no-such-device")
        else:
            port = "/dev/kelp-no-such-device"
        result = run(["serial", "--port", port])
        log_name, log = result.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        self.assertEqual(result.stdout, banner(port, 9600, "N", "captures" + SEP + log_name))
        self.assertRegex(result.stderr,
                         rb"\AERROR: Failed to open %s: [^\n]*\S\n"
                         rb"Run `kelp-capture list` to see available ports\.\n\Z"
                         % re.escape(port.encode()))
        self.assertNotIn(b"(os error", result.stderr)
        self.assertEqual(result.status, 1)
        self.assertEqual(log, b"")
        self.assertEqual(result.workdir.files(), [log_name])

    def test_ctrl_c_and_a_closed_terminal_record_the_pending_bytes(self):
        # SIGHUP is what closing the terminal or the SSH session sends; Windows has its own
        # console-window events instead.
        signals = [signal.SIGINT] + ([] if ON_WINE else [signal.SIGHUP])
        for signo in signals:
            with self.subTest(signal=signo.name):
                peer = self.peer()
                tool = self.start(peer)
                # Bytes keep coming, so no silence ends the chunk before the signal does.
                pieces = [b"lane%d," % i for i in range(6)]
                sim_device.stream(peer, pieces, gap=0.05)
                time.sleep(0.03)
                os.kill(tool.proc.pid, signo)
                status = tool.wait()
                expected = (harness.INTERRUPTED_STATUS if signo == signal.SIGINT
                            else -signal.SIGHUP)
                self.assertEqual(status, expected)
                sent = b"".join(pieces)
                shown = analyses(tool.stdout)
                self.assertGreaterEqual(len(shown), 1, tool.stdout)
                self.assertTrue(all(label.endswith(b" [quiet-flush]") for _, _, label, _ in shown))
                bins = self.bins(tool.workdir)
                got = b"".join(data for _, data in bins)
                # Everything the tool had read is saved; at most the last piece can still be on
                # the wire.
                self.assertTrue(sent.startswith(got) and len(got) >= len(sent) - len(pieces[-1]),
                                got)
                _, log = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
                self.assertEqual(log.count(b"--- #"), len(bins))
                self.assertTrue(log.endswith(b"\n\n"))
                self.assertNotIn(b"Read error", tool.stderr)


class ConsoleStreamTest(unittest.TestCase):
    """Real consoles stream without a delimiter and without a pause."""

    def start(self, *options):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        tool = Tool(["serial", "--port", peer.port_name] + list(options))
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(DTR_LINE)
        return peer, tool

    def bins(self, tool):
        names = tool.workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
        return [tool.workdir.read(name) for name in names]

    def test_a_console_that_never_pauses_is_recorded_as_it_plays(self):
        # 12 s of the recorded stream at its own line speed (9600-8E1 carries 873 bytes a second).
        data = sim_device.console_stream()[:873 * 12]
        peer, tool = self.start("--baud", "9600", "--parity", "even", "--chunk-ms", "1000")
        player = threading.Thread(target=sim_device.play, args=(peer, data, 873))
        player.start()
        # Chunks appear while the console is still sending, each about a second of it.
        wait_chunks(tool, 3)
        self.assertTrue(player.is_alive(), "the stream ended before three chunks were recorded")
        player.join()
        # Once the line is quiet, the rest is one last chunk.
        wait = harness.wait_until(lambda: b"".join(self.bins(tool)) == data, 10)
        self.assertTrue(wait, "the raw files do not add up to the stream")
        shown = analyses(tool.stdout)
        labels = [label for _, _, label, _ in shown]
        time_flush = ("Serial %s [time-flush]" % peer.port_name).encode()
        self.assertEqual(labels[:-1], [time_flush] * (len(shown) - 1))
        self.assertTrue(labels[-1].endswith(b" [quiet-flush]"), labels[-1])
        self.assertGreaterEqual(len(shown), 10)
        self.assertEqual([length for _, _, _, length in shown], [len(b) for b in self.bins(tool)])
        self.assertNotIn(b"65536", tool.stderr)

    def test_another_end_byte(self):
        peer, tool = self.start("--end-byte", "17")
        # ETB ends a packet; ETX is just another byte now.
        peer.write(b"SWIM\x03RUN\x17")
        out = wait_chunks(tool, 1)
        self.assertEqual([(label, length) for _, _, label, length in analyses(out)],
                         [(("Serial " + peer.port_name).encode(), 9)])
        harness.wait_until(lambda: self.bins(tool) == [b"SWIM\x03RUN\x17"], 5)
        self.assertEqual(self.bins(tool), [b"SWIM\x03RUN\x17"])

    def test_a_stream_that_never_ends_a_chunk_earns_one_warning(self):
        peer, tool = self.start()
        data = (sim_device.console_stream() * 2)[:100000]
        peer.write(data)
        warning = (b"Warning: 65536 bytes arrived without an end byte or a pause; add "
                   b"--chunk-ms 1000 to record a stream that never pauses\n")
        tool.wait_stderr(warning)
        # Nothing else changes: the chunk ends with the silence, whole.
        harness.wait_until(lambda: self.bins(tool) == [data], 10)
        self.assertEqual(self.bins(tool), [data])
        # Once (after the warnings about the lines a pseudo-terminal does not have).
        self.assertEqual(tool.stderr.count(warning), 1)
        self.assertTrue(tool.stderr.endswith(warning))


if __name__ == "__main__":
    unittest.main()
