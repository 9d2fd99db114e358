"""What the QA commands print, return and write stays as it was; and how often they touch
the report.

``tests/qa_outputs.golden.json`` holds the outputs of ``scripts/qa_outputs.py capture`` made
with the code before the run engine was one (dates, timings and the folder replaced); the
commands must still print, return and write exactly that. A change meant to alter an output
renews the file: ``python scripts/qa_outputs.py capture --stage STAGE --out tests/qa_outputs.golden.json``.
"""

import json
import os
import shutil
import sys
from pathlib import Path
from typing import List

import pytest
from click.testing import CliRunner

import tavrin
from tavrin.cli import cli
from tavrin.evaluation.qa.report import Report

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))

import qa_outputs  # noqa: E402

#: Commands whose output changed on purpose since the golden file was made, and why.
CHANGED = {
    "help": "the group's help names all three jobs of the toolkit",
    "evaluate help": "evaluate lists the cost options (--cost, --prices, --max-cost, --dry-run)",
    "evaluate killed": "each journal line carries the model service's usage since the line before",
    "resume killed run": "the resumed report counts the usage of the killed part too",
    "markdown -o -": "the status lines go to standard error, the Markdown alone to standard output",
    "html": "the page collapses long texts behind a button",
    "html two": "the page collapses long texts behind a button",
    "evaluate help": "--judge-model may be repeated for a jury; --keep-going records failures as errors; "
    "--fail-on-error gates on them",
    "evaluate --keep-going -j1": "a failed judgement is recorded as an error, counted apart in the summary",
    "evaluate --keep-going -j8": "a failed judgement is recorded as an error, counted apart in the summary",
    "resume failed -j8": "a plain resume keeps error records (--retry-errors makes them again)",
    "compare differing": "error records leave the pairs and are listed apart",
}


def test_every_command_prints_returns_and_writes_what_it_did():
    golden = json.loads((ROOT / "tests" / "qa_outputs.golden.json").read_text(encoding="utf-8"))
    now = qa_outputs.capture(os.path.dirname(os.path.dirname(os.path.abspath(tavrin.__file__))), sys.executable)
    rows = [row for row in qa_outputs.diff(golden, now) if row[0] not in CHANGED]
    differing = [row for row in rows if any(cell != "same" for cell in row[2:])]
    assert not differing, "\n".join(" | ".join(row) for row in differing)


@pytest.fixture
def counted(tmp_path, monkeypatch):
    """Counts of the report files written and read, and of Markdown renderings."""
    counts = {"dump_json": 0, "load_json": 0, "to_markdown": 0}
    for name in counts:
        original = getattr(Report, name)

        def counting(*args, _name=name, _original=original, **kwargs):
            counts[_name] += 1
            return _original.__get__(None, Report)(*args, **kwargs) if _name == "load_json" else _original(
                *args, **kwargs)

        monkeypatch.setattr(Report, name, classmethod(counting) if name == "load_json" else counting)
    monkeypatch.chdir(tmp_path)
    shutil.copy(ROOT / "examples" / "questions.json", "set.json")
    return counts


@pytest.mark.parametrize("jobs", ["1", "8"])
def test_evaluate_writes_its_report_twice_and_markdown_reads_it_once(counted, jobs):
    run = ["evaluate", "set.json", "-s", "YesWoman", "-s", "NoWoman", "-e", "ExactMatch", "-o", "r.json", "-j", jobs]
    assert CliRunner().invoke(cli, [*run, "--markdown", "r.md"]).exit_code == 0
    assert counted == {"dump_json": 2, "load_json": 0, "to_markdown": 1}  # at the start, at the end
    counted.update(dict.fromkeys(counted, 0))
    assert CliRunner().invoke(cli, ["resume", "r.json", "-j", jobs]).exit_code == 0
    assert counted == {"dump_json": 1, "load_json": 1, "to_markdown": 0}
    counted.update(dict.fromkeys(counted, 0))
    result = CliRunner().invoke(cli, ["markdown", "r.json", "-o", "again.md"])

    def undated(path: str) -> List[str]:  # the resume gave the report a new date
        return [line for line in Path(path).read_text(encoding="utf-8").splitlines() if "**Date:**" not in line]

    assert result.exit_code == 0 and undated("again.md") == undated("r.md")
    assert counted == {"dump_json": 0, "load_json": 1, "to_markdown": 1}
