"""The Wine prefix and what a run changes in it (drive F:), noted in a journal first, so that
the next run on the prefix puts back what a killed run left behind, its staged capture files
included."""

import fcntl
import json
import os
import time
import zlib

from .options import EXIT_MISSING, EXIT_RUNNER, Failure, warn
from .server import quiet


def default_prefix():
    data = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                            "share")
    return os.path.join(data, "mirdu", "wineprefix")


# How long a run waits for another run's hold on the prefix before it gives up.
LOCK_PATIENCE = 600


class Prefix:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.drive_f = os.path.join(self.path, "dosdevices", "f:")
        self.saved_f = os.path.join(self.path, "mirdu-run.saved-f")   # the user's F: meanwhile
        self.journal = os.path.join(self.path, "mirdu-run.journal")
        self.state = {}

    def is_prefix(self):
        return all(os.path.exists(os.path.join(self.path, p)) for p in ("system.reg", "dosdevices"))

    def check(self):
        """Refuses a folder that is not a prefix, nor one that Wine began or may make, before
        anything is written beside it."""
        begun = os.path.isdir(os.path.join(self.path, "dosdevices"))   # a making cut short
        if (os.path.lexists(self.path) and not begun and not self.is_prefix()
                and (not os.path.isdir(self.path) or os.listdir(self.path))):
            raise Failure(EXIT_RUNNER, "%s is not a Wine prefix, nor an empty folder: give "
                          "--prefix a Wine prefix or a new folder" % self.path)

    def is_wide(self):
        """Whether the prefix runs 64-bit programs (all but those made as 32-bit ones)."""
        with open(os.path.join(self.path, "system.reg"), encoding="latin-1") as f:
            return "#arch=win32" not in f.read(4096)

    def lock(self, patience=LOCK_PATIENCE):
        """Held for the whole run: one run at a time changes drive F:. The same lock file as
        the project's tools/wine-env uses to make the prefix. Another run's lock is waited
        for, but not for ever: a run or session that hangs would otherwise hang every later
        one with it."""
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.lock_file = open(self.path + ".lock", "a+")
        if not self.try_lock():
            holder = self.holder()
            warn("waiting for another run on %s%s (one run at a time uses a prefix)"
                 % (self.path, " (process %s)" % holder if holder else ""))
            deadline = time.monotonic() + patience
            while not self.try_lock():
                if time.monotonic() >= deadline:
                    self.lock_file.close()
                    raise Failure(EXIT_RUNNER, "another run%s has held %s for %s s; give "
                                  "--prefix another folder, or end that run"
                                  % (" (process %s)" % holder if holder else "", self.path,
                                     "%g" % patience))
                time.sleep(0.1)
        self.lock_file.truncate(0)
        self.lock_file.write("%d\n" % os.getpid())
        self.lock_file.flush()

    def try_lock(self):
        try:
            fcntl.flock(self.lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False

    def holder(self):
        """The run that holds the lock, as it wrote itself into the lock file; None where
        another tool holds it or the run that wrote itself there was killed."""
        self.lock_file.seek(0)
        text = self.lock_file.read(32).strip()
        try:
            os.kill(int(text), 0)
        except (ValueError, ProcessLookupError):
            return None
        except PermissionError:
            pass
        return text

    def unlock(self):
        self.lock_file.truncate(0)
        self.lock_file.close()

    def make_if_needed(self, env, wine64, wineserver):
        if os.path.exists(os.path.join(self.path, ".mirdu-ready")) or self.is_prefix():
            return
        warn("making the Wine prefix %s (once, about 20 s)" % self.path)
        os.makedirs(self.path, exist_ok=True)
        try:
            quiet([wine64, "wineboot", "-i"], env, timeout=300)
            # Windows and consoles that work with no display, nothing drawn (display.py).
            quiet([wine64, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics",
                   "/d", "null", "/f"], env)
            quiet([wineserver, "-w"], env, timeout=120)
        finally:
            quiet([wineserver, "-k"], env)
        if not self.is_prefix():
            raise Failure(EXIT_RUNNER, "Wine did not make a prefix in %s" % self.path)
        open(os.path.join(self.path, ".mirdu-ready"), "w").close()

    def system_folder(self, bits):
        """The folder of the prefix where a program of that bitness finds system DLLs; a
        prefix that cannot run it is refused."""
        wide = self.is_wide()
        windows = os.path.join(self.path, "drive_c", "windows")
        if not wide:
            if bits == 64:
                raise Failure(EXIT_RUNNER, "%s is a 32-bit Wine prefix: it cannot run 64-bit "
                              "programs; give --prefix a 64-bit one" % self.path)
            return os.path.join(windows, "system32")
        if bits == 32:
            if not os.path.exists(os.path.join(windows, "syswow64", "kernel32.dll")):
                raise Failure(EXIT_MISSING, "the Wine prefix %s has no 32-bit half (it was made "
                              "before 32-bit Wine was installed); remove it or give --prefix a "
                              "new folder, and a new one is made" % self.path)
            return os.path.join(windows, "syswow64")
        return os.path.join(windows, "system32")

    def staging_folder(self, captures):
        """Inside the capture folder, so on its file system; one name per prefix, so that runs
        on other prefixes into the same folder do not meet."""
        tag = "%08x" % zlib.crc32(self.path.encode())
        return os.path.join(captures, ".mirdu-run-staging-" + tag)

    def note(self, **changes):
        self.state.update(changes)
        with open(self.journal + ".tmp", "w") as f:
            json.dump(self.state, f)
        os.replace(self.journal + ".tmp", self.journal)

    def map_f(self, folder):
        if os.path.lexists(self.saved_f):
            raise Failure(EXIT_RUNNER, "%s holds drive F: as it was before an earlier run that "
                          "was killed; put it back as dosdevices/f: or remove it" % self.saved_f)
        if os.path.lexists(self.drive_f):
            os.rename(self.drive_f, self.saved_f)
        self.note(link=folder)
        os.symlink(folder, self.drive_f)

    def restore(self):
        """Takes away a run's drive F: link, puts back the F: that was there before and moves
        staged capture files into their capture folder, from the journal of this run or of
        one that was killed."""
        state, killed = self.state, False
        if not state and os.path.exists(self.journal):
            with open(self.journal) as f:
                state, killed = json.load(f), True
        if os.path.islink(self.drive_f) and os.readlink(self.drive_f) == state.get("link"):
            os.unlink(self.drive_f)
        if os.path.lexists(self.saved_f):
            if os.path.lexists(self.drive_f):
                warn("drive F: was changed during the run; the one from before is kept as %s"
                     % self.saved_f)
            else:
                os.rename(self.saved_f, self.drive_f)
        if state.get("staging"):
            from . import staging
            moved = staging.empty(state["staging"], state["captures"], killed)
            if killed and moved:
                warn("moved %d file%s that a killed run on %s left in %s into %s"
                     % (moved, "" if moved == 1 else "s", self.path, state["staging"],
                        state["captures"]))
        if os.path.exists(self.journal):
            os.unlink(self.journal)
        self.state = {}
