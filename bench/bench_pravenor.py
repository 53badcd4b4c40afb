"""Per-call overhead of CLASS_ThreadTimer's loop against plain Python.

Interval 0 and a no-op function that stops the timer at its 10,000th call;
the Python side is a Timer subclass whose `run` is the same loop on the same
threading.Event. Both loops run on a started timer thread; rounds alternate
and the ratio of the medians is printed (at most 1.0).
"""
import threading
import time

from Pravenor import CLASS_ThreadTimer
from sidebyside import compare

CALLS = 10_000
ROUNDS = 15


class PyThreadTimer(threading.Timer):
    def run(self):
        self.finished.wait(self.interval)
        while not self.finished.is_set():
            self.function(*self.args, **self.kwargs)
            self.finished.wait(self.interval)


def per_call(cls):
    count = 0

    def noop():
        nonlocal count
        count += 1
        if count == CALLS:
            timer.finished.set()

    timer = cls(0, noop)
    t0 = time.perf_counter()
    timer.start()
    timer.join()
    elapsed = time.perf_counter() - t0
    assert count == CALLS
    return elapsed / CALLS


def main():
    compare("timer loop, interval 0, no-op function", lambda: per_call(CLASS_ThreadTimer),
            lambda: per_call(PyThreadTimer), ROUNDS)


if __name__ == "__main__":
    main()
