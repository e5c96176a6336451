"""Timing shared by the Python benchmarks in this folder."""
import time


def best_of(fn, repeats=5):
    """The shortest of `repeats` wall-clock timings of fn(), in seconds:
    the run least disturbed by the rest of the machine."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
