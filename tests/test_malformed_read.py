import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def test_damaged_logs_end_cleanly():
    # A child process, so that a crash is a failure here, not a dead run.
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "malformed_read.py")],
        cwd=HERE, capture_output=True, text=True, timeout=300, check=False,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "FAILURES 0" in proc.stderr
