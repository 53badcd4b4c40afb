"""Packager hooks for the toolkit's extension modules.

An extension module's imports are made by its native code, so the packager
cannot see them; each hook here lists what one module imports when it loads
and when it runs. The distribution announces this folder through the
`pyinstaller40` entry point (`hook-dirs`).
"""
import os

# Imported by the multiprocessing machinery at run time, by name, depending
# on the start method; a spawned or forkserver child needs them in the bundle.
MULTIPROCESSING = [
    "multiprocessing",
    "multiprocessing.context",
    "multiprocessing.connection",
    "multiprocessing.forkserver",
    "multiprocessing.popen_fork",
    "multiprocessing.popen_forkserver",
    "multiprocessing.popen_spawn_posix",
    "multiprocessing.process",
    "multiprocessing.queues",
    "multiprocessing.reduction",
    "multiprocessing.resource_tracker",
    "multiprocessing.sharedctypes",
    "multiprocessing.spawn",
    "multiprocessing.synchronize",
    "multiprocessing.util",
]


def get_hook_dirs():
    return [os.path.dirname(os.path.abspath(__file__))]
