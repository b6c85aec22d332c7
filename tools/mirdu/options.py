"""The command line: options, exit statuses and the runner's own messages."""

import argparse
import os
import re
import signal
import sys
import termios


EXIT_RUNNER, EXIT_MISSING = 125, 127   # the others are mirdu-run.exe's; usage: 2

# Wine's own idea of a persistent server: it stays this long after its last program.
DEFAULT_LINGER = 3

HELP = """\
Runs PROGRAM with ARGS under Wine with mirdu.dll, unattended: mirdu-run.exe, inside Wine, runs
it, reads the library's lines from its console (or from the console that the library opens in
a GUI program) and answers the closing prompt with one key (--interactive leaves it to your
keyboard). The lines are shown on standard output; --log FILE keeps them as plain lines. During
the run drive F: is a staging folder inside the capture folder, and each file the program
closes there is moved into the capture folder at once (Wine creates files more slowly the
fuller their folder is); then F: is put back as it was. Nothing is written into the program's
folder. The program's windows work with no display and are drawn nowhere, unless --display or
--screenshot asks for them. No terminal is needed. The prefix's wineserver stays --linger
seconds after the run, so that the next run starts warm. One run at a time uses a prefix: to
run several programs at once, give each its own --prefix. Steps (--do, --steps) click, fill
and answer the program's windows as a person would.

exit status: the program's own; 123 when a step could not be done; 124 after --timeout; 125
when mirdu-run refuses or fails; 126 when PROGRAM is not a Windows program; 127 when PROGRAM
or Wine is missing; 2 for bad options; 128+N after signal N. A line on standard error tells
calls logged, capture files written, the exit status and the log's path. A run that is ended
(timeout, signal, a step that could not be done) first names the program's windows and their
texts on standard error and in the log."""


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
    parser = argparse.ArgumentParser(
        prog="mirdu-run", usage="mirdu-run [OPTIONS] [--] PROGRAM.exe [ARGS...]",
        description=HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--captures", metavar="DIR", default="captures",
                        help="drive F: is DIR for the run (made if missing; default ./captures)")
    parser.add_argument("--log", metavar="FILE", help="also write the console's lines to FILE")
    parser.add_argument("--trace", metavar="FILE", help="the run as JSON Lines: one object for "
                        "each console line and event")
    parser.add_argument("--image", metavar="FILE", help="after the run, the memory image of "
                        "the capture files it wrote (no others): Intel HEX (.hex, .ihex) or "
                        "raw binary (.bin)")
    parser.add_argument("--screenshot", metavar="FILE", help="a PNG picture of the program's "
                        "windows as the run ends: at the closing prompt, a timeout or a stop")
    parser.add_argument("--dll", metavar="PATH", help="the mirdu.dll to use (default: the "
                        "build's for the program's machine type)")
    parser.add_argument("--as", dest="name", metavar="NAME.dll",
                        help="the name the program loads the library by (default mirdu.dll)")
    parser.add_argument("--memory", action="store_true",
                        help="the program's reads answer from a device memory of the run: what "
                        "it wrote there, else what was preloaded, else 0xFF (the library is "
                        "mirdu-memory.dll)")
    parser.add_argument("--preload", metavar="FILE", action="append",
                        help="bytes that the device memory holds from the start, implies "
                        "--memory (repeatable; a later one wins): FILE.hex or FILE.ihex Intel "
                        "HEX, or FILE@ADDR, the file's bytes at ADDR (0x hex or decimal)")
    parser.add_argument("--timeout", metavar="SECONDS", type=lenient_seconds,
                        help="end the program and all it started after that long (status 124)")
    parser.add_argument("--interactive", action="store_true",
                        help="leave the closing prompt to your keyboard")
    parser.add_argument("--do", metavar="STEP", action="append",
                        help="a step that drives the program's windows, done in order while it "
                        "runs (repeatable): window TITLE, click NAME, fill NAME TEXT, open PATH, "
                        "answer BUTTON, wait TEXT, close")
    parser.add_argument("--steps", metavar="FILE", action="append",
                        help="the steps in FILE, one a line; lines that start with # are "
                        "comments")
    parser.add_argument("--step-timeout", metavar="SECONDS",
                        help="how long a step waits for what it needs (default 60)")
    parser.add_argument("--prefix", metavar="DIR", help="the Wine prefix (default: "
                        "mirdu-run's own, under $XDG_DATA_HOME/mirdu or ~/.local/share/mirdu)")
    parser.add_argument("--linger", metavar="SECONDS", type=whole_seconds, default=DEFAULT_LINGER,
                        help="keep the prefix's wineserver that long after the run, for the next "
                        "(default %d; 0 ends it with the run)" % DEFAULT_LINGER)
    parser.add_argument("--no-staging", dest="staging", action="store_false",
                        help="drive F: is the capture folder itself during the run")
    parser.add_argument("--display", action="store_true",
                        help="show the program's windows on $DISPLAY")
    parser.add_argument("program", metavar="PROGRAM.exe", nargs="?",
                        help="the Windows program (32-bit or 64-bit) to run")
    parser.add_argument("args", metavar="ARGS", nargs=argparse.REMAINDER,
                        help="its arguments, as they are")
    options = parser.parse_args(argv)
    if options.program is None:
        parser.error("no PROGRAM.exe to run")
    if options.interactive and not os.isatty(0):
        parser.error("--interactive needs a terminal on standard input")
    return options


# The options of the Linux runner alone, with whether each takes a value; mirdu-run.exe takes
# every other one, and checks them.
LINUX_OPTIONS = {"--prefix": True, "--linger": True, "--no-staging": False, "--display": False,
                 "--captures": True}
SWITCHES = {"--interactive", "--memory", "--no-staging", "--display", "-h", "--help"}


def engine_arguments(argv):
    """The options and program of mirdu-run.exe's run: the user's, without the Linux runner's
    own options; paths stay as given (mirdu-run.exe knows Linux paths under Wine)."""
    kept = []
    i = 0
    while i < len(argv) and argv[i].startswith("--") and argv[i] != "--":
        flag, has_value = argv[i].split("=", 1)[0], "=" in argv[i]
        takes = flag not in SWITCHES
        width = 1 if has_value or not takes else 2
        if flag not in LINUX_OPTIONS:
            kept += argv[i:i + width]
        i += width
    return kept + argv[i:]
