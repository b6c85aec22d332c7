#!/usr/bin/python3
"""Assembles mirdu.dll's capture files into the memory image that the device would hold, and a
map of what was written where.

Captures are laid at their device address in capture order (by number), a later one replacing
the bytes of an earlier one. The image is written as Intel HEX (only the written bytes) or as
raw binary (from the lowest to the highest written address, gaps filled). The map lists the
contiguous written regions, the captures that wrote into each, and every overlap.

For another program (mirdu-run --image):

    image = assemble(paths)            # the capture files one run wrote, in any order
    image = assemble_folder(folder)    # every capture file of a folder
    write_image(image, "image.hex")    # format from the extension, or format="bin"/"hex"
    print(format_map(image)); write_svg(image, "map.svg")

Every failure is an ImageError with a message for the user; a file is written to a temporary
name beside it and renamed into place only when complete."""

import binascii
import bisect
import heapq
import math
import os
import re
import stat
import sys
from collections import namedtuple

# mirdu-run imports this module for the capture names: what only a command needs
# (argparse, tempfile, xml) is imported where it is used.

# What a capture's name is made of; capture_name says how the library spells it. ASCII only,
# as in the engine (runner/capturename.cpp).
CAPTURE_NAME = re.compile(r"(-?\d{1,10})-(kvtwrite|kvtsyncwrite)-([0-9A-F]{8})\.bin",
                          re.ASCII | re.IGNORECASE)
NUMBERS = range(-(1 << 31), 1 << 31)
ADDRESS_SPACE = 1 << 32
MAX_BINARY = 256 << 20        # a larger binary needs --max-size: one stray write makes 4 GiB
FORMATS = {".bin": "bin", ".hex": "hex", ".ihex": "hex"}


class ImageError(Exception):
    """Bad input or a file that cannot be read or written; the message says which."""


# One capture file; end is one past its last byte; st its os.stat when looked at.
Capture = namedtuple("Capture", "number kind address end path st")


def capture_name(number, kind, address):
    """The name of a capture as the library makes it: its signed 32-bit counter as %04d prints
    it (0000 ... 2147483647, then, once it has wrapped, -2147483648 ... -001), the kind
    (kvtwrite or kvtsyncwrite) and the address in eight upper-case hexadecimal digits."""
    return "%04d-%s-%08X.bin" % (number, kind, address)


def capture_key(name, any_case=False):
    """(number, kind, address) of exactly the names that capture_name makes, or None for any
    other name; any_case: also a name that differs from one only in case (Windows matches names
    regardless of case: any of these is what the library would open)."""
    match = CAPTURE_NAME.fullmatch(name)
    if match is None or int(match.group(1)) not in NUMBERS:
        return None
    key = int(match.group(1)), match.group(2).lower(), int(match.group(3), 16)
    made = capture_name(*key)
    return key if made == name or any_case and made.lower() == name.lower() else None


def capture_order(number):
    """Capture order within one load: the counter counts on from 2147483647 to -2147483648."""
    return number % len(NUMBERS)


NOT_FILES = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a named pipe"),
             (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISSOCK, "a socket"), (stat.S_ISLNK, "a symbolic link"))


def kind_of(mode):
    """What an entry that is no regular file is, in words."""
    return next((kind for test, kind in NOT_FILES if test(mode)), "no regular file")


def capture_stat(path):
    """os.stat of a capture file, through a symbolic link; an ImageError that names it when it
    is not a regular file. Nothing is opened: a pipe or a device would block or never end."""
    try:
        st = os.stat(path)
    except OSError as error:
        if os.path.islink(path) and isinstance(error, FileNotFoundError):
            raise ImageError("%s is a symbolic link to %s, which is not there"
                             % (path, os.readlink(path)))
        raise ImageError("cannot read %s: %s" % (path, error.strerror or error))
    if not stat.S_ISREG(st.st_mode):
        what = kind_of(st.st_mode)
        if os.path.islink(path):
            what = "a symbolic link to %s, %s" % (os.readlink(path), what)
        raise ImageError("%s is %s: only regular files are read as captures" % (path, what))
    return st


