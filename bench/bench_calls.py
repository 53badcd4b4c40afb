"""Per-call cost of the classes' methods and attributes against the same
classes written in plain Python.

Each native case has a plain-Python twin with the same body (one attribute
store of time.time(), a flag store, a class-attribute test); rounds of the
two alternate and the ratio of the medians is printed. The figures show
what a method call, a bound-method read, a class-method call and an
instance-attribute read cost through the toolkit's own classes.
"""
import time

import Korvanth
from common import interleaved, report


class PyWatchDog:
    def __init__(self):
        self.CVI_Timeout = 3600
        self.CVF_OnDead = print
        self.CVT_LastBeat = time.time()
        self._stop = False

    def CUF_Beat(self):
        self.CVT_LastBeat = time.time()

    def CUF_Stop(self):
        self._stop = True


class PyGate:
    _instance = None

    @classmethod
    def CUF_Instance(cls, Pmf_OnOverLimit=None):
        if cls._instance is None:
            cls._instance = PyGate()
        return cls._instance


def main():
    dog = Korvanth.CLASS_WatchDog(3600, print)
    dog.CUF_Stop()
    pydog = PyWatchDog()
    Gate = Korvanth.CLASS_ProcessGate
    Gate.CUF_Instance()
    PyGate.CUF_Instance()
    pairs = {
        "method call dog.CUF_Beat()": (lambda: dog.CUF_Beat(), lambda: pydog.CUF_Beat()),
        "unbound call CLASS_WatchDog.CUF_Stop(dog)": (lambda: Korvanth.CLASS_WatchDog.CUF_Stop(dog),
                                                    lambda: PyWatchDog.CUF_Stop(pydog)),
        "bound-method read dog.CUF_Beat": (lambda: dog.CUF_Beat, lambda: pydog.CUF_Beat),
        "class-method call CUF_Instance()": (lambda: Gate.CUF_Instance(), lambda: PyGate.CUF_Instance()),
        "attribute read dog.CVT_LastBeat": (lambda: dog.CVT_LastBeat, lambda: pydog.CVT_LastBeat),
    }
    for title, (native, python) in pairs.items():
        cases = {"native": native, "python": python}
        interleaved(cases, rounds=1, number=2000)
        t = interleaved(cases, rounds=21, number=20000)
        report(title, t["native"], t["python"], "native", "plain Python")


if __name__ == "__main__":
    main()
