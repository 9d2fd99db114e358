"""Retrieval ground truths made from a repository's history, with no labelling.

Each kept commit is one query: its subject (with ``with_body``, the subject and the body
without trailers), whose relevant documents are the source files the commit changed, as
they are named at HEAD (grade 1.0). The query carries the commit's abbreviated hash as
its ``id``, so two commits with the same subject stay two queries.

What is kept. The log is read from HEAD (``git log --topo-order --no-merges``); a commit
is left out when

- it is a merge (``--no-merges``) or a root commit (a root commit brings a whole tree;
  its subject describes the project, not a change);
- its subject is a release or a version bump: it starts with "release", "bump",
  "version" or "update version" and goes on to name a version number or the word
  "version", or nothing more ("Release 2.0", "Bump version", "Bump requests from 2.31
  to 2.32"; not "Release the GIL while hashing"); or it starts with "prepare (for)
  release"; or it has the conventional-commit type ``release`` or ``chore(release)``;
  or it is a bare version number ("v1.2.3");
- it only formats: every file it changed is a modification whose changes all vanish when
  whitespace is ignored (``git diff -w``), or its whole subject says nothing but
  formatting, linting or typos ("Format", "Run black", "ruff format", "Fix lint",
  "Fix typos", "style: ..."); a subject that goes on to say what was fixed ("Fix typo in
  the error message of parse_args") is kept;
- after the filters below, fewer than ``min_files`` or more than ``max_files`` of the
  files it changed are left (touching only tests or documentation leaves none).

Which files count. A file the commit added, modified or renamed (the new name), followed
through later renames to its name at HEAD; a file deleted since is dropped. It must have
a source-code suffix (``SOURCE_SUFFIXES``), lie outside documentation folders
(``DOC_FOLDERS``), and not be a test (``is_test_path``) unless ``include_tests``; with
``paths`` it must match one of those globs, and none of ``exclude``. Its path must be
writable as a file reference (no whitespace, no "#L" suffix); a path without "/" or "."
is written "./NAME". Paths are relative to the repository folder given (a subfolder of a
work tree limits the history to that folder); a bare repository serves as well.

Renames are followed along the log's order (children before parents); a rename made in
a merge commit is not seen, so files renamed only there drop out.

Trivial queries. A query is marked ``"trivial": true`` when one of its words (split at
non-letters, camelCase and snake_case, lower-cased, a plural "s" dropped, three letters
or more) is a word of one of its files' paths (folders, and the file name without its
suffix), leaving out words found in the paths of more than half of the kept source files
at HEAD (the package's own name, "src"): such queries a file-name search answers.

The output is deterministic: the same repository gives the same bytes. Queries come
oldest first; each query's documents are sorted; ``max_commits`` keeps the latest N
queries.
"""

from __future__ import annotations

import fnmatch
import json
import os
import re
import subprocess
import tempfile
from dataclasses import dataclass, field
from typing import IO, Dict, Generator, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from tavrin.errors import TavrinError

__all__ = [
    "DOC_FOLDERS",
    "FromGitError",
    "FromGitOptions",
    "GitQuery",
    "SOURCE_SUFFIXES",
    "is_test_path",
    "queries_from_git",
    "skip_reason",
    "to_jsonl",
]


class FromGitError(TavrinError, ValueError):
    """A repository from whose history no ground truth can be made."""


#: Suffixes of files that hold source code.
SOURCE_SUFFIXES = frozenset(
    """
    .py .pyi .pyx .pxd .ipynb .js .jsx .mjs .cjs .ts .tsx .mts .cts .vue .svelte .go .rs .rb .rake .c .h
    .cc .cpp .cxx .c++ .hh .hpp .hxx .h++ .ipp .inl .m .mm .java .kt .kts .scala .sc .groovy .gradle .clj
    .cljs .cljc .ex .exs .erl .hrl .hs .lhs .ml .mli .fs .fsi .fsx .cs .vb .swift .dart .php .lua .pl .pm
    .r .jl .zig .nim .d .v .sv .vhd .vhdl .f .f90 .f95 .sh .bash .zsh .fish .ps1 .sql .proto .thrift
    .graphql .cmake .elm .purs .cr .hx .sol .tf .nix .lisp .el .scm .rkt .ml4 .cu .cuh .metal .glsl
    .hlsl .wgsl .asm .s
    """.split()
)