def look_at(path):
    """The capture of a file, which must fit below FFFFFFFF; nothing of it read yet."""
    key = capture_key(os.path.basename(path))
    if key is None:
        raise ImageError("%s is not named as a capture file (NNNN-kvtwrite-AAAAAAAA.bin or "
                         "NNNN-kvtsyncwrite-AAAAAAAA.bin)" % path)
    number, kind, address = key
    st = capture_stat(path)
    if address + st.st_size > ADDRESS_SPACE:
        raise ImageError("%s: its %d bytes at %08X run past FFFFFFFF, the last device address"
                         % (path, st.st_size, address))
    return Capture(number, kind, address, address + st.st_size, path, st)


def read_spans(capture, spans):
    """The bytes of the spans (start, end) of a capture, read exactly as the file was looked
    at: one that grows, shrinks or is written to meanwhile is an error, never half an image."""
    path, st = capture.path, capture.st
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            before = os.fstat(fd)
            data = [read_at(fd, start - capture.address, end - start)
                    for start, end in spans] if same_file(st, before) else []
            after = os.fstat(fd)
        finally:
            os.close(fd)
    except OSError as error:
        raise ImageError("cannot read %s: %s" % (path, error.strerror or error))
    if not (same_file(st, before) and same_file(st, after) and all(data)):
        raise ImageError("%s changed while it was read (%d bytes before, %d after): make the "
                         "image again once nothing writes there" % (path, st.st_size,
                                                                     after.st_size))
    return data


def read_at(fd, offset, size):
    """size bytes from offset, or None where the file ends before."""
    data, done = bytearray(size), 0
    while done < size:
        got = os.preadv(fd, [memoryview(data)[done:done + (1 << 30)]], offset + done)
        if got == 0:
            return None
        done += got
    return data


def same_file(a, b):
    return ((a.st_dev, a.st_ino, a.st_mode, a.st_size, a.st_mtime_ns)
            == (b.st_dev, b.st_ino, b.st_mode, b.st_size, b.st_mtime_ns))


def assemble(paths):
    """The image of the given capture files. Their names give number and address; they are
    laid in capture order, files of one number (from different runs) older first. Each is
    looked at before any is read, so that one that is no regular file or does not fit stops
    it all; then only the bytes that no later capture replaced are read."""
    captures = [look_at(path) for path in paths]
    # Modification times in whole 100 ns, as Windows keeps them: mirdu-run.exe, which sees
    # them so under Wine, takes the same order.
    captures.sort(key=lambda c: (capture_order(c.number), c.st.st_mtime_ns // 100,
                                 os.path.basename(c.path)))
    image = Image(captures)
    image.read()
    return image


