"""End-to-end demonstration of the toolkit: runs each module's section in turn."""
import importlib
import multiprocessing
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# One entry per section module in this folder, in the order they run.
SECTIONS = [
    "section_korvanth",
    "section_process",
    "section_evaluation",
    "section_sarnovet",
    "section_utilities",
]


def main():
    for name in SECTIONS:
        mod = importlib.import_module(name)
        print("=" * 72)
        print(mod.TITLE)
        print("=" * 72, flush=True)
        mod.run()
    print("=" * 72)
    print("demo finished")


if __name__ == "__main__":
    # TOOLKIT_START_METHOD=fork|spawn|forkserver: how child processes start
    # (the host's default otherwise).
    if os.environ.get("TOOLKIT_START_METHOD"):
        multiprocessing.set_start_method(os.environ["TOOLKIT_START_METHOD"])
    main()