#: Folders whose files are documentation, not source (at any depth).
DOC_FOLDERS = frozenset({"doc", "docs", "documentation", "man"})

# folders whose files are tests, at any depth
_TEST_FOLDERS = frozenset(
    {"test", "tests", "testing", "__tests__", "spec", "specs", "testdata", "test_data", "fixtures", "e2e"}
)
# file names (without folders) of tests
_TEST_NAME = re.compile(
    r"""(?x)^(
        test_.*\.\w+ | .*_test\.\w+ | .*_tests\.\w+ | .*_spec\.\w+ | conftest\.py
      | .*\.(test|spec)\.\w+ | .*(Test|Tests|Spec|IT)\.(java|kt|scala|groovy|cs|swift|m|mm)
      | tests?\.\w+
    )$"""
)


def is_test_path(path: str) -> bool:
    """Whether ``path`` (with "/") is a test: in a test folder (``tests/``, ``__tests__/``,
    ``testdata/``, ...) or named as tests are (``test_x.py``, ``x_test.go``, ``x.spec.ts``,
    ``x_spec.rb``, ``XTest.java``, ``conftest.py``)."""
    parts = path.split("/")
    if any(part.lower() in _TEST_FOLDERS for part in parts[:-1]):
        return True
    return bool(_TEST_NAME.match(parts[-1]))


# ---------------------------------------------------------------- which commits


_CONVENTIONAL = re.compile(r"^(?P<type>[a-z]+)(?:\((?P<scope>[^)]*)\))?!?:\s*", re.IGNORECASE)
_VERSION = r"v?\d+(?:\.\d+)+(?:[-.+]?[0-9a-z.]+)?"
_VERSION_IN = re.compile(rf"(?<![\w.]){_VERSION}|\bversion\b", re.IGNORECASE)
# the subject's first words; a release when what follows names a version (or nothing does)
_RELEASE_START = re.compile(
    r"^(?:release[ds]?|releasing|bump(?:s|ed|ing)?|version|(?:update|set|increment|increase)\s+(?:the\s+)?version)\b"
    r"(?P<rest>.*)$",
    re.IGNORECASE,
)
_RELEASE_ALWAYS = re.compile(
    rf"^(?:prepare\s+(?:for\s+)?(?:the\s+)?(?:next\s+)?release\b.*|{_VERSION}[.!]?|release\s+candidate\b.*)$",
    re.IGNORECASE,
)
_FORMATTERS = (
    r"black|ruff(?: format)?|isort|prettier|clang-format|gofmt|goimports|rustfmt|cargo fmt|yapf|autopep8|"
    r"pre-commit|eslint|standardrb|rubocop|mix format|scalafmt|ktlint|dprint|biome"
)
_FORMATTING_SUBJECT = re.compile(
    rf"""(?ix)^(?:
        (?:re)?format(?:s|ted|ting)?(?:\s+(?:the\s+)?(?:code|files|sources|source|everything|all))?
          (?:\s+with\s+(?:{_FORMATTERS}))?
      | (?:run|ran|apply|applied|fix|fixed)\s+(?:{_FORMATTERS})(?:\s+(?:formatting|format|fixes|issues|errors))?
      | (?:{_FORMATTERS})(?:\s+(?:formatting|format|fixes|issues|errors))?
      | (?:fix(?:ed|es)?\s+)?(?:lint|linting|linter|flake8|pylint|mypy|clippy|style|code\s+style|formatting)
          (?:\s+(?:errors|warnings|issues|problems|complaints))?
      | (?:fix(?:ed|es)?\s+)?(?:a\s+|some\s+)?(?:typos?|whitespace|trailing\s+whitespace|indentation|spelling)
      | (?:remove|strip)\s+(?:trailing\s+)?whitespace
    )[.!]?$"""
)
_PULL_REQUEST = re.compile(r"\s*\((?:#|gh-|!)\d+\)\s*$", re.IGNORECASE)
_TRAILER = re.compile(r"^[A-Za-z][A-Za-z0-9-]*:\s+\S")
_TRAILER_KEYS = frozenset(
    k.lower()
    for k in (
        "Signed-off-by Co-authored-by Reviewed-by Acked-by Tested-by Reported-by Suggested-by Helped-by "
        "Change-Id Cc Fixes Closes Refs See-also Reviewed-on Link Bug Issue Ref"
    ).split()
)


