"""The benchmark's quick mode runs every case and writes one well-formed line per case.

No thresholds: the machines that run the tests are noisy; `make bench` gives the figures."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import mirdu_test  # noqa: E402

BENCH = os.path.join(mirdu_test.SOURCE, "tools", "bench")
MEASURED = ["log", "write4k", "write64m", "read64m", "growth", "late"]
NUMBER = r"([0-9]+(?:\.[0-9]+)?)"
MEASURED_LINE = re.compile(r"^(\w+) ratio=%s ours_us=%s floor_us=%s$" % (NUMBER, NUMBER, NUMBER))
CYCLE_LINE = re.compile(r"^cycle ms=%s$" % NUMBER)
# Through mirdu-run: (ratio, numerator, denominator) and the rest of each line.
SCALE = r"ratio=%s first=%s last=%s first_us=%s last_us=%s bare_first_us=%s bare_last_us=%s" % (
    (NUMBER,) * 7)
RUNNER_LINES = [re.compile(r"^scale %s writes=400 wall_s=%s$" % (SCALE, NUMBER)),
                re.compile(r"^scale-plain %s writes=200 wall_s=%s$" % (SCALE, NUMBER)),
                re.compile(r"^rerun ratio=%s ours_ms=%s floor_ms=%s over_ms=(-?[0-9.]+)$"
                           % ((NUMBER,) * 3)),
                re.compile(r"^session ratio=%s ours_ms=%s floor_ms=%s over_ms=(-?[0-9.]+)$"
                           % ((NUMBER,) * 3))]


class QuickBenchmark(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = mirdu_test.scratch("bench")
        run = subprocess.run([BENCH, "--quick", "--dir", cls.folder], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=800,
                             encoding="latin-1", env=mirdu_test.wine_env())
        cls.status, cls.output = run.returncode, run.stdout
        path = os.path.join(cls.folder, "results.txt")
        cls.lines = mirdu_test.results(path) if os.path.exists(path) else None

    def test_runs_and_writes_results(self):
        self.assertEqual(self.status, 0, self.output)
        self.assertIsNotNone(self.lines, "no results.txt; output:\n" + self.output)

    def test_one_line_per_case_in_order(self):
        self.assertIsNotNone(self.lines, self.output)
        self.assertEqual([line.split(" ", 1)[0] for line in self.lines],
                         MEASURED + ["cycle", "scale", "scale-plain", "rerun", "session"],
                         "\n".join(self.lines))

    def test_measured_cases_have_positive_figures(self):
        self.assertIsNotNone(self.lines, self.output)
        for line in self.lines[:len(MEASURED)]:
            with self.subTest(line=line):
                match = MEASURED_LINE.match(line)
                self.assertIsNotNone(match, line)
                ratio, ours, floor = (float(g) for g in match.groups()[1:])
                self.assertGreater(min(ratio, ours, floor), 0)

    def test_cycle_in_milliseconds_and_the_runs_through_mirdu_run(self):
        self.assertIsNotNone(self.lines, self.output)
        match = CYCLE_LINE.match(self.lines[-5])
        self.assertIsNotNone(match, self.lines[-5])
        self.assertGreater(float(match.group(1)), 0)
        for line, form in zip(self.lines[-4:], RUNNER_LINES):
            with self.subTest(line=line):
                match = form.match(line)
                self.assertIsNotNone(match, line)
                ratio, first, last = (float(g) for g in match.groups()[:3])
                self.assertGreater(min(ratio, first, last), 0)

    def test_table_names_every_case_and_capture_folders_are_gone(self):
        for case in MEASURED + ["cycle", "scale", "scale-plain", "rerun", "session"]:
            self.assertRegex(self.output, r"(?m)^%s\s" % case)
        self.assertEqual(sorted(os.listdir(self.folder)), ["details.txt", "results.txt"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
