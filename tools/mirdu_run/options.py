"""The command line: options, exit statuses and the runner's own messages."""

import argparse
import os
import re
import signal
import sys

from mirdu_image import FORMATS

EXIT_TIMEOUT, EXIT_RUNNER, EXIT_NOT_WINDOWS, EXIT_MISSING = 124, 125, 126, 127   # usage: 2

# Wine's own idea of a persistent server: it stays this long after its last program.
DEFAULT_LINGER = 3

HELP = """\
Runs PROGRAM with ARGS under Wine with mirdu.dll, in a pseudo-terminal, and answers the
library's closing prompt with one key (--interactive leaves it to your keyboard). The console
is shown on standard output; --log FILE keeps it as plain lines. During the run drive F: is a
staging folder inside the capture folder, and each file the program closes there is moved into
the capture folder at once (Wine creates files more slowly the fuller their folder is); then F:
is put back as it was. The program loads the DLL from its own folder when that holds the same
file, else from the prefix's system folder (never written into the program's folder); a
different file there of that name is refused. No terminal is needed. The prefix's wineserver
stays --linger seconds after the run, so that the next run starts warm. One run at a time uses
a prefix: to run several programs at once, give each its own --prefix.

exit status: the program's own; 124 after --timeout; 125 when mirdu-run refuses or fails;
126 when PROGRAM is not a Windows program; 127 when PROGRAM or Wine is missing; 2 for bad
options; 128+N after signal N. A line on standard error tells calls logged, capture files
written, the exit status and the log's path. --image FILE: as mirdu-image -o FILE on just the
captures of this run; a failure to write it gives 125."""


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
    print("mirdu-run: " + message, file=sys.stderr, flush=True)


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = 0
    if not 0 < value < 1e9:
        raise argparse.ArgumentTypeError("wants a number of seconds above 0, not %r" % text)
    return value


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
                        help="the capture folder, drive F: (made if missing; default ./captures)")
    parser.add_argument("--log", metavar="FILE", help="also write the console to FILE")
    parser.add_argument("--dll", metavar="PATH", help="the mirdu.dll to use (default: the "
                        "build's for the program's machine type, or the one beside mirdu-run)")
    parser.add_argument("--as", dest="name", metavar="NAME.dll",
                        help="the name the program loads the library by (default mirdu.dll)")
    parser.add_argument("--prefix", metavar="DIR", help="Wine prefix (default: mirdu-run's own, "
                        "under $XDG_DATA_HOME/mirdu or ~/.local/share/mirdu)")
    parser.add_argument("--timeout", metavar="SECONDS", type=seconds,
                        help="end the program and its Wine processes after that long (status 124)")
    parser.add_argument("--linger", metavar="SECONDS", type=whole_seconds, default=DEFAULT_LINGER,
                        help="keep a wineserver that the run started for that long after it, "
                        "for the next run (default %d; 0 ends it with the run)" % DEFAULT_LINGER)
    parser.add_argument("--no-staging", dest="staging", action="store_false",
                        help="drive F: is the capture folder itself during the run")
    parser.add_argument("--image", metavar="FILE", help="after the run, write the memory image "
                        "of the captures it wrote to FILE: Intel HEX (.hex, .ihex) or binary (.bin)")
    parser.add_argument("--interactive", action="store_true",
                        help="pass your keystrokes through; the prompt waits for your key")
    parser.add_argument("program", metavar="PROGRAM.exe", nargs="?",
                        help="the Windows program (32-bit or 64-bit) to run")
    parser.add_argument("args", metavar="ARGS", nargs=argparse.REMAINDER,
                        help="its arguments, as they are")
    options = parser.parse_args(argv)
    if options.program is None:
        parser.error("no PROGRAM.exe to run")
    if options.name is not None and not re.fullmatch(r"[^\\/:*?\"<>|.][^\\/:*?\"<>|]*\.dll",
                                                      options.name, re.IGNORECASE):
        parser.error("--as wants a file name ending in .dll, not %r" % options.name)
    if options.image:
        if os.path.splitext(options.image)[1].lower() not in FORMATS:
            parser.error("argument --image: cannot tell the format from the name %r: name it "
                         ".hex or .ihex (Intel HEX) or .bin (raw binary)" % options.image)
    if options.interactive and not os.isatty(0):
        parser.error("--interactive needs a terminal on standard input")
    return options