def skip_reason(subject: str) -> Optional[str]:
    """Why a commit with this subject is left out by its subject alone ("release",
    "formatting"), or None."""
    text = subject.strip()
    match = _CONVENTIONAL.match(text)
    if match:
        kind, scope = match["type"].lower(), (match["scope"] or "").lower()
        if kind == "release" or (kind == "chore" and scope == "release"):
            return "release"
        if kind == "style":
            return "formatting"
        text = text[match.end() :]
    if _RELEASE_ALWAYS.match(text):
        return "release"
    start = _RELEASE_START.match(text)
    if start and (not start["rest"].strip(" .!:") or _VERSION_IN.search(start["rest"])):
        return "release"
    if _FORMATTING_SUBJECT.match(text):
        return "formatting"
    return None


def clean_subject(subject: str) -> str:
    """The subject without a trailing pull-request number ("Fix x (#123)" -> "Fix x")."""
    return _PULL_REQUEST.sub("", subject).strip()


def clean_body(body: str) -> str:
    """The body without trailers (Signed-off-by, Co-authored-by, ...) and surrounding blank lines."""
    lines = [
        line
        for line in body.splitlines()
        if not (_TRAILER.match(line) and line.split(":", 1)[0].strip().lower() in _TRAILER_KEYS)
    ]
    return "\n".join(lines).strip()


# ---------------------------------------------------------------- trivial queries

_WORD = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|[0-9]+")


def words(text: str) -> Set[str]:
    """Lower-cased words of three letters or more, split at camelCase, snake_case and
    non-letters, with a plural "s" dropped."""
    out = set()
    for word in _WORD.findall(text):
        if len(word) < 3 or word.isdigit():
            continue
        word = word.lower()
        if len(word) > 3 and word.endswith("s") and not word.endswith("ss"):
            word = word[:-1]
        out.add(word)
    return out


def path_words(path: str) -> Set[str]:
    """The words of ``path``'s folders and of its file name without its suffix."""
    folder, _, name = path.rpartition("/")
    stem = name.split(".", 1)[0] or name
    return words(folder.replace("/", " ")) | words(stem)


# ---------------------------------------------------------------- reading the log


@dataclass(frozen=True)
class FromGitOptions:
    """What ``queries_from_git`` keeps (see the module's docstring)."""

    max_commits: Optional[int] = None
    with_body: bool = False
    include_tests: bool = False
    min_files: int = 1
    max_files: int = 20
    paths: Tuple[str, ...] = ()
    exclude: Tuple[str, ...] = ()


@dataclass
class GitQuery:
    """One query: the commit's abbreviated hash, its text and its relevant files."""

    id: str
    query: str
    documents: List[str]
    trivial: bool = False


@dataclass
class _Change:
    status: str  # A, M, D, R, T (C is not asked for)
    path: str  # the path after the commit (for D, the path deleted)
    old: Optional[str] = None  # R: the path before


@dataclass
class _Commit:
    hash: str
    parents: List[str]
    subject: str
    body: str
    changes: List[_Change] = field(default_factory=list)
    # numstat with whitespace ignored: whether any line changed
    content_changed: bool = False


_GIT = ["git", "-c", "core.quotepath=false", "-c", "log.showSignature=false", "-c", "color.ui=never"]


def _env() -> Dict[str, str]:
    return {**os.environ, "GIT_TERMINAL_PROMPT": "0", "LC_ALL": "C"}


def _git(repo: str, *args: str) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(_GIT + list(args), cwd=repo, capture_output=True, env=_env())
    except FileNotFoundError as exc:
        raise FromGitError("git is not installed (no 'git' command on PATH)") from exc


def _check_repository(repo: str) -> None:
    if not os.path.isdir(repo):
        raise FromGitError(f"{repo}: not a folder")
    done = _git(repo, "rev-parse", "--is-inside-work-tree", "--is-bare-repository")
    if done.returncode != 0 or b"true" not in done.stdout.split():
        raise FromGitError(f"{repo}: not a git repository")
    if _git(repo, "rev-parse", "--verify", "--quiet", "HEAD^{commit}").returncode != 0:
        raise FromGitError(f"{repo}: the repository has no commits")


