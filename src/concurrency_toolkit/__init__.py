"""Python side of the concurrency toolkit distribution.

The four extension modules (Korvanth, Sarnovet, Delmique, Pravenor) are
top-level modules; this package holds the console commands that come with
them and the packager hook for frozen programs:

- run_module: `concurrency-toolkit-run MODULE`, runs an extension module as
  the main program (its demonstration block);
- worker_table: `sarnovet-admin`, the operator command for Sarnovet's
  worker table;
- _pyinstaller: the hook directory announced to the packager through the
  `pyinstaller40` entry point.
"""
