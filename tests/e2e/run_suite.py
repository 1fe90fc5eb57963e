"""Runs the black-box suite, each test under a watchdog.

A test that is still running after TEST_LIMIT seconds has hung somewhere (a program that never
ends, a pipe that a stray process holds open). The watchdog prints where every thread of the
suite stands, then kills every process the suite started, which ends the wait the test is stuck
in: that test fails and the rest of the suite still runs, instead of the whole suite being cut
off by CTest's time-out with nothing said about where it stood.

    run_suite.py                      every test_*.py here
    run_suite.py test_scan [...]      those files only (a name, with or without .py)

CTest runs one file per entry. The exit status is 0 when every test passed, 1 when one failed,
and SKIPPED_STATUS when the files hold tests but every one of them was skipped (a browser test
on a machine without a browser, the Wine-only tests natively): CTest then shows the entry as
skipped, and its log says why.
"""

import faulthandler
import os
import signal
import sys
import threading
import unittest

TEST_LIMIT = 300.0
SKIPPED_STATUS = 77


def descendants(pid):
    """Every live process below `pid`, read from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                # The parent's pid follows the command name, which may itself hold spaces.
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(parent, []).append(int(entry))
    found, pending = [], list(children.get(pid, []))
    while pending:
        child = pending.pop()
        found.append(child)
        pending.extend(children.get(child, []))
    return found


def rescue(test):
    sys.stderr.write("\n*** %s is still running after %d s; where the suite stands:\n"
                     % (test.id(), TEST_LIMIT))
    faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
    sys.stderr.write("*** killing the programs it started\n")
    sys.stderr.flush()
    for pid in descendants(os.getpid()):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class WatchedResult(unittest.TextTestResult):
    """A rescued test fails, whatever its own assertions made of the killed programs."""

    def startTest(self, test):
        self._rescued = threading.Event()
        self._watchdog = threading.Timer(TEST_LIMIT, self._rescue, args=(test,))
        self._watchdog.daemon = True
        self._watchdog.start()
        super().startTest(test)

    def _rescue(self, test):
        self._rescued.set()
        rescue(test)

    def stopTest(self, test):
        self._watchdog.cancel()
        if self._rescued.is_set():
            hang = AssertionError("hung; its programs were killed after %d s" % TEST_LIMIT)
            self.addFailure(test, (AssertionError, hang, None))
        super().stopTest(test)


def load(here, names):
    """The tests of the named files (all test_*.py when none is named), loaded as discovery
    loads them: a file that skips as a whole at import is reported as skipped, one that does
    not import as failed."""
    loader = unittest.defaultTestLoader
    patterns = [name if name.endswith(".py") else name + ".py" for name in names] or ["test_*.py"]
    return unittest.TestSuite(loader.discover(here, pattern=os.path.basename(pattern),
                                              top_level_dir=here) for pattern in patterns)


def main(names):
    here = os.path.dirname(os.path.abspath(__file__))
    suite = load(here, names)
    result = unittest.TextTestRunner(verbosity=2, resultclass=WatchedResult).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0:
        sys.stderr.write("no tests in %s\n" % (" ".join(names) or here))
        return 1
    if len(result.skipped) == result.testsRun:
        return SKIPPED_STATUS
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
