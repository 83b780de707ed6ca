# The command imports a subcommand's module only when that subcommand runs
# (the table in tarvek/skills/cli/commands.py), out of PyInstaller's sight:
# a frozen command carries them all.
from tarvek.skills.cli.commands import COMMANDS

hiddenimports = sorted({f"tarvek.skills.cli.{command.module}" for command in COMMANDS.values()})
