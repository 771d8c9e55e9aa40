import os

import pytest


@pytest.mark.skipif(not os.environ.get("KORVEL_SANITIZED"), reason="not the sanitizer run")
def test_sanitizer_runtime_is_active():
    # The sanitizer run must really run instrumented modules, not a stale
    # plain build left in the environment.
    import korvel.korvel as k

    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps
    path = k.__file__
    with open(path, "rb") as f:
        assert b"__asan_report" in f.read()
