"""``tavrin html``: the page is checked in a real headless Chromium (Debian's ``chromium``
driven through Playwright), by what a reader sees: visible elements, the chart's pixels,
and the cases that filters and search leave on screen."""

import io
import os
import shutil
from pathlib import Path
from typing import Any, Dict, Iterator, List, Set, Tuple

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import EvalRecord, Report

HOSTILE = '</script><script>window.pwned = 1</script><img src=x onerror="window.pwned = 2">'
SUBJECTS = ["YesWoman", "NoWoman"]
CASES = [str(i) for i in range(1, 9)]
#: (case, subject) whose ExactMatch verdict the second run turns round, and which way
FLIPS = {("2", "YesWoman"): "worse", ("5", "NoWoman"): "better", ("7", "YesWoman"): "better"}


def _verdict(case: str, subject: str, second: bool) -> bool:
    value = int(case) % 2 == 0 if subject == "YesWoman" else int(case) % 3 == 0
    return (not value) if second and (case, subject) in FLIPS else value


def _report(name: str, second: bool = False, cases: List[str] = CASES) -> Report:
    records = []
    for case in cases:
        question = f"Question {case}: is thing {case} so?"
        for subject in SUBJECTS:
            prediction = HOSTILE if case == "5" else ("Yes" if subject == "YesWoman" else "No")
            documents = [
                {"label": f"src/mod{case}.py", "url": f"https://example.com/repo/blob/main/src/mod{case}.py"},
                {"label": "checkout", "reference": "/srv/repo/pkg/x.py"},
                {"label": "trap", "url": "javascript:window.pwned=3"},
            ]
            common = dict(case_id=case, question=question, subject=subject, prediction=prediction,
                          expected="Yes" if int(case) % 2 == 0 else "No", documents=documents)
            records.append(EvalRecord(**common, evaluator="ExactMatch", value=_verdict(case, subject, second),
                                      reason=f"{name}: exact match reason {case}/{subject}"))
            records.append(EvalRecord(**common, evaluator="Rating", value=(int(case) * 3) % 11,
                                      reason=f"rating reason {case}"))
    return Report(name=name, date="2024-05-01 12:00:00", test_set_path="questions.json", subjects=SUBJECTS,
                  evaluators=["ExactMatch", "Rating"], records=records, description="Using test set <basics>")


def _html(tmp_path: Path, *reports: Report, extra: Tuple[str, ...] = ()) -> Path:
    paths = []
    for index, report in enumerate(reports):
        paths.append(str(tmp_path / f"{'ab'[index]}.json"))
        report.dump_json(paths[-1])
    out = tmp_path / "report.html"
    result = CliRunner().invoke(cli, ["html", *paths, "-o", str(out), *extra])
    assert result.exit_code == 0, result.output
    return out


# ---------------------------------------------------------------- bad input


def test_bad_input_is_one_line_exit_1_and_nothing_written(tmp_path: Path) -> None:
    good = tmp_path / "a.json"
    _report("a").dump_json(good)
    other = tmp_path / "other.json"
    _report("other", cases=CASES[:5]).dump_json(other)
    broken = tmp_path / "broken.json"
    broken.write_text('{"format": "tavrin-qa-report", "version": 1, "records": [', encoding="utf-8")
    out = str(tmp_path / "page.html")
    cases = [
        ([str(tmp_path / "missing.json"), "-o", out], "missing.json"),
        ([str(broken), "-o", out], "broken.json"),
        ([str(good), "-o", str(tmp_path / "no" / "page.html")], "does not exist"),
        ([str(good), "-o", str(good)], "same file"),
        ([str(good), str(other), "-o", out], ""),  # different cases, no --allow-subset
        ([str(good), str(good), str(good), "-o", out], "one report, or two"),
    ]
    before = sorted(os.listdir(tmp_path))
    snapshot = good.read_bytes()
    for args, message in cases:
        result = CliRunner().invoke(cli, ["html", *args])
        assert result.exit_code == 1, (args, result.output)
        lines = result.output.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith("Error: ") and message in lines[0], (args, result.output)
        assert sorted(os.listdir(tmp_path)) == before and good.read_bytes() == snapshot
    subset = CliRunner().invoke(cli, ["html", str(good), str(other), "-o", out, "--allow-subset"])
    assert subset.exit_code == 0, subset.output


