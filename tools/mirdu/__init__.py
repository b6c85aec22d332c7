"""mirdu: runs Windows client programs with mirdu.dll, the stand-in for a device-access
library, unattended, and tells what they did: every call the library answered, every block
they wrote, as capture files. Under Wine on Linux (or on Windows, tested under Wine only).

    import mirdu

    result = mirdu.run("client.exe", "--port", "1", as_dll="vendor.dll", captures="out")
    result.status, result.lines, result.calls, result.captures
    result.image("fw.hex")

A Session keeps one prefix and one engine for many runs; Session.start() gives a Run that
steps drive while the program runs (window, click, fill, open, answer, wait, close, menu, keys,
select, tab, check, uncheck). The pytest plugin (mirdu.plugin) gives a fixture `mirdu` with
run() and start()."""

# The names below are imported at first use: a mirdu-run command starts its engine sooner.
_PLACES = {"Failure": "options", "Call": "result", "Capture": "result", "Result": "result",
           "Run": "runs", "RunError": "runs", "StepError": "runs", "Session": "session",
           "run": "session"}

__all__ = sorted(_PLACES)


def __getattr__(name):
    if name not in _PLACES:
        raise AttributeError("module 'mirdu' has no attribute %r" % name)
    import importlib
    return getattr(importlib.import_module("." + _PLACES[name], __name__), name)


def __dir__():
    return sorted(set(globals()) | set(_PLACES))
