"""mirdu-run.exe inside Wine, the engine of a run: it gets commands on its standard input and
gives events on its standard output, one JSON object a line each (runner/host.h tells both).
Threads take its output as it comes, so that it never waits on a full pipe: events go to a
queue, questions are answered at once, Wine's own messages on its standard error are passed on,
and the staging folder is drained meanwhile."""

import json
import os
import queue
import select
import subprocess
import threading

from .options import EXIT_RUNNER

# How long the engine may take to end once its run has ended or been stopped: it names the
# program's windows and ends its processes, waiting for each a while.
PATIENCE = 30


class Engine:
    """answers: question -> function(event) -> answer text. errors: where Wine's own messages
    go (a function of bytes). folder: the engine's working folder until a run gives it its own
    (None: this process's). The staging folder of the run going on, if any, is drained while
    the engine runs (use_staging)."""

    def __init__(self, command, env, answers, errors, folder=None):
        self.command, self.env, self.answers, self.errors = command, env, answers, errors
        self.folder = folder
        self.staging = None
        self.events = queue.Queue()
        self.process = None
        self.send_lock = threading.Lock()
        self.drain_lock = threading.Lock()
        self.threads = []
        self.stop_reading = None

    def start(self):
        self.process = subprocess.Popen(
            self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=self.env, cwd=self.folder, start_new_session=True)
        self.stop_reading, stop_write = os.pipe()
        self.stop_write = stop_write
        for target in (self.read_events, self.pass_errors, self.drain_staging):
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self.threads.append(thread)

    @property
    def pid(self):
        return self.process.pid

    def send(self, verb, value=True, **more):
        """One command, {verb: value, ...more}; False when the engine has gone."""
        line = json.dumps(dict({verb: value}, **more)) + "\n"
        with self.send_lock:
            try:
                self.process.stdin.write(line.encode())
                self.process.stdin.flush()
                return True
            except (BrokenPipeError, ValueError, OSError):
                return False

    def close_input(self):
        with self.send_lock:
            try:
                self.process.stdin.close()
            except OSError:
                pass

    def read_events(self):
        for line in self.process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                self.errors(line)
                continue
            if "ask" in event:
                self.send("answer", self.answer(event))
            else:
                self.events.put(event)
        self.events.put(None)

    def answer(self, event):
        if event["ask"] == "drain":
            self.drain()
            return ""
        ask = self.answers.get(event["ask"])
        return ask(event) if ask else ""

    def pass_errors(self):
        while True:
            data = self.process.stderr.read1(1 << 16)
            if not data:
                return
            self.errors(data)

    def drain(self):
        with self.drain_lock:
            if self.staging:
                self.staging.drain()

    def use_staging(self, staging):
        """The staging folder of the run that starts, or None."""
        with self.drain_lock:
            self.staging = staging
        os.write(self.stop_write, b"s")

    def drain_staging(self):
        """Moves each capture that the program closes, as it closes it."""
        while True:
            staging = self.staging
            ready = select.select([self.stop_reading] + ([staging] if staging else []), [], [])[0]
            if self.stop_reading in ready:
                if os.read(self.stop_reading, 1) == b"x":
                    return
            elif staging:
                self.drain()

    def next_event(self, timeout=None):
        """The next event; None once the engine's output has ended; raises queue.Empty after
        timeout seconds without one."""
        return self.events.get(timeout=timeout)

    def wait(self, timeout=PATIENCE):
        """The engine's exit status, EXIT_RUNNER when it did not end in time."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return EXIT_RUNNER

    def finish(self):
        """Stops the threads once the engine has gone; its processes are ended by the caller."""
        if self.stop_reading is not None:
            os.write(self.stop_write, b"x")
        for thread in self.threads:
            thread.join(timeout=10)
        if self.stop_reading is not None:
            os.close(self.stop_reading)
            os.close(self.stop_write)
            self.stop_reading = None
        self.drain()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass
