#!/usr/bin/env python3
"""Checks of the distribution, used by `make dist` and `make dist-test`.

    check_dist.py files DIST_DIR   - the sdist and the wheels in DIST_DIR
                                     hold what users and packagers need;
                                     each wheel is a manylinux wheel for
                                     one CPython version
    check_dist.py installed        - run by the interpreter of a fresh
                                     environment that got the sdist or a
                                     wheel: the modules import and run a
                                     task in each mode, the stubs and
                                     commands are there and work
    check_dist.py installed --wheel  - the same, and the environment got our
                                     manylinux wheel for this interpreter and
                                     can reach no compiler

Prints one line per check; exits 1 on the first failed one.
"""
import email.parser
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

MODULES = ["Korvanth", "Sarnovet", "Delmique", "Pravenor"]
DIST = "concurrency-toolkit"
COMMANDS = ["concurrency-toolkit-run", "sarnovet-admin"]
PACKAGE_FILES = ["concurrency_toolkit/__init__.py", "concurrency_toolkit/run_module.py",
                 "concurrency_toolkit/worker_table.py", "concurrency_toolkit/_pyinstaller/__init__.py"] + \
                [f"concurrency_toolkit/_pyinstaller/hook-{m}.py" for m in MODULES]
STUBS = [f"{m}-stubs/__init__.pyi" for m in MODULES]


def ok(what):
    print(f"  ok  {what}")


def fail(what):
    print(f"  FAILED  {what}", file=sys.stderr)
    sys.exit(1)


def expect(cond, what):
    ok(what) if cond else fail(what)


def one(pattern):
    found = glob.glob(pattern)
    if len(found) != 1:
        fail(f"exactly one {pattern} (found {found})")
    return found[0]


def check_files(dist_dir):
    sdist = one(os.path.join(dist_dir, "*.tar.gz"))
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    for f in ["LICENSE", "README.md", "pyproject.toml", "CMakeLists.txt", "PKG-INFO",
              "taskrunner/Korvanth.pyi", "src/concurrency_toolkit/worker_table.py", "tools/run_module.py"]:
        expect(f in names, f"sdist has {f}")
    expect(not any(n.startswith((".venv", "build/", "dist/")) for n in names), "sdist has no environments or build output")

    wheels = sorted(glob.glob(os.path.join(dist_dir, "*.whl")))
    expect(wheels, f"wheels in {dist_dir}")
    for wheel in wheels:
        print(f"  {os.path.basename(wheel)}")
        check_wheel(wheel)


# name-version-cpXY-cpXY-manylinux_A_B_arch.whl: a wheel for one CPython
# version (never abi3: the modules use the version-specific API).
WHEEL_NAME = re.compile(r"concurrency_toolkit-[^-]+-(cp3\d+)-(cp3\d+)-(manylinux_\d+_\d+_\w+)\.whl")


def check_wheel(wheel):
    m = WHEEL_NAME.fullmatch(os.path.basename(wheel))
    expect(m and m[1] == m[2], "tagged for one CPython version and manylinux")
    py, plat = m[1], m[3]
    arch = plat.split("_", 3)[3]
    with zipfile.ZipFile(wheel) as whl:
        names = set(whl.namelist())
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        meta = email.parser.Parser().parsestr(whl.read(f"{info}/METADATA").decode())
        wheel_info = email.parser.Parser().parsestr(whl.read(f"{info}/WHEEL").decode())
        entry_points = whl.read(f"{info}/entry_points.txt").decode()
    expect(wheel_info.get_all("Tag") == [f"{py}-{py}-{plat}"] and wheel_info["Root-Is-Purelib"] == "false",
           f"WHEEL says {py}-{py}-{plat}, not pure")
    for m in MODULES:
        expect(f"{m}.cpython-{py[2:]}-{arch}-linux-gnu.so" in names, f"wheel has the {m} module for {py}")
    expect(not [n for n in names if n.endswith(".so") and ".abi3." in n], "no abi3 module")
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True, text=True)
    expect(shown.returncode == 0 and f'consistent with the following platform tag: "{plat}"'
           in " ".join(shown.stdout.split()), f"auditwheel show: {plat}")
    for f in STUBS + PACKAGE_FILES:
        expect(f in names, f"wheel has {f}")
    expect(not [n for n in names if "/" not in n and n.endswith(".pyi")], "wheel has no top-level .pyi files")
    expect(f"{info}/licenses/LICENSE" in names, "wheel carries LICENSE")
    expect(meta["Name"] == DIST, f"name {DIST}")
    expect(meta["License-Expression"] == "MIT", "license expression MIT")
    expect(meta["Requires-Python"] == ">=3.10", "requires Python >= 3.10")
    classifiers = meta.get_all("Classifier") or []
    for c in ["Programming Language :: Python :: 3.10", "Programming Language :: Python :: 3.13",
              "Programming Language :: Python :: Implementation :: CPython", "Typing :: Typed"]:
        expect(c in classifiers, f"classifier {c!r}")
    expect(meta["Description-Content-Type"] == "text/markdown", "readme as markdown")
    expect(DIST in meta.get_payload(), "readme names the distribution")
    requires = [r.split()[0].split(";")[0] for r in meta.get_all("Requires-Dist") or []]
    expect({"psutil", "PyMySQL"} <= set(requires), "depends on psutil and PyMySQL")
    for c in COMMANDS:
        expect(f"\n{c} = " in entry_points, f"console command {c}")
    expect("[pyinstaller40]\nhook-dirs = concurrency_toolkit._pyinstaller:get_hook_dirs" in entry_points,
           "packager hook entry point")


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120, **kw)


