import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; a crash shows as a failure."""

    def run(code, timeout=120):
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        return proc

    return run
