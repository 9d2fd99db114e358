"""Every mistake made with evaluate, resume, markdown and merge ends in one line, exit
status 1, and no file changed; and the runs report failure honestly."""

import errno
import json
import os
import shutil
from pathlib import Path
from typing import Dict, List

import pytest
from click.testing import CliRunner

from tavrin import _outputs
from tavrin.cli import cli
from tavrin.evaluation.qa.report import Report, journal_path

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "questions.json"


@pytest.fixture
def folder(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A working folder with a question set, a complete report and broken ones."""
    monkeypatch.chdir(tmp_path)
    shutil.copy(EXAMPLE, "set.json")
    result = CliRunner().invoke(cli, ["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "r.json"])
    assert result.exit_code == 0, result.output
    text = Path("r.json").read_text(encoding="utf-8")
    Path("dir.json").mkdir()
    Path("empty.json").write_text("")
    Path("trunc.json").write_text(text[: len(text) // 2])
    Path("list.json").write_text("[1, 2]")
    data = json.loads(text)
    data["records"][0]["question"] = "edited"
    Path("edited.json").write_text(json.dumps(data))
    data = json.loads(text)
    data["version"] = 99
    Path("v99.json").write_text(json.dumps(data))
    os.link("r.json", "hard.json")
    os.symlink("set.json", "link.json")
    Path("old.md").write_text("old markdown")
    return tmp_path


def snapshot(root: Path) -> Dict[str, bytes]:
    return {str(p.relative_to(root)): (b"<dir>" if p.is_dir() else p.read_bytes()) for p in sorted(root.rglob("*"))
            if not str(p.relative_to(root)).startswith("data")}


BAD_REPORTS = [
    ("dir.json", "dir.json is a directory"),
    ("empty.json", "empty.json: invalid or truncated JSON"),
    ("trunc.json", "trunc.json: invalid or truncated JSON"),
    ("list.json", "list.json: expected a JSON object"),
    ("edited.json", "edited.json: record 0: field 'id'"),
    ("v99.json", "unsupported report version 99"),
]

CASES = [
    *[(["resume", name], message) for name, message in BAD_REPORTS],
    *[(["markdown", name], message) for name, message in BAD_REPORTS],
    *[(["merge", "r.json", name, "-o", "all.json"], message) for name, message in BAD_REPORTS],
    (["resume", "r.json", "-o", "nodir/x.json"], "folder 'nodir' does not exist"),
    (["resume", "r.json", "-o", "set.json"], "is the same file as the input 'set.json'"),
    (["resume", "r.json", "-o", "dir.json"], "is a directory, not a regular file"),
    (["resume", "r.json", "--jobs", "0"], "--jobs must be at least 1"),
    (["markdown", "r.json", "-o", "nodir/x.md"], "folder 'nodir' does not exist"),
    (["markdown", "r.json", "-o", "r.json"], "is the same file as the input 'r.json'"),
    (["markdown", "r.json", "-o", "./r.json"], "is the same file as the input 'r.json'"),
    (["markdown", "r.json", "-o", "hard.json"], "is the same file as the input 'r.json'"),
    (["markdown", "r.json", "-o", "dir.json"], "is a directory"),
    (["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "set.json"], "same file as the input"),
    (["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "link.json"], "same file as the input"),
    (["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "r.json"], "already exists"),
    (["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "new.json", "--markdown", "set.json"],
     "same file as the input"),
    (["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "new.json", "--markdown", "new.json"],
     "the JSON report's own path"),
    (["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "nodir/new.json"], "does not exist"),
    (["merge", "r.json", "hard.json", "-o", "r.json"], "same file as the input"),
    (["merge", "r.json", "-o", "old.md"], "already exists"),
]


@pytest.mark.parametrize("args, message", CASES, ids=[" ".join(a) for a, _ in CASES])
def test_each_mistake_is_one_line_and_changes_no_file(folder: Path, args: List[str], message: str) -> None:
    before = snapshot(folder)
    result = CliRunner().invoke(cli, args)
    assert result.exit_code == 1, result.output
    assert result.stderr.startswith("Error: ") and result.stderr.count("\n") == 1, result.stderr
    assert message in result.stderr
    assert result.stdout == ""
    assert snapshot(folder) == before


@pytest.mark.parametrize("command", [
    ["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "new.json"],
    ["resume", "r.json", "-o", "new.json"],
    ["markdown", "r.json", "-o", "new.md"],
    ["merge", "r.json", "-o", "new.json"],
])
@pytest.mark.parametrize("fault", [errno.EACCES, errno.ENOSPC])
def test_an_output_that_cannot_be_written_is_one_line(folder, monkeypatch, command, fault):
    """A read-only folder or a full disk, simulated where every output is written."""
    def failing(*args, **kwargs):
        raise OSError(fault, os.strerror(fault))

    monkeypatch.setattr(_outputs.tempfile, "mkstemp", failing)
    before = snapshot(folder)
    result = CliRunner().invoke(cli, command)
    assert result.exit_code == 1, result.output
    lines = result.stderr.splitlines()
    assert lines[-1].startswith("Error: ") and os.strerror(fault) in lines[-1], result.stderr
    assert snapshot(folder) == before


def test_markdown_writes_utf8_atomically_through_a_link_and_dash_means_stdout(folder):
    report = Report.load_json("r.json")
    report.description = "Ünïcödé ✓"
    report.dump_json("u.json")
    os.symlink("old.md", "via-link.md")
    result = CliRunner().invoke(cli, ["markdown", "u.json", "-o", "via-link.md"])
    assert result.exit_code == 0, result.output
    assert os.path.islink("via-link.md")
    assert Path("old.md").read_text(encoding="utf-8") == report.to_markdown()
    assert "Saved markdown file: via-link.md" in result.stdout
    dashed = CliRunner().invoke(cli, ["markdown", "u.json", "-o", "-"])
    assert dashed.exit_code == 0 and dashed.stdout == report.to_markdown() + "\n" and not Path("-").exists()
    assert "Load json report: u.json" in dashed.stderr


def test_resume_reports_a_failed_run_with_exit_status_1(folder, monkeypatch):
    from tavrin.evaluation.qa.evaluable import pivra

    data = json.loads(Path("r.json").read_text())
    data["records"] = data["records"][:3]
    Path("part.json").write_text(json.dumps(data))

    def broken(self, question):
        raise RuntimeError("no key")

    monkeypatch.setattr(pivra.YesWoman, "predict", broken)
    failed = CliRunner().invoke(cli, ["resume", "part.json"])
    assert failed.exit_code == 1
    assert "The evaluation stopped early: no key" in failed.stderr and "tavrin resume part.json" in failed.stderr
    assert len(Report.load_json("part.json").records) == 3

    monkeypatch.undo()
    monkeypatch.chdir(folder)
    done = CliRunner().invoke(cli, ["resume", "part.json"])
    assert done.exit_code == 0 and "Saved JSON report: part.json" in done.stdout
    assert "YesWoman  4/12 true" in done.stdout


def test_resume_finds_the_question_set_beside_the_report(folder, monkeypatch, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    result = CliRunner().invoke(cli, ["resume", "../r.json"])
    assert result.exit_code == 0, result.output
    assert Report.load_json("../r.json").test_set_path == "set.json"  # stored as it was

    data = json.loads((folder / "r.json").read_text())
    data["test_set_path"] = "gone.json"
    (folder / "gone-set.json").write_text(json.dumps(data))
    missing = CliRunner().invoke(cli, ["resume", "../gone-set.json"])
    assert missing.exit_code == 1 and missing.stderr.count("\n") == 1
    assert "neither gone.json" in missing.stderr and str(folder / "gone.json") in missing.stderr


def test_a_markdown_that_cannot_be_written_after_a_complete_run_removes_the_journal(folder, monkeypatch):
    original = _outputs.atomic_write_text

    def no_markdown(path, text):
        if str(path).endswith(".md"):
            raise OSError(errno.EROFS, os.strerror(errno.EROFS))
        return original(path, text)

    monkeypatch.setattr("tavrin.evaluation.qa.report.model.atomic_write_text", no_markdown)
    result = CliRunner().invoke(cli, ["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "n.json",
                                      "--markdown", "n.md"])
    assert result.exit_code == 1
    assert "the JSON report is complete, but the Markdown report n.md could not be written" in result.stderr
    assert len(Report.load_json("n.json").records) == 12 and not journal_path("n.json").exists()
