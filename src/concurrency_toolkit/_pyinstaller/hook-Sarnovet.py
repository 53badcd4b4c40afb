# Sarnovet imports the database driver and these standard modules when it loads.
from concurrency_toolkit._pyinstaller import MULTIPROCESSING

hiddenimports = ["pymysql", "socket", "time", "os", "uuid"] + MULTIPROCESSING