def assemble_folder(folder):
    """The image of every capture file in folder; image.others counts the other entries."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as error:
        raise ImageError("cannot read the folder %s: %s" % (folder, error.strerror or error))
    if not names:
        raise ImageError("%s is empty: no capture files" % folder)
    paths = [os.path.join(folder, n) for n in names if capture_key(n) is not None]
    if not paths:
        raise ImageError("%s holds no capture files (NNNN-kvtwrite-AAAAAAAA.bin or "
                         "NNNN-kvtsyncwrite-AAAAAAAA.bin) among its %d entries"
                         % (folder, len(names)))
    image = assemble(paths)
    image.others = len(names) - len(paths)
    return image


class Image:
    """Captures laid out by a sweep over their address ranges: at every stretch the latest of
    the captures covering it owns the bytes, and each pair of captures next to each other in
    capture order there is an overlap (the later replaced the earlier)."""

    def __init__(self, captures):
        self.captures = captures
        self.others = 0
        self.pieces = []      # [start, end, owner, bytes]: runs of bytes owned by one capture
        self.regions = []     # [start, end, owners]: contiguous written bytes, captures in it
        self.overlaps = []    # [later, earlier, start, end]
        self._sweep()

    def _sweep(self):
        captures = self.captures
        todo = sorted((k for k, c in enumerate(captures) if c.end > c.address),
                      key=lambda k: captures[k].address)
        ends, active, pairs = [], [], {}
        i, pos, region = 0, 0, None
        while i < len(todo) or active:
            if not active:
                pos = captures[todo[i]].address
                if region is None or region[1] != pos:     # else adjacent: the region goes on
                    region = [pos, pos, []]
                    self.regions.append(region)
            while i < len(todo) and captures[todo[i]].address == pos:
                k = todo[i]
                bisect.insort(active, k)
                heapq.heappush(ends, (captures[k].end, k))
                region[2].append(k)
                i += 1
            stop = ends[0][0]
            if i < len(todo) and captures[todo[i]].address < stop:
                stop = captures[todo[i]].address
            owner = active[-1]
            last = self.pieces[-1] if self.pieces else None
            if last and last[2] == owner and last[1] == pos:
                last[1] = stop
            else:
                self.pieces.append([pos, stop, owner])
            pairs = self._overlap(active, pairs, pos, stop)
            pos = stop
            while ends and ends[0][0] == pos:
                del active[bisect.bisect_left(active, heapq.heappop(ends)[1])]
            region[1] = pos

    def _overlap(self, active, pairs, start, stop):
        """Records the overlaps of one stretch, extending those that go on from the last."""
        carried = {}
        for earlier, later in zip(active, active[1:]):
            record = pairs.get((later, earlier))
            if record is None:
                record = [later, earlier, start, stop]
                self.overlaps.append(record)
            record[3] = stop
            carried[(later, earlier)] = record
        return carried

    def read(self):
        """Reads the bytes of every piece, each file once."""
        kept = {}
        for piece in self.pieces:
            kept.setdefault(piece[2], []).append(piece)
        for owner, pieces in kept.items():
            for piece, data in zip(pieces, read_spans(self.captures[owner],
                                                      [piece[:2] for piece in pieces])):
                piece.append(data)

    @property
    def size(self):
        return sum(end - start for start, end, *_ in self.pieces)

    @property
    def captured(self):
        return sum(c.end - c.address for c in self.captures)

    def runs(self, first=0, last=ADDRESS_SPACE - 1):
        """(start, bytes) of each contiguous run of written bytes within first..last."""
        start, chunks, at = None, [], None
        for piece_start, piece_end, _, data in self.pieces:
            begin, end = max(piece_start, first), min(piece_end, last + 1)
            if begin >= end:
                continue
            if chunks and begin != at:
                yield start, b"".join(chunks)
                chunks = []
            if not chunks:
                start = begin
            chunks.append(memoryview(data)[begin - piece_start:end - piece_start])
            at = end
        if chunks:
            yield start, b"".join(chunks)

    def repeated_numbers(self):
        numbers = [c.number for c in self.captures]
        return sorted({a for a, b in zip(numbers, numbers[1:]) if a == b})


def number_ranges(numbers, limit=None):
    """'0000-0099, 0102' for the given capture numbers; with limit, at most that many ranges."""
    numbers = sorted(set(numbers), key=capture_order)
    ranges = []
    for n in numbers:
        if ranges and ranges[-1][1] == n - 1:
            ranges[-1][1] = n
        else:
            ranges.append([n, n])
    text = ["%04d" % a if a == b else "%04d-%04d" % (a, b) for a, b in ranges]
    if limit is not None and len(text) > limit:
        text = text[:limit] + ["... (%d more)" % (len(text) - limit)]
    return ", ".join(text)


def human_size(count):
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if count >= 1 << shift:
            return "%.4g %s" % (count / (1 << shift), unit)
    return "%d bytes" % count


# --- Writing ------------------------------------------------------------------------------

def write_atomically(path, write):
    """Calls write(file) on a temporary file beside path, then renames it to path."""
    import tempfile
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    except OSError as error:
        raise ImageError("cannot write %s: %s" % (path, error.strerror or error))
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, "wb") as f:
            write(f)
        os.replace(temporary, path)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise ImageError("cannot write %s: %s" % (path, error.strerror or error))
        raise


def format_of(path, format=None):
    if format is not None:
        if format not in ("bin", "hex"):
            raise ImageError("unknown image format %r: bin or hex" % format)
        return format
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise ImageError("cannot tell the image format from the name %s: give --format bin or "
                         "--format hex (or name it .bin, .hex or .ihex)" % path)
    return FORMATS[extension]


def hex_records(runs):
    """Intel HEX lines: data records of up to 16 bytes that never cross a 64 KiB boundary, an
    extended linear address record before the first one of each other upper half, the end."""
    upper = 0
    for start, data in runs:
        offset = 0
        while offset < len(data):               # one 64 KiB window of addresses at a time
            address = start + offset
            if address >> 16 != upper:
                upper = address >> 16
                yield b":02000004%04X%02X\n" % (upper, -(6 + (upper >> 8) + (upper & 0xFF)) & 0xFF)
            window = data[offset:offset + 0x10000 - (address & 0xFFFF)]
            yield b"".join(data_records(address & 0xFFFF, window))
            offset += len(window)
    yield b":00000001FF\n"


def data_records(low, window):
    digits = binascii.hexlify(window).upper()
    for at in range(0, len(window), 16):
        count = min(16, len(window) - at)
        address = low + at
        checksum = -(count + (address >> 8) + (address & 0xFF) + sum(window[at:at + count]))
        yield b":%02X%04X00%s%02X\n" % (count, address, digits[2 * at:2 * (at + count)],
                                        checksum & 0xFF)


def binary_span(image, span, max_size):
    """first, last of the binary: the span given, or the lowest to the highest written byte."""
    if span is None:
        if not image.pieces:
            return 0, -1
        span = image.pieces[0][0], image.pieces[-1][1] - 1
    first, last = span
    if last - first + 1 > max_size:
        raise ImageError("a binary image of %08X-%08X would be %s (%d bytes), more than the %s "
                         "allowed: allow it with --max-size %d, write part of it with --range "
                         "START-END, or write Intel HEX" % (first, last, human_size(last - first + 1),
                                                            last - first + 1, human_size(max_size),
                                                            last - first + 1))
    return first, last


def binary_chunks(image, first, last, fill):
    at = first
    for start, data in image.runs(first, last):
        yield from fill_chunks(start - at, fill)
        yield data
        at = start + len(data)
    yield from fill_chunks(last + 1 - at, fill)


def fill_chunks(count, fill):
    block = bytes([fill]) * min(count, 1 << 20)
    while count > 0:
        yield block[:count]
        count -= len(block)


def write_image(image, path, format=None, fill=0xFF, span=None, max_size=MAX_BINARY):
    """Writes the image to path as "bin" or "hex" (by default from the extension), limited to
    span (first, last) when given; returns the format written."""
    format = format_of(path, format)
    if format == "hex":
        chunks = hex_records(image.runs(*(span or (0, ADDRESS_SPACE - 1))))
    else:
        chunks = binary_chunks(image, *binary_span(image, span, max_size), fill)
    write_atomically(path, lambda f: f.writelines(chunks))
    return format


# --- The map ------------------------------------------------------------------------------

def table(rows, right):
    """Rows as columns; the columns whose index is in right are aligned to the right."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(cell.rjust(w) if i in right else cell.ljust(w)
                               for i, (cell, w) in enumerate(zip(row, widths))).rstrip()
                     for row in rows)


