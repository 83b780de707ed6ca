# The extension module imports these from C++, out of PyInstaller's sight.
hiddenimports = ["json", "os", "sys", "pathlib", "typing"]
