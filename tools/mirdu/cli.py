"""The mirdu-run command: one run in a session of its own. mirdu-run.exe decides and does
everything that belongs to the run; this shows what it says as it comes, passes the keys typed
at the terminal, stops the run on a signal, and puts everything back on every way out."""

import os
import signal
import sys
import termios
import threading
import time
import tty

from .contract import LINE_EVENTS, SIGNAL_BASE, process_status
from .engine import PATIENCE
from .options import EXIT_RUNNER, Failure, Stopped, engine_arguments, parse_options, warn
from .server import Output, Signals
from .session import Session


def on_signal(signum, frame):
    raise Stopped(signum)


def show(event, output):
    """An event of the engine's: its lines on standard output, what it says on standard
    error."""
    if "say" in event:
        warn(event["say"])
    elif "line" in event and event.get("event") in (None,) + LINE_EVENTS:
        output.write((event["line"] + ("" if event.get("open") else "\n")).encode())


def pass_keys(run):
    """What is typed at the terminal, to the program's console, as it comes."""
    while True:
        try:
            typed = os.read(0, 4096)
        except OSError:
            return
        if not typed:
            return
        run.console_keys(typed.decode("utf-8", "replace"))


def follow(run, options):
    """Takes the run's events until its end; a signal stops the run, and a run long past its
    --timeout is ended. Returns its exit status as a process gives it."""
    overdue = time.monotonic() + options.timeout + PATIENCE if options.timeout else None
    stopped = None
    with Signals() as signals:
        while not run.poll(0.2):
            if signals.received and not stopped:
                stopped = Stopped(signals.received)
                run.stop(SIGNAL_BASE + stopped.signum, "stopped by %s" % stopped)
                overdue = time.monotonic() + PATIENCE
            elif overdue and time.monotonic() > overdue:
                raise Failure(EXIT_RUNNER, "mirdu-run.exe did not end the run within %d s of "
                              "its end" % PATIENCE)
    status = run.exit.get("status", run.status) if run.exit else run.status
    return process_status(status) if isinstance(status, int) else status


def run(argv):
    options = parse_options(argv)
    output = Output(1, raw_terminal=options.interactive)
    with Session(prefix=options.prefix, display=options.display,
                 draw=bool(options.screenshot), linger=options.linger,
                 staging=options.staging) as session:
        keyboard = termios.tcgetattr(0) if options.interactive else None
        try:
            if keyboard:
                tty.setraw(0)
            current = session.start_args(engine_arguments(argv), options.captures,
                                         lambda event: show(event, output))
            if keyboard:
                threading.Thread(target=pass_keys, args=(current,), daemon=True).start()
            return follow(current, options)
        finally:
            if keyboard:
                termios.tcsetattr(0, termios.TCSADRAIN, keyboard)
            for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(s, signal.SIG_IGN)


def main(argv):
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(s) != signal.SIG_IGN:   # as nohup leaves SIGHUP: stays ignored
            signal.signal(s, on_signal)
    try:
        return run(argv)
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except Stopped as stop:
        warn("stopped by %s" % stop)
        return SIGNAL_BASE + stop.signum
    except OSError as error:
        warn("failed: %s" % error)
        return EXIT_RUNNER


def console():
    """The wheel's mirdu-run command: a console script is called with no arguments."""
    exit_now(main(sys.argv[1:]))


def exit_now(status):
    """Ends the process once the run is over and everything is written and put back, without
    the interpreter's teardown of every module it loaded (about 6 ms of a short run)."""
    if not isinstance(status, int):
        sys.exit(status)
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except OSError:
        pass
    os._exit(status)
