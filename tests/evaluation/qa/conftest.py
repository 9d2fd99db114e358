"""A local OpenAI-compatible server for the tests that drive the real judges and chains."""

import importlib.util
import sys
from pathlib import Path
from typing import Any, Callable, Iterator, List

import openai
import pytest

_spec = importlib.util.spec_from_file_location("tavrin_test_fake_openai", Path(__file__).with_name("fake_openai.py"))
fake_openai = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fake_openai
_spec.loader.exec_module(fake_openai)
FakeOpenAI = fake_openai.FakeOpenAI


@pytest.fixture
def llm_env(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Callable[[Any], None]:
    """Point every model client at a fake server; undo whatever the run changes globally."""
    from tavrin import _llm
    from tavrin.evaluation.qa.evaluator.llm_helper import conf

    monkeypatch.setenv("OPENAI_API_KEY", "sk-test-not-a-real-key")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setenv("TAVRIN_LLM_BACKOFF", "0.001")
    monkeypatch.delenv("TAVRIN_JUDGE_MODEL", raising=False)
    monkeypatch.setattr(openai, "api_base", openai.api_base)
    monkeypatch.setattr(openai, "api_key", openai.api_key)
    for name in ("model_name", "api_base", "api_key", "chat_mode", "max_calls_per_min"):
        monkeypatch.setattr(conf.chat_gpt, name, getattr(conf.chat_gpt, name))
    monkeypatch.setattr(conf.chat_gpt, "_cache", None, raising=False)
    monkeypatch.setattr(_llm, "_settings", _llm.settings())
    monkeypatch.setattr(_llm, "_limiter", _llm._limiter)

    def use(server: Any) -> None:
        monkeypatch.setenv("OPENAI_API_BASE", server.base)

    return use


@pytest.fixture
def servers() -> Iterator[Callable[..., Any]]:
    """Start fake servers (stopped at the end of the test)."""
    started: List[Any] = []

    def start(**kwargs: Any) -> Any:
        server = FakeOpenAI(lifetime=120.0, max_requests=5000, **kwargs).start()
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