def _files_at_head(repo: str) -> Set[str]:
    done = _git(repo, "ls-tree", "-r", "-z", "--name-only", "HEAD")
    if done.returncode != 0:
        raise FromGitError(f"{repo}: git ls-tree failed: {_first_line(done.stderr)}")
    return {p for p in done.stdout.decode("utf-8", "surrogateescape").split("\0") if p}


def _first_line(data: bytes) -> str:
    lines = data.decode("utf-8", "replace").strip().splitlines()
    return lines[0] if lines else "no message"


_HEADER = "commit "
_NUMSTAT = re.compile(r"^(\d+|-)\t(\d+|-)\t")


_LOG = (
    "log",
    "--topo-order",
    "--no-merges",
    "--relative",
    "--no-ext-diff",
    "--no-textconv",
    "-M",
    "-w",
    "--raw",
    "--numstat",
    "-z",
    "--abbrev=12",
    f"--format={_HEADER}%h %p%n%s%n%b",
    "HEAD",
)


def _tokens(stream: IO[bytes]) -> Iterator[str]:
    """The NUL-separated fields of ``stream``, read as they come."""
    rest = b""
    while True:
        data = stream.read(1 << 16)
        if not data:
            break
        *fields, rest = (rest + data).split(b"\0")
        for f in fields:
            yield f.decode("utf-8", "surrogateescape")
    if rest:
        yield rest.decode("utf-8", "surrogateescape")


def _log(repo: str) -> Generator[_Commit, None, None]:
    """The commits reachable from HEAD, newest first, children before parents, read while
    git writes them (closing the iterator stops git)."""
    with tempfile.TemporaryFile() as errors:
        try:
            process = subprocess.Popen(_GIT + list(_LOG), cwd=repo, stdout=subprocess.PIPE, stderr=errors, env=_env())
        except FileNotFoundError as exc:
            raise FromGitError("git is not installed (no 'git' command on PATH)") from exc
        assert process.stdout is not None
        try:
            tokens = _tokens(process.stdout)
            commit: Optional[_Commit] = None
            for token in tokens:
                stripped = token.lstrip("\n")
                if not stripped:
                    continue
                if stripped.startswith(":") and commit is not None:  # raw: ":modes shas STATUS", then paths
                    status = stripped.split()[-1][:1]
                    path = next(tokens, "")
                    if status in "RC":
                        commit.changes.append(_Change(status, next(tokens, ""), path))
                    else:
                        commit.changes.append(_Change(status, path))
                elif _NUMSTAT.match(stripped) and commit is not None:
                    added, deleted, rest = stripped.split("\t", 2)
                    if rest == "":  # a rename: the old and new paths follow
                        next(tokens, "")
                        next(tokens, "")
                    if added != "0" or deleted != "0":
                        commit.content_changed = True
                elif stripped.startswith(_HEADER):
                    if commit is not None:
                        yield commit
                    head, _, message = stripped[len(_HEADER) :].partition("\n")
                    message = message.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
                    subject, _, body = message.partition("\n")
                    short, *parents = head.split()
                    commit = _Commit(short, parents, subject, body)
                # nothing else comes in this format
            if process.wait() != 0:
                errors.seek(0)
                raise FromGitError(f"{repo}: git log failed: {_first_line(errors.read())}")
            if commit is not None:
                yield commit
        finally:
            if process.poll() is None:
                process.kill()
            process.stdout.close()
            process.wait()


# ---------------------------------------------------------------- the ground truth


def _reference(path: str) -> Optional[str]:
    """``path`` written as a file reference, or None when it cannot be one (whitespace, a
    "#L" suffix, or bytes that are not UTF-8)."""
    if any(c.isspace() or "\udc80" <= c <= "\udcff" for c in path) or re.search(r"#L\d+(?:-L?\d+)?$", path):
        return None
    return path if ("/" in path or "." in path) else "./" + path


