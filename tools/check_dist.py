#!/usr/bin/env python3
"""Checks of the distribution, used by `make dist` and `make dist-test`.

    check_dist.py files DIST_DIR   - the sdist and the wheel in DIST_DIR hold
                                     what users and packagers need
    check_dist.py installed        - run by the interpreter of a fresh
                                     environment that got the sdist: the
                                     modules import, the stubs and commands
                                     are there and work

Prints one line per check; exits 1 on the first failed one.
"""
import email.parser
import glob
import os
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

    wheel = one(os.path.join(dist_dir, "*.whl"))
    with zipfile.ZipFile(wheel) as whl:
        names = set(whl.namelist())
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        meta = email.parser.Parser().parsestr(whl.read(f"{info}/METADATA").decode())
        entry_points = whl.read(f"{info}/entry_points.txt").decode()
    for m in MODULES:
        expect(any(n.startswith(f"{m}.cpython-") and n.endswith(".so") for n in names), f"wheel has the {m} module")
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


def check_installed():
    import importlib
    import importlib.metadata as md

    site = sysconfig.get_paths()["platlib"]
    for m in MODULES:
        mod = importlib.import_module(m)
        expect(os.path.dirname(mod.__file__) == site, f"import {m} from {site}")
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
    elif sys.argv[1:] == ["installed"]:
        check_installed()
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
