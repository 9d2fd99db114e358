"""What `tavrin ask` adds around a question-answering chain: the model it asks, how many
chunks it uses, a prompt fitted to the model's context, a sign of life while it waits,
and sources with their lines.

The chains themselves keep their own defaults (OpenAI's gpt-4, their number of chunks);
everything here changes a chain built by ``tavrin.commands.ask.CHAINS`` only
where an option asks for it.
"""

from __future__ import annotations

import copy
import json
import math
import os
import sys
import threading
import time
import urllib.request
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional

import click

from tavrin._console import is_terminal
from tavrin.errors import OptionError, SettingError

if TYPE_CHECKING:
    from langchain.schema import Document

#: The chat model of `tavrin ask` when ``--model`` names none (unset: the chain's own, gpt-4).
ASK_MODEL_ENV = "TAVRIN_ASK_MODEL"
#: Tokens left for the answer when ``--context-tokens`` is given without ``--max-tokens``.
DEFAULT_ANSWER_TOKENS = 512
#: Token counts are made with OpenAI's cl100k_base; other models' tokenizers count
#: differently, so a prompt is fitted with this much room to spare.
TOKEN_MARGIN = 1.15
#: Tokens a chat request spends around its messages (roles, separators).
MESSAGE_OVERHEAD = 16


# ---------------------------------------------------------------- the chat models of a chain


def adjusted_model(model: Any, **fields: Any) -> Any:
    """A copy of the langchain chat model ``model`` with ``fields`` changed (those it has;
    None values are left as they are). ``model`` itself is not changed."""
    fields = {name: value for name, value in fields.items() if value is not None and hasattr(model, name)}
    if not fields:
        return model
    clone = copy.copy(model)  # every field kept (pydantic's copy(update=...) drops some here)
    # a copy of a pydantic model shares its field dict with the original: give it its own
    object.__setattr__(clone, "__dict__", dict(model.__dict__))
    for name, value in fields.items():
        object.__setattr__(clone, name, value)
    return clone


def _known_to_tiktoken(model_name: str) -> bool:
    import tiktoken

    try:
        tiktoken.encoding_for_model(model_name)
    except KeyError:
        return False
    return True


def configure_models(chain: Any, *, model: Optional[str], max_tokens: Optional[int]) -> None:
    """Give the chat models of ``chain`` (``llm``, and ``reduce_llm`` where it has one) the
    model name ``model`` and the answer bound ``max_tokens``, where given."""
    fields: Dict[str, Any] = {"max_tokens": max_tokens}
    if model is not None:
        fields["model_name"] = model
        if not _known_to_tiktoken(model):
            # counting tokens (the map-reduce chain does) with OpenAI's encoding, without
            # a warning per count that the model is unknown
            fields["tiktoken_model_name"] = "gpt-4"
    if all(value is None for value in fields.values()):
        return
    for attribute in ("llm", "reduce_llm"):
        if not hasattr(chain, attribute):
            continue
        changed = adjusted_model(getattr(chain, attribute), **fields)
        try:
            setattr(chain, attribute, changed)
        except AttributeError:  # a read-only property over a private attribute
            setattr(chain, f"_{attribute}", changed)


def model_name_of(chain: Any) -> str:
    """The name of the model ``chain`` asks (its ``llm``'s ``model_name``), or "the model"."""
    return str(getattr(getattr(chain, "llm", None), "model_name", None) or "the model")


# ---------------------------------------------------------------- the chunks used


def _inner(chain: Any) -> Any:
    """The langchain retrieval chain of ``chain``, or None."""
    inner = getattr(chain, "chain", None)
    return inner if inner is not None and hasattr(inner, "retriever") else None


def set_chunk_count(chain: Any, k: int) -> None:
    """Make ``chain`` retrieve ``k`` chunks for every question."""
    if hasattr(chain, "k") and isinstance(chain.k, int) and getattr(chain, "_chain", None) is None:
        chain.k = k  # the stuff chain: read when its langchain chain is built
        return
    inner = _inner(chain)
    retriever = getattr(inner, "retriever", None)
    if retriever is None or not hasattr(retriever, "search_kwargs"):
        raise OptionError("--k: this chain does not say how many chunks it retrieves")
    retriever.search_kwargs = dict(retriever.search_kwargs or {}, k=k)


# ---------------------------------------------------------------- the context budget


