import os
import re
import subprocess
import sys
import time
import types

import pytest

import Delmique

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAUNCHER = os.path.join(ROOT, "tools", "run_module.py")


class FakeClock(types.SimpleNamespace):
    """Stands in for Delmique.time: a fixed time of day, real parsing."""

    def __init__(self, hms="120000", ticks=None):
        super().__init__(hms=hms, calls=[], ticks=ticks)
        self.strptime = time.strptime
        self.localtime = time.localtime

    def strftime(self, *args):
        self.calls.append(args)
        return self.hms if args == ("%H%M%S",) else time.strftime(*args)

    def time(self):
        return self.ticks

    def sleep(self, sec):
        self.calls.append(("sleep", sec))
        time.sleep(sec)


@pytest.fixture
def util():
    return Delmique.CLASS_Delmique()


@pytest.mark.parametrize("now, ranges, expected", [
    ("022000", "022000-105931", True),              # both bounds inclusive
    ("105931", "022000-105931", True),
    ("021959", "022000-105931", False),
    ("105932", "022000-105931", False),
    ("022000", "105931-022000", True),              # bounds in either order
    ("105932", "105931-022000", False),
    ("230000", "220000-060000", False),             # never wraps past midnight
    ("120000", "220000-060000", True),
    ("033000", "010000-020000,030000-040000", True),
    ("023000", "010000-020000,030000-040000", False),
    ("120000", "000000-235959,x", True),            # later ranges never parsed
    ("120000", "x,000000-235959", ValueError),
    ("033000", "010000-020000, 030000-040000", ValueError),  # blank belongs to the bound
    ("120000", "", ValueError),
    ("110000", "120000", IndexError),               # one bound: fails either way
    ("130000", "120000", IndexError),
    ("103000", "100000-110000-999999", True),       # third piece ignored
    ("221000", "2200-2300", True),                  # short bounds, strptime's rules
    ("020230", "0220-0230", True),                  # 0220 is 02:02:00
    ("022500", "0220-0230", False),
    ("120000", "240000-250000", ValueError),
    ("120000", 5, AttributeError),
])
def test_current_time_in_range(monkeypatch, util, now, ranges, expected):
    clock = FakeClock(now)
    monkeypatch.setattr(Delmique, "time", clock)
    if isinstance(expected, bool):
        assert util.CUF_CurrentTimeInRange(ranges) is expected
        assert clock.calls == [("%H%M%S",)]          # the clock is read once
    else:
        with pytest.raises(expected):
            util.CUF_CurrentTimeInRange(Pms_TimeRange=ranges)


def test_host_parser_is_called_for_every_bound(monkeypatch, util):
    import _strptime
    calls = []
    real = _strptime._strptime_time
    monkeypatch.setattr(_strptime, "_strptime_time", lambda *a: calls.append(a) or real(*a))
    assert util.CUF_CurrentTimeInRange("000000-235959,x") is True
    assert [a[0] for a in calls][1:] == ["000000", "235959"] and len(calls) == 3


