"""The resume and markdown commands."""

import json

import click
import pytest
from click.testing import CliRunner

from tavrin.evaluation.qa import evaluation as ev
from tavrin.evaluation.qa.commands import markdown as md_mod
from tavrin.evaluation.qa.commands import resume as resume_mod
from tavrin.evaluation.qa.report import Report


@pytest.fixture
def interrupted(tmp_path):
    """A report of YesWoman/NoWoman judged by ExactMatch, cut short after one record."""
    qset = tmp_path / "set.json"
    qset.write_text(json.dumps({"name": "demo", "cases": [
        {"id": "1", "question": "q1", "reference_answer": "Yes"},
        {"id": "2", "question": "q2", "reference_answer": "No"}]}))
    from tavrin.evaluation.qa.evaluable.pivra import NoWoman, YesWoman
    from tavrin.evaluation.qa.evaluator.exact_match import ExactMatch
    out = tmp_path / "r.json"
    ev.Evaluation(str(qset), [YesWoman, NoWoman], [ExactMatch]).run(str(out))
    data = json.loads(out.read_text())
    data["records"] = data["records"][:1]
    data["error_msg"] = "KeyboardInterrupt"
    out.write_text(json.dumps(data))
    return out


def test_command_shapes():
    for cmd, name, help_text in [
            (resume_mod.resume, "resume", "Resume an evaluation from the json report in JSON_PATH."),
            (md_mod.markdown, "markdown", "Generate a markdown report from the json report in JSON_PATH.")]:
        assert isinstance(cmd, click.Command) and cmd.name == name and cmd.help == help_text
        assert cmd.params[0].name == "json_path" and cmd.params[0].type.exists
    assert [p.opts for p in resume_mod.resume.params] == [["json_path"], ["-o", "--output"], ["-v", "--verbose"]]
    assert resume_mod.resume.callback.__annotations__ == {"json_path": "str", "output": "str", "verbose": "bool"}
    assert md_mod.markdown.callback.__annotations__ == {"json_path": "str", "output": "str"}
    with pytest.raises(TypeError, match="'json_path' has incorrect type"):
        resume_mod.resume.callback(json_path=1, output=None, verbose=False)


def test_resume_in_place(interrupted):
    result = CliRunner().invoke(resume_mod.resume, [str(interrupted)])
    assert result.exit_code == 0, result.output
    report = Report.load_json(str(interrupted))
    assert len(report.records) == 4 and report.error_msg == ""


def test_resume_to_new_file_leaves_input(interrupted, tmp_path):
    before = interrupted.read_text()
    out = tmp_path / "new.json"
    result = CliRunner().invoke(resume_mod.resume, [str(interrupted), "-o", str(out), "-v"])
    assert result.exit_code == 0, result.output
    assert interrupted.read_text() == before
    assert len(Report.load_json(str(out)).records) == 4
    assert "Skip evaluate YesWoman by ExactMatch on 1" in result.output


def test_resume_missing_file(tmp_path):
    result = CliRunner().invoke(resume_mod.resume, [str(tmp_path / "nope.json")])
    assert result.exit_code == 2 and "does not exist" in result.output


def test_markdown_prints_and_saves(interrupted, tmp_path):
    out = tmp_path / "r.md"
    result = CliRunner().invoke(md_mod.markdown, [str(interrupted), "-o", str(out)])
    assert result.exit_code == 0, result.output
    text = Report.load_json(str(interrupted)).to_markdown()
    assert result.output == (f"Load json report: {interrupted}\nReport in Markdown:\n{text}\n"
                             f"Saved markdown file: {out}\n")
    assert out.read_text() == text and "KeyboardInterrupt" in text


def test_markdown_without_output_writes_nothing(interrupted, tmp_path, monkeypatch):
    calls = []
    class Console:
        @staticmethod
        def secho(*a, **k):
            calls.append((a, k))
    monkeypatch.setattr(md_mod, "click", Console)
    md_mod.markdown.callback(json_path=str(interrupted), output=None)
    assert calls == [((f"Load json report: {interrupted}",), {"fg": "blue"}),
                     (("Report in Markdown:",), {"fg": "blue"})]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.json", "set.json"]


def test_markdown_file_is_replaced_atomically_as_utf8(interrupted, tmp_path, monkeypatch):
    import os

    out = tmp_path / "r.md"
    out.write_text("old")

    def fail(src, dst):
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", fail)
    result = CliRunner().invoke(md_mod.markdown, [str(interrupted), "-o", str(out)])
    assert isinstance(result.exception, OSError) and "Saved markdown file" not in result.output
    assert out.read_text() == "old" and sorted(p.name for p in tmp_path.iterdir()) == ["r.json", "r.md", "set.json"]
    monkeypatch.undo()
    report = Report.load_json(str(interrupted))
    report.description = "Ünïcödé"
    report.dump_json(str(interrupted))
    assert CliRunner().invoke(md_mod.markdown, [str(interrupted), "-o", str(out)]).exit_code == 0
    assert out.read_text(encoding="utf-8") == report.to_markdown()
