"""`python -m tarvek.skills`: the same command as the `tarvek-skills` script."""

from tarvek.skills.cli import console_main

if __name__ == "__main__":
    console_main()
