"""What keeps programs of a machine type from running here, as only Linux can tell: the kernel,
which no package changes, 32-bit Wine, which its packages bring (probe-32bit tells both), and
the prefix."""

import os
import subprocess

from . import files
from .options import Failure

PROBE_TIMEOUT = 30   # seconds: the probe runs a 96-byte program and `wine --version`


def why_32bit_cannot_run():
    """None when 32-bit programs run under Wine here; otherwise the reason, in one line."""
    probe = files.probe()
    if not os.path.isfile(probe):
        return "no %s, which tells whether this machine runs them (it comes with mirdu-run)" % probe
    why = ask(probe, ["--wine"])
    # Wine is checked only where the kernel runs 32-bit code: asked again without it, the
    # probe tells which of the two is missing.
    if why and ask(probe, []):
        why += ", which no package changes"
    return why


def ask(probe, flags):
    """The probe's reason, None when it answers yes."""
    try:
        # Through the shell: an installer need not keep the file's executable mode.
        done = subprocess.run(["/bin/sh", probe] + flags, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, text=True, errors="replace",
                              timeout=PROBE_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "%s failed: %s" % (probe, error)
    if done.returncode == 0:
        return None
    lines = done.stdout.strip().splitlines()
    return lines[-1] if lines else "%s says no (exit status %d)" % (probe, done.returncode)


def why_cannot_run(bits, prefix):
    """What keeps programs of that machine type from running in the prefix, empty when nothing
    does."""
    why = why_32bit_cannot_run() if bits == 32 else None
    if why:
        return why
    try:
        prefix.system_folder(bits)
    except Failure as failure:
        return str(failure)
    return ""