def summary(image, source):
    count = len(image.captures)
    empty = sum(1 for c in image.captures if c.end == c.address)
    text = "%s: %d capture%s" % (source, count, "" if count == 1 else "s")
    if empty:
        text += " (%d empty)" % empty
    text += ", %d region%s, %d bytes in the image" % (
        len(image.regions), "" if len(image.regions) == 1 else "s", image.size)
    replaced = image.captured - image.size
    if replaced:
        text += ", %d bytes replaced by later captures" % replaced
    return text


def format_map(image, source="captures"):
    """The map as text: a summary line, the regions, the overlaps."""
    number = lambda k: "%04d" % image.captures[k].number
    rows = [("region", "start", "end", "length", "captures")]
    for i, (start, end, owners) in enumerate(image.regions, 1):
        rows.append((str(i), "%08X" % start, "%08X" % (end - 1), str(end - start),
                     number_ranges(image.captures[k].number for k in owners)))
    lines = [summary(image, source), "", table(rows, {0, 3}), ""]
    if image.overlaps:
        lines.append("overlaps (a later capture replaced bytes of an earlier one):")
        rows = [("later", "replaced", "start", "end", "length")]
        rows += [(number(later), number(earlier), "%08X" % start, "%08X" % (end - 1),
                  str(end - start)) for later, earlier, start, end in image.overlaps]
        lines.append(table(rows, {4}))
    else:
        lines.append("overlaps: none")
    return "\n".join(lines) + "\n"


# --- The picture --------------------------------------------------------------------------

WRITTEN, REPLACED, GAP, INK = "#4c78a8", "#f58518", "#9a9a9a", "#222222"
LEFT, BAR, LABEL, WIDTH = 20, 110, 330, 900


def region_height(length):
    """Grows with the logarithm of the length, so that 256 bytes and 16 MiB both show."""
    return round(min(240, 56 + 12 * math.log2(max(1, length / 256))))


