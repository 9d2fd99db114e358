"""The ``tavrin`` command line."""

import importlib
import os
import sys
import traceback
from typing import Any, Dict, List, Optional, Tuple

import click

from tavrin import __version__, _integrations
from tavrin._console import console_conventions, debug_requested, one_line_error

# Commands that live in other modules: command name -> (module, attribute). A module is
# imported only when its command is used or listed, so one command's failing import does
# not take the others down with it.
COMMAND_MODULES: Dict[str, Tuple[str, str]] = {
    "evaluate": ("tavrin.commands.evaluate", "evaluate"),
    "resume": ("tavrin.commands.resume", "resume"),
    "merge": ("tavrin.commands.merge", "merge"),
    "markdown": ("tavrin.commands.report", "markdown"),
    "html": ("tavrin.commands.report", "html"),
    "index": ("tavrin.commands.index", "index"),
    "ask": ("tavrin.commands.ask", "ask"),
    "sources": ("tavrin.commands.sources", "sources"),
    "chunks": ("tavrin.commands.sources", "chunks"),
    "search": ("tavrin.commands.search", "search"),
    "retrieval-eval": ("tavrin.commands.retrieval_eval", "retrieval_eval"),
    "ground-truth": ("tavrin.commands.ground_truth", "ground_truth"),
    "compare": ("tavrin.commands.analysis", "compare"),
    "judge-agreement": ("tavrin.commands.analysis", "judge_agreement_command"),
}

# What `tavrin --help` says of each command of COMMAND_MODULES (the first paragraph of its
# help), so that listing the commands imports none of their modules (and langchain).
COMMAND_HELP: Dict[str, str] = {
    "ask": "Answer QUESTION about the code indexed as the source NAME, and list its sources.",
    "chunks": "List the chunks stored in the indexed SOURCE, by path and line, with their text.",
    "compare": "Compare REPORTS case by case with the first (the baseline): paired differences with 95% "
    "intervals, exact McNemar tests for yes/no evaluators, randomization tests for ratings, "
    "Holm-corrected; and the cases whose judgement changed.",
    "evaluate": "Evaluate subjects on the question set in TEST_SET and save the report.",
    "ground-truth": "Make retrieval ground truths (JSON Lines, as retrieval-eval reads them) without labelling.",
    "html": "Write REPORT.json as one self-contained HTML page; with B.json, the two side by side.",
    "judge-agreement": "Measure how the judges of REPORT(s) agree with the human verdicts in LABELS (JSON Lines "
    "or CSV of case_id, subject, evaluator (optional) and label): accuracy, Cohen's kappa with "
    "a 95% interval and the confusion matrix; for ratings also Spearman's rank correlation and "
    "the mean absolute error. Several reports (judge models) are shown side by side.",
    "index": "Index the files under PATHS as the source NAME (replacing what it held).",
    "markdown": "Generate a markdown report from the json report in JSON_PATH.",
    "merge": "Join the reports of shards of one evaluation (same question set, subjects and evaluators).",
    "resume": "Resume an evaluation from the json report in JSON_PATH.",
    "retrieval-eval": "Index the documents of GROUND_TRUTH, retrieve the top k for each of its queries and "
    "report the ranking metrics and timings; with several retrievers, compare them.",
    "search": "Show the chunks of the indexed SOURCE that best answer QUERY, best first.",
    "sources": "List the indexed sources: their chunks, embeddings and when they were indexed.",
}


# The exit status when the reader of standard output goes away: what a shell reports for a
# tool that the pipe's SIGPIPE ended (128 + 13), as `seq 100000 | head -1` does.
EXIT_BROKEN_PIPE = 141


