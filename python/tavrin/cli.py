"""The ``tavrin`` command line."""

import importlib
import shlex
import traceback
from datetime import datetime
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin import __version__
from tavrin._console import console_conventions, debug_requested
from tavrin._errors import user_message
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
    "sources": ("tavrin.ask_codebase.commands", "sources"),
    "retrieval-eval": ("tavrin.evaluation.retrieval.commands", "retrieval_eval"),
}


class _Group(click.Group):
    """A command group that also offers the commands of ``COMMAND_MODULES``, imported on use.

    It runs its commands under the console conventions (``NO_COLOR``, progress bars only
    on a terminal and without ``--quiet``) and turns the errors a user can act on into
    one line, ``Error: <message>`` on standard error with exit status 1; click's usage
    errors keep click's own form. ``--traceback`` or ``TAVRIN_DEBUG=1`` lets the error
    through with its full traceback instead.
    """

    def invoke(self, ctx: click.Context) -> Any:
        with console_conventions(ctx, quiet=bool(ctx.params.get("quiet"))):
            debug = bool(ctx.params.get("show_traceback")) or debug_requested()
            try:
                return super().invoke(ctx)
            except click.exceptions.UsageError:
                raise
            except click.exceptions.ClickException as exc:
                # a command's own one-line error: in debug mode, with what caused it
                if debug and (exc.__cause__ or exc.__context__) is not None:
                    click.echo("".join(traceback.format_exception(exc)).rstrip(), err=True)
                raise
            except (click.exceptions.Exit, click.exceptions.Abort):
                raise
            except Exception as exc:
                message = user_message(exc)
                if message is None or debug:
                    raise
                raise click.ClickException(message) from exc

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


@click.group(cls=_Group, invoke_without_command=True, context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(__version__, prog_name="tavrin")
@click.option("-q", "--quiet", is_flag=True, help="Draw no progress bars (they are drawn only on a terminal anyway).")
@click.option(
    "--traceback", "show_traceback", is_flag=True,
    help="On an error, show the full traceback instead of one line (as TAVRIN_DEBUG=1 does).",
)
@click.pass_context
def cli(ctx: click.Context, quiet: bool, show_traceback: bool) -> None:
    """tavrin: answer questions about a codebase with an LLM, and measure how well it does.

    Run question-answering subjects over a question set, judge every answer, and keep the
    results as a JSON report that can be resumed and rendered as Markdown.

    Errors are one line on standard error and exit status 1. NO_COLOR turns colour off.
    """
    if ctx.invoked_subcommand is None:
        click.echo(ctx.get_help())
        ctx.exit(0)


def _resolve(lookup: Callable[[str], Any]) -> Callable[[click.Context, click.Parameter, Tuple[str, ...]], List[Any]]:
    def callback(ctx: click.Context, param: click.Parameter, values: Tuple[str, ...]) -> List[Any]:
        classes = []
        for value in values:
            try:
                classes.append(lookup(value))
            except LookupError as exc:
                raise click.BadParameter(str(exc), ctx=ctx, param=param) from exc
        return classes

    return callback


def _output_file(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> Optional[str]:
    if value is not None and not Path(value).resolve().parent.is_dir():
        raise click.BadParameter(f"folder {str(Path(value).parent)!r} does not exist", ctx=ctx, param=param)
    return value


@cli.command()
@click.argument("test_set", type=click.Path(exists=True, dir_okay=False))
@click.option(
    "-s", "--subject", "subjects", multiple=True, required=True, callback=_resolve(get_evaluable_from_name),
    help="Name of a subject to evaluate (repeatable).",
)
@click.option(
    "-e", "--evaluator", "evaluators", multiple=True, required=True, callback=_resolve(get_evaluator_from_name),
    help="Name of an evaluator that judges every answer (repeatable).",
)
@click.option(
    "-o", "--output", required=True, type=click.Path(dir_okay=False), callback=_output_file,
    help="Where to write the JSON report.",
)
@click.option(
    "--markdown", "markdown_path", type=click.Path(dir_okay=False), callback=_output_file,
    help="Also write the report as Markdown here when the run completes.",
)
@click.option("-v", "--verbose", is_flag=True, help="Print every question, answer and judgement.")
def evaluate(
    test_set: str,
    subjects: List[type],
    evaluators: List[type],
    output: str,
    markdown_path: Optional[str],
    verbose: bool,
) -> None:
    """Evaluate subjects on the question set in TEST_SET and save the report."""
    from tavrin.evaluation.qa.evaluation import Evaluation

    try:
        evaluation = Evaluation(str(test_set), list(subjects), list(evaluators))
    except QuestionSetError as exc:
        raise click.ClickException(str(exc)) from exc
    if journal_path(output).exists():
        raise click.ClickException(
            f"{journal_path(output)} holds the judgements of a run that was killed; "
            f"`tavrin resume {shlex.quote(output)}` continues it (or delete the journal to start afresh)."
        )
    if not Path(output).exists():
        _placeholder_report(evaluation, str(test_set), subjects, evaluators, output).dump_json(output)
    evaluation.run(json_path=str(output), markdown_path=markdown_path, verbose=verbose)
    report = Report.load_json(output)
    if report.error_msg:
        click.secho(
            f"The evaluation stopped early: {report.error_msg}\n"
            f"The records made so far are in {output}; `tavrin resume {shlex.quote(output)}` continues the run.",
            fg="red",
            err=True,
        )
        click.get_current_context().exit(1)
    click.secho(f"Saved JSON report: {output}", fg="green")
    if markdown_path:
        click.secho(f"Saved Markdown report: {markdown_path}", fg="green")


def _placeholder_report(
    evaluation: Any, test_set: str, subjects: List[type], evaluators: List[type], output: str
) -> Report:
    """The report that stands at OUTPUT while the run works, so a run that is killed
    outright can still be resumed by name (its records come back from the journal)."""
    set_name = getattr(getattr(evaluation, "_test_set", None), "name", Path(test_set).stem)
    return Report(
        name=Path(output).stem,
        date=datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
        test_set_path=test_set,
        subjects=list(dict.fromkeys(s.name for s in subjects)),
        evaluators=list(dict.fromkeys(e.name for e in evaluators)),
        records=[],
        description=f"Using test set <{set_name}>",
        error_msg="The run did not finish: `tavrin resume` continues it",
    )


def main(argv: Optional[List[str]] = None) -> None:
    """Entry point of the ``tavrin`` console script (``argv`` defaults to the process's)."""
    cli.main(args=argv, prog_name="tavrin")