def test_names_are_looked_up_when_methods_run(monkeypatch, util):
    monkeypatch.delattr(Delmique, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        util.CUF_GetDate("")
    monkeypatch.delattr(Delmique, "signal")
    with pytest.raises(NameError, match="name 'signal' is not defined"):
        util.CUF_DisableCtrlC()


def test_date_and_time_strings(monkeypatch, util):
    ticks = time.mktime((2026, 12, 6, 22, 54, 12, 0, 0, -1))
    monkeypatch.setattr(Delmique, "time", FakeClock(ticks=ticks))
    assert util.CUF_GetDate("") == "20261206"
    assert util.CUF_GetDate("-") == "2026-12-06"
    assert util.CUF_GetDate("%%") == "2026%12%06"      # the separator is part of the format
    assert util.CUF_GetTime(":") == "22:54:12"
    assert util.CUF_GetDateTime("-", ":") == "2026-12-06 22:54:12"
    assert util.CUF_GetDateTime(Pms_SEP_Date="/", Pms_SEP_Time="") == "2026/12/06 225412"
    with pytest.raises(TypeError):
        util.CUF_GetTime(1)

    class Sub(Delmique.CLASS_Delmique):
        def CUF_GetDate(self, sep):
            return "D" + sep

    assert Sub().CUF_GetDateTime("|", ".") == "D| 22.54.12"


@pytest.mark.parametrize("method", ["CUF_Delay", "CUF_Sleep"])
def test_pause(monkeypatch, util, method):
    clock = FakeClock()
    monkeypatch.setattr(Delmique, "time", clock)
    assert getattr(util, method)(0) is None
    assert clock.calls == [("sleep", 0)]
    with pytest.raises(ValueError):
        getattr(util, method)(-1)
    with pytest.raises(TypeError):
        getattr(util, method)("1")
    with pytest.raises(TypeError):
        getattr(util, method)()


def test_disable_ctrl_c(py):
    out = py("""
        import os, signal, threading, time, types
        import Delmique
        u = Delmique.CLASS_Delmique()
        err = []
        t = threading.Thread(target=lambda: err.append(
            __import__("pytest").raises(ValueError, u.CUF_DisableCtrlC)))
        t.start(); t.join(10)
        assert err and signal.getsignal(signal.SIGINT) is signal.default_int_handler
        assert u.CUF_DisableCtrlC() is None
        assert signal.getsignal(signal.SIGINT) == signal.getsignal(signal.SIGTSTP) == signal.SIG_IGN
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.2)
        # a runtime without SIGTSTP: the interrupt key is ignored all the same
        signal.signal(signal.SIGINT, signal.default_int_handler)
        Delmique.signal = types.SimpleNamespace(signal=signal.signal, SIGINT=signal.SIGINT, SIG_IGN=signal.SIG_IGN)
        try:
            u.CUF_DisableCtrlC()
        except AttributeError:
            print("AttributeError", signal.getsignal(signal.SIGINT) == signal.SIG_IGN)
    """).stdout
    assert out == "AttributeError True\n"


def test_import_runs_no_demonstration(py):
    out = py("""
        import Delmique
        print([n for n in vars(Delmique) if not n.startswith("__")], Delmique.__doc__, Delmique.CLASS_Delmique.__doc__)
    """).stdout
    assert out == "['time', 'signal', 'CLASS_Delmique'] None None\n"


def test_demonstration_block():
    proc = subprocess.run([sys.executable, LAUNCHER, "Delmique"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 6
    assert lines[0] in ("True", "False")
    assert re.fullmatch(r"\d{4}/\d\d/\d\d \d{6}", lines[1])
    assert lines[2] == lines[3] == lines[1][8:10]
    assert re.fullmatch(r"\d\d:\d\d", lines[4]) and re.fullmatch(r"\d{4}", lines[5])


def test_launcher_binds_the_demonstration_instance(py):
    out = py(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(LAUNCHER)!r})
        from run_module import run_module
        m = run_module("Delmique")
        print(type(m.Gobj_Delmiq).__name__, m.__name__, sys.modules["__main__"] is m)
    """).stdout
    assert out.splitlines()[-1] == "CLASS_Delmique __main__ True"


def test_constructor_and_signatures():
    import inspect
    assert str(inspect.signature(Delmique.CLASS_Delmique)) == "()"
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        Delmique.CLASS_Delmique(1)
    assert list(inspect.signature(Delmique.CLASS_Delmique().CUF_GetDateTime).parameters) == [
        "Pms_SEP_Date", "Pms_SEP_Time"]
    # methods are host functions: self by keyword, bound methods with __func__
    u = Delmique.CLASS_Delmique()
    assert len(Delmique.CLASS_Delmique.CUF_GetDate(self=u, Pms_SEP_Date="-")) == 10
    assert str(inspect.signature(Delmique.CLASS_Delmique.CUF_GetDate)) == "(self, Pms_SEP_Date)"
    assert inspect.ismethod(u.CUF_Sleep) and u.CUF_Sleep.__func__ is vars(Delmique.CLASS_Delmique)["CUF_Sleep"]