def _quiet_stdout() -> None:
    """Point standard output at the null device, so that flushing what is left of it (at
    exit too) raises no second broken pipe."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not a file (a test's captured output): nothing is flushed to a pipe
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)


class _Group(click.Group):
    """A command group that also offers the commands of ``COMMAND_MODULES``, imported on use.

    It installs the library patches every command runs with (``tavrin._integrations``),
    and runs its commands under the console conventions (``NO_COLOR``, progress bars only
    on a terminal and without ``--quiet``) and turns the errors a user can act on into
    one line, ``Error: <message>`` on standard error with exit status 1; click's usage
    errors keep click's own form. This is where tavrin's own errors (``TavrinError``)
    become that line, so a command lets them through rather than catching them to say
    the same. ``--traceback`` or ``TAVRIN_DEBUG=1`` shows the traceback of a tavrin
    error before its line, and lets any other error through with its full traceback. A
    broken pipe on standard output ends the command quietly, with status 141.
    """

    #: the commands under this group leave their errors to it (``tavrin.commands.base.Command``)
    shows_errors = True

    def invoke(self, ctx: click.Context) -> Any:
        _integrations.install()
        with console_conventions(ctx, quiet=bool(ctx.params.get("quiet"))):
            debug = bool(ctx.params.get("show_traceback")) or debug_requested()
            try:
                return super().invoke(ctx)
            except click.exceptions.UsageError:
                raise
            except click.exceptions.ClickException as exc:
                # a command's own one-line error (a command's Fail is also a TavrinError):
                # in debug mode, with what caused it
                if debug and (exc.__cause__ or exc.__context__) is not None:
                    click.echo("".join(traceback.format_exception(exc)).rstrip(), err=True)
                raise
            except (click.exceptions.Exit, click.exceptions.Abort):
                raise
            except BrokenPipeError:
                # the reader of standard output went away (`tavrin chunks S | head -1`)
                _quiet_stdout()
                ctx.exit(EXIT_BROKEN_PIPE)
            except Exception as exc:
                # tavrin's own error and what the user can act on: one line
                error = one_line_error(exc, debug)
                if error is None:
                    raise
                raise error from exc

    def list_commands(self, ctx: click.Context) -> List[str]:
        return sorted(set(super().list_commands(ctx)) | set(COMMAND_MODULES))

    def format_commands(self, ctx: click.Context, formatter: click.HelpFormatter) -> None:
        names = self.list_commands(ctx)
        limit = formatter.width - 6 - max((len(name) for name in names), default=0)
        rows = []
        for name in names:
            if name not in self.commands and name in COMMAND_HELP:
                rows.append((name, click.Command(name, help=COMMAND_HELP[name]).get_short_help_str(limit)))
                continue
            command = self.get_command(ctx, name)
            if command is not None and not command.hidden:
                rows.append((name, command.get_short_help_str(limit)))
        if rows:
            with formatter.section("Commands"):
                formatter.write_dl(rows)

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
    "--traceback",
    "show_traceback",
    is_flag=True,
    help="On an error, show the full traceback instead of one line (as TAVRIN_DEBUG=1 does).",
)
@click.pass_context
def cli(ctx: click.Context, quiet: bool, show_traceback: bool) -> None:
    """tavrin: answer questions about a codebase with an LLM, and measure how well it does.

    QA evaluation (evaluate, resume, merge, markdown, html, compare, judge-agreement): run
    question-answering subjects over a question set, judge every answer, and keep the
    results as a JSON report that can be resumed, rendered and compared.

    Codebase question answering (index, sources, chunks, search, ask): index a repository
    as a source, then search it and ask questions about it.

    Retrieval evaluation (retrieval-eval, ground-truth): measure how well the retrieval
    under the answers finds the code that answers a question.

    Errors are one line on standard error and exit status 1. NO_COLOR turns colour off.
    """
    if ctx.invoked_subcommand is None:
        click.echo(ctx.get_help())
        ctx.exit(0)
    if ctx.invoked_subcommand in _LLM_COMMANDS:
        # retries with backoff, a request timeout, and embeddings servers that take only
        # text; evaluate and resume set these from their own options
        from tavrin import _llm

        _llm.configure()


# Commands that reach the OpenAI API and take the default request settings (index sets
# them itself once it has work to do: an index that is up to date imports no client).
_LLM_COMMANDS = frozenset({"ask", "retrieval-eval"})


def main(argv: Optional[List[str]] = None) -> None:
    """Entry point of the ``tavrin`` console script (``argv`` defaults to the process's)."""
    cli.main(args=argv, prog_name="tavrin")
