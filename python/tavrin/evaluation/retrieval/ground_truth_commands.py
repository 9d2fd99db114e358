"""The ``ground-truth`` commands: retrieval ground truths made without labelling."""

from typing import Dict, Optional, Sequence

import click


@click.group("ground-truth")
def ground_truth() -> None:
    """Make retrieval ground truths (JSON Lines, as retrieval-eval reads them) without labelling."""


@ground_truth.command("from-git")
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
    from tavrin._outputs import OutputPathError, atomic_write_text, check_output
    from tavrin.evaluation.retrieval.from_git import FromGitOptions, queries_from_git, to_jsonl

    if min_files > max_files:
        raise click.BadParameter(f"{max_files} is below --min-files {min_files}", param_hint="--max-files")
    try:
        if output is not None:
            check_output(output, option="--output")
    except OutputPathError as exc:
        raise click.ClickException(str(exc)) from exc
    options = FromGitOptions(
        max_commits=max_commits,
        with_body=with_body,
        include_tests=include_tests,
        min_files=min_files,
        max_files=max_files,
        paths=tuple(paths),
        exclude=tuple(exclude),
    )
    skipped: Dict[str, int] = {}
    queries = queries_from_git(repo, options, skipped)
    text = to_jsonl(queries)
    if output is None:
        click.echo(text, nl=False)
        return
    atomic_write_text(output, text)
    trivial = sum(q.trivial for q in queries)
    judgements = sum(len(q.documents) for q in queries)
    left_out = ", ".join(f"{n} {reason}" for reason, n in sorted(skipped.items()))
    click.secho(
        f"Wrote {len(queries)} queries ({trivial} trivial), {judgements} judgements to {output}"
        + (f"; left out: {left_out}" if left_out else ""),
        fg="green",
    )
