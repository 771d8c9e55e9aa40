"""Replays the fuzz targets' seeds and saved regression inputs.

The targets are built without the fuzzing engine (any compiler) but with
AddressSanitizer and UndefinedBehaviorSanitizer, so every input the fuzzer
ever crashed on keeps being checked, along with the targets' own oracles.
"""

import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FUZZ = os.path.join(ROOT, "fuzz")
TARGETS = ["scan", "stitch", "inflate", "prefix", "signals", "encode", "reader", "j1939", "isotp", "window",
           "stats", "asc", "candump", "trc", "mf4", "pcapng"]


@pytest.fixture(scope="module")
def replay_build(tmp_path_factory):
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    build = os.path.join(ROOT, "build", "fuzz-replay")
    subprocess.run(
        ["cmake", "-S", FUZZ, "-B", build, "-DFUZZ_ENGINE=replay", "-DCMAKE_BUILD_TYPE=Debug"],
        check=True, capture_output=True, timeout=600,
    )
    subprocess.run(
        ["cmake", "--build", build, "-j", str(os.cpu_count() or 1)],
        check=True, capture_output=True, timeout=1200,
    )
    seeds = tmp_path_factory.mktemp("seeds")
    subprocess.run([sys.executable, os.path.join(FUZZ, "make_seeds.py"), str(seeds)], check=True)
    return build, seeds


@pytest.mark.parametrize("target", TARGETS)
def test_fuzz_inputs_replay_cleanly(replay_build, target):
    build, seeds = replay_build
    inputs = [str(seeds / target), os.path.join(FUZZ, "regressions", target)]
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1", UBSAN_OPTIONS="halt_on_error=1")
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run(
        [os.path.join(build, f"fuzz_{target}"), *inputs],
        capture_output=True, text=True, timeout=600, env=env, check=False,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    replayed = int(proc.stdout.split()[1])
    assert replayed >= len(os.listdir(seeds / target))
