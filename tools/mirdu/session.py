"""Runs from Python. A Session keeps one Wine prefix, its wineserver and one mirdu-run.exe for
many runs (mirdu-run.exe --serve), so that a run costs little more than the program's own start;
the session's end ends them all, and nothing is left listening. A run is started with its
options as keyword arguments under the runner's names, driven with the steps' verbs while it
goes, and waited for; its Result has the lines, the calls and the captures.

    with mirdu.Session() as session:
        result = session.run("client.exe", "--port", "1", as_dll="vendor.dll", captures="out")
        with session.start("flashtool.exe", captures="out2") as run:
            run.click("Program device")
            run.answer("OK")
            result = run.wait(timeout=120)

On Windows the session drives mirdu-run.exe directly, with no prefix."""

import os
import platform
import queue
import re
import shlex
import shutil
import time

from . import files
from .display import Display
from .engine import PATIENCE, Engine
from .machine import why_cannot_run
from .options import DEFAULT_LINGER, EXIT_MISSING, EXIT_RUNNER, Failure, warn
from .prefix import Prefix, default_prefix
from .result import Capture, Result, call_of, link
from .server import Server, wine_environment
from .staging import Staging, why_not

WINE64_LOADERS = ["/usr/lib/wine/wine64", shutil.which("wine64")]
WINE32_LOADER = "/usr/lib/wine/wine"
WINESERVERS = ["/usr/lib/wine/wineserver64", shutil.which("wineserver")]
EXIT_TIMEOUT = 124

# A run's keyword arguments and the runner's options they stand for; True: a switch.
OPTIONS = {"log": "--log", "trace": "--trace", "image": "--image", "screenshot": "--screenshot",
           "dll": "--dll", "as_dll": "--as", "timeout": "--timeout",
           "step_timeout": "--step-timeout", "steps_file": "--steps", "interactive": True}
SUMMARY = re.compile(r"\d+ calls? logged, ")


class RunError(Exception):
    """The runner refused or failed, or ended the run itself (a timeout, a stop): its message
    and exit status, and the Result of what the run did until then (None when it did not
    start)."""

    def __init__(self, message, status, result=None):
        super().__init__(message)
        self.status, self.result = status, result


class StepError(RunError):
    """A step could not be done: the step's message, and the program's windows as they were."""

    def __init__(self, message, status, result=None):
        super().__init__(message, status, result)
        self.windows = result.windows if result else []

    def __str__(self):
        return "\n".join([self.args[0]] + self.windows)


def first_existing(paths):
    return next((p for p in paths if p and os.path.exists(p)), None)


def open_staging(prefix, captures):
    """The run's staging folder, or None for a plain F:, with the reason said."""
    why = why_not(captures)
    staging = Staging(prefix.staging_folder(captures), captures)
    if not why:
        try:
            staging.open()
            prefix.note(staging=staging.folder, captures=captures)
            return staging
        except OSError as error:
            staging.close()
            why = ("%s: %s" % (error.filename, error.strerror) if error.filename
                   else str(error))
    warn("drive F: is the capture folder itself for this run (no staging): " + why)
    return None


def write_errors(data):
    """Wine's own messages, on standard error as they come."""
    os.write(2, data if isinstance(data, bytes) else data.encode())


