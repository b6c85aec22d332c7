"""mirdu-run's command: sets the prefix up for a run (its wineserver, drive F: on a staging
folder, the display), runs mirdu-run.exe inside it, which decides and does everything that
belongs to the run, shows what it says, answers what only Linux knows, and puts everything back
on every way out."""

import os
import queue
import shutil
import signal
import termios
import threading
import time
import tty

from .bits32 import why_32bit_cannot_run
from .display import Display
from .engine import PATIENCE, Engine
from .options import (EXIT_MISSING, EXIT_RUNNER, Failure, Stopped, engine_arguments,
                      parse_options, warn)
from .prefix import Prefix, default_prefix
from .session import Output, Server, Signals, wine_environment
from .staging import Staging, why_not

WINE64_LOADERS = ["/usr/lib/wine/wine64", shutil.which("wine64")]
WINE32_LOADER = "/usr/lib/wine/wine"
WINESERVERS = ["/usr/lib/wine/wineserver64", shutil.which("wineserver")]


def on_signal(signum, frame):
    raise Stopped(signum)


def first_existing(paths):
    return next((p for p in paths if p and os.path.exists(p)), None)


def build_folder(home, machine):
    """In a checkout (mirdu-run in tools/ beside build/), the build of that machine type; in
    the release folder, its folder win32/ or win64/ beside mirdu-run."""
    root = os.path.dirname(home)
    if os.path.basename(home) == "tools" and os.path.isdir(os.path.join(root, "build")):
        return os.path.join(root, "build", machine), "(make build)"
    return os.path.join(home, machine), "in the release folder"


def find_engine(home, wide):
    """mirdu-run.exe as the prefix runs it: the x86_64 build in a prefix that runs 64-bit
    programs (it runs both kinds), the i686 one in a 32-bit prefix."""
    folder, how = build_folder(home, "win64" if wide else "win32")
    engine = os.path.join(folder, "mirdu-run.exe")
    if not os.path.isfile(engine):
        raise Failure(EXIT_MISSING, "no mirdu-run.exe at %s %s: it runs the program inside "
                      "Wine" % (engine, how))
    return engine


def open_staging(options, prefix, captures):
    """The run's staging folder, or None for a plain F:, with the reason said."""
    if not options.staging:
        return None
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


def why_cannot_run(bits, home, prefix):
    """What keeps programs of that machine type from running here, empty when nothing does:
    the kernel, 32-bit Wine, the prefix."""
    why = why_32bit_cannot_run(home) if bits == 32 else None
    if why:
        return why
    try:
        prefix.system_folder(bits)
    except Failure as failure:
        return str(failure)
    return ""


def show(event, output):
    """An event of the engine's: its lines on standard output, what it says on standard
    error."""
    if "say" in event:
        warn(event["say"])
    elif "line" in event and event.get("event") in (None, "banner", "prompt", "error"):
        output.write((event["line"] + ("" if event.get("open") else "\n")).encode())


def pass_keys(engine):
    """What is typed at the terminal, to the program's console, as it comes."""
    while True:
        try:
            typed = os.read(0, 4096)
        except OSError:
            return
        if not typed or not engine.send("keys", typed.decode("utf-8", "replace")):
            return


def relay(engine, options, keyboard):
    """Shows the engine's events until its output ends; a signal stops the run there, and a run
    long past its --timeout has its input closed, which ends it. Returns the run's status."""
    output = Output(1, raw_terminal=keyboard)
    status, stopped = None, None
    overdue = time.monotonic() + options.timeout + PATIENCE if options.timeout else None
    with Signals() as signals:
        while True:
            try:
                event = engine.next_event(timeout=0.2)
            except queue.Empty:
                event = {}
            if event is None:
                break
            show(event, output)
            if event.get("event") == "exit":
                status = event["status"]
            if signals.received and not stopped:
                stopped = Stopped(signals.received)
                engine.send("stop", 128 + stopped.signum, "stopped by %s" % stopped)
                overdue = time.monotonic() + PATIENCE
            elif overdue and time.monotonic() > overdue:
                if engine.process.stdin.closed:
                    break   # it did not end when told: the caller ends it
                engine.close_input()
                overdue = time.monotonic() + PATIENCE
    code = engine.wait()
    return status if status is not None else code


def run(argv, home):
    options = parse_options(argv)
    wine64, wineserver = first_existing(WINE64_LOADERS), first_existing(WINESERVERS)
    if not wine64 or not wineserver:
        raise Failure(EXIT_MISSING, "Wine is not installed (apt-get install wine wine64)")
    captures = os.path.abspath(options.captures)
    try:
        os.makedirs(captures, exist_ok=True)
    except OSError as error:
        raise Failure(EXIT_RUNNER, "cannot make the capture folder %s: %s"
                      % (options.captures, error.strerror))
    prefix = Prefix(options.prefix or default_prefix())
    prefix.check()
    env = wine_environment(prefix.path, options.name or "mirdu.dll")
    server = Server(wine64, wineserver, env, options.linger)
    display = Display(options, prefix.path)
    locked, staging, engine = False, None, None
    try:
        prefix.lock()
        locked = True
        prefix.make_if_needed(env, wine64, wineserver)
        prefix.restore()    # whatever a run that was killed left behind
        wide = prefix.is_wide()
        loader = wine64 if wide else WINE32_LOADER
        command = [loader, find_engine(home, wide)] + engine_arguments(argv, captures)
        display.start(server.env)
        server.start()
        staging = open_staging(options, prefix, captures)
        prefix.map_f(staging.folder if staging else captures)
        engine = Engine(display.wrap(command), server.env,
                        {"bits": lambda event: why_cannot_run(event["bits"], home, prefix)},
                        lambda data: os.write(2, data if isinstance(data, bytes)
                                              else data.encode()),
                        staging)
        keyboard = termios.tcgetattr(0) if options.interactive else None
        try:
            if keyboard:
                tty.setraw(0)
            engine.start()
            if keyboard:
                threading.Thread(target=pass_keys, args=(engine,), daemon=True).start()
            return relay(engine, options, bool(keyboard))
        finally:
            if keyboard:
                termios.tcsetattr(0, termios.TCSADRAIN, keyboard)
    finally:
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, signal.SIG_IGN)
        server.end(engine.pid if engine and engine.process else None)
        if engine and engine.process:
            engine.finish()
        display.stop()
        if locked:
            prefix.restore()    # the staged files that are left move here
        if staging:
            staging.close()     # after the folder is gone: closing a watch on it waits


def main(argv, home):
    """home: the folder of the mirdu-run command (tools/ of a checkout, or the release folder)."""
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(s) != signal.SIG_IGN:   # as nohup leaves SIGHUP: stays ignored
            signal.signal(s, on_signal)
    try:
        return run(argv, home)
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except Stopped as stop:
        warn("stopped by %s" % stop)
        return 128 + stop.signum
    except OSError as error:
        warn("failed: %s" % error)
        return EXIT_RUNNER
