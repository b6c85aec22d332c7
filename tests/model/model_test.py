"""Model-based random testing of mirdu.dll.

A seeded generator makes a long sequence of calls to all 18 exports, with random arguments:
null and odd pointers for reads, negative hosts and ids, write lengths from 0 to 64 KiB over
random data, garbage in the arguments a call does not examine and in the extra arguments that
every call is given. mirdu-model-runner.exe runs the whole sequence in one process in a
pseudo-terminal; the model below, written from the library's rules alone, says what every call
must print, return and leave on drive F:. Console lines, results and capture files are compared
line by line and byte by byte; a failure names the seed and the first call that differs.

    model_test.py                         the short runs of `make test` (unittest)
    model_test.py soak [CALLS] [SEED]     the long run of `make soak` (100,000 calls), which also
                                          samples the process's handles and memory
    MIRDU_MODEL_SEED=N model_test.py      repeat the random-seed run with seed N
"""

import os
import random
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import mirdu_test as mt  # noqa: E402
from call_lines import line  # noqa: E402
import pexpect  # noqa: E402

RUNNER = "mirdu-model-runner.exe"
REGION_SIZE = 1 << 20          # the runner's read-only data region (loaded from the pattern file)
REGION_BASE = 0x40000000       # ... and where it lies in the runner's address space
MAX_WRITE = 64 * 1024
MASK32 = 0xFFFFFFFF
MASK64 = (1 << 64) - 1

ORDINALS = {
    "ExpFn0000": 2854, "KVTClose": 2855, "KVTFindClose": 2856, "KVTFindFirst": 2857,
    "ExpFn0001": 2858, "KVTFindNext": 2859, "ExpFn0002": 2860, "KVTGo": 2861, "KVTOpen": 2862,
    "KVTRead": 2863, "ExpFn0003": 2864, "KVTReset": 2865, "KVTSyncRead": 2866,
    "KVTSyncSoftReset": 2867, "KVTSyncWrite": 2868, "KVTWrite": 2869, "ExpFn0004": 2874,
    "ExpFn0005": 2918,
}
CALLS = sorted(ORDINALS)


def s32(value):
    value &= MASK32
    return value - (1 << 32) if value & 0x80000000 else value


# ---------------------------------------------------------------------------------------------
# Generator: one call is a dict with the name, how it is looked up, the eight argument tokens of
# the runner's script, and the values that the model needs (all as the callee sees them).

