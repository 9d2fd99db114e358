"""What a run's model requests cost: prices, the dry run's count, and the cap that a run
at many jobs never passes."""

import json
import random
from pathlib import Path
from typing import Any, Dict, List

import pytest
from click.testing import CliRunner

from tavrin import _costs, _prices
from tavrin.cli import cli
from tavrin.evaluation.qa.report import Report

GPT4 = _prices.Price(0.03, 0.06)


def _write_set(path: Path, n: int) -> None:
    cases = [{"id": f"c{i}", "question": f"Does calc add numbers (case {i})?",
              "reference_answer": "Yes, calc adds them" if i % 2 else "No"} for i in range(n)]
    path.write_text(json.dumps({"name": "calc", "cases": cases}), encoding="utf-8")


def _billed(server: Any) -> Dict[str, List[int]]:
    with server.lock:
        return {model: list(tally) for model, tally in server.billed.items()}


def _server_cost(before: Dict[str, List[int]], after: Dict[str, List[int]]) -> float:
    prompt = after["gpt-4"][0] - before.get("gpt-4", [0, 0])[0]
    completion = after["gpt-4"][1] - before.get("gpt-4", [0, 0])[1]
    return GPT4.cost(prompt, completion)


def test_prices_of_dated_models_and_of_a_users_file(tmp_path: Path) -> None:
    table = _prices.builtin_prices()
    assert table.price("gpt-4o-2024-08-06") == table.price("gpt-4o") != table.price("gpt-4")
    assert table.price("gpt-4-0613") == table.price("gpt-4") == GPT4
    assert table.price("llama3") is None
    own = tmp_path / "p.json"
    own.write_text(json.dumps({"date": "2025-01-01", "models": {
        "gpt-4": {"output": 0.5}, "llama3": {"input": 0.001, "output": 0.002}}}), encoding="utf-8")
    mine = table.with_file(str(own))
    assert (mine.date, mine.price("gpt-4"), mine.price("llama3")) == (
        "2025-01-01", _prices.Price(0.03, 0.5), _prices.Price(0.001, 0.002))


def test_an_unknown_price_is_unknown_never_zero_and_a_resume_adds_to_the_count() -> None:
    meter = _costs.Meter(_prices.builtin_prices())
    for model, subject in (("gpt-4", "A"), ("llama3", "B")):
        ticket = _costs.Ticket(model, 1000, None, subject=subject)
        meter.settle(ticket, 1000, 1000)
    cost = meter.to_dict()
    assert cost["usd"] is None and cost["unknown_models"] == ["llama3"]
    assert cost["subjects"] == {"A": pytest.approx(0.09), "B": None}
    assert cost["models"]["llama3"]["usd"] is None and cost["models"]["gpt-4"]["usd"] == pytest.approx(0.09)
    again = _costs.Meter(_prices.builtin_prices(), base={"models": {"gpt-4": cost["models"]["gpt-4"]},
                                                          "subjects": {"A": 0.09}})
    again.settle(_costs.Ticket("gpt-4", 1000, None, subject="A"), 1000, 1000)
    assert again.to_dict()["usd"] == pytest.approx(0.18) and again.to_dict()["subjects"] == {"A": pytest.approx(0.18)}
    assert again.to_dict()["models"]["gpt-4"]["requests"] == 2
    # shards merged: their costs add up; a shard that counted none makes the sum unknown
    merged = _costs.merged_costs([again.to_dict(), again.to_dict()])
    assert merged is not None and merged["usd"] == pytest.approx(0.36)
    assert merged["models"]["gpt-4"]["requests"] == 4 and merged["subjects"] == {"A": pytest.approx(0.36)}
    assert _costs.merged_costs([again.to_dict(), None]) is None


def test_a_cap_refuses_the_reservation_that_would_pass_it_and_every_one_after() -> None:
    meter = _costs.Meter(_prices.builtin_prices(), cap=0.1)
    first = _costs.Ticket("gpt-4", 100, 1000)  # worst case about $0.064
    meter.reserve(first)
    with pytest.raises(_costs.BudgetReached, match=r"cost cap of \$0.1000 was reached"):
        meter.reserve(_costs.Ticket("gpt-4", 100, 1000))
    meter.settle(first, 100, 10)  # spent far less than reserved; the run has stopped all the same
    with pytest.raises(_costs.BudgetReached):
        meter.reserve(_costs.Ticket("gpt-4", 1, 1))
    with pytest.raises(_costs.BudgetReached, match="no price for the model 'llama3'"):
        _costs.Meter(_prices.builtin_prices(), cap=1.0).reserve(_costs.Ticket("llama3", 1, 1))


