# Korvanth imports these when it loads (the module body), and queue, enum and
# types from its native code; psutil is the one third-party package.
from concurrency_toolkit._pyinstaller import MULTIPROCESSING

hiddenimports = [
    "os", "traceback", "time", "threading", "asyncio", "inspect", "psutil",
    "enum", "queue", "types",
] + MULTIPROCESSING