class Generator:
    def __init__(self, seed):
        self.r = random.Random(seed)

    def garbage(self):
        r = self.r
        return r.choice([0, 1, MASK64, r.getrandbits(64), r.getrandbits(64), r.getrandbits(32)])

    def int32(self):
        """A 32-bit value as the library reads it, and the 64-bit slot that carries it: under
        the 64-bit calling convention the upper half of a 32-bit argument is anything."""
        r = self.r
        low = r.choice([0, 1, 4, 5, 255, 256, -1, -2, 0x7FFFFFFF, -0x80000000, 0x80000000,
                        r.randint(-1000, 1000), r.getrandbits(32), r.getrandbits(32)]) & MASK32
        upper = r.choice([0, MASK32 if low & 0x80000000 else 0, r.getrandbits(32)])
        return low, (upper << 32) | low

    def write_length(self):
        r = self.r
        kind = r.random()
        if kind < 0.25:
            return r.randint(0, 16)
        if kind < 0.65:
            return r.randint(17, 1024)
        if kind < 0.97:
            return r.randint(1025, MAX_WRITE)
        return MAX_WRITE

    def odd_pointer(self):
        r = self.r
        return r.choice([1, 3, 0xDEADBEEF, 0xFFFFFFFF, 0x80000000, 0xFFFF800000001234,
                         0x0000000100000001, r.getrandbits(64), r.getrandbits(32) | 1])

    def call(self):
        r = self.r
        name = r.choice(CALLS + ["KVTWrite", "KVTSyncWrite", "KVTRead", "KVTFindNext"])
        slots = [self.garbage() for _ in range(8)]
        tokens = [None] * 8            # set for the entry and data-region arguments
        call = {"name": name,
                "lookup": "@%d" % ORDINALS[name] if r.random() < 0.2 else name}
        if name == "KVTFindFirst":
            tokens[0] = "E"
        elif name == "KVTFindNext":
            tokens[1] = "E"
        elif name == "KVTOpen":
            call["host"], slots[0] = self.int32()
            call["id"], slots[1] = self.int32()
        elif name in ("KVTWrite", "KVTSyncWrite"):
            length = self.write_length()
            call["addr"], slots[2] = self.int32()
            if r.random() < 0.03:
                call["buf"], call["data"] = 0, None      # a null buffer, with or without bytes
                slots[1] = 0
                length = r.choice([0, length])
            else:
                offset = r.randint(0, REGION_SIZE - length)
                call["buf"], call["offset"] = REGION_BASE + offset, offset
                tokens[1] = "W+%X" % offset
            call["len"] = length
            slots[3] = (self.int32()[1] & ~MASK32) | length
        elif name in ("KVTRead", "KVTSyncRead"):
            kind = r.random()
            if kind < 0.4:
                offset = r.randint(0, REGION_SIZE)
                call["buf"] = REGION_BASE + offset
                tokens[1] = "W+%X" % offset
            else:
                call["buf"] = 0 if kind < 0.6 else self.odd_pointer()
                slots[1] = call["buf"]
            call["addr"], slots[2] = self.int32()
            call["len"], slots[3] = self.int32()
        elif name == "KVTReset":
            call["flag"], slots[1] = (0, r.getrandbits(32) << 32) if r.random() < 0.4 \
                else self.int32()
        elif name == "ExpFn0000":
            call["a"], slots[1] = self.int32()
            call["b"], slots[2] = self.int32()
        elif name == "ExpFn0005":
            for i, key in enumerate("abcd"):
                call[key], slots[i] = self.int32()
        tokens = [t if t else "0x%X" % (slots[i] & MASK64) for i, t in enumerate(tokens)]
        call["script"] = " ".join([call["lookup"]] + tokens)
        return call


# ---------------------------------------------------------------------------------------------
# Model: what the library must do, from its rules.

class Model:
    def __init__(self, region):
        self.region = region
        self.next_id = 0              # unsigned 8-bit, wraps 255 -> 0
        self.sequence = 0             # signed 32-bit capture number
        self.files = {}               # capture name -> (bytes, index of the call that made it)

    def capture(self, index, tag, call, report):
        number = self.sequence
        self.sequence = s32(self.sequence + 1)
        name = "%04d-%s-%08X.bin" % (number, tag, call["addr"])
        length = call["len"]
        data = b"" if call["buf"] == 0 else self.region[call["offset"]:call["offset"] + length]
        self.files[name] = (data, index)
        if report and len(data) != length:
            return ["Error writing file !"]
        return []

    def step(self, index, call):
        """Returns (console lines, result line) of one call."""
        name = call["name"]
        if name in ("KVTFindFirst", "KVTFindNext"):
            given = self.next_id
            self.next_id = (self.next_id + 1) & 0xFF
            if name == "KVTFindFirst":
                result = 0xDEAD
            else:
                result = 0 if self.next_id == 5 else 1
            return [line(name, 0, given)], "%08X e=0,%d,1" % (result, given)
        if name == "KVTOpen":
            return [line(name, s32(call["host"]), s32(call["id"]))], "DEADBEEF"
        if name in ("KVTWrite", "KVTSyncWrite", "KVTRead", "KVTSyncRead"):
            lines = [line(name, call["buf"], call["addr"], call["len"])]
            if name == "KVTWrite":
                lines += self.capture(index, "kvtwrite", call, True)
            elif name == "KVTSyncWrite":
                lines += self.capture(index, "kvtsyncwrite", call, False)
            result = call["len"] if name in ("KVTWrite", "KVTRead") else 1
            return lines, "%08X" % result
        if name == "KVTReset":
            return [line(name, "on" if call["flag"] else "off")], "00000001"
        if name == "ExpFn0000":
            return [line(name, call["a"], call["b"])], "00000001"
        if name == "ExpFn0005":
            return [line(name, *(call[k] for k in "abcd"))], "00000001"
        # KVTFindClose and KVTClose answer with the console write's result: 1 on a terminal.
        return [line(name)], "00000001"


