"""What a run shows while it goes and when it ends: the progress bar and the score summary."""

from __future__ import annotations

import json
import os
import sys
from typing import Any, Callable, Dict, List, Optional

import click

from tavrin import _llm
from tavrin.evaluation.qa.report import Report, summarise
from tavrin.evaluation.qa.run import RunObserver


class Progress(RunObserver):
    """A progress bar over judgements on stderr: done/total, rate, ETA, retries, failures."""

    def __init__(
        self, quiet: bool, verbose: bool = False, finishing: Optional[Callable[[Report], None]] = None
    ) -> None:
        super().__init__(verbose)
        self._finishing = finishing
        self.writes = 0
        self.enabled = not quiet and sys.stderr.isatty() and not os.environ.get("TQDM_DISABLE")
        self.bar: Any = None
        self.failures = 0
        self._usage = _llm.usage()

    def started(self, total: int) -> None:
        if self.enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="judgement", file=sys.stderr, dynamic_ncols=True)

    def recorded(self, record: Any) -> None:
        if self.bar is not None:
            self.bar.update(1)
            self._postfix()

    def failed(self, error: BaseException) -> None:
        self.failures += 1
        if self.bar is not None:
            self._postfix()

    def finishing(self, report: Any) -> None:
        if self._finishing is not None:
            self._finishing(report)

    def written(self, path: Any) -> None:
        self.writes += 1

    def _postfix(self) -> None:
        retries = (_llm.usage() - self._usage).retries
        self.bar.set_postfix(retries=retries, failed=self.failures, refresh=False)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _summary_text(report: Report, cases: Optional[List[Any]]) -> str:
    entries = summarise(report, cases)
    subjects = list(dict.fromkeys(e["subject"] for e in entries))
    evaluators = list(dict.fromkeys(e["evaluator"] for e in entries))
    cell = {(e["subject"], e["evaluator"]): e for e in entries}

    def text(e: Dict[str, Any]) -> str:
        out = e["text"]
        if e.get("missing"):
            out += f", {e['missing']} failed or missing"
        return out

    rows = [["Subject", *evaluators]] + [[s, *(text(cell[(s, e)]) for e in evaluators)] for s in subjects]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))] if rows and rows[0] else []
    lines = ["  ".join(value.ljust(widths[i]) for i, value in enumerate(row)).rstrip() for row in rows]
    if len(lines) > 1:
        lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def error_count(report: Report) -> int:
    """How many of the report's judgements ended in an error."""
    return sum(1 for record in report.records if record.error_msg)


def _json_summary(report: Report, output: str, cases: Optional[List[Any]], jury: Any = None) -> Dict[str, Any]:
    data: Dict[str, Any] = {"report": output, "error_msg": report.error_msg, "judgements": len(report.records)}
    errors = error_count(report)
    if errors:
        data["errors"] = errors
    data.update(requests=report.requests, retries=report.retries, tokens=report.tokens)
    data["summary"] = summarise(report, cases)
    if jury:  # a run of one judge prints what it always did
        data["jury"] = jury
    return data


def print_summary(report: Report, output: str, fmt: str, cases: Optional[List[Any]]) -> None:
    from tavrin.evaluation.qa.jury import jury_summary, jury_text

    jury = jury_summary(report)
    if fmt == "json":
        figures = _json_summary(report, output, cases, jury)
        if report.cost is not None:  # a run that counted its cost
            figures["cost"] = report.cost
        click.echo(json.dumps(figures, ensure_ascii=False, indent=2))
        return
    if report.subjects and report.evaluators:
        click.echo(_summary_text(report, cases))
    if jury:
        click.echo(jury_text(jury))
    usage = ", ".join(
        f"{getattr(report, k)} {k}" for k in ("requests", "retries", "tokens") if getattr(report, k) is not None
    )
    click.echo(f"{len(report.records)} judgement(s)" + (f"; model service: {usage}" if usage else ""))
    if report.cost is not None:  # a run that counted its cost
        from tavrin.commands._qa.costs import cost_lines

        click.echo("\n".join(cost_lines(report.cost)))
