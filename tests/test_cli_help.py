"""`tavrin --help` lists every command without importing the command modules."""

import os
import subprocess
import sys

import click

from tavrin.cli import COMMAND_HELP, COMMAND_MODULES, cli

LISTING = """
import sys
from tavrin.cli import main
try:
    main(["--help"])
except SystemExit:
    pass
print("langchain loaded" if "langchain" in sys.modules else "langchain not loaded")
"""


def _env() -> dict:
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:  # a short-lived child's exit is no place to hunt leaks
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def test_help_lists_every_command_without_loading_langchain():
    done = subprocess.run([sys.executable, "-c", LISTING], capture_output=True, text=True, timeout=120,
                          env=_env())
    assert done.returncode == 0, done.stderr
    assert done.stdout.rstrip().endswith("langchain not loaded")
    listed = [line.split()[0] for line in done.stdout.split("Commands:\n")[1].splitlines()[:-1] if line.strip()]
    assert listed == sorted(set(COMMAND_MODULES) | set(cli.commands))
    via_module = subprocess.run([sys.executable, "-m", "tavrin", "--help"], capture_output=True, text=True,
                                timeout=120, env=_env())
    assert via_module.returncode == 0 and "Commands:" in via_module.stdout


def test_the_help_table_says_what_each_command_says_of_itself():
    ctx = click.Context(cli)
    for name in COMMAND_MODULES:
        if name in cli.commands and name not in COMMAND_HELP:
            continue  # attached at import; its own help is at hand
        command = cli.get_command(ctx, name)
        assert COMMAND_HELP.get(name) == " ".join(command.help.split("\n\n")[0].split()), name
