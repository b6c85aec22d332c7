"""The pytest plugin (entry point pytest11 "mirdu"): a fixture `mirdu` that runs programs in
one mirdu.Session of the whole test session, each run keeping its captures, log and trace in
the test's tmp_path, and a failing test's report that shows what its runs left.

    def test_flash(mirdu):
        with mirdu.start("flashtool.exe", as_dll="vendor.dll") as run:
            run.fill("Firmware file:", r"Z:\\fw\\app.bin")
            run.click("Program device")
            run.answer("OK")
            run.close()
            result = run.wait(timeout=120)
        assert b"".join(c.data() for c in result.captures) == firmware

Each pytest-xdist worker has a Wine prefix of its own (the prefix, then "-" and the worker's
id), so that `pytest -n 2` runs two programs at once: a prefix runs one at a time."""

import os

import pytest

from .prefix import default_prefix
from .runs import RunError, StepError
from .session import Session

LOG_TAIL = 20
RIG = pytest.StashKey()


def pytest_addoption(parser):
    group = parser.getgroup("mirdu")
    text = ("the Wine prefix (default mirdu-run's own); under pytest-xdist each worker has its "
            "own beside it: this path and -gw0, -gw1...")
    group.addoption("--mirdu-prefix", metavar="DIR", help=text)
    parser.addini("mirdu_prefix", text + " (from the ini file's folder)", type="paths")
    text = "seconds that a run may last unless the test says (default 600)"
    group.addoption("--mirdu-timeout", metavar="SECONDS", type=float, help=text)
    parser.addini("mirdu_timeout", text, default="600")
    text = "draw the windows on a virtual X server and keep a picture of each run's end"
    group.addoption("--mirdu-screenshots", action="store_true", default=None, help=text)
    parser.addini("mirdu_screenshots", text, type="bool", default=False)


def setting(config, name):
    """The command line's value, else the ini file's."""
    given = config.getoption("mirdu_" + name)
    return given if given is not None else config.getini("mirdu_" + name)


@pytest.fixture(scope="session")
def mirdu_session(request):
    """The test session's one mirdu.Session: it holds its prefix's lock while it lasts."""
    prefix = setting(request.config, "prefix") or default_prefix()
    prefix = os.path.abspath(prefix if isinstance(prefix, str) else prefix[0])
    worker = os.environ.get("PYTEST_XDIST_WORKER")
    with Session(prefix=prefix + "-" + worker if worker else prefix,
                 draw=setting(request.config, "screenshots")) as session:
        yield session


@pytest.fixture
def mirdu(request, mirdu_session, tmp_path):
    rig = Rig(mirdu_session, tmp_path, setting(request.config, "timeout"))
    request.node.stash[RIG] = rig
    yield rig
    rig.stop("stopped: the test ended")


class Rig:
    """The `mirdu` fixture: run() and start() as a Session's, with each run's captures, log,
    trace (and screenshot) in the test's tmp_path unless told otherwise; the second run of a
    test uses captures-2, mirdu-2.log and so on."""

    RunError, StepError = RunError, StepError

    def __init__(self, session, tmp_path, timeout):
        self.session, self.tmp_path, self.timeout = session, tmp_path, timeout
        self.prefix = session.prefix.path if session.prefix else None
        self.runs = []
        self.reported = False

    def start(self, program, *args, **options):
        tag = "-%d" % (len(self.runs) + 1) if self.runs else ""
        defaults = {"captures": "captures" + tag, "log": "mirdu%s.log" % tag,
                    "trace": "mirdu%s-trace.jsonl" % tag}
        if self.session.drawn:
            defaults["screenshot"] = "mirdu%s-screenshot.png" % tag
        for name, file in defaults.items():
            options.setdefault(name, self.tmp_path / file)
        options.setdefault("timeout", self.timeout)
        run = self.session.start(program, *args, **options)
        self.runs.append((os.path.basename(str(program)), run))
        return run

    def run(self, program, *args, **options):
        with self.start(program, *args, **options) as run:
            return run.wait()

    def stop(self, why):
        """Ends the runs still going, their windows named."""
        for _, run in self.runs:
            if not run.done:
                run.stop(why=why)
                run.drain_events()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failing test's report: for each of its runs, how it ended, its log's last lines, the
    windows named at its end and where its trace and screenshot are."""
    report = (yield).get_result()
    rig = item.stash.get(RIG, None)
    if rig is None or not report.failed or rig.reported:
        return
    rig.reported = True
    rig.stop("stopped: the test failed")
    for number, (program, run) in enumerate(rig.runs, 1):
        report.sections.append(("mirdu run %d: %s" % (number, program), describe(run)))


def describe(run):
    lines = [(run.exit or {}).get("ended") or "exit status %s" % run.status]
    log = run.options.get("log")
    if log:
        try:
            with open(log, encoding="utf-8", errors="replace") as f:
                tail = f.read().splitlines()[-LOG_TAIL:]
            lines += ["log %s, its last %d lines:" % (log, len(tail))] + ["  " + t for t in tail]
        except OSError as error:
            lines.append("log %s: %s" % (log, error.strerror))
    if run.windows:
        lines += ["windows at the end:"] + ["  " + w for w in run.windows]
    for name in ("trace", "screenshot"):
        path = run.options.get(name)
        if path:
            lines.append("%s %s%s" % (name, path, "" if os.path.exists(path) else
                                      " (not written)"))
    return "\n".join(lines)
