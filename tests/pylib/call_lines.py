"""The line that each of the library's calls prints, written once for the tests: the model, the
end-to-end tests, and the unit tests (through a header made from this table when they are
built: python3 call_lines.py --cpp FILE) format their expected lines from it."""

import re
import sys

LINES = {
    "KVTFindFirst": "KVTFindFirst : host = %d, id = %d",
    "KVTFindNext": "KVTFindNext : host = %d, id = %d",
    "KVTFindClose": "KVTFindClose",
    "KVTOpen": "KVTOpen : host = %d, id = %d",
    "KVTClose": "KVTClose",
    "KVTWrite": "KVTWrite : buf = %08X, addr = %08X, len = %08X",
    "KVTRead": "KVTRead : buf = %08X, addr = %08X, len = %08X",
    "KVTSyncWrite": "KVTSyncWrite : buf = %08X, addr = %08X, len = %08X",
    "KVTSyncRead": "KVTSyncRead : buf = %08X, addr = %08X, len = %08X",
    "KVTGo": "KVTGo",
    "KVTReset": "KVTReset : %s",
    "KVTSyncSoftReset": "KVTSyncSoftReset",
    "ExpFn0000": "ExpFn0000 : %08X %08X",
    "ExpFn0001": "ExpFn0001",
    "ExpFn0002": "ExpFn0002",
    "ExpFn0003": "ExpFn0003",
    "ExpFn0004": "ExpFn0004",
    "ExpFn0005": "ExpFn0005 : %08X %08X %08X %08X",
}

_CONVERSION = re.compile(r"%(?:08X|d|s)")


def line(name, *values):
    """The call's line, without its line end. A value given as text goes in as it is (a
    pattern for a pointer that only the client knows); %08X shows 32 bits, as the library
    does."""
    values = iter(values)

    def one(match):
        value = next(values)
        if isinstance(value, str):
            return value
        return "%08X" % (value & 0xFFFFFFFF) if match.group() == "%08X" else match.group() % value
    return _CONVERSION.sub(one, LINES[name])


def cpp_header():
    rows = ['    {"%s", "%s\\n"},' % item for item in LINES.items()]
    return "\n".join(["// Made from tests/pylib/call_lines.py when the unit tests are built.",
                      "#ifndef MIRDU_TESTS_CALL_LINES_H", "#define MIRDU_TESTS_CALL_LINES_H", "",
                      "const struct {", "    const char *name, *format;",
                      "} kCallLines[] = {"] + rows + ["};", "", "#endif", ""])


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "--cpp":
        sys.exit("usage: call_lines.py --cpp FILE")
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(cpp_header())