def merged(intervals):
    out = []
    for start, end in sorted(intervals):
        if out and start <= out[-1][1]:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([start, end])
    return out


def svg_text(x, y, text, anchor="start", colour=INK, style=""):
    from xml.sax.saxutils import escape
    return ('<text x="%d" y="%d" fill="%s" text-anchor="%s"%s>%s</text>'
            % (x, y, colour, anchor, style, escape(text)))


def svg_gap(y, start, end):
    """A shortened stretch of unwritten addresses: a broken outline and its length."""
    zig = " ".join("%d,%d" % (BAR + 10 * i, y + (6 if i % 2 else 12)) for i in range(21))
    return ['<polyline points="%s" fill="none" stroke="%s"/>' % (zig, GAP),
            '<polyline points="%s" fill="none" stroke="%s" transform="translate(0 8)"/>'
            % (zig, GAP),
            svg_text(LABEL, y + 17, "not written: %s" % human_size(end - start), colour=GAP,
                     style=' font-style="italic"')], 28


def svg_region(image, index, y, overlaps):
    start, end, owners = image.regions[index]
    length, height = end - start, region_height(end - start)
    scale = height / length
    out = ['<rect class="region" x="%d" y="%d" width="200" height="%d" fill="%s" stroke="%s"/>'
           % (BAR, y, height, WRITTEN, INK)]
    for s, e in merged(overlaps):
        out.append('<rect class="overlap" x="%d" y="%.1f" width="200" height="%.1f" fill="%s"/>'
                   % (BAR, y + (s - start) * scale, max(3, (e - s) * scale), REPLACED))
    out.append(svg_text(BAR - 8, y + 12, "%08X" % start, "end"))
    out.append(svg_text(BAR - 8, y + height - 2, "%08X" % (end - 1), "end"))
    out.append(svg_text(LABEL, y + 14, "region %d: %s" % (index + 1, human_size(length)),
                        style=' font-weight="bold"'))
    numbers = (image.captures[k].number for k in owners)
    out.append(svg_text(LABEL, y + 30, "captures " + number_ranges(numbers, limit=6)))
    if overlaps:
        out.append(svg_text(LABEL, y + 46, "%d overlap%s: %s replaced by later captures"
                            % (len(overlaps), "" if len(overlaps) == 1 else "s",
                               human_size(sum(e - s for s, e in overlaps))), colour=REPLACED))
    return out, height


def svg_document(image, source):
    body, y = [], 80
    starts = [r[0] for r in image.regions]
    overlaps = [[] for _ in image.regions]
    for _, _, start, end in image.overlaps:
        overlaps[bisect.bisect_right(starts, start) - 1].append((start, end))
    edges = [0] + [a for r in image.regions for a in r[:2]] + [ADDRESS_SPACE]
    for i in range(len(image.regions) + 1):
        if edges[2 * i] < edges[2 * i + 1]:
            part, height = svg_gap(y, edges[2 * i], edges[2 * i + 1])
            body += part
            y += height
        if i < len(image.regions):
            part, height = svg_region(image, i, y, overlaps[i])
            body += part
            y += height
    if not image.regions:
        body.append(svg_text(LABEL, y + 30, "no bytes written"))
    if edges[0] < edges[1]:                 # the ends of the address space, where unwritten
        body.append(svg_text(BAR - 8, 72, "00000000", "end", GAP))
    if edges[-2] < edges[-1]:
        body.append(svg_text(BAR - 8, y + 14, "FFFFFFFF", "end", GAP))
    head = [svg_text(LEFT, 26, summary(image, source), style=' font-weight="bold"'),
            '<rect x="%d" y="40" width="14" height="14" fill="%s"/>' % (LEFT, WRITTEN),
            svg_text(LEFT + 20, 52, "written"),
            '<rect x="%d" y="40" width="14" height="14" fill="%s"/>' % (LEFT + 100, REPLACED),
            svg_text(LEFT + 120, 52, "written more than once"),
            svg_text(LEFT + 320, 52, "gaps shortened; region heights grow with the logarithm "
                     "of their length", colour=GAP)]
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="monospace"'
            ' font-size="12">\n<rect width="100%%" height="100%%" fill="white"/>\n%s\n</svg>\n'
            % (WIDTH, y + 30, "\n".join(head + body)))


