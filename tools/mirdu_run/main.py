"""mirdu-run's command: checks what it is asked to run, sets the prefix up for one run, runs
the program and puts everything back on every way out."""

import json
import os
import shutil
import signal
import termios
import tty

import mirdu_image
import pefile

from .bits32 import why_32bit_cannot_run
from .display import Display
from .options import (EXIT_MISSING, EXIT_NOT_WINDOWS, EXIT_RUNNER, Failure, Stopped,
                      parse_options, warn)
from .prefix import Prefix, default_prefix, digest
from .session import Output, Session, wine_environment
from .staging import Staging, capture_files, leave_odd_entries, why_not

WINE64_LOADERS = ["/usr/lib/wine/wine64", shutil.which("wine64")]
WINE32_LOADER = "/usr/lib/wine/wine"
WINESERVERS = ["/usr/lib/wine/wineserver64", shutil.which("wineserver")]
MACHINES = {pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]: 32,
            pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]: 64}


def on_signal(signum, frame):
    raise Stopped(signum)


def bits_of(path, kind, status):
    """32 or 64: the machine type in a Windows program's or DLL's headers."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except (pefile.PEFormatError, OSError) as error:
        raise Failure(status, "%s is not a Windows %s (%s)" % (path, kind, error))
    # From the headers' flags: pefile's is_exe() would read the imports too.
    executable = pe.FILE_HEADER.IMAGE_FILE_EXECUTABLE_IMAGE
    if kind == "program" and (pe.is_dll() or not executable) or kind == "DLL" and not pe.is_dll():
        raise Failure(status, "%s is a Windows file but not a %s" % (path, kind))
    machine = pe.FILE_HEADER.Machine
    if machine not in MACHINES:
        raise Failure(status, "%s is a %s for machine type 0x%04X, not i386 or x86_64"
                      % (path, kind, machine))
    return MACHINES[machine]


def first_existing(paths):
    return next((p for p in paths if p and os.path.exists(p)), None)


def build_folder(home, bits):
    """In a checkout (mirdu-run in tools/ beside build/), the build for the program's machine
    type; in the release folder, its folder win32/ or win64/ beside mirdu-run."""
    root = os.path.dirname(home)
    if os.path.basename(home) == "tools" and os.path.isdir(os.path.join(root, "build")):
        return os.path.join(root, "build", "win%d" % bits), "(make build)"
    return os.path.join(home, "win%d" % bits), "in the release folder"


def find_engine(home, bits):
    """mirdu-run.exe of the program's machine type, which runs it inside Wine."""
    folder, how = build_folder(home, bits)
    engine = os.path.join(folder, "mirdu-run.exe")
    if not os.path.isfile(engine):
        raise Failure(EXIT_MISSING, "no mirdu-run.exe at %s %s: it runs the program inside "
                      "Wine" % (engine, how))
    return engine


def choose_dll(home, path, bits, program):
    how = "(from --dll)"
    if path is None:
        folder, how = build_folder(home, bits)
        path = os.path.join(folder, "mirdu.dll")
    if not os.path.isfile(path):
        raise Failure(EXIT_RUNNER, "no DLL at %s %s; give one with --dll PATH" % (path, how))
    dll_bits = bits_of(path, "DLL", EXIT_RUNNER)
    if dll_bits != bits:
        raise Failure(EXIT_RUNNER, "%s is a %d-bit DLL but %s is a %d-bit program: give --dll "
                      "the %d-bit mirdu.dll" % (path, dll_bits, program, bits, bits))
    return os.path.abspath(path)


def entry_named(folder, name):
    """The file in folder that Windows would take for name (case does not matter there)."""
    try:
        entries = os.listdir(folder)
    except FileNotFoundError:
        return None
    return next((os.path.join(folder, e) for e in entries if e.lower() == name.lower()), None)


def same_dll(path, dll):
    return os.path.isfile(path) and (os.path.samefile(path, dll) or digest(path) == digest(dll))


def plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def check_program(options, home):
    """The program, the Wine it needs, the DLL and where the program would find it."""
    program = os.path.abspath(options.program)
    if not os.path.exists(program):
        raise Failure(EXIT_MISSING, "no program %s" % options.program)
    if not os.path.isfile(program):
        raise Failure(EXIT_NOT_WINDOWS, "%s is not a program file" % options.program)
    bits = bits_of(program, "program", EXIT_NOT_WINDOWS)
    wine64 = first_existing(WINE64_LOADERS)
    wineserver = first_existing(WINESERVERS)
    if not wine64 or not wineserver:
        raise Failure(EXIT_MISSING, "Wine is not installed (apt-get install wine wine64)")
    why = bits == 32 and why_32bit_cannot_run(home)
    if why:
        raise Failure(EXIT_MISSING, "%s is a 32-bit program and cannot run here: %s"
                      % (options.program, why))
    dll = choose_dll(home, options.dll, bits, options.program)
    mine = entry_named(os.path.dirname(program), options.name or "mirdu.dll")
    if mine and not same_dll(mine, dll):
        raise Failure(EXIT_RUNNER, "%s would be loaded instead of mirdu.dll: Windows looks in "
                      "the program's folder first. Move that file out of the folder (keep it "
                      "somewhere safe) and run again; mirdu-run changes nothing there" % mine)
    return program, bits, wine64, wineserver, dll, find_engine(home, bits)


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