# ---------------------------------------------------------------------------------------------
# One run: script, pattern, runner in a pseudo-terminal, comparison.

class Run:
    def __init__(self, name, seed, calls, sample_every=0):
        self.name, self.seed, self.count = name, seed, calls
        self.folder = mt.scratch("model-" + name)
        self.captures = os.path.join(self.folder, "f")
        os.makedirs(self.captures)
        rng = random.Random(seed)
        self.region = rng.randbytes(REGION_SIZE)
        generator = Generator(seed)
        self.calls = [generator.call() for _ in range(calls)]
        self.model = Model(self.region)
        self.expected = [self.model.step(i, c) for i, c in enumerate(self.calls)]
        self.script = os.path.join(self.folder, "script.txt")
        self.results_path = os.path.join(self.folder, "results.txt")
        self.pattern_path = os.path.join(self.folder, "pattern.bin")
        with open(self.pattern_path, "wb") as f:
            f.write(self.region)
        with open(self.script, "w") as f:
            for i, call in enumerate(self.calls):
                if sample_every and i % sample_every == 0:
                    f.write("sample\n")
                f.write(call["script"] + "\n")
            if sample_every:
                f.write("sample\n")

    def execute(self, timeout):
        """Runs the script; returns the normalised console output."""
        child = pexpect.spawn(mt.WINE, [RUNNER, self.script, self.results_path, self.pattern_path],
                              cwd=mt.BUILD, env=mt.wine_env(self.captures), timeout=mt.TIMEOUT,
                              encoding="latin-1", dimensions=(50, 250))
        chunks, tail, answered = [], "", False
        deadline = time.monotonic() + timeout
        started = last_output = time.monotonic()
        try:
            while True:
                now = time.monotonic()
                if now > deadline:
                    raise AssertionError("seed %d: run still going after %ds" % (self.seed, timeout))
                if not answered and now - last_output > mt.TIMEOUT:
                    raise AssertionError("seed %d: no console output for %ds"
                                         % (self.seed, mt.TIMEOUT))
                # Once the key is in, the end of the process counts, not the end of the terminal:
                # Wine's helper processes, started by the first program of a new server, keep
                # the terminal open for a minute longer.
                if answered and not child.isalive():
                    break
                try:
                    chunk = child.read_nonblocking(1 << 20, timeout=0.5)
                except pexpect.EOF:
                    break
                except pexpect.TIMEOUT:
                    continue
                last_output = time.monotonic()
                chunks.append(chunk)
                tail = (tail + chunk)[-400:]
                if not answered and "Press ENTER" in mt.normalise(tail):
                    child.send("\r")          # the unload waits for a key, by design
                    answered = True
        finally:
            child.close(force=True)
        self.seconds = time.monotonic() - started
        self.status = child.exitstatus
        return mt.normalise("".join(chunks))

    def describe(self, index):
        call = self.calls[index]
        lines, result = self.expected[index]
        return ("seed %d, first differing call #%d: %s\n  expected lines %r, result %r"
                % (self.seed, index, call["script"], lines, result))

    def check(self, console):
        """Raises AssertionError naming the seed and the first differing call."""
        results = mt.results(self.results_path)
        samples = [line for line in results if line.startswith("S ")]
        answers = [line for line in results if not line.startswith("S ")]
        self.samples = samples

        # Results, one per call, then END.
        for i, (_, result) in enumerate(self.expected):
            got = answers[i] if i < len(answers) else "<missing: the runner stopped>"
            if got != result:
                raise AssertionError(self.describe(i) + "\n  got result %r" % got)
        if answers[len(self.expected):] != ["END %d" % self.count]:
            raise AssertionError("seed %d: runner did not finish: %r"
                                 % (self.seed, answers[len(self.expected):][:3]))

        # Console: banner, underline, every call's lines in order, the closing prompt.
        head = mt.BANNER + mt.UNDERLINE
        if not console.startswith(head):
            raise AssertionError("seed %d: console does not begin with the banner: %r"
                                 % (self.seed, console[:120]))
        body, prompt, _ = console[len(head):].partition(mt.PROMPT)
        if not prompt:
            raise AssertionError("seed %d: no closing prompt; console ends %r"
                                 % (self.seed, console[-300:]))
        got_lines = body.split("\n")
        if got_lines[-1] != "":
            raise AssertionError("seed %d: console body does not end with a line feed" % self.seed)
        got_lines.pop()
        # Each call's own line begins with its name; error lines belong to the call before.
        groups = []
        for line in got_lines:
            if line.split(" ", 1)[0] in ORDINALS or not groups:
                groups.append([])
            groups[-1].append(line)
        for i, (lines, _) in enumerate(self.expected):
            got = groups[i] if i < len(groups) else "<missing>"
            if got != lines:
                raise AssertionError(self.describe(i) + "\n  got lines %r" % got)
        if len(groups) != len(self.expected):
            raise AssertionError("seed %d: %d console lines after the last call: %r"
                                 % (self.seed, len(groups) - len(self.expected),
                                    groups[len(self.expected):][:3]))

        # Capture files: exactly the model's names, byte for byte.
        present = set(os.listdir(self.captures))
        for name, (data, index) in sorted(self.model.files.items(), key=lambda kv: kv[1][1]):
            if name not in present:
                raise AssertionError(self.describe(index) + "\n  capture %s missing" % name)
            with open(os.path.join(self.captures, name), "rb") as f:
                content = f.read()
            if content != data:
                first = next((k for k, (a, b) in enumerate(zip(content, data)) if a != b),
                             min(len(content), len(data)))
                raise AssertionError(self.describe(index) + "\n  capture %s: %d bytes, expected "
                                     "%d; first difference at byte %d"
                                     % (name, len(content), len(data), first))
        extra = sorted(present - set(self.model.files))
        if extra:
            raise AssertionError("seed %d: unexpected capture files %r" % (self.seed, extra[:5]))
        if self.status != 0:
            raise AssertionError("seed %d: runner exit status %r" % (self.seed, self.status))