def test_a_reservation_waits_for_other_threads_answers_and_a_started_judgement_finishes() -> None:
    import threading

    meter = _costs.Meter(_prices.builtin_prices(), cap=0.1)
    _costs.activate(meter)
    try:
        sent = _costs.Ticket("gpt-4", 100, 1000)
        meter.reserve(sent)  # a request of this thread in flight
        waiting = _costs.Ticket("gpt-4", 100, 1000)
        second = threading.Thread(target=meter.reserve, args=(waiting,))
        second.start()
        meter.settle(sent, 100, 10)  # the answer was short: room for the waiting request
        second.join(30)
        assert not second.is_alive() and waiting.reserved > 0
        meter.settle(waiting, 100, 10)
        with _costs.judging("A", "kind"):  # learns what a judgement of this kind reserves
            meter.reserve(_costs.Ticket("gpt-4", 100, 100), _costs.current_judgement.get())
            meter.reserve(_costs.Ticket("gpt-4", 100, 500), _costs.current_judgement.get())
        with _costs.judging("A", "kind"):
            judgement = _costs.current_judgement.get()
            meter.reserve(_costs.Ticket("gpt-4", 100, 100), judgement)  # holds for the whole judgement
            with pytest.raises(_costs.BudgetReached):
                meter.reserve(_costs.Ticket("gpt-4", 100, 1000))  # the run stops here ...
            meter.reserve(_costs.Ticket("gpt-4", 100, 500), judgement)  # ... yet this judgement goes on
        assert meter.spent() + meter._reserved <= 0.1
    finally:
        _costs.activate(None)


