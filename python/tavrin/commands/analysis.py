"""The commands that analyse saved reports: ``compare`` (paired comparison of runs, with CI
gates) and ``judge-agreement`` (the judges against human labels).

Exit statuses: 0 ok, 1 an error (one line on stderr, nothing written), 2 a usage error,
3 a gate failed (``tavrin.evaluation.qa.gates``).
"""

from __future__ import annotations

import json
import os
import re
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import click

from tavrin._outputs import atomic_write_text, check_output
from tavrin.commands._qa.common import Fail, load_report
from tavrin.evaluation.qa.agreement import Agreement, AgreementRow, judge_agreement, load_labels
from tavrin.evaluation.qa.compare import Comparison, ComparisonRow, compare_reports
from tavrin.evaluation.qa.gates import (
    GATE_FAILED,
    GateResult,
    JUnitCase,
    check_gates,
    check_names,
    gate_cases,
    junit_xml,
    parse_gates,
)
from tavrin.evaluation.qa.stats import percent


def _load(path: str) -> Any:
    return load_report(path)


def report_labels(paths: Sequence[str]) -> List[str]:
    """How reports are named in tables: their file names, or the paths as given when two
    files share a name."""
    names = [Path(p).name for p in paths]
    return names if len(set(names)) == len(names) else list(paths)


def _check_outputs(outputs: Sequence[Tuple[str, Optional[str]]], inputs: Sequence[str]) -> None:
    seen: Dict[str, str] = {}
    for option, path in outputs:
        if not path:
            continue
        check_output(path, inputs=list(inputs), option=option)
        real = os.path.realpath(path)
        if real in seen:
            raise Fail(f"{option} {path!r} is also the path of {seen[real]}")
        seen[real] = option


def _write(path: str, text: str, what: str) -> None:
    try:
        atomic_write_text(path, text)
    except OSError as exc:
        raise Fail(f"cannot write the {what} {path}: {exc.strerror or exc}") from exc


# ---------------------------------------------------------------- formatting


def _number(value: float) -> str:
    text = format(round(value, 2), "g")
    return "0" if text == "-0" else text


def _estimate(row: ComparisonRow, value: float) -> str:
    return percent(value) if row.kind == "yes_no" else _number(value)


def _signed(value: float, scale: float) -> str:
    text = _number(value) if scale == 1.0 else str(round(value * scale))
    return text if text.startswith("-") or text == "0" else "+" + text


def difference_text(row: ComparisonRow) -> str:
    """The paired difference with its interval: percentage points for rates."""
    scale, unit = (100.0, " pts") if row.kind == "yes_no" else (1.0, "")
    text = _signed(row.difference, scale) + unit
    if row.interval is not None:
        text += f" ({_signed(row.interval.low, scale)} to {_signed(row.interval.high, scale)})"
    return text


def p_text(p: float) -> str:
    """A p-value for a table: three decimals, or scientific notation under 0.001."""
    return f"{p:.3f}" if p >= 0.001 else f"{p:.1e}"


def _test_name(row: ComparisonRow) -> str:
    return "McNemar exact" if row.test == "mcnemar-exact" else "randomization"


def _value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return "—" if value is None else str(value)