class Session:
    """prefix: the Wine prefix (mirdu's own by default); display: show the windows on $DISPLAY;
    draw: draw them on a virtual X server of the session's, for screenshots; linger: seconds
    the wineserver stays after the session, for the next; staging: drive F: on a staging folder
    whose files move into the run's capture folder as they close. errors: where Wine's own
    messages go, a function of bytes (standard error by default)."""

    def __init__(self, prefix=None, display=False, draw=False, linger=DEFAULT_LINGER,
                 staging=True, errors=write_errors):
        self.prefix_path, self.shown, self.drawn = prefix, display, draw
        self.linger, self.staging, self.errors = linger, staging, errors
        self.prefix = self.server = self.display = self.engine = None
        self.current = None
        self.locked = False

    def __enter__(self):
        self.open()
        return self

    def __exit__(self, *exc):
        self.close()

    def open(self):
        try:
            self.engine = Engine(self.command(), self.env, self.answers(), self.errors)
            self.engine.start()
            self.expect("ready")
        except BaseException:
            self.close()
            raise

    def command(self):
        """mirdu-run.exe --serve as this machine runs it; sets up Wine on Linux."""
        if os.name == "nt":
            self.env = dict(os.environ)
            machine = "win64" if platform.machine().endswith("64") else "win32"
            return [files.engine(machine), "--serve"]
        wine64, wineserver = first_existing(WINE64_LOADERS), first_existing(WINESERVERS)
        if not wine64 or not wineserver:
            raise Failure(EXIT_MISSING, "Wine is not installed (apt-get install wine wine64)")
        self.prefix = Prefix(self.prefix_path or default_prefix())
        self.prefix.check()
        self.env = wine_environment(self.prefix.path)
        self.prefix.lock()
        self.locked = True
        self.prefix.make_if_needed(self.env, wine64, wineserver)
        self.prefix.restore()    # whatever a run that was killed left behind
        wide = self.prefix.is_wide()
        engine = files.engine("win64" if wide else "win32")
        self.display = Display(self.shown, self.drawn, self.prefix.path)
        self.display.start(self.env)
        self.server = Server(wine64, wineserver, self.env, self.linger)
        self.server.start()
        return self.display.wrap([wine64 if wide else WINE32_LOADER, engine, "--serve"])

    def answers(self):
        if self.prefix is None:
            return {"bits": lambda event: ""}
        return {"bits": lambda event: why_cannot_run(event["bits"], self.prefix)}

    def expect(self, kind):
        """Waits for an event of that kind from the engine, passing others by."""
        while True:
            event = self.engine.next_event(timeout=PATIENCE)
            if event is None:
                raise Failure(EXIT_RUNNER, "mirdu-run.exe ended before it was ready (exit "
                              "status %s)" % self.engine.wait(5))
            if kind in event:
                return event

    def close(self):
        """Ends the engine, the display and the wineserver (when the session started it and
        it does not linger), and puts the prefix back."""
        if self.current:
            self.current.stop(EXIT_RUNNER, "stopped: the session ended")
            self.current.drain_events()
        engine, self.engine = self.engine, None
        if engine and engine.process:
            engine.send("quit")
            engine.close_input()
            engine.wait()
        if self.server:
            self.server.end(engine.pid if engine and engine.process else None)
        if engine and engine.process:
            engine.finish()
        if self.display:
            self.display.stop()
        if self.locked:
            self.prefix.restore()
            self.prefix.unlock()
            self.locked = False

    def start(self, program, *args, captures="captures", on_event=None, steps=(),
              **options):
        """Starts program with args; returns its Run. options: the runner's options by their
        names (as_dll for --as), steps: steps done in order as the program runs."""
        engine_args = []
        for name, given in options.items():
            flag = OPTIONS.get(name)
            if flag is None:
                raise TypeError("unknown option %r" % name)
            if flag is True:
                engine_args += ["--" + name] if given else []
            elif given is not None:
                engine_args += [flag, str(given)]
        for step in steps:
            engine_args += ["--do", step]
        return self.start_args(engine_args + ["--", str(program)] + [str(a) for a in args],
                               captures, on_event, len(steps), options)

    def start_args(self, args, captures="captures", on_event=None, steps=0, options=None):
        """Starts a run from the runner's own arguments (options, then the program and its
        arguments); steps: how many the arguments give."""
        if self.engine is None:
            raise RuntimeError("the session is not open")
        if self.current is not None:
            raise RuntimeError("a run of this session is going on: one at a time")
        captures = os.path.abspath(captures)
        try:
            os.makedirs(captures, exist_ok=True)
        except OSError as error:
            raise Failure(EXIT_RUNNER, "cannot make the capture folder %s: %s"
                          % (captures, error.strerror))
        staging = None
        if self.prefix is not None:
            staging = open_staging(self.prefix, captures) if self.staging else None
            self.prefix.map_f(staging.folder if staging else captures)
            self.engine.use_staging(staging)
        self.current = Run(self, captures, staging, on_event, steps, options or {})
        self.engine.send("run", ["--cwd", os.getcwd(), "--captures", captures] + args)
        return self.current

    def run(self, program, *args, **options):
        """Runs program to its end; its Result."""
        with self.start(program, *args, **options) as run:
            return run.wait()

    def ended(self, run):
        """The run's end: the staging folder drained and closed, drive F: as it was."""
        self.current = None
        if self.prefix is not None:
            self.engine.use_staging(None)
            self.prefix.restore()
        if run.staging:
            run.staging.close()


