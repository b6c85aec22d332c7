"""The console as Wine draws it on the terminal, turned back into the lines that were printed."""

import os
import re
import sys

PROMPT = b"Press ENTER to close this window"    # after an empty line, at unload


class Console:
    """Turns what Wine's console sends to the terminal back into the lines that were printed.
    Wine draws a screen: it hides and shows the cursor around every update and, for a space
    that ends what is on a line so far, erases to the end of the line and moves the cursor on
    (ESC[K ESC[1C); so the escapes are played, not dropped. pexpect's own emulator keeps a
    fixed screen, not the lines that scroll past, so it does not serve here."""

    ESCAPE = re.compile(rb"\x1b\[([0-9;?]*)[ -/]*([@-~])|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)"
                        rb"|\x1b[()#][ -~]|\x1b[^\[\]()#]|[\r\n\b]")
    # A line of the library's log: a call's name alone or followed by " : " and its values.
    CALL = re.compile(rb"(KVT|ExpFn)[A-Za-z0-9]+( : |$)")

    def __init__(self, sinks):
        self.sinks = sinks    # files that get each finished line
        self.line = bytearray()
        self.column = 0
        self.cut = b""        # an escape that the last read cut in two
        self.previous = None
        self.calls = 0
        self.prompts = 0

    def feed(self, data):
        data = self.cut + data
        self.cut = b""
        at = 0
        for match in self.ESCAPE.finditer(data):
            self.text(data[at:match.start()])
            self.control(match)
            at = match.end()
        rest = data[at:]
        escape = rest.find(b"\x1b")
        if escape >= 0 and len(rest) - escape < 64:
            rest, self.cut = rest[:escape], rest[escape:]
        self.text(rest)

    def text(self, data):
        if data:
            self.move(self.column)
            self.line[self.column:self.column + len(data)] = data
            self.column += len(data)

    def move(self, column):
        self.column = max(column, 0)
        if self.column > len(self.line):
            self.line += b" " * (self.column - len(self.line))

    def control(self, match):
        sequence = match.group()
        if sequence == b"\n":
            self.finish(bytes(self.line))
            self.line, self.column = bytearray(), 0
        elif sequence == b"\r":
            self.column = 0
        elif sequence == b"\b":
            self.move(self.column - 1)
        elif match.group(2):
            final = match.group(2)
            numbers = [int(n) if n.isdigit() else 0 for n in match.group(1).split(b";")]
            count = max(numbers[0], 1)
            if final == b"C":
                self.move(self.column + count)
            elif final == b"D":
                self.move(self.column - count)
            elif final == b"G":
                self.move(count - 1)
            elif final in b"Hf":   # a row of the screen has no place in a log: the column only
                self.move(max(numbers[1] if len(numbers) > 1 else 1, 1) - 1)
            elif final == b"K":
                if numbers[0] == 0:
                    del self.line[self.column:]
                elif numbers[0] == 1:
                    self.line[:self.column] = b" " * min(self.column, len(self.line))
                else:
                    self.line = bytearray(b" " * self.column)

    def finish(self, line):
        if self.CALL.match(line):
            self.calls += 1
        if line == PROMPT and self.previous == b"":
            self.prompts += 1
        self.previous = line
        for sink in self.sinks:
            sink.write(line + b"\n")
            sink.flush()

    def close(self):
        """Writes out a last line that has no line end."""
        if self.line:
            for sink in self.sinks:
                sink.write(bytes(self.line))
                sink.flush()


class Output:
    """Standard output, which may go away (a closed pipe, a hung-up terminal): the run goes on."""

    def __init__(self):
        self.fd = sys.stdout.fileno()
        self.gone = False

    def write(self, data):
        while data and not self.gone:
            try:
                data = data[os.write(self.fd, data):]
            except OSError:
                self.gone = True

    def flush(self):
        pass