_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def _one_line(value: Any, limit: int = 160) -> str:
    """``value`` on one shortened line, without control characters (no escape sequences
    from an answer reach the terminal)."""
    text = _CONTROL.sub("\ufffd", " ".join(_value(value).split()))
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _table(rows: List[List[str]]) -> List[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(value.ljust(widths[i]) for i, value in enumerate(row)).rstrip() for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines


_COMPARE_HEAD = [
    "Subject",
    "Evaluator",
    "Report",
    "Pairs",
    "Baseline",
    "Report value",
    "Difference (95% CI)",
    "Test",
    "p",
    "p (Holm)",
    "Result",
]


def _compare_cells(row: ComparisonRow) -> List[str]:
    return [
        row.subject,
        row.evaluator,
        row.other,
        str(row.n_pairs),
        _estimate(row, row.a_estimate),
        _estimate(row, row.b_estimate),
        difference_text(row),
        _test_name(row),
        p_text(row.p_value),
        p_text(row.p_holm),
        row.direction,
    ]


def _overlap_text(comparison: Comparison) -> str:
    extra = ", ".join(f"{count} only in {label}" for label, count in comparison.only_in.items() if count)
    return f"{comparison.overlap} case(s) in common" + (f"; {extra} (left out)" if extra else "")


def _error_line(label: str, record: Any) -> str:
    return f"{label}: case {record.case_id}: {record.subject} by {record.evaluator}: {_one_line(record.error_msg)}"


def comparison_text(comparison: Comparison) -> str:
    """The comparison as plain text: the table, then the flipped cases."""
    out = [
        f"Baseline: {comparison.labels[0]}; compared: {', '.join(comparison.labels[1:])}",
        _overlap_text(comparison)
        + f"; Holm-corrected across {len(comparison.rows)} row(s), alpha {comparison.alpha:g}",
        "",
    ]
    out += _table([_COMPARE_HEAD, *(_compare_cells(row) for row in comparison.rows)])
    out += [f"skipped: {note}" for note in comparison.skipped]
    if comparison.errors:
        out += ["", f"Errors, left out of the pairs ({len(comparison.errors)}):"]
        out += [f"  {_error_line(label, record)}" for label, record in comparison.errors]
    for row in comparison.rows:
        if not row.flips:
            continue
        out += ["", f"Changed: {row.subject} by {row.evaluator}, {row.baseline} -> {row.other} ({len(row.flips)})"]
        for flip in row.flips:
            out.append(
                f"  case {flip.case_id}: {_value(flip.before.value)} -> {_value(flip.after.value)}: "
                f"{_one_line(flip.question, 100)}"
            )
            for label, record in ((row.baseline, flip.before), (row.other, flip.after)):
                out.append(f"    {label}: answer: {_one_line(record.prediction)}")
                out.append(f"    {' ' * len(label)}  reason: {_one_line(record.reason)}")
    return "\n".join(out)


_MD_SPECIAL = re.compile(r"([\\`*_\[\]<>|#])")


def _md(value: Any) -> str:
    return _MD_SPECIAL.sub(r"\\\1", _value(value)).replace("\r\n", "\n").replace("\n", "<br>")


def _md_row(cells: Sequence[str]) -> str:
    return "| " + " | ".join(_md(c) for c in cells) + " |"


def _md_table(head: List[str], rows: List[List[str]]) -> List[str]:
    return [_md_row(head), "| " + " | ".join("---" for _ in head) + " |", *(_md_row(r) for r in rows)]


def _md_quote(value: Any) -> str:
    if value is None:
        return "> _No answer._"
    text = str(value)
    if not text.strip():
        return "> _Empty._"
    return "\n".join("> " + _MD_SPECIAL.sub(r"\\\1", line) if line.strip() else ">" for line in text.splitlines())


def comparison_markdown(comparison: Comparison) -> str:
    """The comparison as Markdown: the table, then every changed case with both answers and reasons."""
    out = [
        f"# Comparison of {_md(', '.join(comparison.labels[1:]))} with {_md(comparison.labels[0])}",
        "",
        _md(_overlap_text(comparison)) + f"; Holm-corrected across {len(comparison.rows)} row(s), "
        f"alpha {comparison.alpha:g}.",
        "",
    ]
    out += _md_table(_COMPARE_HEAD, [_compare_cells(row) for row in comparison.rows])
    out.append("")
    out += [f"- skipped: {_md(note)}" for note in comparison.skipped]
    if comparison.errors:
        out += ["", f"## Errors, left out of the pairs ({len(comparison.errors)})", ""]
        out += [f"- {_md(_error_line(label, record))}" for label, record in comparison.errors]
        out.append("")
    for row in comparison.rows:
        if not row.flips:
            continue
        out += [f"## Changed: {_md(row.subject)} by {_md(row.evaluator)}, {_md(row.baseline)} → {_md(row.other)}", ""]
        for flip in row.flips:
            out += [
                f"### Case {_md(flip.case_id)}: {_md(flip.before.value)} → {_md(flip.after.value)}",
                "",
                _md_quote(flip.question),
                "",
                "**Reference answer**",
                "",
                _md_quote(flip.before.expected),
                "",
            ]
            for label, record in ((row.baseline, flip.before), (row.other, flip.after)):
                out += [
                    f"**{_md(label)}**: {_md(record.value)}",
                    "",
                    _md_quote(record.prediction),
                    "",
                    f"Reason: {_md(record.reason)}",
                    "",
                ]
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- gates and JUnit


def _report_gates(results: List[GateResult]) -> bool:
    """Say how the gates fared (stderr); whether all passed."""
    for result in results:
        if result.passed:
            click.echo(f"Gate passed: {result.message}", err=True)
        else:
            click.secho(f"Gate failed: {result.message}", fg="red", err=True)
    return all(result.passed for result in results)


def _comparison_cases(comparison: Comparison) -> List[JUnitCase]:
    cases = []
    for row in comparison.rows:
        changed = "\n".join(
            f"case {f.case_id}: {_value(f.before.value)} -> {_value(f.after.value)}: {_one_line(f.question, 100)}"
            for f in row.flips
        )
        summary = (
            f"{_estimate(row, row.a_estimate)} -> {_estimate(row, row.b_estimate)}, "
            f"difference {difference_text(row)}, {_test_name(row)} p = {p_text(row.p_value)}, "
            f"Holm p = {p_text(row.p_holm)}: {row.direction}"
        )
        cases.append(
            JUnitCase(
                classname=f"{row.subject}.{row.evaluator}",
                name=f"{row.other} vs {row.baseline}",
                failure=("worse than the baseline", summary + "\n" + changed) if row.direction == "worse" else None,
                output=summary + ("\n" + changed if changed else ""),
            )
        )
    return cases


# ---------------------------------------------------------------- compare


@click.command()
@click.argument("reports", nargs=-1, required=True, type=click.Path(dir_okay=False))
@click.option(
    "--allow-subset", is_flag=True, help="Compare the cases the reports share when they judged different cases."
)
@click.option(
    "--alpha",
    type=click.FloatRange(0, 1, min_open=True, max_open=True),
    default=0.05,
    show_default=True,
    help="Significance level of the Holm-corrected tests.",
)
@click.option(
    "--permutations",
    type=click.IntRange(min=1),
    default=10000,
    show_default=True,
    help="Random sign assignments of the randomization test when it cannot be exact.",
)
@click.option("--seed", type=int, default=0, show_default=True, help="Seed of the randomization test.")
@click.option(
    "--format",
    "fmt",
    type=click.Choice(["text", "json", "markdown"]),
    default="text",
    show_default=True,
    help="How the comparison is printed.",
)
@click.option(
    "--markdown", "markdown_path", type=click.Path(dir_okay=False), help="Also write the comparison as Markdown here."
)
@click.option(
    "--fail-under",
    "fail_under",
    multiple=True,
    metavar="[SUBJECT:]EVALUATOR=RATE",
    help="Exit with status 3 when a compared report scores under RATE (repeatable).",
)
@click.option(
    "--fail-on-regression",
    is_flag=True,
    help="Exit with status 3 when a report is significantly worse than the baseline.",
)
@click.option(
    "--junit", "junit_path", type=click.Path(dir_okay=False), help="Write a JUnit XML file of the rows and gates."
)
def compare(
    reports: Tuple[str, ...],
    allow_subset: bool,
    alpha: float,
    permutations: int,
    seed: int,
    fmt: str,
    markdown_path: Optional[str],
    fail_under: Tuple[str, ...],
    fail_on_regression: bool,
    junit_path: Optional[str],
) -> None:
    """Compare REPORTS case by case with the first (the baseline): paired differences with
    95% intervals, exact McNemar tests for yes/no evaluators, randomization tests for
    ratings, Holm-corrected; and the cases whose judgement changed.

    Exit status 3 when a gate (--fail-under, --fail-on-regression) fails.
    """
    if len(reports) < 2:
        raise Fail("compare needs at least two reports: the baseline, then the report(s) to compare with it")
    gates = parse_gates(fail_under)
    _check_outputs([("--markdown", markdown_path), ("--junit", junit_path)], reports)
    loaded = [_load(path) for path in reports]
    labels = report_labels(reports)
    for report, label in zip(loaded[1:], labels[1:]):
        check_names(gates, report.subjects, report.evaluators, label)
    comparison = compare_reports(
        loaded, labels, allow_subset=allow_subset, alpha=alpha, permutations=permutations, seed=seed
    )
    results = [r for report, label in zip(loaded[1:], labels[1:]) for r in check_gates(gates, report, label)]
    regressions = [row for row in comparison.rows if row.direction == "worse"] if fail_on_regression else []
    if markdown_path:
        _write(markdown_path, comparison_markdown(comparison), "Markdown comparison")
    if junit_path:
        suites = [("tavrin compare", _comparison_cases(comparison))]
        if results:
            suites.append(("tavrin gates", gate_cases(results)))
        _write(junit_path, junit_xml(suites), "JUnit file")
    if fmt == "json":
        data = comparison.to_dict()
        data["gates"] = [r.to_dict() for r in results]
        click.echo(json.dumps(data, ensure_ascii=False, indent=2))
    elif fmt == "markdown":
        click.echo(comparison_markdown(comparison), nl=False)
    else:
        click.echo(comparison_text(comparison))
    passed = _report_gates(results)
    for row in regressions:
        click.secho(
            f"Regression: {row.other}: {row.subject} by {row.evaluator} is worse than {row.baseline} "
            f"({difference_text(row)}, Holm p = {p_text(row.p_holm)} < {alpha:g})",
            fg="red",
            err=True,
        )
    if not passed or regressions:
        raise click.exceptions.Exit(GATE_FAILED)


# ---------------------------------------------------------------- judge-agreement


def _kappa_text(row: AgreementRow) -> str:
    if row.kappa is None:
        return "—"
    text = f"{row.kappa:.2f}"
    if row.kappa_interval is not None:
        text += f" ({row.kappa_interval.low:.2f} to {row.kappa_interval.high:.2f})"
    return text


_AGREEMENT_HEAD = ["Subject", "Evaluator", "Report", "Labelled", "Accuracy", "Kappa (95% CI)", "Spearman", "MAE"]


def _agreement_cells(row: AgreementRow) -> List[str]:
    labelled = str(row.n) + (f" (+{row.unjudged} unjudged)" if row.unjudged else "")
    return [
        row.subject,
        row.evaluator,
        row.report,
        labelled,
        percent(row.accuracy),
        _kappa_text(row),
        "—" if row.spearman is None else f"{row.spearman:.2f}",
        "—" if row.mae is None else _number(row.mae),
    ]


def _category(value: Any) -> str:
    return _value(value)


def agreement_text(agreement: Agreement) -> str:
    """The agreement as plain text: one row per subject, evaluator and report, side by side,
    then the confusion matrices (human by rows, judge by columns)."""
    rows = sorted(agreement.rows, key=lambda r: (r.subject, r.evaluator))
    out = [f"{agreement.labels} label(s); reports: {', '.join(agreement.reports)}", ""]
    if rows:
        out += _table([_AGREEMENT_HEAD, *(_agreement_cells(r) for r in rows)])
    out += [f"skipped: {note}" for note in agreement.skipped]
    for row in rows:
        if not row.categories:
            continue
        out += ["", f"{row.report}: {row.subject} by {row.evaluator} (rows: human, columns: judge)"]
        table = [["", *(_category(c) for c in row.categories)]]
        table += [[_category(c), *(str(v) for v in counts)] for c, counts in zip(row.categories, row.confusion)]
        widths = [max(len(r[i]) for r in table) for i in range(len(table[0]))]
        out += ["  " + "  ".join(v.rjust(widths[i]) for i, v in enumerate(r)) for r in table]
    return "\n".join(out)


@click.command("judge-agreement")
@click.argument("paths", nargs=-1, required=True, type=click.Path(dir_okay=False), metavar="REPORT... LABELS")
@click.option(
    "--format",
    "fmt",
    type=click.Choice(["text", "json"]),
    default="text",
    show_default=True,
    help="How the agreement is printed.",
)
def judge_agreement_command(paths: Tuple[str, ...], fmt: str) -> None:
    """Measure how the judges of REPORT(s) agree with the human verdicts in LABELS (JSON
    Lines or CSV of case_id, subject, evaluator (optional) and label): accuracy, Cohen's
    kappa with a 95% interval and the confusion matrix; for ratings also Spearman's rank
    correlation and the mean absolute error. Several reports (judge models) are shown
    side by side.
    """
    if len(paths) < 2:
        raise Fail("judge-agreement needs one or more reports and then the labels file")
    *report_paths, labels_path = paths
    labels = load_labels(labels_path)
    from tavrin.evaluation.qa.jury import judges_as_reports

    # a jury's report stands for each of its judges and for the jury's majority
    each = [
        pair
        for report, name in zip([_load(path) for path in report_paths], report_labels(report_paths))
        for pair in judges_as_reports(report, name)
    ]
    agreement = judge_agreement([report for report, _ in each], [name for _, name in each], labels)
    if fmt == "json":
        click.echo(json.dumps(agreement.to_dict(), ensure_ascii=False, indent=2))
    else:
        click.echo(agreement_text(agreement))
