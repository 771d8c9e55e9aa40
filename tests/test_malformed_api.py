import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def last_case(stderr):
    if isinstance(stderr, bytes):
        stderr = stderr.decode(errors="replace")
    names = [line for line in (stderr or "").splitlines() if line.startswith("CASE ")]
    return names[-1] if names else "before the first case"


def test_wrong_arguments_end_cleanly():
    # A child process, so that a crash or a hang is a failure here, not a dead run.
    try:
        proc = subprocess.run(
            [sys.executable, os.path.join(HERE, "malformed_api.py")],
            cwd=HERE, capture_output=True, text=True, timeout=300, check=False,
        )
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"no end in sight; last started: {last_case(e.stderr)}")
    report = [line for line in proc.stderr.splitlines() if not line.startswith("CASE ")]
    assert proc.returncode == 0, (
        f"exit {proc.returncode}, last started: {last_case(proc.stderr)}\n"
        + "\n".join(report)[-4000:])
    assert "FAILURES 0" in proc.stderr