class Run:
    """A run going on. Its step methods are the steps' verbs, done while the program runs, each
    waiting until the step is done (or its time is up) and raising StepError when it cannot
    be; wait() waits for the program's end."""

    def __init__(self, session, captures, staging, on_event, steps, options):
        self.session, self.captures, self.staging = session, captures, staging
        self.on_event, self.sent, self.options = on_event, steps, options
        self.lines, self.calls, self.messages, self.windows = [], [], [], []
        self.steps, self.files = {}, []
        self.exit = self.status = None
        self.done = False

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if self.done:
            return
        if kind is not None:
            self.stop(EXIT_RUNNER, "stopped: the code that drove it failed")
            self.drain_events()
        else:
            self.wait()

    # --- events ---------------------------------------------------------------------------

    def handle(self, event):
        if self.on_event:
            self.on_event(event)
        kind = event.get("event")
        if "say" in event:
            self.messages.append(event["say"])
        elif "end" in event:
            self.status = event["end"]
            self.done = True
            self.session.ended(self)
        elif kind == "exit":
            self.exit = event
        elif kind == "captures":
            self.files = event["files"]
        elif kind == "window":
            self.windows.append(event["line"])
        elif kind == "step":
            self.steps[event["step"]] = event
        elif "line" in event and kind in (None, "banner", "prompt", "error"):
            self.lines.append(event["line"])
            if "call" in event:
                self.calls.append(call_of(event))

    def poll(self, timeout=0.2):
        """Takes the events that come within timeout seconds; True once the run has ended."""
        try:
            event = self.session.engine.next_event(timeout=timeout)
        except queue.Empty:
            return self.done
        while event is not False:
            if event is None:
                self.gone()
                return True
            self.handle(event)
            if self.done:
                return True
            try:
                event = self.session.engine.next_event(timeout=0)
            except queue.Empty:
                event = False
        return self.done

    def gone(self):
        """The engine went before the run's end."""
        self.messages.append("mirdu-run.exe ended before the run did (exit status %s)"
                             % self.session.engine.wait(5))
        self.status = EXIT_RUNNER
        self.done = True
        self.session.ended(self)

    def pump(self, until, timeout=None):
        """Takes events until until() or the run's end; False when timeout seconds passed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not until() and not self.done:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            self.poll(0.2 if left is None else min(0.2, left))
        return True

    def drain_events(self):
        self.pump(lambda: False, PATIENCE)

    # --- what the program is told ----------------------------------------------------------

    def keys(self, text):
        """Typed in the program's console (for runs started with interactive=True)."""
        self.session.engine.send("keys", text)

    def stop(self, status=EXIT_RUNNER, why="stopped"):
        """Ends the run as a stop: the windows are named, the program's processes ended."""
        if not self.done:
            self.session.engine.send("stop", status, why)

    def step(self, text, timeout=None):
        """Does one step (a line as --do takes it); the step's record from the trace."""
        if self.done:
            raise RunError("the run has ended: no step can be done", self.status,
                           self.result(check=False))
        if timeout is not None:
            text = "within=%g %s" % (timeout, text)
        self.sent += 1
        number = self.sent
        self.session.engine.send("do", text)
        self.pump(lambda: number in self.steps)
        event = self.steps.get(number)
        if event is not None and event.get("ok"):
            return event
        self.drain_events()     # a step that could not be done ends the run
        result = self.result(check=False)
        why = event.get("why") if event else None
        raise StepError(why or "step %d (%s) was not done: the run ended (%s)"
                        % (number, text, result.ended), result.status, result)

    def window(self, title, timeout=None):
        self.step("window " + shlex.quote(title), timeout)

    def click(self, name, timeout=None):
        self.step("click " + shlex.quote(name), timeout)

    def fill(self, name, text, timeout=None):
        self.step("fill %s %s" % (shlex.quote(name), shlex.quote(text)), timeout)

    def open(self, path, timeout=None):
        self.step("open " + shlex.quote(str(path)), timeout)

    def answer(self, button, timeout=None):
        """Presses a button of a message box; the box's text."""
        return self.step("answer " + shlex.quote(button), timeout).get("box", "")

    def close(self, timeout=None):
        self.step("close", timeout)

    def wait(self, text=None, timeout=None):
        """With text: the wait step, until text shows in a window or a console line (the line
        it was found in, if a line). Without: waits for the program's end, and after timeout
        seconds ends the run as --timeout would; the Result."""
        if text is not None:
            return self.step("wait " + shlex.quote(text), timeout).get("found")
        if not self.pump(lambda: False, timeout):
            self.stop(EXIT_TIMEOUT, "timed out after %g s" % timeout)
            self.drain_events()
        return self.result()

    # --- what the run left ------------------------------------------------------------------

    def result(self, check=True):
        """The Result; check: raise RunError when the status is not the program's own."""
        captures = [Capture(self.captures, f["name"], f["size"]) for f in self.files]
        link(self.calls, captures)
        exit = self.exit or {}
        status = exit.get("status", self.status)
        if isinstance(status, int) and status < 0:
            status &= 0xFFFFFFFF    # an exception's code, as Windows gives it
        result = Result(status, self.lines, self.calls, captures, exit.get("ended", ""),
                        self.messages, self.windows, self.options.get("log"),
                        self.options.get("trace"), self.options.get("screenshot"))
        if check and self.done and not exit.get("program"):
            said = [m for m in self.messages if not SUMMARY.match(m)]
            raise RunError("\n".join(said) or result.ended or "the run failed", status, result)
        return result


def run(program, *args, prefix=None, display=False, linger=DEFAULT_LINGER, staging=True,
        **options):
    """One run in a session of its own; its Result."""
    draw = bool(options.get("screenshot"))
    with Session(prefix=prefix, display=display, draw=draw, linger=linger,
                 staging=staging) as session:
        return session.run(program, *args, **options)

