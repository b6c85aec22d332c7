"""Where mirdu's Windows files are: mirdu-run.exe and mirdu.dll of each build (win32, win64),
and probe-32bit. In the wheel they are inside the package (_files/); in a checkout in build/
beside tools/; in the release folder beside the mirdu-run command (a zip that holds this
package)."""

import os

from .options import EXIT_MISSING, Failure

PACKAGE = os.path.dirname(os.path.abspath(__file__))
PLACES = [os.path.join(PACKAGE, "_files"),                            # the wheel
          os.path.join(os.path.dirname(PACKAGE), os.pardir, "build"),  # a checkout's tools/
          os.path.dirname(os.path.dirname(PACKAGE))]                  # the release folder


def engine(machine):
    """mirdu-run.exe of that build: win32 or win64."""
    looked = []
    for base in PLACES:
        path = os.path.normpath(os.path.join(base, machine, "mirdu-run.exe"))
        if os.path.isfile(path):
            return path
        looked.append(path)
    raise Failure(EXIT_MISSING, "no mirdu-run.exe of the %s build, which runs the program inside "
                  "Wine (make build makes it): looked for %s" % (machine, ", ".join(looked)))


def probe():
    """probe-32bit, which tells whether this machine runs 32-bit programs under Wine."""
    for base in (PLACES[0], os.path.dirname(PACKAGE), PLACES[2]):
        path = os.path.join(base, "probe-32bit")
        if os.path.isfile(path):
            return path
    return os.path.join(os.path.dirname(PACKAGE), "probe-32bit")
