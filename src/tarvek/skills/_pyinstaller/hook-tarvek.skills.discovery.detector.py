# The extension module imports these from C++, out of PyInstaller's sight.
hiddenimports = ["json", "logging", "os", "shutil", "pathlib", "tarvek.skills.domain.models"]