class ContextFit:
    """Fits the chunks a chain retrieved to a model's context of ``context_tokens``.

    ``answer_tokens`` are kept for the answer. The chunks come best first; for a chain
    that puts them all into one prompt (stuff), the lowest-ranked are dropped until the
    prompt fits; for one that asks over each chunk alone (map-reduce), each chunk must fit
    with its prompt, and the reduce step combines partial answers within the same budget.
    A chunk that cannot fit even alone is cut to the room left, its end line moved to
    match. What was dropped or cut is said on standard error, once per question.
    """

    def __init__(self, context_tokens: int, answer_tokens: int) -> None:
        self.context_tokens = context_tokens
        self.answer_tokens = answer_tokens
        self.notes: List[str] = []

    @property
    def budget(self) -> int:
        """Tokens (counted with cl100k_base) that a prompt may hold."""
        return int((self.context_tokens - self.answer_tokens - MESSAGE_OVERHEAD) / TOKEN_MARGIN)

    @staticmethod
    def count(text: str) -> int:
        from tavrin import _llm

        encoding = _llm._encoding()
        if encoding is None:
            return math.ceil(len(text) / 3)  # about three characters a token in code
        return len(encoding.encode(text, disallowed_special=()))

    def _cut(self, document: Document, tokens: int) -> Document:
        from langchain.schema import Document

        from tavrin import _llm

        text = document.page_content
        encoding = _llm._encoding()
        if encoding is None:
            kept = text[: max(0, tokens) * 3]
        else:
            kept = encoding.decode(encoding.encode(text, disallowed_special=())[: max(0, tokens)])
        metadata = dict(document.metadata)
        start = metadata.get("start_line")
        if isinstance(start, int) and isinstance(metadata.get("end_line"), int):
            metadata["end_line"] = start + kept.rstrip("\n").count("\n")
        return Document(page_content=kept, metadata=metadata)

    def fit(self, combine: Any, question: str, documents: List[Document]) -> List[Document]:
        """The documents that fit the prompt of ``combine`` (a langchain documents chain)."""
        prompt = getattr(getattr(combine, "llm_chain", None), "prompt", None)
        variable = getattr(combine, "document_variable_name", "context")
        overhead = self.count(_formatted(prompt, {variable: "", "question": question}))
        room = self.budget - overhead
        if room < 1:
            raise SettingError(
                f"--context-tokens {self.context_tokens}: the question and the prompt alone need about "
                f"{overhead} of the {self.budget} tokens left after {self.answer_tokens} for the answer; "
                "give the model a larger context, or a smaller --max-tokens"
            )
        reduce = getattr(combine, "reduce_documents_chain", None)
        if reduce is not None:
            # each chunk is asked over alone; partial answers are combined within the budget
            if hasattr(reduce, "token_max"):
                reduce.token_max = max(1, min(reduce.token_max, room))
            kept = []
            for document in documents:
                if self.count(document.page_content) > room:
                    self._note(f"cut {_label(document)} to about {room} tokens")
                    document = self._cut(document, room)
                kept.append(document)
            return kept
        separator = self.count(getattr(combine, "document_separator", "\n\n"))
        used, kept = 0, []
        for document in documents:
            tokens = self.count(document.page_content) + (separator if kept else 0)
            if used + tokens <= room:
                used += tokens
                kept.append(document)
                continue
            if not kept:  # the best chunk alone does not fit: its beginning does
                self._note(f"cut {_label(document)} to about {room} tokens")
                kept.append(self._cut(document, room))
                used = room
            break
        if len(kept) < len(documents):
            self._note(
                f"used the best {len(kept)} of {len(documents)} chunks (about {used} of {room} prompt tokens); "
                "the others would not fit"
            )
        return kept

    def _note(self, text: str) -> None:
        from tavrin import _llm

        self.notes.append(text)
        clear = _llm.before_announcement  # a status line being redrawn: off its line first
        if clear is not None:
            clear()
        click.echo(f"Context of {self.context_tokens} tokens: {text}.", err=True)

    def install(self, chain: Any) -> None:
        """Fit every question of ``chain`` (its langchain retrieval chain) to the budget."""
        inner = _inner(chain)
        combine = getattr(inner, "combine_documents_chain", None)
        if inner is None or combine is None:
            raise OptionError("--context-tokens: this chain does not show its retriever")
        inner.retriever = fitted_retriever(inner.retriever, lambda q, docs: self.fit(combine, q, docs))


def _formatted(prompt: Any, values: Dict[str, str]) -> str:
    if prompt is None:
        return values.get("question", "")
    names = list(getattr(prompt, "input_variables", []) or [])
    try:
        return str(prompt.format(**{name: values.get(name, "") for name in names}))
    except (KeyError, ValueError):
        return values.get("question", "")


def _label(document: Document) -> str:
    metadata = document.metadata or {}
    path = str(metadata.get("filepath") or metadata.get("source") or "a chunk")
    return line_anchor(path, metadata)


