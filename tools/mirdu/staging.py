"""Drive F: as a staging folder. Wine reads the whole folder before it creates a file that is
not there yet (to find a name that differs only in case), so creating files in a folder slows
as it fills. During a run F: is a folder of the runner's inside the capture folder, and every
file that the program closes after writing is moved (renamed) into the capture folder at once,
woken by the kernel (inotify); the folder Wine looks through stays nearly empty.

The capture folder ends as it would without staging: a later file of the same name replaces
the earlier one, as the library's own replacement does. Where that cannot hold (a file there
that the library could not replace), the run uses a plain F: instead."""

import ctypes
import os
import stat
import struct

from .image import capture_key, kind_of

from .options import warn

IN_CLOSE_WRITE, IN_Q_OVERFLOW = 0x08, 0x4000
EVENT = struct.Struct("iIII")   # struct inotify_event, without its name


def unreplaceable(path, st):
    """Why the library's CreateFileA could not replace this file, or would replace another
    file's bytes, so that a rename over it would give another result; None when it could."""
    if stat.S_ISLNK(st.st_mode):
        return "is a symbolic link"
    if not stat.S_ISREG(st.st_mode):
        return "is not a plain file"
    if st.st_nlink > 1:
        return "has other hard links"
    if not os.access(path, os.W_OK):
        return "cannot be written (read-only)"
    return None


def why_not(captures):
    """Why staging could not end as a plain run would, from what the capture folder holds."""
    for entry in os.scandir(captures):
        if not capture_key(entry.name, any_case=True):
            continue
        path = os.path.join(captures, entry.name)
        if not capture_key(entry.name):
            return "%s differs from a capture's name only in case" % path
        reason = unreplaceable(path, entry.stat(follow_symlinks=False))
        if reason:
            return "%s %s, and the library would fail to replace it" % (path, reason)
    return None


def move(folder, captures, name, older_stays=False):
    """Moves one entry of the staging folder into the capture folder. Returns None when it
    was moved or is gone, else why it stays. older_stays: a file that the capture folder holds
    a newer copy of stays (after a killed run, the capture folder may have moved on)."""
    source, target = os.path.join(folder, name), os.path.join(captures, name)
    try:
        mine = os.lstat(source)
    except FileNotFoundError:
        return None
    if capture_key(name) and not stat.S_ISREG(mine.st_mode):
        return "it is %s, no capture file" % kind_of(mine.st_mode)
    try:
        theirs = os.lstat(target)
    except FileNotFoundError:
        theirs = None
    if theirs is not None:
        if not stat.S_ISREG(mine.st_mode):
            return "%s is there already" % target
        reason = unreplaceable(target, theirs)
        if reason:
            return "%s %s" % (target, reason)
        if older_stays and theirs.st_mtime_ns > mine.st_mtime_ns:
            return "%s is newer" % target
    try:
        os.rename(source, target)
    except FileNotFoundError:
        return None
    except OSError as error:
        return "%s: %s" % (target, error.strerror)
    return None


def empty(folder, captures, older_stays):
    """Moves everything left in a staging folder into the capture folder and removes the
    staging folder; what cannot move stays, named on standard error. Returns how many moved."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return 0
    moved = 0
    for name in sorted(names):
        why = move(folder, captures, name, older_stays)
        if why:
            warn("%s stays in %s: %s" % (name, folder, why))
        else:
            moved += 1
    try:
        os.rmdir(folder)
    except OSError:
        pass
    return moved


class Watch:
    """inotify on one folder for files closed after writing, through libc."""

    def __init__(self, folder):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            self.fail("inotify_init1")
        if self.libc.inotify_add_watch(self.fd, os.fsencode(folder), IN_CLOSE_WRITE) < 0:
            os.close(self.fd)
            self.fail("inotify_add_watch")

    @staticmethod
    def fail(what):
        number = ctypes.get_errno()
        raise OSError(number, "%s: %s" % (what, os.strerror(number)))

    def names(self):
        """The names closed after writing since the last call; None when the kernel's queue
        overflowed and some were lost (look at the whole folder then)."""
        found = []
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                return found
            at = 0
            while at < len(data):
                _, mask, _, length = EVENT.unpack_from(data, at)
                name = data[at + EVENT.size:at + EVENT.size + length].rstrip(b"\0")
                at += EVENT.size + length
                if mask & IN_Q_OVERFLOW:
                    found = None
                elif found is not None and name:
                    found.append(os.fsdecode(name))

    def close(self):
        os.close(self.fd)


class Staging:
    """The staging folder of one run: made empty on the capture folder's file system, watched
    from before the program starts."""

    def __init__(self, folder, captures):
        self.folder, self.captures = folder, captures
        self.watch = None

    def open(self):
        """Makes and watches the folder. Raises OSError with the reason when it cannot."""
        try:
            os.mkdir(self.folder, 0o755)
        except FileExistsError:
            if os.listdir(self.folder):
                raise OSError("%s holds files that an earlier run could not move; move them "
                              "away" % self.folder)
        if os.stat(self.folder).st_dev != os.stat(self.captures).st_dev:
            raise OSError("%s is not on the file system of %s" % (self.folder, self.captures))
        self.watch = Watch(self.folder)

    def fileno(self):
        return self.watch.fd

    def drain(self):
        """Moves what the program has closed. A file that cannot move yet stays for the end."""
        names = self.watch.names()
        if names is None:
            names = os.listdir(self.folder)
        for name in names:
            move(self.folder, self.captures, name)

    def close(self):
        if self.watch:
            self.watch.close()
            self.watch = None
