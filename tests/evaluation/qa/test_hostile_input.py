"""Files that are valid but hostile: nesting deeper than the JSON parser's recursion,
ratings near the float range, text that is not text (lone surrogates), answers of many
megabytes. Each ends in one line and exit 1 where it is bad input, and in sound figures
and a usable page where it is data."""

import json
import shutil
from pathlib import Path
from typing import List

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import EvalRecord, Report, journal_path

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "questions.json"
DEEP = "[" * 100000


def _one_line_error(args: List[str], *names: str) -> str:
    result = CliRunner().invoke(cli, args)
    lines = result.output.strip().splitlines()
    assert result.exit_code == 1 and len(lines) == 1 and lines[0].startswith("Error: "), (args, result.output)
    for name in names:
        assert name in lines[0], (args, lines[0])
    return lines[0]


def _rating_report(name: str, values: List[object]) -> Report:
    records = [
        EvalRecord(case_id=str(i), question=f"q{i}", subject="S", prediction="a", expected="b", documents=[],
                   evaluator="Rating", value=value, reason="r")
        for i, value in enumerate(values)
    ]
    return Report(name=name, date="2024-05-01 12:00:00", test_set_path="q.json", subjects=["S"],
                  evaluators=["Rating"], records=records)


def test_deep_nesting_is_one_line_naming_the_file_in_every_reader(tmp_path: Path,
                                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    shutil.copy(EXAMPLE, "set.json")
    assert CliRunner().invoke(cli, ["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch",
                                    "-o", "r.json"]).exit_code == 0
    Path("deep.json").write_text(DEEP)
    Path("deep.jsonl").write_text(DEEP + "\n")
    Path("labels.jsonl").write_text('{"case_id": "1", "subject": "YesWoman", "label": true}\n' + DEEP + "\n")
    shutil.copy("r.json", "j.json")
    journal_path("j.json").write_text('{"format": "tavrin-qa-journal"}\n' + DEEP + "\n")
    for args, where in [
        (["markdown", "deep.json"], "deep.json"),                                  # a report
        (["compare", "r.json", "deep.json"], "deep.json"),
        (["evaluate", "deep.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "x.json"], "deep.json"),  # questions
        (["retrieval-eval", "deep.jsonl"], "deep.jsonl, line 1"),                  # a ground truth
        (["judge-agreement", "r.json", "labels.jsonl"], "labels.jsonl:2"),         # labels
        (["markdown", "j.json"], "j.json.journal: line 2"),                        # a journal
    ]:
        assert "nested too deeply" in _one_line_error(args, where)
    assert not Path("x.json").exists()


def test_huge_ratings_give_the_figures_of_small_ones_scaled(tmp_path: Path) -> None:
    from tavrin.evaluation.qa.compare import compare_reports
    from tavrin.evaluation.qa.stats import summary_cells

    small = [3, 7, 5, 9, 4, 6, 8, 2]
    other = [4, 7, 6, 9, 6, 7, 8, 4]
    scale = 2.0**600  # exact, so the scaled figures must equal the small ones times it
    base, huge = (_rating_report(n, [v * scale for v in vs]) for n, vs in (("a", small), ("b", other)))
    plain = summary_cells(_rating_report("p", small))[0]
    cell = summary_cells(base)[0]
    assert cell.kind == "rating" and cell.interval is not None and plain.interval is not None
    assert cell.estimate == pytest.approx(plain.estimate * scale)
    assert (cell.interval.low, cell.interval.high) == pytest.approx((plain.interval.low * scale,
                                                                      plain.interval.high * scale))
    row = compare_reports([base, huge], ["a", "b"]).rows[0]
    plain_row = compare_reports([_rating_report("a", small), _rating_report("b", other)], ["a", "b"]).rows[0]
    assert row.difference == pytest.approx(plain_row.difference * scale)
    assert row.p_value == pytest.approx(plain_row.p_value, abs=0.02)  # exact test vs sampled, same answer
    # at the top of the float range, differences and sums would overflow: figures stay finite
    edge = _rating_report("e", [1.7e308, -1.7e308, 1.7e308, 1e308])
    flipped = _rating_report("f", [-1.7e308, 1.7e308, -1.7e308, -1e308])
    paths = []
    for report in (base, huge, edge, flipped):
        paths.append(str(tmp_path / f"{report.name}.json"))
        report.dump_json(paths[-1])
    for args in (["markdown", paths[0]], ["markdown", paths[2]], ["compare", *paths[:2], "--format", "json"],
                 ["compare", *paths[2:], "--format", "json"], ["html", *paths[2:], "-o", str(tmp_path / "p.html")]):
        result = CliRunner().invoke(cli, args)
        assert result.exit_code == 0 and "Infinity" not in result.output and "NaN" not in result.output, \
            (args, result.output[-400:])


SURROGATE_SUBJECT = '''
from tavrin.evaluation.qa.evaluable.base import EvaluableQA


class Unpaired(EvaluableQA):
    def predict(self, question):
        return "half of a pair: \\ud83d.", [{"label": "src/\\udc00.py", "url": "https://example.com/x"}]
'''


def test_lone_surrogates_are_refused_in_questions_and_kept_in_answers(tmp_path: Path,
                                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    data = json.loads(EXAMPLE.read_text(encoding="utf-8"))
    data["cases"][2]["id"] = "\ud800"
    Path("bad.json").write_text(json.dumps(data))  # ASCII escapes: valid JSON, and UTF-8
    line = _one_line_error(["evaluate", "bad.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "x.json"],
                           "bad.json: case 3: field 'id'", "surrogate")
    assert "\\ud800" in line and not Path("x.json").exists() and not journal_path("x.json").exists()
    # an answer holding one is data: the report keeps it exactly, resumes, and renders
    shutil.copy(EXAMPLE, "set.json")
    Path("unpaired.py").write_text(SURROGATE_SUBJECT)
    monkeypatch.syspath_prepend(str(tmp_path))
    run = CliRunner().invoke(cli, ["evaluate", "set.json", "-s", "unpaired:Unpaired", "-e", "ExactMatch",
                                   "-o", "r.json", "-v"])
    assert run.exit_code == 0, run.output
    assert "half of a pair: \\ud83d." in run.output
    records = Report.load_json("r.json").records
    assert len(records) == 12 and not journal_path("r.json").exists()
    assert {(r.prediction, r.documents[0]["label"]) for r in records} == {("half of a pair: \ud83d.", "src/\udc00.py")}
    for args in (["resume", "r.json"], ["markdown", "r.json", "-o", "r.md"], ["html", "r.json", "-o", "r.html"]):
        result = CliRunner().invoke(cli, args)
        assert result.exit_code == 0, (args, result.output)
    assert Report.load_json("r.json").records == records
    assert "half of a pair: \ufffd." in Path("r.md").read_text(encoding="utf-8")


# Runs the page's script in node on a minimal DOM: what it puts into the cases' text nodes
# is what a browser would have to lay out. The browser tests (test_html_report.py) need
# Chromium; node is more often at hand.
DOM_SHIM = r"""
const fs = require("fs"), vm = require("vm");
const [dataPath, scriptPath] = process.argv.slice(2);
class Text { constructor(data) { this.data = data; } get textContent() { return this.data; }
  set textContent(v) { this.data = String(v); } }
class Element {
  constructor(tag) { this.tag = tag; this.children = []; this.attrs = {}; this.listeners = {};
    this.hidden = false; this.value = ""; this.checked = false; }
  setAttribute(k, v) { this.attrs[k] = String(v); }
  getAttribute(k) { return k in this.attrs ? this.attrs[k] : null; }
  append(...xs) { for (const x of xs) this.children.push(typeof x === "string" ? new Text(x) : x); }
  replaceChildren(...xs) { this.children = []; this.append(...xs); }
  addEventListener(type, f) { (this.listeners[type] = this.listeners[type] || []).push(f); }
  get textContent() { return this.children.map((c) => c.textContent).join(""); }
  set textContent(v) { this.children = [new Text(String(v))]; }
}
const ids = {};
globalThis.document = { createElement: (t) => new Element(t), createElementNS: (ns, t) => new Element(t),
  createTextNode: (t) => new Text(t), getElementById: (id) => ids[id] || (ids[id] = new Element("div")) };
ids["report-data"] = new Element("script");
ids["report-data"].textContent = fs.readFileSync(dataPath, "utf8");
vm.runInThisContext(fs.readFileSync(scriptPath, "utf8"));
function* walk(node) { yield node; for (const c of node.children || []) yield* walk(c); }
const laidOut = () => [...walk(ids["cases"])].filter((n) => n instanceof Text).reduce((s, n) => s + n.data.length, 0);
const before = laidOut();
const buttons = [...walk(ids["cases"])].filter((n) => n.tag === "button" && n.attrs.class === "more");
for (const b of buttons) for (const f of b.listeners.click) f();
console.log(JSON.stringify({ before, after: laidOut(), buttons: buttons.length,
  labels: buttons.map((b) => b.textContent) }));
"""


def test_a_10_mb_answer_is_laid_out_collapsed_until_asked(tmp_path: Path) -> None:
    import re
    import subprocess

    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed")
    huge = "many words of an answer\n" * 440_000  # 10.5 MB
    records = [EvalRecord(case_id=str(i), question=f"q{i}", subject="S", prediction=huge if i == 0 else "short",
                          expected="b", documents=[], evaluator="ExactMatch", value=i == 1, reason="r")
               for i in range(3)]
    Report(name="big", date="2024-05-01 12:00:00", test_set_path="q.json", subjects=["S"],
           evaluators=["ExactMatch"], records=records).dump_json(tmp_path / "big.json")
    result = CliRunner().invoke(cli, ["html", str(tmp_path / "big.json"), "-o", str(tmp_path / "big.html")])
    assert result.exit_code == 0, result.output
    page = (tmp_path / "big.html").read_text(encoding="utf-8")
    data = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', page, re.S)
    script = re.search(r"<script>\n(.*)</script>", page, re.S)
    assert data is not None and script is not None
    (tmp_path / "data.json").write_text(data.group(1), encoding="utf-8")
    (tmp_path / "page.js").write_text(script.group(1), encoding="utf-8")
    (tmp_path / "dom.js").write_text(DOM_SHIM, encoding="utf-8")
    run = subprocess.run([node, str(tmp_path / "dom.js"), str(tmp_path / "data.json"), str(tmp_path / "page.js")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    shown = json.loads(run.stdout)
    assert shown["before"] < 20_000  # the first few thousand characters, the short texts, the labels
    assert shown["buttons"] == 1 and shown["labels"] == ["Show less"]
    assert shown["after"] >= len(huge)  # all of it, once asked for
