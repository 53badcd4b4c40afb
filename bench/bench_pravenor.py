"""Per-call overhead of CLASS_ThreadTimer's loop against plain Python.

Interval 0 and a no-op function that stops the timer at its 10,000th call;
the Python side is a Timer subclass whose `run` is the same loop on the same
threading.Event. Both loops run on a started timer thread; rounds alternate
and the ratio of the medians is printed (at most 1.0).
"""
import threading

from Pravenor import CLASS_ThreadTimer
from common import interleaved, report

CALLS = 10_000
ROUNDS = 15


class PyThreadTimer(threading.Timer):
    def run(self):
        self.finished.wait(self.interval)
        while not self.finished.is_set():
            self.function(*self.args, **self.kwargs)
            self.finished.wait(self.interval)


def timer_run(cls):
    count = 0

    def noop():
        nonlocal count
        count += 1
        if count == CALLS:
            timer.finished.set()

    timer = cls(0, noop)
    timer.start()
    timer.join()
    assert count == CALLS


def main():
    cases = {"native": lambda: timer_run(CLASS_ThreadTimer), "python": lambda: timer_run(PyThreadTimer)}
    interleaved(cases, rounds=1, number=1)  # warm-up
    t = interleaved(cases, rounds=ROUNDS, number=1)
    report("timer loop per call, interval 0, no-op function", t["native"] / CALLS, t["python"] / CALLS,
           "native", "plain Python", target=1.0)


if __name__ == "__main__":
    main()
