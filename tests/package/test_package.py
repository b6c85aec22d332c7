"""The Python package's own rules, with no Wine: the Linux runner's command line as the
contract's table makes it, what of it goes on to mirdu-run.exe, the exit statuses, and the
README's option table and keywords against the table."""

import contextlib
import io
import os
import re
import sys
import unittest
from unittest import mock

SOURCE = os.environ.get("MIRDU_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from mirdu import contract, options, session  # noqa: E402


def refused(argv):
    """What parse_options said when it refused argv (it exits with 2)."""
    errors = io.StringIO()
    with contextlib.redirect_stderr(errors):
        try:
            options.parse_options(argv)
        except SystemExit as exit:
            if exit.code == 2:
                return errors.getvalue()
            raise
    return None


class CommandLine(unittest.TestCase):
    @mock.patch("os.isatty", return_value=True)    # --interactive wants a terminal
    def test_takes_each_option_whole_and_refuses_its_abbreviation(self, isatty):
        for option in contract.offered("linux"):
            value = [] if option.switch else ["7"]
            with self.subTest(option.flag):
                self.assertIsNone(refused([option.flag] + value + ["p.exe"]))
                shortened = option.flag[:-1]
                said = refused([shortened] + value + ["p.exe"])
                self.assertIsNotNone(said, shortened)
                self.assertIn("unrecognized arguments: " + shortened, said)

    def test_the_engines_own_options_are_not_the_users(self):
        for option in contract.OPTIONS:
            if option.runners == contract.ENGINE:
                self.assertIsNotNone(refused([option.flag] + ([] if option.switch else ["x"])
                                             + ["p.exe"]), option.flag)

    def test_values_and_defaults(self):
        given = options.parse_options(["--no-staging", "--linger=0", "--do", "close", "--do",
                                       "wait x", "p.exe", "--linger", "9"])
        self.assertEqual((given.staging, given.linger, given.do, given.captures, given.args),
                         (False, 0, ["close", "wait x"], "captures", ["--linger", "9"]))
        self.assertIn("whole number", refused(["--linger", "1.5", "p.exe"]))
        self.assertIn("no PROGRAM.exe", refused(["--log", "x"]))

    def test_the_engine_gets_all_but_the_linux_runners_own_options(self):
        argv = ["--prefix", "p", "--log=run.log", "--linger", "0", "--no-staging", "--display",
                "--captures=c", "--interactive", "--do", "click --prefix", "--timeout", "5",
                "--", "prog.exe", "--prefix", "q", "--display"]
        self.assertEqual(options.engine_arguments(argv),
                         ["--log=run.log", "--interactive", "--do", "click --prefix",
                          "--timeout", "5", "--", "prog.exe", "--prefix", "q", "--display"])
        self.assertEqual(options.engine_arguments(["prog.exe", "--captures", "x"]),
                         ["prog.exe", "--captures", "x"])


class Statuses(unittest.TestCase):
    def test_a_crash_is_its_code_for_python_and_its_low_byte_for_a_process(self):
        access_violation = -1073741819    # 0xC0000005 as the engine's signed status
        self.assertEqual(contract.windows_status(access_violation), 0xC0000005)
        self.assertEqual(contract.process_status(access_violation), 5)
        self.assertEqual(contract.process_status(0xC0000005), 5)
        for status in (0, 3, 123, 255):
            self.assertEqual((contract.windows_status(status), contract.process_status(status)),
                             (status, status))


class Readme(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            cls.readme = f.read()

    def test_the_option_table_is_the_contracts(self):
        rows = re.findall(r"^\| `(--[a-z-]+)(?: ([^`]+))?` \| (.*) \|$", self.readme, re.M)
        self.assertEqual([(flag, metavar or None) for flag, metavar, _ in rows],
                         [(o.flag, o.metavar) for o in contract.offered("linux")])
        for (flag, _, meaning), option in zip(rows, contract.offered("linux")):
            self.assertEqual(meaning.startswith("Linux: "), option.runners == contract.LINUX,
                             flag)

    def test_every_keyword_is_named(self):
        keywords = [o.keyword for o in contract.offered("linux")]
        self.assertEqual(sorted(set(session.OPTIONS) | {"captures", "steps"}),
                         sorted(o.keyword for o in contract.offered("linux") if o.scope == "run"))
        for keyword in keywords:
            self.assertTrue("`%s=" % keyword in self.readme, keyword)


if __name__ == "__main__":
    unittest.main(verbosity=2)
