"""Why a 32-bit program cannot run here, as probe-32bit beside the mirdu-run command tells (in
tools/ of a checkout, at the top of the release folder): the kernel, which no package changes,
or 32-bit Wine, which its packages bring."""

import os
import subprocess

PROBE_TIMEOUT = 30   # seconds: the probe runs a 96-byte program and `wine --version`


def why_32bit_cannot_run(home):
    """None when 32-bit programs run under Wine here; otherwise the reason, in one line."""
    probe = os.path.join(home, "probe-32bit")
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
        done = subprocess.run([probe] + flags, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              text=True, errors="replace", timeout=PROBE_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "%s failed: %s" % (probe, error)
    if done.returncode == 0:
        return None
    lines = done.stdout.strip().splitlines()
    return lines[-1] if lines else "%s says no (exit status %d)" % (probe, done.returncode)
