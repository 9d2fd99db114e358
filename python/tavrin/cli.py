"""The ``tavrin`` command line."""

import importlib
import shlex
from datetime import datetime
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin import __version__
from tavrin.evaluation.qa.evaluable.base import get_evaluable_from_name
from tavrin.evaluation.qa.evaluator.base import get_evaluator_from_name
from tavrin.evaluation.qa.question_set import QuestionSetError
from tavrin.evaluation.qa.report import Report, journal_path

# Commands that live in other modules: command name -> (module, attribute). A module is
# imported only when its command is used or listed, so one command's failing import does
# not take the others down with it.
COMMAND_MODULES: Dict[str, Tuple[str, str]] = {
    "resume": ("tavrin.evaluation.qa.commands.resume", "resume"),
    "markdown": ("tavrin.evaluation.qa.commands.markdown", "markdown"),
    "index": ("tavrin.ask_codebase.commands", "index"),
    "ask": ("tavrin.ask_codebase.commands", "ask"),
    "retrieval-eval": ("tavrin.evaluation.retrieval.commands", "retrieval_eval"),
}


class _Group(click.Group):
    """A command group that also offers the commands of ``COMMAND_MODULES``, imported on use."""

    def list_commands(self, ctx: click.Context) -> List[str]:
        return sorted(set(super().list_commands(ctx)) | set(COMMAND_MODULES))

    def get_command(self, ctx: click.Context, cmd_name: str) -> Optional[click.Command]:
        command = super().get_command(ctx, cmd_name)
        if command is None and cmd_name in COMMAND_MODULES:
            module_name, attribute = COMMAND_MODULES[cmd_name]
            command = getattr(importlib.import_module(module_name), attribute)
            if not isinstance(command, click.Command):
                raise TypeError(f"{module_name}.{attribute} is not a click command")
            self.add_command(command, cmd_name)
        return command


@click.group(cls=_Group)
@click.version_option(__version__, prog_name="tavrin")
def cli() -> None:
    """tavrin: answer questions about a codebase with an LLM, and measure how well it does.

    Run question-answering subjects over a question set, judge every answer, and keep the
    results as a JSON report that can be resumed and rendered as Markdown.
    """


# The QA evaluation commands (evaluate, resume, markdown, merge) live in
# tavrin.evaluation.qa.cli; resume and markdown there extend the module commands of the
# same names, which COMMAND_MODULES would otherwise attach.
from tavrin.evaluation.qa import cli as _qa_cli  # noqa: E402

for _command in (_qa_cli.evaluate, _qa_cli.resume, _qa_cli.markdown, _qa_cli.merge):
    cli.add_command(_command)


def main() -> None:
    """Entry point of the ``tavrin`` console script."""
    cli(prog_name="tavrin")
