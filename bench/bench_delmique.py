"""CUF_CurrentTimeInRange against the same logic in plain Python.

Both sides make the same `time` calls (one strftime, then strptime for the
clock and for every bound reached) on a list of four ranges that the clock
almost never falls in, so every range is split and parsed. The native side
reaches the host's own strptime implementation without the import round
trip that time.strptime makes on every call; the parsing itself, most of
the time on both sides, is the same host code. Rounds of the two sides
alternate; the ratio of the medians is printed (at most 1.0: never slower
than the obvious Python).
"""
import time

import Delmique
from common import interleaved, report

RANGES = "000000-000001,060000-060001,120000-120001,180000-180001"
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


def main():
    native, python = Delmique.CLASS_Delmique(), PyDelmique()
    assert native.CUF_CurrentTimeInRange(RANGES) == python.CUF_CurrentTimeInRange(RANGES)
    cases = {"native": lambda: native.CUF_CurrentTimeInRange(RANGES),
             "python": lambda: python.CUF_CurrentTimeInRange(RANGES)}
    interleaved(cases, rounds=1, number=50)  # warm-up (strptime's caches)
    t = interleaved(cases, rounds=ROUNDS, number=200)
    report("CUF_CurrentTimeInRange, four ranges", t["native"], t["python"], "native", "plain Python", target=1.0)


if __name__ == "__main__":
    main()
