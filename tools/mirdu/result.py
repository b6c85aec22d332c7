"""What a run left: the program's status, the console's lines, the library's calls with their
values, and the capture files the run wrote, in order."""

import os
import re

from . import image

HEX = re.compile(r"[0-9A-F]{8}")


def value(text):
    """A value of a call's line as an integer: hexadecimal where the library prints eight hex
    digits, decimal for host numbers and ids, 1 and 0 for KVTReset's "on" and "off"."""
    if HEX.fullmatch(text):
        return int(text, 16)
    if text in ("on", "off"):
        return int(text == "on")
    try:
        return int(text)
    except ValueError:
        return text


class Capture:
    """A capture file of the run: its path and name, its number (the library's count of writes
    since its load), the write call that made it, the device address and its size."""

    def __init__(self, folder, name, size, call=None):
        key = image.capture_key(name)
        self.path = os.path.join(folder, name)
        self.name = name
        self.number, self.addr = (key[0], key[2]) if key else (None, None)
        self.size = size
        self.call = call

    def data(self):
        with open(self.path, "rb") as f:
            return f.read()

    def __repr__(self):
        return "Capture(%r, number=%r, addr=0x%X, size=%d)" % (self.name, self.number,
                                                               self.addr or 0, self.size)


class Call:
    """A call of the library's, from its line: its name, its values by name as integers, the
    line itself and, for a write, its capture (None when no file of that name was written)."""

    def __init__(self, name, args, line, capture_name=None):
        self.name, self.args, self.line = name, args, line
        self.capture_name = capture_name
        self.capture = None

    def __repr__(self):
        values = ", ".join("%s=%d" % (k, v) if k in ("host", "id") else
                           "%s=0x%X" % (k, v) if isinstance(v, int) else "%s=%r" % (k, v)
                           for k, v in self.args.items())
        return "Call(%s%s)" % (self.name, ": " + values if values else "")


class Result:
    """status: the program's exit status as Windows gives it (0xC0000005 for a crash with an
    access violation, where the mirdu-run command exits with its low byte); lines: the
    console's lines; calls; captures, in the order of their numbers; ended: how the run ended,
    in words; messages: what mirdu-run said; windows: the windows named at the end; log and
    trace: their paths when the run kept them; read_back: with memory=True, the bytes that the
    program's reads asked for, else None."""

    def __init__(self, status, lines, calls, captures, ended, messages, windows, log=None,
                 trace=None, screenshot=None, read_back=None):
        self.status, self.lines, self.calls, self.captures = status, lines, calls, captures
        self.ended, self.messages, self.windows = ended, messages, windows
        self.log, self.trace, self.screenshot = log, trace, screenshot
        self.read_back = read_back

    def image(self, path, fill=0xFF, span=None):
        """Writes the memory image of the run's captures to path, as mirdu-image -o path
        writes it (.hex or .ihex: Intel HEX, .bin: raw binary; span: (first, last) address,
        fill: the byte of gaps in a binary image); returns path."""
        image.write_image(image.assemble([c.path for c in self.captures]), path, fill=fill,
                          span=span)
        return path

    def __repr__(self):
        return "Result(status=%r, %d lines, %d calls, %d captures)" % (
            self.status, len(self.lines), len(self.calls), len(self.captures))


def call_of(event):
    """A Call from a trace record of a call's line."""
    args = {name: value(text) for name, text in event.get("args", {}).items()}
    return Call(event["call"], args, event["line"], event.get("capture"))


def link(calls, captures):
    """Each write call's capture, and each capture's call, by name: a capture of a later load
    replaces an earlier one of the same name, as the library's files do."""
    by_name = {c.name: c for c in captures}
    for call in calls:
        if call.capture_name:
            call.capture = by_name.get(call.capture_name)
    for call in calls:
        if call.capture is not None:
            call.capture.call = call