def _source_file(path: str, options: FromGitOptions) -> bool:
    parts = path.split("/")
    if os.path.splitext(parts[-1])[1].lower() not in SOURCE_SUFFIXES:
        return False
    if any(part.lower() in DOC_FOLDERS for part in parts[:-1]):
        return False
    if not options.include_tests and is_test_path(path):
        return False
    if options.paths and not any(fnmatch.fnmatchcase(path, glob) for glob in options.paths):
        return False
    if any(fnmatch.fnmatchcase(path, glob) for glob in options.exclude):
        return False
    return _reference(path) is not None


def queries_from_git(
    repo: str, options: FromGitOptions = FromGitOptions(), skipped: Optional[Dict[str, int]] = None
) -> List[GitQuery]:
    """The queries of ``repo``'s history, oldest first (see the module's docstring).

    ``skipped``, when given, counts the commits left out by reason ("root", "release",
    "formatting", "no source file", "too many files", "too few files").

    Raises ``FromGitError`` with a one-line message when ``repo`` is not a git repository,
    has no commits, or keeps no commit after the filters.
    """
    if options.min_files < 1 or options.max_files < options.min_files:
        raise FromGitError(f"--min-files {options.min_files} and --max-files {options.max_files}: need 1 <= min <= max")
    _check_repository(repo)
    counts: Dict[str, int] = {} if skipped is None else skipped
    head_files = _files_at_head(repo)
    # what each path (as named at this point of the walk) is called at HEAD; walking from
    # the newest commit back, a path missing here does not reach HEAD
    at_head: Dict[str, Optional[str]] = {p: p for p in head_files}
    kept: List[GitQuery] = []
    log = _log(repo)
    for commit in log:
        if options.max_commits is not None and len(kept) >= options.max_commits:
            log.close()  # stops git
            break
        documents = sorted(
            {
                now
                for change in commit.changes
                if change.status != "D"
                for now in [at_head.get(change.path)]
                if now is not None and _source_file(now, options)
            }
        )
        # the paths as they were before this commit
        for change in commit.changes:
            if change.status == "R" and change.old is not None:
                at_head[change.old] = at_head.get(change.path)
                at_head[change.path] = None
            elif change.status in "AD":
                at_head[change.path] = None
        reason = _reason(commit, documents, options)
        if reason is not None:
            counts[reason] = counts.get(reason, 0) + 1
            continue
        query = clean_subject(commit.subject)
        if options.with_body:
            body = clean_body(commit.body)
            if body:
                query = f"{query}\n\n{body}"
        kept.append(GitQuery(commit.hash, query, sorted(_reference(d) or d for d in documents)))
    if not kept:
        raise FromGitError(
            f"{repo}: no commit is left after the filters (merges, releases, formatting, tests and docs)"
        )
    kept.reverse()
    _mark_trivial(kept, [p for p in head_files if _source_file(p, options)])
    return kept


def _reason(commit: _Commit, documents: Sequence[str], options: FromGitOptions) -> Optional[str]:
    """Why ``commit`` is left out, or None."""
    if not commit.parents:
        return "root"
    subject = skip_reason(commit.subject)
    if subject is not None:
        return subject
    if commit.changes and not commit.content_changed and all(c.status in "MT" for c in commit.changes):
        return "formatting"  # whitespace only
    if not clean_subject(commit.subject):
        return "no subject"
    if not documents:
        return "no source file"
    if len(documents) > options.max_files:
        return "too many files"
    if len(documents) < options.min_files:
        return "too few files"
    return None


def _mark_trivial(queries: Sequence[GitQuery], source_files: Sequence[str]) -> None:
    counts: Dict[str, int] = {}
    for path in source_files:
        for word in path_words(path):
            counts[word] = counts.get(word, 0) + 1
    common = {word for word, n in counts.items() if n * 2 > len(source_files)}
    for q in queries:
        mine = words(q.query) - common
        q.trivial = any(mine & path_words(d[2:] if d.startswith("./") else d) for d in q.documents)


def to_jsonl(queries: Iterable[GitQuery]) -> str:
    """The ground truth as JSON Lines: one judgement per query and file, with the query's
    ``id`` and ``trivial`` mark."""
    lines = []
    for q in queries:
        for document in q.documents:
            entry = {"query": q.query, "document": document, "score": 1.0, "id": q.id, "trivial": q.trivial}
            lines.append(json.dumps(entry, ensure_ascii=False))
    return "".join(line + "\n" for line in lines)
