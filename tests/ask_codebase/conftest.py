"""Offline stand-ins for question answering: a store in a temporary folder, fake models."""

import importlib
from pathlib import Path
from typing import Any, Iterator, List, Optional

import pytest
from langchain.chat_models.fake import FakeListChatModel
from langchain.embeddings.fake import DeterministicFakeEmbedding
from langchain.schema import Document

from tavrin.ask_codebase.store.qdrant import StoreConfig, close_clients


class FakeEmbedding(DeterministicFakeEmbedding):
    """Vectors derived from a hash of the text: equal texts, equal vectors."""

    size: int = 16


class FakeChat(FakeListChatModel):
    """A chat model with canned replies that remembers its prompts.

    Counting tokens needs no tokenizer download (map-reduce counts on every run).
    """

    prompts: List[str] = []

    def get_num_tokens(self, text: str) -> int:
        return len(text.split())

    def _call(self, messages: Any, stop: Optional[List[str]] = None, run_manager: Any = None, **kwargs: Any) -> str:
        self.prompts.append("\n".join(str(m.content) for m in messages))
        return super()._call(messages, stop, run_manager, **kwargs)


@pytest.fixture
def store(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[StoreConfig]:
    """The local store, in a folder of this test's own."""
    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    yield StoreConfig.from_env()
    close_clients()


@pytest.fixture
def openai_key(monkeypatch: pytest.MonkeyPatch) -> None:
    """A dummy key: langchain's ChatOpenAI refuses to be built without one (nothing is sent)."""
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test-not-a-real-key")


@pytest.fixture
def sorvel(openai_key: None) -> Any:
    """The map-reduce chain module (its class attributes need the key when it loads)."""
    return importlib.import_module("tavrin.ask_codebase.chains.sorvel")


def code_documents() -> List[Document]:
    """Three chunks of a tiny code base, with the metadata the file loader gives."""
    files = {
        "calc/add.py": "def add(a, b):\n    return a + b\n",
        "calc/mul.py": "def mul(a, b):\n    return a * b\n",
        "README.md": "calc: a calculator library\n",
    }
    return [
        Document(
            page_content=text,
            metadata={"filepath": path, "reference": f"/repo/{path}", "name": path.rsplit("/", 1)[-1],
                      "source": path, "url": f"/repo/{path}", "label": None},
        )
        for path, text in files.items()
    ]
