"""`tavrin ask` against a local OpenAI-compatible server: the model it names, the time it
waits, the context it fits, and the lines of its sources."""

import importlib.util
import sys
from pathlib import Path
from typing import Any, Iterator, List

import pytest
from click.testing import CliRunner
from langchain.schema import Document

from tavrin import _llm
from tavrin.ask_codebase import asking, commands
from tavrin.ask_codebase.chains.stuff_doc import StuffDocumentCodeQa
from tavrin.ask_codebase.store.qdrant import QdrantWrapper
from tavrin.cli import cli

from .conftest import FakeChat, FakeEmbedding


def _fake_openai() -> Any:
    name = "tavrin_test_fake_openai"
    if name not in sys.modules:
        path = Path(__file__).parents[1] / "evaluation" / "qa" / "fake_openai.py"
        spec = importlib.util.spec_from_file_location(name, path)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name].FakeOpenAI


FakeOpenAI = _fake_openai()


@pytest.fixture
def calc(store, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A tiny code base indexed as the source "calc" (offline embeddings)."""
    monkeypatch.setitem(commands.EMBEDDINGS, "fake", FakeEmbedding)
    monkeypatch.setenv("TAVRIN_EMBEDDINGS", "fake")
    monkeypatch.delenv(asking.ASK_MODEL_ENV, raising=False)
    repo = tmp_path / "repo"
    (repo / "calc").mkdir(parents=True)
    (repo / "calc" / "add.py").write_text("def add(a, b):\n    return a + b\n")
    (repo / "calc" / "mul.py").write_text("def mul(a, b):\n    return a * b\n")
    result = CliRunner().invoke(cli, ["index", str(repo), "-s", "calc"])
    assert result.exit_code == 0, result.output
    return repo


@pytest.fixture
def server(monkeypatch: pytest.MonkeyPatch, request: pytest.FixtureRequest) -> Iterator[Any]:
    """A fake model service (options by ``indirect`` parametrization) that every chain asks."""
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test-not-a-real-key")
    monkeypatch.setenv("TAVRIN_LLM_BACKOFF", "0.001")
    monkeypatch.setattr(_llm, "_settings", _llm.settings())
    monkeypatch.setattr(_llm, "_limiter", _llm._limiter)
    with FakeOpenAI(**getattr(request, "param", {})) as fake:
        monkeypatch.setenv("OPENAI_API_BASE", fake.base)
        # the map-reduce chain's models were built when it was imported, maybe for another server
        from tavrin.ask_codebase.chains.sorvel import Sorvel

        for name in ("llm", "reduce_llm"):
            monkeypatch.setattr(Sorvel, name, asking.adjusted_model(getattr(Sorvel, name), openai_api_base=fake.base))
        yield fake


def _chats(fake: Any) -> List[dict]:
    return [body for body in fake.answered if "messages" in body]


@pytest.mark.parametrize("server", [{"latency": 150.0}], indirect=True)
def test_a_server_that_never_answers_is_given_up_in_time_and_every_retry_said(calc, server):
    result = CliRunner().invoke(
        cli, ["ask", "what does add do?", "-s", "calc", "--chain", "stuff", "--request-timeout", "0.2",
              "--max-retries", "2"],
    )
    assert result.exit_code == 1 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert lines[0] == f"Asking gpt-4 at {server.base} (stuff over 'calc')..."
    assert [line.split("; retrying in")[0] for line in lines[1:3]] == [
        f"Request to {server.base} timed out after 0.2 s"] * 2
    assert lines[1].endswith("(1/2)") and lines[2].endswith("(2/2)")
    assert len(lines) == 4 and lines[3].startswith("Error: the OpenAI request failed: ")
    assert "timed out" in lines[3] and "gave up after 3 attempts" in lines[3]


def test_the_model_named_is_the_model_asked_and_sources_name_their_lines(calc, server, monkeypatch):
    runner = CliRunner()
    result = runner.invoke(cli, ["ask", "what does add do?", "-s", "calc", "--chain", "stuff", "--k", "1"])
    assert result.exit_code == 0, result.output
    answer, sources = result.stdout.split("\nSources:\n")
    [chunk] = [line for line in sources.splitlines()]
    assert chunk in (f"- {calc / 'calc' / 'add.py'}#L1-L2", f"- {calc / 'calc' / 'mul.py'}#L1-L2")
    assert [body["model"] for body in _chats(server)] == ["gpt-4"]  # the chain's own default

    monkeypatch.setenv(asking.ASK_MODEL_ENV, "from-env")
    assert runner.invoke(cli, ["ask", "q?", "-s", "calc", "--chain", "stuff"]).exit_code == 0
    assert runner.invoke(cli, ["ask", "q?", "-s", "calc", "--chain", "stuff", "--model", "gemma"]).exit_code == 0
    result = runner.invoke(cli, ["ask", "q?", "-s", "calc", "--model", "gemma", "--max-tokens", "7", "--k", "1"])
    assert result.exit_code == 0, result.output
    models = [(body["model"], body.get("max_tokens")) for body in _chats(server)[1:]]
    # stuff: one request; map-reduce: one for its one chunk, then the reduce step
    assert models == [("from-env", None), ("gemma", None)] + [("gemma", 7)] * 2
    # the chain's class-wide models are not changed by one run's options
    from tavrin.ask_codebase.chains.sorvel import Sorvel

    assert (Sorvel.llm.model_name, Sorvel.llm.max_tokens) == ("gpt-4", None)


def test_a_mistyped_chain_gets_a_suggestion(calc):
    result = CliRunner().invoke(cli, ["ask", "q?", "-s", "calc", "--chain", "stuf"])
    assert result.exit_code == 2 and "(did you mean 'stuff'?)" in result.stderr


def _tokens(text: str) -> int:
    return asking.ContextFit.count(text)


def _numbered_chunks(count: int, lines: int) -> List[Document]:
    documents = []
    for n in range(count):
        text = "".join(f"value_{n}_{i} = compute({i}, {n}) + offset\n" for i in range(lines))
        documents.append(Document(page_content=text, metadata={
            "filepath": f"m{n}.py", "source": f"m{n}.py", "reference": f"/r/m{n}.py",
            "start_line": 1, "end_line": lines}))
    return documents


def test_the_stuff_prompt_keeps_the_best_chunks_that_fit(store, capsys):
    documents = _numbered_chunks(6, 20)
    wrapper = QdrantWrapper.from_documents("fit", documents, FakeEmbedding)
    ranked = wrapper.qdrant.similarity_search("question", k=6)
    size = _tokens(documents[0].page_content)

    model = FakeChat(responses=["ok"] * 3, prompts=[])
    chain = StuffDocumentCodeQa(wrapper, llm=model, k=6)
    fit = asking.ContextFit(context_tokens=int(3.6 * size * asking.TOKEN_MARGIN) + 400, answer_tokens=100)
    fit.install(chain)
    answer, used = chain.run("question")
    assert used == ranked[: len(used)] and 1 < len(used) < 6  # the lowest-ranked were left out
    assert _tokens(model.prompts[0]) * asking.TOKEN_MARGIN <= fit.context_tokens - fit.answer_tokens
    assert f"used the best {len(used)} of 6 chunks" in capsys.readouterr().err

    # a context smaller than the best chunk: its beginning is used, its lines cut to match
    chain = StuffDocumentCodeQa(wrapper, llm=model, k=6)
    small = asking.ContextFit(context_tokens=int(0.5 * size * asking.TOKEN_MARGIN) + 250, answer_tokens=50)
    small.install(chain)
    _, [cut] = chain.run("question")
    assert ranked[0].page_content.startswith(cut.page_content) and cut.page_content
    assert cut.metadata["end_line"] == 1 + cut.page_content.rstrip("\n").count("\n") < 20
    assert "cut m" in capsys.readouterr().err

    # a prompt that cannot fit at all is refused, not sent
    chain = StuffDocumentCodeQa(wrapper, llm=model, k=6)
    asking.ContextFit(context_tokens=120, answer_tokens=100).install(chain)
    with pytest.raises(Exception, match="--context-tokens 120"):
        chain.run("question")
    assert len(model.prompts) == 2


@pytest.mark.parametrize("server", [{"answer": "It adds.", "models": [{"id": "gemma", "meta": {"n_ctx": 700}}]}],
                         indirect=True)
def test_the_context_the_server_reports_bounds_every_request(store, server, monkeypatch):
    monkeypatch.setitem(commands.EMBEDDINGS, "fake", FakeEmbedding)
    monkeypatch.setenv("TAVRIN_EMBEDDINGS", "fake")
    QdrantWrapper.from_documents("big", _numbered_chunks(6, 20), FakeEmbedding)
    for chain in ("stuff", "map-reduce"):
        result = CliRunner().invoke(cli, ["ask", "q?", "-s", "big", "--chain", chain, "--model", "gemma"])
        assert result.exit_code == 0, result.output
        if chain == "stuff":  # six chunks of about 250 tokens do not fit together
            assert "Context of 700 tokens: used the best " in result.stderr
    chats = _chats(server)
    assert len(chats) > 2 and all(body["max_tokens"] == 175 for body in chats)  # a quarter of 700, at most 512
    for body in chats:
        prompt = "\n".join(m["content"] for m in body["messages"])
        assert _tokens(prompt) * asking.TOKEN_MARGIN + 175 <= 700
