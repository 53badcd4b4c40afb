"""Gives multiprocessing the default start method named by the environment
variable TOOLKIT_START_METHOD (fork, spawn or forkserver), in every
interpreter started with this folder on PYTHONPATH; tests/conftest.py puts it
there when the variable is set.

It changes the default only, as a newer host's own default would: a program
that chooses a method (set_start_method, get_context) still gets its choice.
"""
import os


def apply_default_start_method():
    method = os.environ.get("TOOLKIT_START_METHOD")
    if method:
        import multiprocessing
        import multiprocessing.context

        # The host keeps its default context here until a method is set.
        multiprocessing.context._default_context._default_context = multiprocessing.get_context(method)


apply_default_start_method()
