"""Helpers for the benchmarks: interleaved, repeated measurements."""
import statistics
import time


def interleaved(cases, rounds=15, number=200, settle=None):
    """Times each callable in `cases` (name -> fn) `number` times per round,
    alternating the cases round by round; returns name -> median seconds per call."""
    samples = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            samples[name].append((time.perf_counter() - t0) / number)
            if settle:
                settle()
    return {name: statistics.median(v) for name, v in samples.items()}


def report(title, ours, theirs, ours_name, theirs_name, target=None):
    ratio = ours / theirs
    line = f"{title}: {ours_name} {ours * 1e6:.2f} us, {theirs_name} {theirs * 1e6:.2f} us, ratio {ratio:.3f}"
    if target is not None:
        line += f" (target <= {target:.2f}: {'met' if ratio <= target else 'NOT met'})"
    print(line, flush=True)
    return ratio
