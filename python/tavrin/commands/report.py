"""The commands that render a saved report: ``tavrin markdown`` (the module command of that
name, with the command line's checks added) and ``tavrin html REPORT.json [B.json] -o
report.html`` (a report as one self-contained page)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import List, Optional, Tuple

import click

from tavrin._outputs import atomic_write_text, check_output
from tavrin.commands._qa.common import Fail, _Extends, load_report


def report_labels(paths: Tuple[str, ...]) -> List[str]:
    """How the page names each report: its file name, else the path as given when two file
    names are alike, numbered when even those are (one report given twice)."""
    for labels in ([Path(p).name for p in paths], list(paths)):
        if len(set(labels)) == len(labels):
            return labels
    return [f"{p} #{i}" for i, p in enumerate(paths, 1)]


@click.command()
@click.argument("reports", nargs=-1, required=True, metavar="REPORT.json [B.json]")
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False), help="Where to write the HTML page.")
@click.option(
    "--allow-subset",
    is_flag=True,
    help="With two reports of different cases, compare the cases both hold (the page says which are left out).",
)
@click.option(
    "--alpha",
    type=click.FloatRange(0, 1, min_open=True, max_open=True),
    default=0.05,
    show_default=True,
    help="With two reports, the level at which a paired difference counts as significant.",
)
def html(reports: Tuple[str, ...], output: str, allow_subset: bool, alpha: float) -> None:
    """Write REPORT.json as one self-contained HTML page; with B.json, the two side by side.

    The page has the summary with 95% intervals and a chart, filters by subject, evaluator
    and verdict, a text search, and every case with its question, reference answer,
    answers, judges' reasons and sources. With two reports it also holds their paired
    comparison and marks the cases whose verdict flipped. It needs no network or server.
    """
    from tavrin.evaluation.qa.html_report import render_html

    if len(reports) > 2:
        raise Fail(f"html takes one report, or two to compare; got {len(reports)}")
    check_output(output, inputs=list(reports), option="-o/--output")
    for path in reports:
        if not os.path.exists(path):
            raise Fail(f"{path}: no such report file")
    loaded = [load_report(path) for path in reports]
    labels = report_labels(reports)
    comparison = None
    if len(loaded) == 2:
        from tavrin.evaluation.qa.compare import compare_reports

        comparison = compare_reports(loaded, labels, allow_subset=allow_subset, alpha=alpha)
    page = render_html(loaded, labels, comparison)
    try:
        atomic_write_text(output, page)
    except OSError as exc:
        raise Fail(f"cannot write {output}: {exc.strerror or exc}") from exc
    click.secho(f"Saved HTML report: {output}", fg="green")


class _ExtendsMarkdown(_Extends):
    module = "tavrin.evaluation.qa.commands.markdown"


@click.command(cls=_ExtendsMarkdown, help="Generate a markdown report from the json report in JSON_PATH.")
def markdown(json_path: str, output: Optional[str]) -> None:
    from tavrin.evaluation.qa.commands.markdown import print_markdown

    report = load_report(json_path)
    if output == "-":
        # the Markdown alone on standard output, so that it can be piped; the status on stderr
        click.secho(f"Load json report: {json_path}", fg="blue", err=True)
        click.secho("Report in Markdown:", fg="blue", err=True)
        click.echo(report.to_markdown())
        return
    if output:
        check_output(output, inputs=[json_path], option="-o/--output")
    try:
        print_markdown(report, json_path, output)
    except OSError as exc:
        if not output:
            raise
        raise Fail(f"cannot write {output}: {exc.strerror or exc}") from exc
