"""The runners' contract, written once: the options of a run, the exit statuses and the kinds of
the trace's events. mirdu-run.exe's parser, help and constants are generated from this table
when it is built (python3 contract.py --cpp FILE); the Linux runner's parser and help
(options.py) and the package's keyword arguments (session.py) are made from it, and a test
checks the README's table against it. An option added here is added to both runners."""

import argparse
import sys

BOTH, LINUX, ENGINE = "both", "linux", "engine"   # engine: mirdu-run.exe's own, from the host


class Option:
    """flag; metavar (None for a switch); runners: BOTH, LINUX (mirdu-run.exe notes it and goes
    on) or ENGINE (hidden: the Linux runner gives it); keyword: its name in Python, in scope
    "run" (Session.start and run) or "session" (Session); help, and windows where mirdu-run.exe
    says it otherwise; repeat: given more than once, each counts."""

    def __init__(self, flag, metavar, runners, keyword, help, windows=None, scope="run",
                 repeat=False):
        self.flag, self.metavar, self.runners, self.keyword = flag, metavar, runners, keyword
        self.help, self.windows, self.scope, self.repeat = help, windows, scope, repeat

    @property
    def switch(self):
        return self.metavar is None

    def text(self, runner):
        if runner == "windows":
            said = self.windows or self.help
            return "Linux: " + said + "; ignored here" if self.runners == LINUX else said
        return self.help


# The steps' verbs and the words each takes after it (one in [] may be left out), in the order
# of the engine's Step::Verb, which is made from this list.
STEP_VERBS = [("window", "TITLE"), ("click", "NAME"), ("fill", "NAME TEXT"), ("open", "PATH"),
              ("answer", "BUTTON"), ("wait", "TEXT"), ("close", ""), ("menu", "PATH"),
              ("keys", "[#ID] TEXT"), ("select", "NAME ITEM"), ("tab", "[#ID] TEXT"),
              ("check", "NAME"), ("uncheck", "NAME")]
STEPS = ", ".join((verb + " " + words).strip() for verb, words in STEP_VERBS)

OPTIONS = [
    Option("--captures", "DIR", BOTH, "captures",
           "drive F: is DIR for the run (made if missing; default ./captures)",
           windows="drive F: is DIR for the run: mapped when F: is free; without it, F: must "
                   "exist (subst F: C:\\captures)"),
    Option("--log", "FILE", BOTH, "log", "also write the console's lines to FILE"),
    Option("--trace", "FILE", BOTH, "trace",
           "the run as JSON Lines: one object for each console line and event"),
    Option("--image", "FILE", BOTH, "image",
           "after the run, the memory image of the capture files it wrote (no others): Intel "
           "HEX (.hex, .ihex) or raw binary (.bin)"),
    Option("--screenshot", "FILE", BOTH, "screenshot",
           "a PNG picture of the program's windows as the run ends: at the closing prompt, a "
           "timeout or a stop"),
    Option("--dll", "PATH", BOTH, "dll",
           "the mirdu.dll to use (default: the build's for the program's machine type)",
           windows="the mirdu.dll to use (default: the one for the program's machine type "
                   "beside mirdu-run.exe, else the other build's: ..\\win32 or "
                   "..\\win64\\mirdu.dll)"),
    Option("--as", "NAME.dll", BOTH, "as_dll",
           "the name the program loads the library by (default mirdu.dll)"),
    Option("--memory", None, BOTH, "memory",
           "the program's reads answer from a device memory of the run: what it wrote there, "
           "else what was preloaded, else 0xFF (the library is mirdu-memory.dll)"),
    Option("--preload", "FILE", BOTH, "preload",
           "bytes that the device memory holds from the start, implies --memory (repeatable; a "
           "later one wins): FILE.hex or FILE.ihex Intel HEX, or FILE@ADDR, the file's bytes at "
           "ADDR (0x hex or decimal)", repeat=True),
    Option("--timeout", "SECONDS", BOTH, "timeout",
           "end the program and all it started after that long (status 124)"),
    Option("--interactive", None, BOTH, "interactive",
           "leave the closing prompt to your keyboard"),
    Option("--do", "STEP", BOTH, "steps",
           "a step that drives the program's windows, done in order while it runs "
           "(repeatable): " + STEPS, repeat=True),
    Option("--steps", "FILE", BOTH, "steps_file",
           "the steps in FILE, one a line; lines that start with # are comments", repeat=True),
    Option("--step-timeout", "SECONDS", BOTH, "step_timeout",
           "how long a step waits for what it needs (default 60)"),
    Option("--prefix", "DIR", LINUX, "prefix",
           "the Wine prefix (default: mirdu-run's own, under $XDG_DATA_HOME/mirdu or "
           "~/.local/share/mirdu)", windows="the Wine prefix", scope="session"),
    Option("--linger", "SECONDS", LINUX, "linger",
           "keep the prefix's wineserver that long after the run, for the next (default 3; 0 "
           "ends it with the run)", windows="keep the prefix's wineserver that long after the "
           "run", scope="session"),
    Option("--no-staging", None, LINUX, "staging",
           "drive F: is the capture folder itself during the run", scope="session"),
    Option("--display", None, LINUX, "display", "show the program's windows on $DISPLAY",
           scope="session"),
    Option("--host", None, ENGINE, None, "run by the Linux runner, over standard input and "
           "output"),
    Option("--cwd", "DIR", ENGINE, None, "the folder that relative paths start from"),
]