# ---------------------------------------------------------------- in the browser


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # the sanitizer runtime would be preloaded into the browser and its driver too;
        # the page has no native code of ours to check
        pytest.skip("not under the sanitizer runtime")
    executable = shutil.which("chromium")
    if executable is None:
        pytest.skip("Debian's chromium is not installed (apt-get install -y chromium)")
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed (test extra)")
    with sync_api.sync_playwright() as playwright:
        # the sandbox needs user namespaces, which containers running as root lack
        launched = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        yield launched
        launched.close()


@pytest.fixture
def open_page(browser: Any) -> Iterator[Any]:
    pages = []

    def open_(path: Path) -> Any:
        context = browser.new_context(viewport={"width": 1280, "height": 900}, device_scale_factor=1,
                                      offline=True, java_script_enabled=True)
        page = context.new_page()
        page.errors = []
        page.on("pageerror", lambda exc: page.errors.append(str(exc)))
        page.on("console", lambda msg: page.errors.append(msg.text) if msg.type == "error" else None)
        page.on("request", lambda request: page.errors.append(f"request {request.url}")
                if not request.url.startswith("file:") else None)
        page.goto(path.as_uri())
        pages.append(context)
        return page

    yield open_
    for context in pages:
        context.close()


def _visible_cases(page: Any) -> List[str]:
    return [page.locator("article.case:visible").nth(i).get_attribute("data-case")
            for i in range(page.locator("article.case:visible").count())]


def _box(page: Any, selector: str) -> Dict[str, float]:
    box = page.locator(selector).first.bounding_box()
    assert box is not None and box["width"] > 0 and box["height"] > 0, selector
    return box


def _colour_pixels(png: bytes, rgb: Tuple[int, int, int], tolerance: int = 12) -> Set[Tuple[int, int]]:
    image = pytest.importorskip("PIL.Image", reason="Pillow is not installed (test extra)")
    picture = image.open(io.BytesIO(png)).convert("RGB")
    width, height = picture.size
    data = picture.load()
    return {(x, y) for x in range(width) for y in range(height)
            if all(abs(c - w) <= tolerance for c, w in zip(data[x, y], rgb))}


