"""Suite-wide setup: the plan cache in a folder of its own, never the user's."""

import os
import shutil
import tempfile

_cache = tempfile.mkdtemp(prefix="korvel-plans-")


def pytest_configure(config):
    # Set before any test (and any child process they start) reads it.
    os.environ["KORVEL_CACHE"] = _cache


def pytest_unconfigure(config):
    shutil.rmtree(_cache, ignore_errors=True)