# The exit statuses of both runners; otherwise the status is the program's own.
EXIT = {
    "bad_options": (2, "bad options"),
    "step": (123, "a step could not be done"),
    "timeout": (124, "after --timeout"),
    "runner": (125, "mirdu-run refuses or fails"),
    "not_windows": (126, "PROGRAM is not a Windows program"),
    "missing": (127, "there is no PROGRAM (or, on Linux, no Wine, or no way to run a 32-bit "
                     "program)"),
    "console_closed": (129, "Windows: the console was closed"),
    "interrupted": (130, "Windows: Ctrl+C"),
}
EXIT_BAD_OPTIONS, EXIT_STEP, EXIT_TIMEOUT = (EXIT[k][0] for k in ("bad_options", "step",
                                                                  "timeout"))
EXIT_RUNNER, EXIT_NOT_WINDOWS, EXIT_MISSING = (EXIT[k][0] for k in ("runner", "not_windows",
                                                                    "missing"))
# On Linux a signal N ends the run with 128 + N.
SIGNAL_BASE = 128

# The trace's records of events (a console line's record has no event but banner, prompt or
# error); the engine's protocol adds its own (host.h).
EVENTS = {
    "banner": "the library's banner line",
    "prompt": "the closing prompt's line",
    "error": "one of the library's two capture error lines",
    "key": "the runner answered the closing prompt",
    "window": "a window of the program named as the run ended (its line)",
    "step": "a step of --do or --steps finished",
    "captures": "the capture files the run wrote (files: name and size of each)",
    "exit": "the last: the status, how the run ended, and program: true for the program's own",
}
LINE_EVENTS = ("banner", "prompt", "error")


def process_status(status):
    """An exit status as a Linux process can give it: a Windows code such as a crash's
    0xC0000005 by its low byte, as Wine hands it on."""
    return status & 0xFF if status < 0 or status > 0xFF else status


def windows_status(status):
    """A program's status as Windows gives it: a negative one (a crash's code, as a signed
    32-bit number) as the unsigned code, 0xC0000005 for an access violation."""
    return status & 0xFFFFFFFF if status < 0 else status


DESCRIPTION = {
    "linux": """\
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
run several programs at once, give each its own --prefix. Steps (--do, --steps) drive the
program's windows, menus and keys as a person would.""",
    "windows": """\
Runs PROGRAM with ARGS and mirdu.dll in this console (or a hidden one when there is none),
reads the library's lines from the console and answers its closing prompt with one key
(--interactive leaves it to your keyboard). A GUI program gets no console, as Windows starts
it: its lines are read from the console that the library opens in it, kept hidden (shown with
--interactive). The lines go to standard output when that is not the console; --log FILE keeps
them as plain lines. The DLL is put under its name in a folder of the run, first on the
program's PATH; nothing is written into the program's folder. A run that is ended (timeout,
Ctrl+C, closed console, a step that could not be done) first names the program's windows and
their texts on standard error and in the log. Steps (--do, --steps) drive the program's
windows, menus and keys as a person would. The options are the Linux runner's; those marked Linux
are noted and ignored here.""",
}

SUMMARY = ("A line on standard error tells calls logged, capture files written, the exit "
           "status and the log's path. A run that is ended (timeout, stop, a step that could "
           "not be done) first names the program's windows and their texts on standard error "
           "and in the log.")


def exit_text(runner):
    parts = ["the program's own"]
    for key, (status, meaning) in sorted(EXIT.items(), key=lambda item: item[1][0]):
        if meaning.startswith("Windows: "):
            if runner == "windows":
                parts.append("%d: %s" % (status, meaning[len("Windows: "):]))
        else:
            parts.append("%d: %s" % (status, meaning))
    if runner == "linux":
        parts.append("%d+N: after signal N" % SIGNAL_BASE)
    return "exit status: " + "; ".join(parts) + ". " + SUMMARY