def windows_path(path):
    """The path as Windows programs in the prefix see it, on drive Z: (the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def engine_command(options, engine, program, dll, name, trace):
    """mirdu-run.exe with the options that it honours; the rest stay here."""
    command = [engine, "--host", "--dll", windows_path(dll), "--as", name,
               "--trace", windows_path(trace)]
    for flag, value in (("--log", options.log), ("--screenshot", options.screenshot)):
        if value:
            command += [flag, windows_path(value)]
    if options.timeout:
        command += ["--timeout", "%g" % options.timeout]
    # The steps as given: mirdu-run.exe reads the file, and names an open step's Linux path as
    # Wine does.
    for flag, value in options.steps:
        command += [flag, windows_path(value) if flag == "--steps" else value]
    if options.step_timeout:
        command += ["--step-timeout", "%g" % options.step_timeout]
    if options.interactive:
        command.append("--interactive")
    return command + ["--", windows_path(program)] + options.args


def read_trace(path):
    """From the run's trace: the calls logged and the exit event, None when the program did not
    run to an end that mirdu-run.exe saw."""
    calls, exit_event = 0, None
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                try:
                    record = json.loads(line)
                except ValueError:
                    continue
                calls += "call" in record
                if record.get("event") == "exit":
                    exit_event = record
    except OSError:
        pass
    return calls, exit_event


def run(options, home):
    program, bits, wine64, wineserver, dll, engine = check_program(options, home)
    name = options.name or "mirdu.dll"
    captures = os.path.abspath(options.captures)
    try:
        os.makedirs(captures, exist_ok=True)
    except OSError as error:
        raise Failure(EXIT_RUNNER, "cannot make the capture folder %s: %s"
                      % (options.captures, error.strerror))

    prefix = Prefix(options.prefix or default_prefix())
    prefix.check(bits)
    env = wine_environment(prefix.path, name)
    session = Session(wine64, wineserver, env, options.linger)
    display = Display(options, prefix.path)
    locked = False
    staging = None
    trace = os.path.abspath(options.trace) if options.trace else None
    stopped, status = None, None
    try:
        prefix.lock()
        locked = True
        prefix.make_if_needed(env, wine64, wineserver)
        system_folder = prefix.system_folder(bits)
        prefix.restore()    # whatever a run that was killed left behind
        there = entry_named(system_folder, name)
        if there and not same_dll(there, dll):
            raise Failure(EXIT_RUNNER, "%s would be loaded instead of mirdu.dll: Windows looks "
                          "in its system folder before the run's; mirdu-run does not replace it: "
                          "use another --as NAME or --prefix" % there)
        for path, what in ((options.log, "log"), (options.trace, "trace")):
            try:
                if path:
                    open(path, "wb").close()
            except OSError as error:
                raise Failure(EXIT_RUNNER, "cannot write the %s %s: %s"
                              % (what, path, error.strerror))
        if not trace:
            trace = prefix.run_file("trace")
        before = capture_files(captures)
        display.start(session.env)
        session.start_server()
        staging = open_staging(options, prefix, captures)
        prefix.map_f(staging.folder if staging else captures)
        # The 32-bit engine through the 32-bit loader: wine64 would start, find the program
        # 32-bit and start the other loader in its place.
        loader = WINE32_LOADER if bits == 32 else wine64
        command = display.wrap([loader] + engine_command(options, windows_path(engine), program,
                                                          dll, name, trace))
        keyboard = termios.tcgetattr(0) if options.interactive else None
        try:
            if keyboard:
                tty.setraw(0)
            status = session.run(command, Output(1, raw_terminal=bool(keyboard)), Output(2),
                                 0 if keyboard else None, staging, options.timeout)
        except Stopped as stop:
            stopped = stop
        finally:
            if keyboard:
                termios.tcsetattr(0, termios.TCSADRAIN, keyboard)
    finally:
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, signal.SIG_IGN)
        session.end()
        display.stop()
        if locked:
            prefix.restore()    # the staged files that are left move here
        if staging:
            staging.close()     # after the folder is gone: closing a watch on it waits
    calls, exit_event = read_trace(trace)
    if not options.trace and os.path.exists(trace):   # not made by a refusal (a bad --do)
        os.unlink(trace)
    if stopped:
        status = 128 + stopped.signum
        ended = "stopped by %s (exit status %d)" % (stopped, status)
    elif exit_event:
        status, ended = exit_event["status"], exit_event["ended"]
    else:
        # It refused, and said why: its status, or 125 where a desktop of its own hid it.
        return status or EXIT_RUNNER
    written = {n: f for n, f in capture_files(captures).items() if before.get(n) != f}
    leave_odd_entries(captures, written)
    if options.image and not write_image(options.image, [os.path.join(captures, n)
                                                         for n in written], status):
        status = EXIT_RUNNER
        ended = "exit status %d" % status
    summary = "%s logged, %s written (%d bytes), %s" % (
        plural(calls, "call"), plural(len(written), "capture file"),
        sum(size for size, _, _ in written.values()), ended)
    if options.log:
        summary += ", log %s" % os.path.abspath(options.log)
    warn(summary)
    return status


def write_image(path, captures, status):
    """Writes the image of the run's own captures; says whether it could."""
    try:
        mirdu_image.write_image(mirdu_image.assemble(captures), path)
    except mirdu_image.ImageError as error:
        warn("cannot write the image %s: %s; the program's exit status %d" % (path, error, status))
        return False
    warn("image %s written" % os.path.abspath(path))
    return True


def main(argv, home):
    """home: the folder of the mirdu-run command (tools/ of a checkout, or the release folder)."""
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(s) != signal.SIG_IGN:   # as nohup leaves SIGHUP: stays ignored
            signal.signal(s, on_signal)
    try:
        options = parse_options(argv)
        return run(options, home)
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except Stopped as stop:
        warn("stopped by %s" % stop)
        return 128 + stop.signum
    except OSError as error:
        warn("failed: %s" % error)
        return EXIT_RUNNER
