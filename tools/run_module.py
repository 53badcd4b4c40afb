#!/usr/bin/env python3
"""The launcher, run from the source tree: the same as the installed command

    concurrency-toolkit-run MODULE [ARG ...]

(src/concurrency_toolkit/run_module.py). It runs MODULE, an extension
module included, as the main program.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))
from concurrency_toolkit.run_module import main, run_module  # noqa: E402,F401

if __name__ == "__main__":
    sys.exit(main())
