"""What input from elsewhere may hold before it is refused unread: the
archives `verify` looks into and the skills `install` takes from any
source (an archive, a download, a repository or a directory)."""

MAX_MEMBERS = 100_000
MAX_TOTAL = 1 << 30  # bytes, unpacked
MAX_RATIO = 100  # unpacked size / archive size, once the unpacked size is past:
RATIO_FLOOR = 16 << 20
MAX_LINK = 4096  # bytes of a symbolic link's target
