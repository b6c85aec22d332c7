"""A run going on in a session: the steps' verbs while the program runs, its events as they
come, and the Result it leaves; the errors a run raises. Imported at a session's first run,
while its mirdu-run.exe is still starting."""

import queue
import shlex
import signal
import time

from .contract import EXIT_RUNNER, EXIT_TIMEOUT, LINE_EVENTS, windows_status
from .engine import PATIENCE
from .options import warn
from .result import Capture, Result, call_of, link
from .staging import Staging, why_not



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


class Run:
    """A run going on. Its step methods are the steps' verbs, done while the program runs, each
    waiting until the step is done (or its time is up) and raising StepError when it cannot
    be; wait() waits for the program's end."""

    def __init__(self, session, captures, staging, on_event, steps, options):
        self.session, self.captures, self.staging = session, captures, staging
        self.on_event, self.sent, self.options = on_event, steps, options
        self.lines, self.calls, self.messages, self.windows = [], [], [], []
        self.steps, self.files = {}, []
        self.exit = self.status = self.summary = None
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
            if "summary" in event:
                self.summary = event
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
        elif "line" in event and (kind is None or kind in LINE_EVENTS):
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
        """The engine went before the run's end (killed, crashed): said as its messages are."""
        status = self.session.engine.wait(5)
        how = ("killed by %s" % signal.Signals(-status).name if status < 0
               else "exit status %d" % status)
        self.handle({"say": "mirdu-run.exe ended before the run did (%s): the program was "
                            "ended, and lines may be missing from the log" % how})
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

    def console_keys(self, text):
        """Typed in the program's console (for runs started with interactive=True)."""
        self.session.engine.send("keys", text)

    def stop(self, status=EXIT_RUNNER, why="stopped"):
        """Ends the run as a stop: the windows are named, the program's processes ended."""
        if not self.done:
            self.session.engine.send("stop", status, why=why)

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

    def menu(self, path, timeout=None):
        """Chooses a menu item by its path, "File>Save As..."; the item's command id."""
        return self.step("menu " + shlex.quote(path), timeout)["item"]["id"]

    def keys(self, text, control=None, timeout=None):
        """Types keys ("line{ENTER}", "^s") into the focused control, or control ("#ID")."""
        words = [control, text] if control is not None else [text]
        self.step("keys " + " ".join(map(shlex.quote, words)), timeout)

    def select(self, name, item, timeout=None):
        """Selects an item of a combo box, list box, list view or tree view ("Flash>Bank 1")."""
        self.step("select %s %s" % (shlex.quote(name), shlex.quote(item)), timeout)

    def tab(self, text, control=None, timeout=None):
        words = [control, text] if control is not None else [text]
        self.step("tab " + " ".join(map(shlex.quote, words)), timeout)

    def check(self, name, timeout=None):
        """Checks a check box or radio button; whether it had to be clicked."""
        return self.step("check " + shlex.quote(name), timeout)["changed"]

    def uncheck(self, name, timeout=None):
        """Unchecks a check box; whether it had to be clicked."""
        return self.step("uncheck " + shlex.quote(name), timeout)["changed"]

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
        if isinstance(status, int):
            status = windows_status(status)
        result = Result(status, self.lines, self.calls, captures, exit.get("ended", ""),
                        self.messages, self.windows, self.options.get("log"),
                        self.options.get("trace"), self.options.get("screenshot"),
                        exit.get("memory", {}).get("read_back"))
        if check and self.done and not exit.get("program"):
            summary = self.summary["say"] if self.summary else None
            said = [m for m in self.messages if m != summary]
            raise RunError("\n".join(said) or result.ended or "the run failed", status, result)
        return result
