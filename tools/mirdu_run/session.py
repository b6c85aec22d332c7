"""The run's processes: the prefix's wineserver and Wine's services, and the program in a
pseudo-terminal of its own, read until it ends."""

import os
import select
import signal
import termios
import time

import pexpect

from .options import EXIT_RUNNER, Failure

# Wine's console draws into a screen of this size. Wide, so that it never wraps a line (a wrap
# would split one line of the log in two); the height does not change what it sends.
COLUMNS, ROWS = 1024, 50
KEY = b"\r"


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


def wine_environment(prefix, name):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    overrides = ["mscoree,mshtml=", os.environ.get("WINEDLLOVERRIDES", ""),
                 os.path.splitext(name)[0] + "=n"]
    env["WINEDLLOVERRIDES"] = ";".join(o for o in overrides if o)
    for variable in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(variable, None)
    return env


def session_processes(session):
    """Every process of the run: the program's Wine processes share the terminal's session."""
    found = []
    for name in os.listdir("/proc"):
        try:
            if name.isdigit() and os.getsid(int(name)) == session:
                found.append(int(name))
        except OSError:
            pass
    return found


def wine_reads_console(child):
    """Wine reads the terminal only while the program reads or peeks its console input, and
    switches it out of canonical mode for that; a key sent before goes through the line
    discipline and arrives as something else."""
    try:
        return not termios.tcgetattr(child.child_fd)[3] & termios.ICANON
    except termios.error:
        return False



def spawn(command, env):
    """The program in a new pseudo-terminal, the leader of a session of its own. pexpect's
    pauses are for people typing and for statuses not yet reaped: keys go at once, and the
    terminal is closed only after the program has been waited for."""
    child = pexpect.spawn(command[0], command[1:], env=env, dimensions=(ROWS, COLUMNS))
    child.delaybeforesend = None
    child.ptyproc.delayafterclose = 0
    return child


class Session:
    """The program in a pseudo-terminal of its own, and the Wine processes of the run."""

    def __init__(self, wine64, wineserver, env, linger):
        self.wine64, self.wineserver, self.env, self.linger = wine64, wineserver, env, linger
        self.child = None
        self.server_started = False

    def quiet(self, command, timeout=30):
        return quiet(command, self.env, timeout)

    def start_server(self):
        """Starts the prefix's wineserver, detached from any terminal, unless one is running.
        It stays --linger seconds after its last program. Wine's own services, which the first
        program of a server starts and which live as long as the server, are started here in
        a session of their own: they are the server's, not the run's, and hold no terminal."""
        persist = ["-p%d" % self.linger] if self.linger else []
        status = self.quiet([self.wineserver] + persist)
        if status not in (0, 2):   # 2: a server of this prefix is running already
            raise Failure(EXIT_RUNNER, "%s could not start (status %d)" % (self.wineserver, status))
        self.server_started = status == 0
        if self.server_started and self.linger:
            self.quiet([self.wine64, "wineboot"], timeout=120)

    def run(self, command, console, raw_output, timeout, interactive, staging=None):
        """Runs the command until the program ends, moving staged files as they are closed.
        Returns its exit status, or None when the timeout ran out first (the program is then
        still running)."""
        self.child = child = spawn(command, self.env)
        deadline = time.monotonic() + timeout if timeout else None
        keyboard = 0 if interactive else None
        closed = False
        keys_sent = 0

        def read():
            nonlocal closed
            try:
                data = os.read(child.child_fd, 1 << 16)
            except OSError:   # EIO: no process holds the terminal any more
                data = b""
            closed = not data
            if raw_output:
                raw_output.write(data)
            console.feed(data)

        while child.isalive():
            if deadline is not None and time.monotonic() >= deadline:
                return None
            watched = (([] if closed else [child.child_fd]) + ([] if keyboard is None else [0])
                       + ([staging] if staging else []))
            # Once the prompt is shown, Wine's switch to reading the terminal is looked for
            # often: it sends nothing when it does.
            waiting = not interactive and console.prompts > keys_sent
            ready = select.select(watched, [], [], 0.005 if waiting or closed else 0.1)[0]
            if child.child_fd in ready:
                read()
            if staging in ready:
                staging.drain()
            if 0 in ready:
                typed = os.read(0, 4096)
                if typed:
                    child.send(typed)
                else:
                    keyboard = None
            if waiting and wine_reads_console(child):
                child.send(KEY)
                keys_sent += 1
        # Only what the program left in the terminal: Wine's services, when the program's own
        # start began them, may hold it open for as long as the server lives.
        quiet_until = time.monotonic() + 0.3
        while not closed and time.monotonic() < quiet_until:
            if select.select([child.child_fd], [], [], 0.1)[0]:
                read()
        if child.signalstatus is not None:
            return 128 + child.signalstatus
        return child.exitstatus

    def end(self):
        """Ends every Wine process of the run. A server that the run started goes with all its
        processes unless it lingers; one that was running before stays, with its own."""
        if self.server_started and not self.linger:
            self.quiet([self.wineserver, "-k"])
            self.quiet([self.wineserver, "-w"])
        if self.child is None:
            return
        for pid in session_processes(self.child.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        deadline = time.monotonic() + 10
        while self.child.isalive() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.child.close(force=True)
