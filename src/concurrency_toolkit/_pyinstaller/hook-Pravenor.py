# Pravenor subclasses threading.Timer and imports time when it loads.
hiddenimports = ["threading", "time", "types"]
