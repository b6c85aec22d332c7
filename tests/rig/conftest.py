"""The suite's shared test code (tests/pylib) on the path. In the win32 lane of a machine that
cannot run 32-bit programs it says why and ends the session with SKIP, which CTest reports as
a skip: at import, as the other suites do, would be a collection error to pytest."""

import contextlib
import io
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))


def pytest_sessionstart(session):
    said = io.StringIO()
    try:
        with contextlib.redirect_stdout(said):
            import mirdu_test  # noqa: F401
    except SystemExit as skip:
        pytest.exit(said.getvalue().strip(), returncode=skip.code)