def write_svg(image, path, source="captures"):
    document = svg_document(image, source).encode("utf-8")
    write_atomically(path, lambda f: f.write(document))


# --- Command line -------------------------------------------------------------------------

HELP = """\
Reads the capture files of CAPTURE_DIR (NNNN-kvtwrite-AAAAAAAA.bin and
NNNN-kvtsyncwrite-AAAAAAAA.bin; other files are left alone), lays each at its device address in
capture order, a later capture replacing bytes of an earlier one, and writes the image (-o),
the map (--map, the default when nothing else is asked for) or a picture of the map (--svg).
Files of one number (from two runs into one folder) are taken older first, with a warning.
Only regular files (or links to one) are read: a pipe, device, socket or folder with a
capture's name is refused, as is a file that changes while it is read.

exit status: 0 when done, 1 for bad input or a file that cannot be read or written,
2 for bad options. Nothing is left half-written."""


def parse_options(argv):
    import argparse
    parser = argparse.ArgumentParser(prog="mirdu-image", description=HELP,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", metavar="CAPTURE_DIR", help="the folder of capture files")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the image to FILE")
    parser.add_argument("--format", choices=("bin", "hex"),
                        help="raw binary or Intel HEX (default: from FILE's extension, .bin, "
                             ".hex or .ihex)")
    parser.add_argument("--range", metavar="START-END",
                        help="only the addresses START to END (hexadecimal, END included); a "
                             "binary covers exactly this span")
    parser.add_argument("--fill", metavar="BYTE", default="0xFF",
                        help="the byte for unwritten addresses in a binary (default 0xFF)")
    parser.add_argument("--max-size", metavar="SIZE", default="256M",
                        help="the largest binary written (bytes, or with K, M, G; default 256M)")
    parser.add_argument("--map", action="store_true", help="print the map")
    parser.add_argument("--svg", metavar="FILE", help="draw the map into FILE (SVG)")
    return parser.parse_args(argv)


def parse_fill(text):
    try:
        value = int(text, 0)
    except ValueError:
        value = -1
    if not 0 <= value <= 0xFF:
        raise ImageError("--fill wants a byte, 0 to 255 or 0x00 to 0xFF, not %r" % text)
    return value


def parse_range(text):
    match = re.fullmatch(r"\s*(?:0[xX])?([0-9A-Fa-f]{1,8})\s*-\s*(?:0[xX])?([0-9A-Fa-f]{1,8})\s*",
                         text)
    first, last = (int(match.group(1), 16), int(match.group(2), 16)) if match else (1, 0)
    if first > last:
        raise ImageError("--range wants START-END, two hexadecimal addresses up to FFFFFFFF with "
                         "START not above END (e.g. 1000-1FFF), not %r" % text)
    return first, last


def parse_size(text):
    match = re.fullmatch(r"(\d+)([KMG]?)i?B?", text.strip(), re.IGNORECASE)
    if not match or int(match.group(1)) == 0:
        raise ImageError("--max-size wants a number of bytes, optionally with K, M or G "
                         "(e.g. 1G), not %r" % text)
    return int(match.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[match.group(2).upper()]


def run(options):
    fill, max_size = parse_fill(options.fill), parse_size(options.max_size)
    span = parse_range(options.range) if options.range is not None else None
    if options.output:
        format_of(options.output, options.format)         # refuse a bad name before reading
    image = assemble_folder(options.folder)
    if image.others:
        note("note: %d other file%s in %s left alone" % (image.others, "" if image.others == 1
                                                          else "s", options.folder))
    repeated = image.repeated_numbers()
    if repeated:
        note("warning: %s holds captures of more than one run (capture %s more than once); "
             "files of one number are taken older first" % (options.folder,
                                                             number_ranges(repeated, limit=6)))
    if options.output:
        format = write_image(image, options.output, options.format, fill, span, max_size)
        note("%s written (%s)" % (options.output, "Intel HEX" if format == "hex" else "binary"))
    if options.svg:
        write_svg(image, options.svg, options.folder)
    if options.map or not (options.output or options.svg):
        sys.stdout.write(format_map(image, options.folder))


def note(text):
    print("mirdu-image: " + text, file=sys.stderr)


def main(argv=None):
    options = parse_options(argv)
    try:
        run(options)
    except ImageError as error:
        note(str(error))
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