@pytest.mark.parametrize("args, message", [
    (["--max-cost", "-0.5"], "--max-cost must be a number of US dollars >= 0, got '-0.5'"),
    (["--max-cost", "nan"], "--max-cost must be a number of US dollars >= 0, got 'nan'"),
    (["--prices", "p.json"], "p.json: model 'gtp-4' is not in the price table of 2024-10-01: it needs both"),
    (["--prices", "bad.json"], "bad.json: model 'gpt-4', field 'input': a price must be a number of US dollars"),
    (["--max-cost", "1", "--judge-model", "llama3"], "--max-cost: no price for the judge model 'llama3'"),
])
def test_bad_cost_input_is_one_line_and_exit_1(tmp_path: Path, monkeypatch: Any, llm_env: Any,
                                               args: List[str], message: str) -> None:
    monkeypatch.chdir(tmp_path)
    _write_set(tmp_path / "set.json", 2)
    (tmp_path / "p.json").write_text('{"models": {"gtp-4": {"input": 0.01}}}', encoding="utf-8")
    (tmp_path / "bad.json").write_text('{"models": {"gpt-4": {"input": "cheap"}}}', encoding="utf-8")
    result = CliRunner().invoke(
        cli, ["evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "r.json", *args])
    assert result.exit_code == 1, result.output
    assert result.stderr.strip().splitlines() == [f"Error: {result.stderr.strip()[7:]}"]
    assert message in result.stderr and not (tmp_path / "r.json").exists()


def _dry_total(output: str) -> List[int]:
    row = next(line for line in output.splitlines() if line.startswith("Total"))
    return [int(x) for x in row.split()[1:4]]


def test_the_dry_run_counts_what_the_real_run_then_sends(tmp_path: Path, monkeypatch: Any, llm_env: Any,
                                                         servers: Any) -> None:
    server = servers(answer_tokens=(1, 60), seed=3)
    llm_env(server)
    monkeypatch.chdir(tmp_path)
    _write_set(tmp_path / "set.json", 6)
    run = ["evaluate", "set.json", "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness", "-o", "r.json",
           "--no-cache"]
    dry = CliRunner().invoke(cli, [*run, "--dry-run"])
    assert dry.exit_code == 0, dry.output + dry.stderr
    assert server.requests == 0 and not (tmp_path / "r.json").exists()
    requests, prompt, answer_limit = _dry_total(dry.stdout)
    assert (requests, answer_limit) == (24, 12 * (1 + 200))  # two requests a judgement, answers at their limits
    real = CliRunner().invoke(cli, [*run, "--cost"])
    assert real.exit_code == 0, real.output + real.stderr
    assert server.requests == requests and _billed(server)["gpt-4"][0] == prompt
    cost = Report.load_json(tmp_path / "r.json").cost
    assert cost["models"]["gpt-4"]["prompt_tokens"] == prompt
    assert cost["usd"] == pytest.approx(_server_cost({}, _billed(server)))
    assert set(cost["subjects"]) == {"YesWoman", "NoWoman"}
    assert sum(cost["subjects"].values()) == pytest.approx(cost["usd"])
    assert "Cost (prices of 2024-10-01): $" in real.stdout


def test_twenty_capped_runs_at_32_jobs_never_pass_the_cap_and_resume_to_the_end(
        tmp_path: Path, monkeypatch: Any, llm_env: Any, servers: Any) -> None:
    server = servers(answer_tokens=(1, 200), seed=11)
    llm_env(server)
    monkeypatch.chdir(tmp_path)
    _write_set(tmp_path / "set.json", 8)
    caps = random.Random(5)
    for index in range(20):
        cap = round(caps.uniform(0.005, 0.08), 4)
        before = _billed(server)
        keep_going = ["--keep-going"] if index % 2 else []  # refusals are no error records either way
        result = CliRunner().invoke(cli, [
            "evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", f"r{index}.json", "--no-cache",
            "-j", "32", "-q", "--max-cost", str(cap), *keep_going])
        spent = _server_cost(before, _billed(server))
        assert spent <= cap, (index, cap, spent)
        report = Report.load_json(tmp_path / f"r{index}.json")
        assert report.cost["usd"] == pytest.approx(spent) and report.cost["max_usd"] == cap
        assert not any(record.error_msg for record in report.records)
        if len(report.records) < 8:
            assert result.exit_code == 1 and "the cost cap of" in report.error_msg, result.stderr
            assert result.stderr.count("Error when evaluating") <= 1  # the refusals are not listed one by one
    stopped = next(i for i in range(20) if len(Report.load_json(tmp_path / f"r{i}.json").records) < 8)
    spent_before = Report.load_json(tmp_path / f"r{stopped}.json").cost["usd"]
    result = CliRunner().invoke(cli, ["resume", f"r{stopped}.json", "--no-cache", "-j", "32",
                                                      "--max-cost", "10"])
    assert result.exit_code == 0, result.stderr
    resumed = Report.load_json(tmp_path / f"r{stopped}.json")
    assert len(resumed.records) == 8 and resumed.error_msg == ""
    assert resumed.cost["usd"] > spent_before and resumed.cost["max_usd"] == 10


def test_a_model_without_a_price_shows_as_unknown_and_a_price_file_gives_it_one(
        tmp_path: Path, monkeypatch: Any, llm_env: Any, servers: Any) -> None:
    llm_env(servers(count_tokens=True))
    monkeypatch.chdir(tmp_path)
    _write_set(tmp_path / "set.json", 2)
    run = ["evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "--no-cache", "--judge-model", "llama3"]
    result = CliRunner().invoke(cli, [*run, "-o", "a.json", "--cost"])
    assert result.exit_code == 0, result.stderr
    assert "Cost (prices of 2024-10-01): unknown" in result.stdout and "$0.0000" not in result.stdout
    assert "No price for llama3: give one with --prices" in result.stdout
    cost = Report.load_json(tmp_path / "a.json").cost
    assert (cost["usd"], cost["subjects"], cost["unknown_models"]) == (None, {"YesWoman": None}, ["llama3"])
    (tmp_path / "p.json").write_text('{"models": {"llama3": {"input": 1, "output": 2}}}', encoding="utf-8")
    result = CliRunner().invoke(cli, [*run, "-o", "b.json", "--prices", "p.json", "--format", "json"])
    assert result.exit_code == 0, result.stderr
    cost = json.loads(result.stdout)["cost"]
    assert cost["usd"] > 0 and cost["unknown_models"] == [] and cost["prices_date"] == "2024-10-01"
