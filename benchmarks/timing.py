"""Timing helpers shared by the benchmark scripts."""

import statistics
import time


def median_time(fn, runs):
    """Median wall time of `runs` calls of fn, in seconds."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)