def parse_sample(line):
    """"S CALLS OK:HANDLECOUNT OWNHANDLES PRIVATE WORKINGSET PAGEFILE" -> dict."""
    _, calls, _, own, _, working, pagefile = line.split()
    return {"calls": int(calls), "handles": int(own), "working": int(working),
            "pagefile": int(pagefile)}


def run_once(test, name, seed, calls, sample_every=0):
    run = Run(name, seed, calls, sample_every)
    console = run.execute(timeout=120 + calls // 200)
    run.check(console)
    writes = sum(1 for c in run.calls if c["name"] in ("KVTWrite", "KVTSyncWrite"))
    print("model %s: seed %d, %d calls (%d writes, %d capture bytes) in %.1fs"
          % (name, seed, calls, writes, sum(len(d) for d, _ in run.model.files.values()),
             run.seconds), file=sys.stderr)
    return run


# ---------------------------------------------------------------------------------------------

class ModelTest(unittest.TestCase):
    CALLS = 3000

    def test_fixed_seed(self):
        run_once(self, "fixed", 20000709, self.CALLS)

    def test_random_seed(self):
        seed = int(os.environ.get("MIRDU_MODEL_SEED") or random.SystemRandom().getrandbits(31))
        print("model random run: seed %d (repeat with MIRDU_MODEL_SEED=%d)" % (seed, seed),
              file=sys.stderr)
        run_once(self, "random", seed, self.CALLS)


class SamplerTest(unittest.TestCase):
    """The soak judges leaks by the runner's samples: they must see handles and memory grow
    when the process really leaks them. (Wine's GetProcessHandleCount answers 0 and the
    private-bytes counter stays 0, so the runner counts its handles in the system handle list
    and reads the working set and page-file usage.)"""

    def test_samples_see_leaks(self):
        folder = mt.scratch("model-sampler")
        script = os.path.join(folder, "script.txt")
        out = os.path.join(folder, "results.txt")
        with open(script, "w") as f:
            f.write("sample\n" + "leakhandle\n" * 40 + "sample\n" + "leakfile\n" * 40
                    + "sample\n" + "leakmemory\n" * 16 + "sample\n")
        status = mt.subprocess.run([mt.WINE, RUNNER, script, out], cwd=mt.BUILD,
                                   env=mt.wine_env(folder), stdin=mt.subprocess.DEVNULL,
                                   stdout=mt.subprocess.DEVNULL, stderr=mt.subprocess.DEVNULL,
                                   start_new_session=True, timeout=mt.TIMEOUT).returncode
        self.assertEqual(status, 0)
        samples = [parse_sample(line) for line in mt.results(out) if line.startswith("S ")]
        self.assertEqual(len(samples), 4)
        self.assertGreaterEqual(samples[1]["handles"] - samples[0]["handles"], 40)
        self.assertGreaterEqual(samples[2]["handles"] - samples[1]["handles"], 40)
        self.assertGreaterEqual(samples[3]["working"] - samples[2]["working"], 15 << 20)
        self.assertGreaterEqual(samples[3]["pagefile"] - samples[2]["pagefile"], 15 << 20)


def soak(calls=100000, seed=None):
    """The long run: every result, line and capture file checked; handles and memory sampled
    every 1000 calls must not grow after the first 10,000."""
    seed = seed if seed is not None else random.SystemRandom().getrandbits(31)
    print("soak: %d calls, seed %d" % (calls, seed))
    started = time.monotonic()
    try:
        run = run_once(None, "soak", seed, calls, sample_every=1000)
    except AssertionError as failure:
        print("soak FAILED: %s" % failure)
        return 1
    samples = [parse_sample(line) for line in run.samples]
    shown = samples[:: max(1, len(samples) // 10)]
    for s in shown + ([] if samples[-1] is shown[-1] else samples[-1:]):
        print("  after %6d calls: %3d handles, working set %6d KiB, page-file usage %6d KiB"
              % (s["calls"], s["handles"], s["working"] >> 10, s["pagefile"] >> 10))
    settled = [s for s in samples if s["calls"] >= min(10000, calls // 10)]
    base, last = settled[0], settled[-1]
    print("  %d samples from call %d on: handles %d to %d, working set %d to %d KiB, "
          "page-file usage %d to %d KiB"
          % (len(settled), base["calls"], min(s["handles"] for s in settled),
             max(s["handles"] for s in settled), min(s["working"] for s in settled) >> 10,
             max(s["working"] for s in settled) >> 10, min(s["pagefile"] for s in settled) >> 10,
             max(s["pagefile"] for s in settled) >> 10))
    problems = []
    if max(s["handles"] for s in settled) > base["handles"]:
        problems.append("handle count grew from %d to %d"
                        % (base["handles"], max(s["handles"] for s in settled)))
    for key in ("working", "pagefile"):
        if last[key] - base[key] > 1 << 20:
            problems.append("%s grew by %d KiB" % (key, (last[key] - base[key]) >> 10))
    print("soak: %d calls, %d capture files (%d bytes) all match, %.0fs in all"
          % (calls, len(run.model.files), sum(len(d) for d, _ in run.model.files.values()),
             time.monotonic() - started))
    if problems:
        print("soak FAILED (seed %d): %s" % (seed, "; ".join(problems)))
        return 1
    print("soak passed")
    mt.shutil.rmtree(run.folder, ignore_errors=True)   # a quarter of a gigabyte of captures
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "soak":
        sys.exit(soak(int(sys.argv[2]) if len(sys.argv) > 2 else 100000,
                      int(sys.argv[3]) if len(sys.argv) > 3 else None))
    unittest.main()