def offered(runner):
    """The options that a runner's user gives it: all but the engine's own."""
    return [o for o in OPTIONS if o.runners != ENGINE]


WIDTH = 96   # of the help, whatever the terminal: both runners print the same layout


def help_parser(runner, **types):
    """An argparse parser of the runner's options (runner "linux" or "windows"), with their help
    and metavars; types: flag -> a function that checks and converts its value."""
    import textwrap
    parser = argparse.ArgumentParser(
        prog="mirdu-run", usage="mirdu-run [OPTIONS] [--] PROGRAM.exe [ARGS...]",
        description=DESCRIPTION[runner],
        epilog="\n".join(textwrap.wrap(exit_text(runner), WIDTH - 2)),
        formatter_class=lambda prog: argparse.RawDescriptionHelpFormatter(prog, width=WIDTH),
        allow_abbrev=False)
    for option in offered(runner):
        kwargs = {"help": option.text(runner), "dest": option.flag[2:].replace("-", "_")}
        if option.switch:
            kwargs["action"] = "store_true"
        else:
            kwargs["metavar"] = option.metavar
            if option.repeat:
                kwargs["action"] = "append"
            if option.flag in types:
                kwargs["type"] = types[option.flag]
        parser.add_argument(option.flag, **kwargs)
    parser.add_argument("program", metavar="PROGRAM.exe", nargs="?",
                        help="the Windows program (32-bit or 64-bit) to run")
    parser.add_argument("args", metavar="ARGS", nargs=argparse.REMAINDER,
                        help="its arguments, as they are")
    return parser


def cpp_string(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return "\n".join('    L"%s\\n"' % line for line in escaped.split("\n"))


def cpp_header():
    """The C++ that mirdu-run.exe is built with."""
    help_text = help_parser("windows").format_help().rstrip("\n")
    usage, _, rest = help_text.partition("\n")
    ids = ["k" + "".join(w.capitalize() for w in o.flag[2:].split("-")) for o in OPTIONS]
    out = ["// Made from tools/mirdu/contract.py when mirdu-run.exe is built: change that.",
           "#ifndef MIRDU_RUNNER_CONTRACT_H", "#define MIRDU_RUNNER_CONTRACT_H", "",
           "enum ExitStatus {"]
    out += ["    kExit%s = %d," % ("".join(w.capitalize() for w in k.split("_")), status)
            for k, (status, _) in sorted(EXIT.items(), key=lambda i: i[1][0])]
    out += ["};", "", "enum class OptionId { %s };" % ", ".join(ids), "",
            "enum class Runners { kBoth, kLinux, kEngine };", "",
            "struct OptionEntry {", "    OptionId id;", "    const wchar_t *flag;",
            "    bool takesValue;", "    Runners runners;", "};", "",
            "const OptionEntry kOptionTable[] = {"]
    kinds = {BOTH: "kBoth", LINUX: "kLinux", ENGINE: "kEngine"}
    out += ['    {OptionId::%s, L"%s", %s, Runners::%s},' % (i, o.flag, str(not o.switch).lower(),
                                                           kinds[o.runners])
            for i, o in zip(ids, OPTIONS)]
    out += ["};", "", "const wchar_t kUsageText[] =", cpp_string(usage) + ";", "",
            "const wchar_t kHelpText[] =", cpp_string(rest) + ";", ""]
    out += ['const char kEvent%s[] = "%s";' % (k.capitalize(), k) for k in EVENTS]
    out += ["", "// The steps' verbs: X(Id, L\"verb\", L\"the words after it\").",
            "#define MIRDU_STEP_VERBS(X) \\"]
    out += ['    X(%s, L"%s", L"%s")%s' % (verb.capitalize(), verb, words,
                                         " \\" if n < len(STEP_VERBS) - 1 else "")
            for n, (verb, words) in enumerate(STEP_VERBS)]
    out += ["", "#endif", ""]
    return "\n".join(out)


def main(argv):
    if len(argv) != 3 or argv[1] != "--cpp":
        print("usage: contract.py --cpp FILE", file=sys.stderr)
        return 2
    text = cpp_header()
    try:
        with open(argv[2], encoding="utf-8") as f:
            if f.read() == text:
                return 0    # unchanged: nothing that includes it is built again
    except OSError:
        pass
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
