"""What the end-to-end scripts share: the harness of tests/pylib and a few short-hands for a
whole client run in a pseudo-terminal."""

import os
import re
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))

from mirdu_test import (ARCH, BANNER, BUILD, PROMPT, UNDERLINE, Session,  # noqa: E402,F401
                        normalise, pattern, results, run_detached, scratch)

# The lines of a typical run up to the open: enumerate until the end of the list, open the
# first device.
ENUMERATE_AND_OPEN = [
    "KVTFindFirst : host = 0, id = 0\n",
    "KVTFindNext : host = 0, id = 1\n",
    "KVTFindNext : host = 0, id = 2\n",
    "KVTFindNext : host = 0, id = 3\n",
    "KVTFindNext : host = 0, id = 4\n",
    "KVTFindClose\n",
    "KVTOpen : host = 0, id = 0\n",
]

# Waits, in seconds. With the fixture's wine server running, a client reaches its prompt in
# one or two seconds and ends well within a second of the key.
START = 30  # from the start of a program to a text on its console
END = 10    # from the key at the prompt to the end of the process


def wait_result(session, line, timeout=START):
    """Waits until the client's result file holds the line (or a line that starts with it,
    when it ends in "*"); returns all lines so far."""
    deadline = time.monotonic() + timeout
    while True:
        lines = session.results() if os.path.exists(session.out) else []
        if any(l == line or line.endswith("*") and l.startswith(line[:-1]) for l in lines):
            return lines
        if time.monotonic() > deadline:
            raise AssertionError("no result %r after %ss; results: %r" % (line, timeout, lines))
        session.alive_after(0.1)


def press(session, key, timeout=START):
    """Sends key once Wine reads the console. Wine switches the terminal out of canonical mode
    when the process first reads or peeks its console input; bytes typed before that go
    through the line discipline ("\r" becomes "\n", which Wine takes for Ctrl+Enter)."""
    deadline = time.monotonic() + timeout
    while termios.tcgetattr(session.child.child_fd)[3] & termios.ICANON:
        if time.monotonic() > deadline:
            raise AssertionError("the console input was not read within %ss" % timeout)
        if not session.alive_after(0.05):
            raise AssertionError("the program ended before reading its console input")
    session.send(key)


def run_to_end(steps, key="a", **kwargs):
    """Runs a program in a pseudo-terminal up to the closing prompt, presses key and waits for
    the end. Returns (normalised console, result lines or None, exit status)."""
    with Session(steps, **kwargs) as session:
        session.expect(PROMPT, timeout=START)
        press(session, key)
        status = session.wait_exit(END)
        return (normalise(session.console), session.results() if session.out else None,
                status)


def files_in(folder):
    """The capture files in a folder, name to contents."""
    found = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


def console_pattern(*texts):
    """A regular expression for a whole console: the texts as they stand, except that PTR
    stands for a pointer value that only the client knows (eight upper-case hex digits)."""
    return "^%s$" % "".join(re.escape(t).replace("PTR", "[0-9A-F]{8}") for t in texts)
