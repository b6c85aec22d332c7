"""The processes around a run: the prefix's wineserver and Wine's services, helpers run quietly,
the environment of Wine's processes, and the terminal's output and signals while a run lasts."""

import os
import signal
import time

from .options import EXIT_RUNNER, Failure


def quiet(command, env, timeout=30):
    """Runs a helper with no terminal and no output, in a session of its own; returns its
    exit status. posix_spawn, not subprocess: a short run starts sooner without it."""
    actions = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_RDWR, 0) for fd in (0, 1, 2)]
    pid = os.posix_spawn(command[0], command, env, file_actions=actions, setsid=True)
    deadline, pause = time.monotonic() + timeout, 0.0005
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise OSError("%s did not end within %d s" % (" ".join(command), timeout))
        time.sleep(pause)
        pause = min(pause * 2, 0.05)


def wine_environment(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    overrides = ["mscoree,mshtml=", os.environ.get("WINEDLLOVERRIDES", "")]
    env["WINEDLLOVERRIDES"] = ";".join(o for o in overrides if o)
    for variable in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(variable, None)
    return env


def engine_processes(engine_pid):
    """Every Linux process of the engine's: mirdu-run.exe leads a Unix process session of its
    own (setsid), which its Wine processes share."""
    found = []
    for name in os.listdir("/proc"):
        try:
            if name.isdigit() and os.getsid(int(name)) == engine_pid:
                found.append(int(name))
        except OSError:
            pass
    return found


class Output:
    """Standard output or error, which may go away (a closed pipe, a hung-up terminal): the run
    goes on. On a terminal in raw mode (--interactive) a line ends with CR LF."""

    def __init__(self, fd, raw_terminal=False):
        self.fd, self.raw_terminal = fd, raw_terminal
        self.gone = False

    def write(self, data):
        if self.raw_terminal:
            data = data.replace(b"\n", b"\r\n")
        while data and not self.gone:
            try:
                data = data[os.write(self.fd, data):]
            except OSError:
                self.gone = True


class Signals:
    """SIGINT, SIGTERM and SIGHUP while mirdu-run.exe runs: noted, not raised, so that the run is
    ended in order rather than cut off wherever the signal lands. The run's loop looks at
    received between its polls for events (every 0.2 s at most)."""

    def __init__(self):
        self.received = None
        self.saved = {}

    def __enter__(self):
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            self.saved[s] = signal.signal(s, self.note) if signal.getsignal(s) != signal.SIG_IGN \
                else signal.SIG_IGN
        return self

    def note(self, signum, frame):
        self.received = self.received or signum

    def __exit__(self, *exc):
        for s, handler in self.saved.items():
            signal.signal(s, handler)



class Server:
    """The prefix's wineserver and Wine's services, kept --linger seconds after a run."""

    def __init__(self, wine64, wineserver, env, linger):
        self.wine64, self.wineserver, self.env, self.linger = wine64, wineserver, env, linger
        self.started = False

    def quiet(self, command, timeout=30):
        return quiet(command, self.env, timeout)

    def start(self):
        """Starts the prefix's wineserver, detached from any terminal, unless one is running.
        It stays --linger seconds after its last program. Wine's own services, which the first
        program of a server starts and which live as long as the server, are started here in
        a session of their own: they are the server's, not the run's."""
        persist = ["-p%d" % self.linger] if self.linger else []
        status = self.quiet([self.wineserver] + persist)
        if status not in (0, 2):   # 2: a server of this prefix is running already
            raise Failure(EXIT_RUNNER, "%s could not start (status %d)" % (self.wineserver, status))
        self.started = status == 0
        if self.started and self.linger:
            self.quiet([self.wine64, "wineboot"], timeout=120)

    def end(self, engine_pid=None):
        """Ends every Wine process of the run (the engine's Unix process session). A server that the run
        started goes with all its processes unless it lingers; one that was running before
        stays, with its own."""
        if self.started and not self.linger:
            self.quiet([self.wineserver, "-k"])
            self.quiet([self.wineserver, "-w"])
        if engine_pid is None:
            return
        for pid in engine_processes(engine_pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
