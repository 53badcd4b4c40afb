"""Runs an extension module as the main program.

    concurrency-toolkit-run MODULE [ARG ...]

`python -m MODULE` refuses extension modules ("No code object available").
This launcher does what `-m` does for a module written in Python: it finds
MODULE through the import system, creates the module object, names it
"__main__" and binds it as sys.modules["__main__"], then runs the module's
execution step, which sees `__name__ == "__main__"` (so Delmique and
Pravenor run their demonstration blocks). sys.argv becomes the module's
file followed by the remaining arguments. An exception from the module ends
the program as it would end a script.
"""
import importlib.machinery
import importlib.util
import runpy
import sys


def run_module(name, argv=()):
    """Runs module `name` as "__main__"; returns the module object (its
    namespace for a module written in Python)."""
    spec = importlib.util.find_spec(name)
    if spec is None or spec.loader is None:
        raise ImportError(f"No module named {name!r}", name=name)
    if not isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
        sys.argv[:] = [name, *argv]  # a module in Python: what `python -m` does
        return runpy.run_module(name, run_name="__main__", alter_sys=True)
    module = importlib.util.module_from_spec(spec)  # create step only
    module.__name__ = "__main__"
    sys.argv[:] = [spec.origin or name, *argv]
    sys.modules["__main__"] = module
    spec.loader.exec_module(module)  # execution step: the module body
    return module


def main():
    if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    name = sys.argv[1]
    if importlib.util.find_spec(name) is None:
        print(f"{sys.argv[0]}: no module named {name!r}", file=sys.stderr)
        return 1
    launcher = sys.modules["__main__"]  # this script's module stays alive while the module runs
    run_module(name, sys.argv[2:])
    del launcher
    return 0


if __name__ == "__main__":
    sys.exit(main())
