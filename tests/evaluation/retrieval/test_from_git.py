"""`tavrin ground-truth from-git`: a ground truth from a repository's history."""

import json
import os
import subprocess
from pathlib import Path

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.retrieval.commands import read_ground_truth
from tavrin.evaluation.retrieval.from_git import is_test_path, skip_reason

ENV = {
    "GIT_AUTHOR_NAME": "A",
    "GIT_AUTHOR_EMAIL": "a@example.org",
    "GIT_COMMITTER_NAME": "A",
    "GIT_COMMITTER_EMAIL": "a@example.org",
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_SYSTEM": os.devnull,
}


@pytest.fixture(autouse=True)
def _git_without_leak_checks(monkeypatch):
    # under the sanitizers their runtime is preloaded into every child, git too: its leaks
    # are not this project's
    if "ASAN_OPTIONS" in os.environ:
        monkeypatch.setenv("ASAN_OPTIONS", os.environ["ASAN_OPTIONS"] + ":detect_leaks=0")


class Repo:
    def __init__(self, root: Path) -> None:
        self.root = root
        root.mkdir()
        self.tick = 0
        self.git("init", "-q", "-b", "main")

    def git(self, *args: str) -> str:
        self.tick += 1
        date = f"2024-01-01T00:{self.tick // 60:02d}:{self.tick % 60:02d}+00:00"
        env = {**os.environ, **ENV, "GIT_AUTHOR_DATE": date, "GIT_COMMITTER_DATE": date}
        return subprocess.run(
            ["git", *args], cwd=self.root, env=env, check=True, capture_output=True, text=True
        ).stdout.strip()

    def commit(self, message: str, files=None, remove=()) -> str:
        for name, text in (files or {}).items():
            path = self.root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        for name in remove:
            self.git("rm", "-q", name)
        self.git("add", "-A")
        self.git("commit", "-q", "--allow-empty", "-m", message)
        return self.git("rev-parse", "--short=12", "HEAD")


def run(*args: str):
    return CliRunner().invoke(cli, ["ground-truth", "from-git", *args])


@pytest.fixture
def history(tmp_path):
    """A small history with each kind of commit that is kept or left out; the ids of the kept ones."""
    r = Repo(tmp_path / "repo")
    core, parser = "src/pkg/core.py", "src/pkg/parser.py"
    r.commit("Initial import", {core: "def run():\n    pass\n", "README.md": "# pkg\n"})
    ids = {}
    ids["parser"] = r.commit("Add the parser for config files (#12)", {
        parser: "def parse(text):\n    return {}\n", "tests/test_parser.py": "def test_parse():\n    pass\n"})
    ids["empty"] = r.commit("Handle empty input", {core: "def run(x=None):\n    pass\n", "src/pkg/helper.py": "X = 1\n"})
    r.commit("Bump version to 1.1.0", {"src/pkg/version.py": "VERSION = '1.1.0'\n"})
    r.commit("Cover empty input", {"tests/test_core.py": "def test_core():\n    pass\n"})
    r.commit("Explain the settings", {"docs/conf.py": "project = 'pkg'\n", "README.md": "# pkg\nsettings\n"})
    r.git("checkout", "-q", "-b", "env")
    ids["env"] = r.commit("Read settings from the environment\n\nUses os.environ.\n\nSigned-off-by: A <a@example.org>",
                          {parser: "import os\ndef parse(text):\n    return dict(os.environ)\n"})
    r.git("checkout", "-q", "main")
    ids["fix1"] = r.commit("Fix crash", {core: "def run(x=None):\n    return x\n"})
    r.git("merge", "-q", "--no-ff", "-m", "Merge branch 'env'", "env")
    r.commit("Remove the helper module", remove=["src/pkg/helper.py"])
    (r.root / "src/pkg/config").mkdir()
    r.git("mv", parser, "src/pkg/config/parser.py")
    ids["move"] = r.commit("Move parsing into its own package")
    r.commit("Tidy", {core: "def run(x=None):\n        return x\n"})  # whitespace only
    r.commit("Run black", {core: "def run(x = None):\n    return x\n"})
    ids["fix2"] = r.commit("Fix crash", {"src/pkg/config/parser.py": "def parse(text):\n    return {1: 2}\n"})
    return r, ids


def test_history_becomes_queries_of_the_files_at_head(history, tmp_path):
    repo, ids = history
    result = run(str(repo.root))
    assert result.exit_code == 0, result.output

    def line(key, query, document, trivial):
        return json.dumps({"query": query, "document": document, "score": 1.0, "id": ids[key], "trivial": trivial})

    # oldest first; the parser was renamed since, the helper deleted, tests and docs dropped
    assert result.stdout.splitlines() == [
        line("parser", "Add the parser for config files", "src/pkg/config/parser.py", True),
        line("empty", "Handle empty input", "src/pkg/core.py", False),
        line("fix1", "Fix crash", "src/pkg/core.py", False),
        line("env", "Read settings from the environment", "src/pkg/config/parser.py", False),
        line("move", "Move parsing into its own package", "src/pkg/config/parser.py", False),
        line("fix2", "Fix crash", "src/pkg/config/parser.py", False),
    ]
    assert run(str(repo.root)).stdout == result.stdout  # byte for byte

    # the body variant, the latest N, and a file the retrieval-eval reader takes
    out = tmp_path / "truth.jsonl"
    result = run(str(repo.root), "--with-body", "--max-commits", "3", "--output", str(out))
    assert result.exit_code == 0 and "Wrote 3 queries" in result.output
    queries = [json.loads(x)["query"] for x in out.read_text().splitlines()]
    assert queries == ["Read settings from the environment\n\nUses os.environ.",
                       "Move parsing into its own package", "Fix crash"]
    assert [q for q, _, _ in read_ground_truth(str(out))] == queries


def test_bad_repositories_get_one_line(tmp_path):
    plain = tmp_path / "plain"
    plain.mkdir()
    empty = Repo(tmp_path / "empty")
    docs_only = Repo(tmp_path / "docs")
    docs_only.commit("Initial import", {"README.md": "x\n"})
    docs_only.commit("Write the guide", {"docs/guide.md": "y\n", "tests/test_x.py": "z = 1\n"})
    for root, message in [
        (plain, "not a git repository"),
        (empty.root, "has no commits"),
        (docs_only.root, "no commit is left after the filters"),
    ]:
        result = run(str(root))
        assert result.exit_code == 1
        assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


def test_rules_for_subjects_and_paths():
    for subject, reason in [
        ("Release 2.0.1", "release"), ("v1.4.0", "release"), ("chore(release): 3.1.0", "release"),
        ("Bump requests from 2.31 to 2.32", "release"), ("Prepare for release", "release"),
        ("Format", "formatting"), ("ruff format", "formatting"), ("Fix typos", "formatting"),
        ("style: wrap lines", "formatting"), ("Fix lint errors", "formatting"),
        ("Fix typo in the error message of parse_args", None), ("Format dates in ISO 8601", None),
        ("Black magic in the loader", None), ("fix(parser): handle tabs", None), ("Bump version", "release"),
        ("Release the GIL while hashing", None), ("Bump the default timeout", None),
        ("Update version to 1.2.3", "release"), ("Support Python version 3.12", None),
    ]:
        assert skip_reason(subject) == reason, subject
    assert [is_test_path(p) for p in [
        "tests/a.py", "pkg/test_a.py", "a_test.go", "web/x.spec.ts", "src/FooTest.java", "conftest.py",
        "src/testing.py", "src/contest.py", "src/latest.rs",
    ]] == [True, True, True, True, True, True, False, False, False]
