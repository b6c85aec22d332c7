"""The command line: options, exit statuses and the runner's own messages."""

import argparse
import os
import re
import signal
import sys
import termios


from .contract import ENGINE, EXIT_MISSING, EXIT_RUNNER, LINUX, OPTIONS, help_parser  # noqa: F401

# Wine's own idea of a persistent server: it stays this long after its last program.
DEFAULT_LINGER = 3


class Failure(Exception):
    """A refusal or failure of the runner itself, with its exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Stopped(Exception):
    """SIGINT, SIGTERM or SIGHUP arrived: every way out puts the prefix back."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def warn(message):
    """A message on standard error; its line ends with CR LF on a terminal in raw mode (while
    --interactive passes the keys), where a line feed alone would not return the cursor."""
    try:
        raw = not termios.tcgetattr(sys.stderr.fileno())[1] & termios.OPOST
    except (termios.error, OSError, ValueError):
        raw = False
    print("mirdu-run: " + message, end="\r\n" if raw else "\n", file=sys.stderr, flush=True)


def lenient_seconds(text):
    """--timeout, which mirdu-run.exe checks: here only for how long to wait for it."""
    try:
        return max(0.0, min(float(text), 1e9))
    except ValueError:
        return 0.0


def whole_seconds(text):
    if not re.fullmatch(r"\d{1,6}", text):
        raise argparse.ArgumentTypeError("wants a whole number of seconds, 0 or more, not %r"
                                         % text)
    return int(text)


def parse_options(argv):
    parser = help_parser("linux", **{"--timeout": lenient_seconds, "--linger": whole_seconds})
    parser.set_defaults(captures="captures", linger=DEFAULT_LINGER)
    options = parser.parse_args(argv)
    options.staging = not options.no_staging
    if options.program is None:
        parser.error("no PROGRAM.exe to run")
    if options.interactive and not os.isatty(0):
        parser.error("--interactive needs a terminal on standard input")
    return options


# The options that mirdu-run.exe does not get from the user: the Linux runner's own, and
# --captures, which the Linux runner gives it itself (as a full path); it takes every other
# one, and checks them.
LINUX_ONLY = {o.flag for o in OPTIONS if o.runners == LINUX} | {"--captures"}
TAKES_VALUE = {o.flag: not o.switch for o in OPTIONS if o.runners != ENGINE}


def engine_arguments(argv):
    """The options and program of mirdu-run.exe's run: the user's, without the Linux runner's
    own options; paths stay as given (mirdu-run.exe knows Linux paths under Wine). argv has
    passed parse_options."""
    kept = []
    i = 0
    while i < len(argv) and argv[i].startswith("--") and argv[i] != "--":
        flag, has_value = argv[i].split("=", 1)[0], "=" in argv[i]
        width = 2 if TAKES_VALUE.get(flag) and not has_value else 1
        if flag not in LINUX_ONLY:
            kept += argv[i:i + width]
        i += width
    return kept + argv[i:]
