"""What the commands share: the command class that shows their errors, the embeddings
option and its checks, glob options, and counted nouns."""

import os
from typing import TYPE_CHECKING, Any, Callable, Tuple

import click

from tavrin import embeddings as embeddings_table
from tavrin.ask_codebase.indexing.selection import plural
from tavrin.ask_codebase.store.qdrant import EmbeddingFactory
from tavrin.commands.base import Command
from tavrin.errors import EmbeddingsError, SettingError

if TYPE_CHECKING:
    from langchain.embeddings.base import Embeddings

__all__ = [
    "EMBEDDINGS",
    "Command",
    "build_embeddings",
    "check_openai_key",
    "embeddings_option",
    "glob_option",
    "plural",
    "resolve_embeddings",
]


# Embeddings by name: the one table of tavrin.embeddings (this name is the same dict).
EMBEDDINGS = embeddings_table.EMBEDDINGS


DEFAULT_EMBEDDINGS_ENV = embeddings_table.DEFAULT_EMBEDDINGS_ENV
_default_embeddings = embeddings_table.default_embeddings


def resolve_embeddings(name: str) -> EmbeddingFactory:
    """The embedding factory for ``name``: an entry of ``EMBEDDINGS`` or "module:attribute"."""
    try:
        return embeddings_table.resolve_embeddings(name)
    except embeddings_table.EmbeddingsError as exc:
        raise click.BadParameter(str(exc)) from exc


def embeddings_option(function: Callable[..., Any]) -> Callable[..., Any]:
    return click.option(
        "--embeddings",
        "embeddings_name",
        default=_default_embeddings,
        show_default=f"${DEFAULT_EMBEDDINGS_ENV} or hashing",
        help="Embedding model: " + ", ".join(sorted(EMBEDDINGS)) + ", or module:Class. "
        "Use the same one for `index` and `ask`.",
    )(function)


def _needs_openai_key(embeddings_name: str) -> bool:
    return embeddings_table.needs_openai_key(embeddings_name)


def check_openai_key(embeddings_name: str, command: str) -> None:
    if _needs_openai_key(embeddings_name) and not os.environ.get("OPENAI_API_KEY", "").strip():
        raise SettingError(
            f"OPENAI_API_KEY is not set: `tavrin {command} --embeddings {embeddings_name}` needs an OpenAI API key. "
            "Set it in your shell, for example `export OPENAI_API_KEY=sk-...`, or choose other --embeddings "
            "(hashing and minilm run offline)."
        )


def build_embeddings(embeddings_name: str, command: str) -> Tuple[EmbeddingFactory, "Embeddings"]:
    """The factory named by ``--embeddings`` and the object it makes, checked to be embeddings.

    OpenAI embeddings without ``OPENAI_API_KEY`` (a ``SettingError``), a factory that cannot
    be called without arguments, and one that makes something other than embeddings (an
    ``EmbeddingsError``) are one-line errors.
    """
    check_openai_key(embeddings_name, command)
    factory = resolve_embeddings(embeddings_name)
    try:
        embedding = factory()
    except TypeError as exc:
        raise EmbeddingsError(f"--embeddings {embeddings_name!r}: cannot be built without arguments: {exc}") from exc
    # what is used of them (langchain's Embeddings declare the same two methods)
    if not all(callable(getattr(embedding, method, None)) for method in ("embed_documents", "embed_query")):
        raise EmbeddingsError(
            f"--embeddings {embeddings_name!r} made a {type(embedding).__name__}, not embeddings "
            "(an object with embed_documents and embed_query, such as a langchain Embeddings class)"
        )
    return factory, embedding


def glob_option(name: str, help_text: str) -> Callable[..., Any]:
    return click.option(name, multiple=True, metavar="GLOB", help=help_text)
