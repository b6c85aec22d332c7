"""mirdu: runs Windows client programs with mirdu.dll, the stand-in for a device-access
library, unattended, and tells what they did: every call the library answered, every block
they wrote, as capture files. Under Wine on Linux (or on Windows, tested under Wine only).

    import mirdu

    result = mirdu.run("client.exe", "--port", "1", as_dll="vendor.dll", captures="out")
    result.status, result.lines, result.calls, result.captures
    result.image("fw.hex")

A Session keeps one prefix and one engine for many runs; Session.start() gives a Run that
steps drive while the program runs (window, click, fill, open, answer, wait, close). The pytest
plugin (mirdu.plugin) gives a fixture `mirdu` with run() and start()."""

from .options import Failure
from .result import Call, Capture, Result
from .session import Run, RunError, Session, StepError, run

__all__ = ["Call", "Capture", "Failure", "Result", "Run", "RunError", "Session", "StepError",
           "run"]