# The task of every mode: module level, so that a child process started by
# spawn or forkserver finds it too; it leaves its pid in the file named by
# the environment (which children inherit under every start method).
MARK = "CHECK_DIST_TASK_MARK"


def task():
    mark = os.environ[MARK]
    with open(f"{mark}.{os.getpid()}", "w") as f:
        f.write(str(os.getpid()))
    os.replace(f.name, mark)


async def async_task():
    task()


finished = []


def on_finished(pid, status, error, task):  # keyword names as the runner calls it
    finished.append((pid, status, error))


def check_modes():
    import tempfile
    import time
    from Korvanth import CLASS_MultiTask, ENUM_TASK_MODE as M

    for mode, func in [(M.cE_TaskM_TThread, task), (M.cE_TaskM_AsyncThread, async_task),
                       (M.cE_TaskM_TProcess, task)]:
        with tempfile.TemporaryDirectory() as tmp:
            os.environ[MARK] = mark = os.path.join(tmp, "mark")
            finished.clear()
            CLASS_MultiTask(mode, func, Pmb_EnableWatchDog=False, PmF_Event_OnProcessFinished=on_finished).CUF_Start()
            end = time.monotonic() + 60
            while time.monotonic() < end and not (os.path.exists(mark) and (mode != M.cE_TaskM_TProcess or finished)):
                time.sleep(0.02)
            pids = open(mark).read().split() if os.path.exists(mark) else []
            if mode == M.cE_TaskM_TProcess:
                expect(pids and finished and finished[0][:2] == (int(pids[0]), "OK") and pids[0] != str(os.getpid()),
                       f"a task in {mode.name}: in child {pids}, reported {finished}")
            else:
                expect(pids == [str(os.getpid())], f"a task in {mode.name}")


def check_from_wheel():
    import importlib.metadata as md

    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    wheel = email.parser.Parser().parsestr(md.distribution(DIST).read_text("WHEEL"))
    tags = wheel.get_all("Tag") or []
    expect(len(tags) == 1 and re.fullmatch(rf"{tag}-{tag}-manylinux_\d+_\d+_\w+", tags[0]),
           f"installed from our manylinux wheel for {tag}: {tags}")
    compilers = ["cc", "c++", "gcc", "g++", "clang", "clang++", "cmake", "ninja", "ld"]
    cxx = (sysconfig.get_config_var("CXX") or "").split()[:1]
    found = [shutil.which(c) for c in compilers + cxx]
    expect(not any(found), f"no compiler on PATH ({' '.join(compilers + cxx)})")
    expect(all(not os.path.exists(os.environ.get(v) or "/") for v in ("CC", "CXX")), "CC and CXX name nothing")


def check_installed(from_wheel):
    import importlib
    import importlib.metadata as md

    if from_wheel:
        check_from_wheel()
    site = sysconfig.get_paths()["platlib"]
    for m in MODULES:
        mod = importlib.import_module(m)
        expect(os.path.dirname(mod.__file__) == site, f"import {m} from {site}")
    check_modes()
    files = {str(f) for f in md.files(DIST)}
    for f in STUBS:
        expect(f in files and os.path.isfile(os.path.join(site, f)), f"stub package {f}")
    hooks = [ep for ep in md.entry_points(group="pyinstaller40") if ep.value.startswith("concurrency_toolkit.")]
    expect(len(hooks) == 1 and all(os.path.isfile(os.path.join(d, f"hook-{m}.py"))
                                   for d in hooks[0].load()() for m in MODULES), "packager hooks")
    bindir = os.path.dirname(sys.executable)
    done = run([os.path.join(bindir, "concurrency-toolkit-run"), "Delmique"])
    expect(done.returncode == 0 and len(done.stdout.splitlines()) == 6, "concurrency-toolkit-run Delmique")
    done = run([os.path.join(bindir, "sarnovet-admin"), "--help"])
    expect(done.returncode == 0 and "requeue" in done.stdout, "sarnovet-admin --help")
    done = run([os.path.join(bindir, "sarnovet-admin"), "--table", "no such", "status"])
    expect(done.returncode == 2 and "invalid table name" in done.stderr, "sarnovet-admin refuses a bad table name")


def main():
    if sys.argv[1:2] == ["files"] and len(sys.argv) == 3:
        check_files(sys.argv[2])
    elif sys.argv[1:2] == ["installed"] and sys.argv[2:] in ([], ["--wheel"]):
        check_installed(sys.argv[2:] == ["--wheel"])
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
