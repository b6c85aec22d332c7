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

from . import contract, files
from .display import Display
from .engine import PATIENCE, Engine
from .machine import why_cannot_run
from .options import DEFAULT_LINGER, EXIT_MISSING, EXIT_RUNNER, Failure
from .prefix import Prefix, default_prefix
from .server import Server, wine_environment


def on_path(name):
    """The program of that name on PATH, or None."""
    return next((os.path.join(d, name) for d in os.environ.get("PATH", "").split(os.pathsep)
                 if d and os.access(os.path.join(d, name), os.X_OK)), None)


WINE64_LOADERS = ["/usr/lib/wine/wine64", on_path("wine64")]
WINE32_LOADER = "/usr/lib/wine/wine"
WINESERVERS = ["/usr/lib/wine/wineserver64", on_path("wineserver")]

# A run's keyword arguments and the options of the runner they stand for (captures and steps
# are parameters of their own). A repeatable one takes a list, and gives the option once for
# each of its items (preload=["id.hex", "boot.bin@0x8000"]).
OPTIONS = {o.keyword: o for o in contract.OPTIONS
           if o.scope == "run" and o.keyword not in (None, "captures", "steps")}


def first_existing(paths):
    return next((p for p in paths if p and os.path.exists(p)), None)


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
        self.locked = self.ready = False

    def __enter__(self):
        self.open()
        return self

    def __exit__(self, *exc):
        self.close()

    def open(self):
        """Starts the session's mirdu-run.exe; the first run waits until it is ready, so that
        the run is made ready while it starts."""
        try:
            command = self.command()
            self.engine = Engine(command, self.env, self.answers(), self.errors,
                                 self.engine_folder())
            self.engine.start()
            self.ready = False
        except BaseException:
            self.close()
            raise

    def wait_ready(self):
        if not self.ready:
            self.expect("ready")
            self.ready = True

    def command(self):
        """mirdu-run.exe --serve as this machine runs it; sets up Wine on Linux."""
        if os.name == "nt":
            self.env = dict(os.environ)
            import platform
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

    def engine_folder(self):
        """Where the engine starts: not this process's folder, which a run's drive F: may map
        while Wine opens it as the engine's first folder (F: is moved to the run's staging
        folder as the engine starts). Each run gives the engine its folder (--cwd)."""
        return os.path.join(self.prefix.path, "drive_c") if self.prefix else None

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
            option = OPTIONS.get(name)
            if option is None:
                raise TypeError("unknown option %r" % name)
            if option.switch:
                engine_args += [option.flag] if given else []
            elif option.repeat and isinstance(given, (list, tuple)):
                engine_args += [word for item in given for word in (option.flag, str(item))]
            elif given is not None:
                engine_args += [option.flag, str(given)]
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
        from .runs import Run, open_staging   # here: while the engine is still starting
        staging = None
        try:
            if self.prefix is not None:
                staging = open_staging(self.prefix, captures) if self.staging else None
                self.prefix.map_f(staging.folder if staging else captures)
                self.engine.use_staging(staging)
            self.wait_ready()
        except BaseException:
            self.put_back(staging)
            raise
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
        self.put_back(run.staging)

    def put_back(self, staging):
        if self.prefix is not None:
            self.engine.use_staging(None)
            self.prefix.restore()
        if staging:
            staging.close()


def run(program, *args, prefix=None, display=False, linger=DEFAULT_LINGER, staging=True,
        **options):
    """One run in a session of its own; its Result."""
    draw = bool(options.get("screenshot"))
    with Session(prefix=prefix, display=display, draw=draw, linger=linger,
                 staging=staging) as session:
        return session.run(program, *args, **options)

