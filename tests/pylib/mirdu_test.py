"""Shared pieces of the Python test suites: running programs of this build under Wine (in a
pseudo-terminal, or with no terminal at all), reading their results, normalising the console
output, capture folders, and the test pattern that the client program writes.

A suite of the win32 lane on a machine that cannot run 32-bit programs ends as soon as it
imports this module: it prints why and exits with SKIP, which CTest reports as a skip."""

import os
import re
import shutil
import subprocess
import sys
import time

import pexpect

SOURCE = os.environ.get("MIRDU_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("MIRDU_BUILD") or os.path.join(SOURCE, "build", "win64")
ARCH = os.environ.get("MIRDU_ARCH") or os.path.basename(os.path.normpath(BUILD))
WINE = os.path.join(SOURCE, "tools", "wine")
SKIP = 77

if ARCH == "win32":
    _probe = subprocess.run([os.path.join(SOURCE, "tools", "probe-32bit"), "--wine"],
                            stdout=subprocess.PIPE, encoding="utf-8")
    if _probe.returncode != 0:
        print("skipped: this machine cannot run the 32-bit lane: " + _probe.stdout.strip())
        sys.exit(SKIP)
CLIENT = "mirdu-client.exe"

BANNER = "MIRDU.DLL Emulator (2000-07-09)\n"
UNDERLINE = "-------------------------------\n"
PROMPT = "\nPress ENTER to close this window\n"

# Seconds that any single wait may last: nothing may hang.
TIMEOUT = 60

_ESCAPE = re.compile(r"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b[()][0-9A-B]|\x1b[=>]")


def normalise(text):
    """Console output as the library wrote it: no cursor escapes, plain line feeds."""
    return _ESCAPE.sub("", text).replace("\r", "")


def scratch(name):
    """An empty folder of this build for one test's files."""
    path = os.path.join(BUILD, "test-scratch", name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def wine_env(captures=None):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    if captures is not None:
        env["MIRDU_CAPTURES"] = captures
    return env


# Drive F: of the prefix: a link to the folder that captures go to.
DRIVE_F = os.path.join(os.environ.get("MIRDU_WINEPREFIX")
                       or os.path.join(SOURCE, "build", "wineprefix"), "dosdevices", "f:")


def unmap_f():
    """Removes drive F: from the prefix, so that every capture fails to be created."""
    if os.path.lexists(DRIVE_F):
        os.unlink(DRIVE_F)


def results(path):
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


class Session:
    """The client program inside a pseudo-terminal: console output is read from the terminal,
    the result of each step from the client's result file."""

    def __init__(self, steps, captures=None, name="session", program=CLIENT, isig=True,
                 out=True, launcher=()):
        """With out=False the steps are passed to the program as they stand (for programs
        other than the client, which take no --out); results() is then unavailable. launcher
        is a command that tools/wine runs under (setpriv ... --)."""
        self.folder = scratch(name + "-run")
        self.out = os.path.join(self.folder, "results.txt") if out else None
        args = list(launcher[1:]) + [WINE, program] + (["--out", self.out] if out else []) + \
            list(steps)
        self.child = pexpect.spawn(launcher[0] if launcher else args.pop(0), args, cwd=BUILD,
                                   env=wine_env(captures),
                                   timeout=TIMEOUT, encoding="latin-1", dimensions=(50, 250))
        if not isig:
            self.child.setecho(False)
            import termios
            attrs = termios.tcgetattr(self.child.child_fd)
            attrs[3] &= ~termios.ISIG
            termios.tcsetattr(self.child.child_fd, termios.TCSANOW, attrs)
        self.console = ""

    def expect(self, text, timeout=TIMEOUT):
        """Waits until the normalised console output contains text; returns all of it so far."""
        deadline = time.monotonic() + timeout
        while text not in normalise(self.console):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for %r; console so far:\n%s"
                                     % (text, normalise(self.console)))
            try:
                self.console += self.child.read_nonblocking(65536, timeout=min(left, 1))
            except pexpect.TIMEOUT:
                pass
            except pexpect.EOF:
                if text not in normalise(self.console):
                    raise AssertionError("program ended before %r; console:\n%s"
                                         % (text, normalise(self.console)))
        return normalise(self.console)

    def send(self, data):
        self.child.send(data)

    def wait_exit(self, timeout=TIMEOUT):
        """Waits for the program to end; returns its exit status."""
        deadline = time.monotonic() + timeout
        while self.child.isalive():
            if time.monotonic() > deadline:
                raise AssertionError("program still running after %ss" % timeout)
            try:
                self.console += self.child.read_nonblocking(65536, timeout=0.2)
            except (pexpect.TIMEOUT, pexpect.EOF):
                pass
        self.child.close()
        return self.child.exitstatus

    def alive_after(self, seconds):
        """Whether the program is still running after the given time, reading output meanwhile."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                self.console += self.child.read_nonblocking(65536, timeout=0.2)
            except pexpect.TIMEOUT:
                pass
            except pexpect.EOF:
                return False
        return self.child.isalive()

    def results(self):
        return results(self.out)

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)
        self.child.close(force=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run_detached(steps, captures=None, name="detached", timeout=TIMEOUT):
    """Runs the client with no terminal at all: standard input /dev/null, standard output a
    file, in a new session. Returns (exit status, console output file text, result lines)."""
    folder = scratch(name + "-run")
    out = os.path.join(folder, "results.txt")
    stdout_path = os.path.join(folder, "stdout.txt")
    with open(stdout_path, "wb") as stdout:
        status = subprocess.run([WINE, CLIENT, "--out", out] + list(steps), cwd=BUILD,
                                env=wine_env(captures), stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.STDOUT, start_new_session=True,
                                timeout=timeout).returncode
    with open(stdout_path, encoding="latin-1") as f:
        return status, f.read(), results(out)


def pattern(length, seed=0):
    """The bytes that the client program's "buf:LENGTH:SEED" argument holds."""
    x = seed or 0x9E3779B9
    data = bytearray()
    mask = 0xFFFFFFFF
    for _ in range((length + 3) // 4):
        x ^= (x << 13) & mask
        x ^= x >> 17
        x ^= (x << 5) & mask
        data += x.to_bytes(4, "little")
    return bytes(data[:length])