def fitted_retriever(inner: Any, fit: Callable[[str, List[Document]], List[Document]]) -> Any:
    """A langchain retriever whose documents are ``inner``'s passed through ``fit(question, documents)``."""
    from langchain.schema import BaseRetriever

    class FittedRetriever(BaseRetriever):
        inner: Any
        fit: Any

        class Config:
            arbitrary_types_allowed = True

        def _get_relevant_documents(self, query: str, *, run_manager: Any) -> List[Any]:
            documents = self.inner.get_relevant_documents(query, callbacks=run_manager.get_child())
            return self.fit(query, list(documents))

        async def _aget_relevant_documents(self, query: str, *, run_manager: Any) -> List[Any]:
            documents = await self.inner.aget_relevant_documents(query, callbacks=run_manager.get_child())
            return self.fit(query, list(documents))

    return FittedRetriever(inner=inner, fit=fit)


def served_context(endpoint: str, model: Optional[str], timeout: float = 3.0) -> Optional[int]:
    """The context length that the OpenAI-compatible server at ``endpoint`` reports for
    ``model`` (or its only model) on ``GET /models``, or None when it reports none.

    vLLM says ``max_model_len``; llama.cpp's server ``meta.n_ctx`` (else ``n_ctx_train``);
    others ``context_length`` or ``context_window``.
    """
    request = urllib.request.Request(endpoint.rstrip("/") + "/models", headers=_auth_headers())
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:  # noqa: S310 (the user's endpoint)
            data = json.loads(response.read(1_000_000))
    except (OSError, ValueError):
        return None
    entries = data.get("data") if isinstance(data, dict) else None
    if not isinstance(entries, list):
        return None
    entries = [e for e in entries if isinstance(e, dict)]
    chosen = [e for e in entries if model is not None and e.get("id") == model]
    if not chosen and len(entries) == 1:
        chosen = entries  # a server of one model serves it under any name
    for entry in chosen:
        meta = entry.get("meta") if isinstance(entry.get("meta"), dict) else {}
        for value in (
            entry.get("max_model_len"),
            meta.get("n_ctx"),
            entry.get("context_length"),
            entry.get("context_window"),
            meta.get("n_ctx_train"),
        ):
            if isinstance(value, int) and not isinstance(value, bool) and value > 0:
                return value
    return None


def _auth_headers() -> Dict[str, str]:
    key = os.environ.get("OPENAI_API_KEY", "").strip()
    return {"Authorization": f"Bearer {key}"} if key else {}


# ---------------------------------------------------------------- waiting


@contextmanager
def waiting(what: str, *, stream: Any = None, interval: float = 1.0, ticking: bool = True) -> Iterator[None]:
    """Say on standard error what is awaited while the block runs: one line, and on a
    terminal (unless not ``ticking``) the seconds waited so far, on that line, until the
    block ends."""
    from tavrin import _llm

    stream = stream or sys.stderr
    if not ticking or not is_terminal(stream):
        stream.write(f"{what}...\n")
        stream.flush()
        yield
        return
    done = threading.Event()
    started = time.monotonic()
    lock = threading.Lock()

    def show(text: str) -> None:
        with lock:
            stream.write(text)
            stream.flush()

    def tick() -> None:
        while not done.wait(interval):
            show(f"\r\x1b[K{what}... {time.monotonic() - started:.0f} s")

    show(f"{what}...")
    ticker = threading.Thread(target=tick, name="tavrin-ask-waiting", daemon=True)
    hook, _llm.before_announcement = _llm.before_announcement, lambda: show("\r\x1b[K")
    ticker.start()
    try:
        yield
    finally:
        done.set()
        ticker.join()
        _llm.before_announcement = hook
        show(f"\r\x1b[K{what}: {time.monotonic() - started:.0f} s\n")


# ---------------------------------------------------------------- sources


def line_anchor(reference: str, metadata: Dict[str, Any]) -> str:
    """``reference`` followed by ``#Lstart-Lend`` when the chunk knows its lines (and the
    reference has no anchor of its own)."""
    start, end = metadata.get("start_line"), metadata.get("end_line")
    if not isinstance(start, int) or isinstance(start, bool) or "#" in reference:
        return reference
    if not isinstance(end, int) or isinstance(end, bool) or end < start:
        end = start
    return f"{reference}#L{start}-L{end}"


def source_lines(documents: List[Any], reference_of: Callable[[Dict[str, Any]], str]) -> List[str]:
    """Where the chunks of an answer came from, best first, each once: the reference with
    the chunk's lines."""
    lines: List[str] = []
    for document in documents:
        metadata = getattr(document, "metadata", None) or {}
        line = line_anchor(reference_of(metadata), metadata)
        if line not in lines:
            lines.append(line)
    return lines
