"""Side-by-side timing for the benchmarks: the two sides alternate round by
round (which one goes first alternates too), so load from other work on the
machine falls on both alike; medians are compared."""
import statistics


def compare(label, native, python, rounds, unit=1e6, unit_name="us"):
    """Runs native() and python() (each returns seconds per call) `rounds`
    times, interleaved, after one warm-up each; prints and returns the ratio
    of the medians, native over Python."""
    native(), python()
    times = {native: [], python: []}
    for i in range(rounds):
        for side in (native, python) if i % 2 else (python, native):
            times[side].append(side())
    mn, mp = statistics.median(times[native]), statistics.median(times[python])
    print(f"{label}: native {mn * unit:.2f} {unit_name}, plain Python {mp * unit:.2f} {unit_name} per call")
    print(f"ratio native/Python = {mn / mp:.3f} (target <= 1.0)")
    return mn / mp
