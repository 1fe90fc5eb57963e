"""The Windows serial layer on a live port, under Wine.

The live-port cases of the Windows unit tests (SerialWin32Live.*) need a device outside the .exe:
this test links a pseudo-terminal to a COM name, plays an echoing device on it and runs those
cases of kelp_unit_tests.exe against it.

Not covered here, because Wine does not behave as Windows does: exclusive opens (Wine lets a
second opener in; the unit test skips that case with the reason when it sees Wine) and a line
that hangs up (when the far end of the pseudo-terminal closes, Wine keeps reporting read
time-outs instead of a failure).
"""

import os
import select
import subprocess
import threading
import unittest

import harness

UNIT_TESTS = os.environ.get("KELP_UNIT_TESTS") or os.path.join(
    os.path.dirname(harness.BINARY), "tests", "kelp_unit_tests.exe")


def echo(peer, stop):
    """Sends back every byte that arrives, until `stop` is set."""
    while not stop.is_set():
        ready, _, _ = select.select([peer.master], [], [], 0.05)
        if not ready:
            continue
        try:
            data = os.read(peer.master, 65536)
        except OSError:  # EIO while nobody holds the slave; EAGAIN
            stop.wait(0.02)
            continue
        if data:
            peer.write(data)


@unittest.skipUnless(harness.ON_WINE, "the Windows serial layer runs under Wine only")
class SerialLayerUnderWine(unittest.TestCase):
    def test_live_port_cases(self):
        if not os.path.exists(UNIT_TESTS):
            self.skipTest("no unit test program at %s" % UNIT_TESTS)
        with harness.PtyPeer() as peer:
            stop = threading.Event()
            device = threading.Thread(target=echo, args=(peer, stop), daemon=True)
            device.start()
            env = dict(os.environ, KELP_TEST_ECHO_PORT=peer.port_name)
            runner = [harness.RUNNER] if harness.RUNNER else ["wine"]
            try:
                proc = subprocess.run(runner + [UNIT_TESTS, "--gtest_filter=SerialWin32Live.*"],
                                      env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                      timeout=600)
            finally:
                stop.set()
                device.join(5)
        output = proc.stdout.decode("utf-8", "replace") + proc.stderr.decode("utf-8", "replace")
        self.assertEqual(proc.returncode, 0, output)
        self.assertRegex(output, r"\[  PASSED  \] [1-9]\d* tests?\.")
        # The only case allowed to skip is the one Wine cannot show; say so in the test log.
        for line in output.splitlines():
            if "Wine does not" in line:
                print("\n  skipped under Wine:", line.strip())
        self.assertNotIn("is not set", output)


if __name__ == "__main__":
    unittest.main()
