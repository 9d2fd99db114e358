"""What the QA commands share: their one-line error, reading reports, checking outputs,
and commands that extend a module's command."""

from __future__ import annotations

import importlib
import os
from typing import List, Optional

import click

from tavrin._outputs import OutputPathError, check_output
from tavrin.errors import TavrinError
from tavrin.evaluation.qa.report import (
    Report,
)


class Fail(TavrinError, click.ClickException):
    """A one-line error: ``Error: <message>`` on stderr, exit status 1."""


def _fail_from(exc: BaseException) -> Fail:
    return Fail(str(exc) or type(exc).__name__)


def _check_outputs(output: str, markdown_path: Optional[str], inputs: List[str]) -> None:
    check_output(output, inputs=inputs, option="-o/--output")
    if markdown_path:
        check_output(markdown_path, inputs=[*inputs, output], option="--markdown")
        if os.path.realpath(markdown_path) == os.path.realpath(output):
            raise OutputPathError(f"--markdown {markdown_path!r} is the JSON report's own path")


def _check_junit(junit_path: Optional[str], inputs: List[str], outputs: List[Optional[str]]) -> None:
    if not junit_path:
        return
    check_output(junit_path, inputs=inputs, option="--junit")
    if any(path and os.path.realpath(path) == os.path.realpath(junit_path) for path in outputs):
        raise Fail(f"--junit {junit_path!r} is the path of another output of the run")


def _module_command(module: str, name: str) -> click.Command:
    return getattr(importlib.import_module(module), name)


def load_report(path: str) -> Report:
    """``Report.load_json`` with every failure as a one-line error."""
    try:
        return Report.load_json(path)
    except IsADirectoryError as exc:
        raise Fail(f"{path} is a directory, not a JSON report") from exc
    except OSError as exc:
        raise _fail_from(exc) from exc


def find_test_set(report: Report, report_path: str) -> str:
    """The report's question set: its path as stored, else relative to the report's folder."""
    stored = report.test_set_path
    if os.path.exists(stored) or os.path.isabs(stored):
        return stored
    beside = os.path.join(os.path.dirname(os.path.abspath(report_path)), stored)
    if os.path.exists(beside):
        return beside
    raise Fail(
        f"the question set of {report_path} is missing: neither {stored} (from the current folder) "
        f"nor {beside} (from the report's folder) exists"
    )


class _Extends(click.Command):
    """A command with the parameters of a module's command first, then its own.

    The module is imported when the parameters are first needed (help or use), so a
    module that fails to import takes only its own command down.
    """

    module = ""
    _own: List[click.Parameter]
    _all: Optional[List[click.Parameter]]

    @property
    def params(self) -> List[click.Parameter]:
        if self._all is None:
            self._all = [*_module_command(self.module, self.name or "").params, *self._own]
        return self._all

    @params.setter
    def params(self, value: List[click.Parameter]) -> None:
        self._own = list(value)
        self._all = None
