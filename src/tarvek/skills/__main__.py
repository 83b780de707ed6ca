"""`python -m tarvek.skills`: the same command as the `tarvek-skills` script."""

import sys

from tarvek.skills.cli import main

if __name__ == "__main__":
    sys.exit(main())
