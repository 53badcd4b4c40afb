# Delmique imports time and signal when it loads; its range test parses
# times through time.strptime, which imports _strptime on first use.
hiddenimports = ["time", "signal", "_strptime"]
