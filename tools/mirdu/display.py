"""Where the program's windows are drawn. By default nowhere: the graphics driver is null, as
in a Windows session with no display, so windows and consoles work and need no X server.
--display draws them on $DISPLAY; --screenshot without it draws them on a private virtual X
server (Xvfb) for the run, so that the picture shows something.

Wine fixes a desktop's driver when the desktop starts. A prefix whose registry names the null
driver (mirdu-run's own, the project's) runs the program on its default desktop; otherwise
the program runs on a desktop of its own with the driver named for it (explorer /desktop),
which costs about a second and leaves the prefix as it was."""

import os
import re
import subprocess

from .options import EXIT_MISSING, EXIT_RUNNER, Failure

DESKTOP_SIZE = "1280x1024"
XVFB = "/usr/bin/Xvfb"


def registry_names_null_driver(prefix):
    """Whether the prefix's user registry sets HKCU\\Software\\Wine\\Drivers Graphics=null."""
    try:
        with open(os.path.join(prefix, "user.reg"), encoding="latin-1") as f:
            text = f.read()
    except OSError:
        return False
    section = re.search(r"^\[Software\\\\Wine\\\\Drivers\][^\n]*\n(.*?)(?=^\[|\Z)", text,
                        re.M | re.S)
    return bool(section and re.search(r'^"Graphics"="null"$', section.group(1), re.M))


class Display:
    """The X server and desktop of a session's runs. shown: on $DISPLAY; drawn: somewhere, on a
    virtual X server of its own when not shown, for screenshots."""

    def __init__(self, shown, drawn, prefix):
        self.shown = shown
        self.drawn = shown or drawn
        self.prefix = prefix
        self.xvfb = None
        self.name = None   # the X display the windows go to, or None

    def start(self, env):
        """Sets env for the run; starts Xvfb when the windows are drawn and not shown."""
        if self.shown:
            self.name = os.environ.get("DISPLAY")
            if not self.name:
                raise Failure(EXIT_RUNNER, "--display needs an X display: DISPLAY is not set")
        elif self.drawn:
            self.name = self.start_xvfb()
        if self.name:
            env["DISPLAY"] = self.name

    def start_xvfb(self):
        if not os.path.exists(XVFB):
            raise Failure(EXIT_MISSING, "--screenshot draws the windows on a virtual X server, "
                          "and Xvfb is not installed (apt-get install xvfb); or give --display")
        read, write = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                [XVFB, "-displayfd", str(write), "-screen", "0", DESKTOP_SIZE + "x24",
                 "-nolisten", "tcp"], pass_fds=(write,), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            os.close(write)
            write = None
            number = b""
            with os.fdopen(read, "rb") as answer:   # the number, once it is ready
                read = None
                number = answer.readline().strip()
        finally:
            for fd in (read, write):
                if fd is not None:
                    os.close(fd)
        if not number.isdigit():
            self.stop()
            raise Failure(EXIT_RUNNER, "Xvfb did not start")
        return ":" + number.decode()

    def wrap(self, command):
        """The command as it runs on the run's desktop."""
        driver = "x11" if self.name else "null"
        if driver == "null" and registry_names_null_driver(self.prefix):
            return command
        desktop = "mirdu-run-%s,%s,%s" % (driver, DESKTOP_SIZE, driver)
        return command[:1] + ["explorer", "/desktop=" + desktop] + command[1:]

    def stop(self):
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
            self.xvfb = None