def test_one_report_is_drawn_and_filters_and_search_change_the_cases(tmp_path: Path, open_page: Any) -> None:
    report = _report("baseline")
    page = open_page(_html(tmp_path, report))
    page.screenshot(path=str(tmp_path / "page.png"), full_page=True)
    for selector in ("#title", "table.summary-table", "#chart svg", "#filters", "article.case"):
        _box(page, selector)
    assert page.locator("#title").text_content() == "a.json"
    assert page.locator("table.summary-table td").first.text_content().startswith("4/8")

    # the chart: one bar per subject and evaluator, as long as its estimate, with whiskers
    bars = page.locator("#chart rect.bar")
    assert bars.count() == 4 and page.locator("#chart g.whisker").count() == 4
    yes_rate = {s: sum(_verdict(c, s, False) for c in CASES) / len(CASES) for s in SUBJECTS}  # 0.5, 0.25
    widths = [bars.nth(i).bounding_box()["width"] for i in range(2)]
    assert widths[0] / widths[1] == pytest.approx(yes_rate["YesWoman"] / yes_rate["NoWoman"], rel=0.02)
    chart = page.locator("#chart svg")
    blue = _colour_pixels(chart.screenshot(), (0x3F, 0x6F, 0xB0))
    chart_box = chart.bounding_box()
    first_bar = bars.first.bounding_box()
    assert len(blue) >= 0.8 * sum(bars.nth(i).bounding_box()["width"] * 14 for i in range(4))
    # the first bar's pixels are where its box says, and its whisker crosses the bar's end
    row = round(first_bar["y"] - chart_box["y"] + first_bar["height"] / 2)
    assert (round(first_bar["x"] - chart_box["x"] + 5), row) in blue
    whisker = page.locator("#chart g.whisker").first.bounding_box()
    assert whisker["x"] < first_bar["x"] + first_bar["width"] < whisker["x"] + whisker["width"]

    # untrusted text stays text; only the http(s) source is a link
    assert page.evaluate("window.pwned") is None
    assert HOSTILE in page.locator("article[data-case='5'] .prediction").first.text_content()
    links = page.locator("article[data-case='1'] [data-subject='YesWoman'] .sources a")
    assert links.count() == 1 and links.get_attribute("href").startswith("https://example.com/")
    assert page.locator("a[href^='javascript']").count() == 0

    assert _visible_cases(page) == CASES
    page.select_option("#f-subject", "NoWoman")
    page.select_option("#f-evaluator", "ExactMatch")
    page.select_option("#f-verdict", "true")
    wanted = [c for c in CASES if _verdict(c, "NoWoman", False)]
    assert _visible_cases(page) == wanted == ["3", "6"]
    case = page.locator("article[data-case='3']")
    assert case.locator("[data-subject='YesWoman']").is_hidden()
    assert case.locator("[data-subject='NoWoman'] tr[data-evaluator='Rating']").is_hidden()
    assert case.locator("[data-subject='NoWoman'] tr[data-evaluator='ExactMatch']").is_visible()
    assert page.locator("#chart rect.bar").count() == 1
    assert page.locator("#f-count").text_content() == f"2 of {len(CASES)} case(s) shown"
    page.screenshot(path=str(tmp_path / "filtered.png"), full_page=True)

    page.select_option("#f-verdict", "")
    page.fill("#f-search", "EXACT MATCH REASON 6/")  # a judge's reason, any letter case
    assert _visible_cases(page) == ["6"]
    page.fill("#f-search", "exact match reason 6/YesWoman")  # a reason of a subject filtered out
    assert _visible_cases(page) == []
    page.select_option("#f-subject", "")
    assert _visible_cases(page) == ["6"]
    page.fill("#f-search", "")
    assert len(_visible_cases(page)) == len(CASES)
    assert page.errors == []


def test_two_reports_side_by_side_mark_the_flipped_cases(tmp_path: Path, open_page: Any) -> None:
    page = open_page(_html(tmp_path, _report("before"), _report("after", second=True)))
    page.screenshot(path=str(tmp_path / "two.png"), full_page=True)
    _box(page, "#comparison-table")
    assert page.locator("#comparison-table tbody tr").count() == 4
    first = _box(page, "article[data-case='2'] [data-subject='YesWoman'] .answer[data-report='0']")
    second = _box(page, "article[data-case='2'] [data-subject='YesWoman'] .answer[data-report='1']")
    assert second["x"] >= first["x"] + first["width"] and abs(second["y"] - first["y"]) < 1  # side by side

    flipped_cases = sorted({case for case, _ in FLIPS}, key=int)
    marked = page.locator("article.case.flipped")
    assert [marked.nth(i).get_attribute("data-case") for i in range(marked.count())] == flipped_cases
    for (case, subject), direction in FLIPS.items():
        badge = page.locator(f"article[data-case='{case}'] .badge.flip.{direction}")
        assert badge.is_visible() and subject in badge.text_content()
        rows = page.locator(f"article[data-case='{case}'] [data-subject='{subject}'] tr.flip")
        assert rows.count() == 2 and rows.nth(0).is_visible()  # the judgement in both runs
    assert page.locator("article[data-case='1'] tr.flip").count() == 0

    page.check("#f-flipped")
    assert _visible_cases(page) == flipped_cases
    page.select_option("#f-subject", "NoWoman")
    assert _visible_cases(page) == ["5"]
    assert page.evaluate("window.pwned") is None and page.errors == []
