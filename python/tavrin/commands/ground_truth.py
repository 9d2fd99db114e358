"""``tavrin ground-truth``: retrieval ground truths made without labelling."""

from typing import Optional, Sequence

import click

from tavrin.commands.base import Command

__all__ = ["from_git", "ground_truth"]


@click.group("ground-truth")
def ground_truth() -> None:
    """Make retrieval ground truths (JSON Lines, as retrieval-eval reads them) without labelling."""


@ground_truth.command("from-git", cls=Command)
@click.argument("repo", type=click.Path(file_okay=False))
@click.option("--output", "-o", default=None, metavar="FILE", help="Write the ground truth to FILE (default: stdout).")
@click.option(
    "--max-commits",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="Keep the latest N commits that pass the filters (default: all).",
)
@click.option("--with-body", is_flag=True, help="Query with the subject and the body (trailers left out).")
@click.option("--include-tests", is_flag=True, help="Count test files among the relevant files.")
@click.option(
    "--min-files",
    type=click.IntRange(min=1),
    default=1,
    show_default=True,
    help="Leave out commits with fewer relevant files than this.",
)
@click.option(
    "--max-files",
    type=click.IntRange(min=1),
    default=20,
    show_default=True,
    help="Leave out commits with more relevant files than this (sweeping changes say little of each file).",
)
@click.option(
    "--path",
    "paths",
    multiple=True,
    metavar="GLOB",
    help="Only files matching GLOB count (repeatable; e.g. 'src/*').",
)
@click.option("--exclude", multiple=True, metavar="GLOB", help="Files matching GLOB do not count (repeatable).")
def from_git(
    repo: str,
    output: Optional[str],
    max_commits: Optional[int],
    with_body: bool,
    include_tests: bool,
    min_files: int,
    max_files: int,
    paths: Sequence[str],
    exclude: Sequence[str],
) -> None:
    """Write a retrieval ground truth from the history of the git repository REPO.

    Each commit becomes a query (its subject, or subject and body), whose relevant
    documents are the source files it changed, as named at HEAD (grade 1.0), with the
    commit's abbreviated hash as the query's "id". Merges, root commits, releases and
    version bumps, formatting-only commits and commits that touch only tests or
    documentation are left out. Queries whose words name a path of their files carry
    "trivial": true. The same repository gives the same file, oldest commit first.
    """
    from tavrin.evaluation.retrieval.from_git import FromGitOptions
    from tavrin.evaluation.retrieval.requests import FromGitRequest

    options = FromGitOptions(
        max_commits=max_commits,
        with_body=with_body,
        include_tests=include_tests,
        min_files=min_files,
        max_files=max_files,
        paths=tuple(paths),
        exclude=tuple(exclude),
    )
    result = FromGitRequest(repo, output, options).run()
    if output is None:
        click.echo(result.text, nl=False)
    else:
        click.secho(result.summary(output), fg="green")
