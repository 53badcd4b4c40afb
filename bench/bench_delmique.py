"""CUF_CurrentTimeInRange against the same logic in plain Python.

Both sides make the same `time` calls on a list of four ranges that the
clock almost never falls in, so every range is split and parsed. Rounds of
the two sides alternate; the ratio of the medians is printed (at most 1.0:
never slower than the obvious Python).
"""
import statistics
import time

import Delmique

RANGES = "000000-000001,060000-060001,120000-120001,180000-180001"
CALLS = 200
ROUNDS = 31


class PyDelmique:
    def CUF_CurrentTimeInRange(self, Pms_TimeRange):
        ms_Now = time.strptime(time.strftime("%H%M%S"), "%H%M%S")
        ms_Ranges = Pms_TimeRange.split(",")
        for ms_Range in ms_Ranges:
            ms_R = ms_Range.split("-")
            if time.strptime(ms_R[0], "%H%M%S") <= ms_Now <= time.strptime(ms_R[1], "%H%M%S") or \
                    time.strptime(ms_R[0], "%H%M%S") >= ms_Now >= time.strptime(ms_R[1], "%H%M%S"):
                return True
        return False


def per_call(obj):
    check = obj.CUF_CurrentTimeInRange
    t0 = time.perf_counter()
    for _ in range(CALLS):
        check(RANGES)
    return (time.perf_counter() - t0) / CALLS


def main():
    native, python = Delmique.CLASS_Delmique(), PyDelmique()
    assert native.CUF_CurrentTimeInRange(RANGES) == python.CUF_CurrentTimeInRange(RANGES)
    per_call(native), per_call(python)  # warm-up (strptime's caches)
    n, p = [], []
    for i in range(ROUNDS):
        for obj, out in ((native, n), (python, p)) if i % 2 else ((python, p), (native, n)):
            out.append(per_call(obj))
    mn, mp = statistics.median(n), statistics.median(p)
    print(f"CUF_CurrentTimeInRange, four ranges: native {mn * 1e6:.1f} us, plain Python {mp * 1e6:.1f} us per call")
    print(f"ratio native/Python = {mn / mp:.3f} (target <= 1.0)")


if __name__ == "__main__":
    main()
