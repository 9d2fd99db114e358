"""The retrievers an evaluation compares, and what each searches.

``build_retrievers`` makes them from names: embedding models of ``tavrin.embeddings``,
"module:Class" retrievers of one's own, and sources stored by ``tavrin index`` (searched
through Qdrant). ``FileLevelRetriever`` sees a retriever of chunks at the level of files.
"""

from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from tavrin.embeddings import EMBEDDINGS, make_embeddings
from tavrin.errors import RetrieverError
from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever, GroundTruth, Retriever
from tavrin.evaluation.retrieval.references import parse_reference

__all__ = [
    "Corpus",
    "FileLevelRetriever",
    "Float32EmbeddingRetriever",
    "RetrieverError",
    "build_retrievers",
    "file_level_truth",
    "load_retriever_class",
    "short_list_warnings",
]


@dataclass(frozen=True)
class Corpus:
    """What a retriever searches: the ground truth's own documents ("ground_truth"), or
    the chunks (or files) stored in a Qdrant source ("qdrant_source")."""

    kind: str
    size: int
    unit: str = "documents"
    source: Optional[str] = None

    def describe(self) -> str:
        """ "the ground truth's own 121 documents", "the 845 chunks stored in source 'click'"."""
        if self.kind == "qdrant_source":
            return f"the {self.size} {self.unit} stored in source {self.source!r}"
        return f"the ground truth's own {self.size} {self.unit}"

    def to_dict(self) -> Dict[str, Any]:
        return {
            "kind": self.kind,
            "size": self.size,
            "unit": self.unit,
            **({"source": self.source} if self.source is not None else {}),
        }


class FileLevelRetriever(Retriever):
    """A retriever of chunks seen at the level of files: ``search`` returns the files of
    the inner retriever's hits, each once, in the order of its first hit.

    ``documents`` are what the inner retriever indexes (``index`` ignores the file names
    it is given); ``files_of`` maps a document to its files (a document with none stands
    for a file of its own name).
    """

    def __init__(self, inner: Retriever, documents: Sequence[str], files_of: Mapping[str, Sequence[str]]) -> None:
        self.inner = inner
        self.documents = list(documents)
        self.files_of = {doc: list(files) or [doc] for doc, files in files_of.items()}
        self._indexed = False

    @property
    def corpus(self) -> Corpus:
        files = {f for doc in self.documents for f in self.files_of.get(doc, [doc])}
        return Corpus("ground_truth", len(files), "files")

    def index(self, docs: List[str]) -> None:
        if not self._indexed:
            self._indexed = True
            self.inner.index(self.documents)

    def search(self, query: str, k: int = 5) -> List[str]:
        files: Dict[str, None] = {}
        for doc in self.inner.search(query, len(self.documents)):
            for file in self.files_of.get(doc, [doc]):
                files.setdefault(file)
        return list(files)[:k]


class Float32EmbeddingRetriever(EmbeddingRetriever):
    """An ``EmbeddingRetriever`` that keeps its vectors as float32: half the memory, the
    same rankings but for documents whose similarities differ only below float32's
    precision."""

    store_float32 = True


def load_retriever_class(spec: str) -> type:
    """The class named by "package.module:Class", which must subclass dravik's Retriever;
    anything else is a ``RetrieverError`` naming ``--retriever``."""
    from tavrin._classes import load_class

    return load_class(
        spec,
        Retriever,
        f"--retriever {spec!r}",
        RetrieverError,
        base_name="tavrin.evaluation.retrieval.dravik.Retriever",
    )


def _made(spec: str) -> Retriever:
    """An instance of the retriever class ``spec`` names, made without arguments."""
    cls = load_retriever_class(spec)
    try:
        return cls()
    except Exception as exc:
        raise RetrieverError(f"--retriever {spec!r}: {cls.__name__}() failed: {exc}") from exc


def file_level_truth(triples: Sequence[Tuple[str, str, float]], source: Any, files_of: Dict[str, List[str]]) -> Any:
    """The ground truth at the level of files: each query judges the files of its judged
    documents (found in ``source``), each with the best grade among them. A document that
    lies in no stored file stands for a file of its own (a reference: its path), which no
    search of the source can return. Fills ``files_of`` (document -> files)."""
    grades: Dict[Tuple[str, str], float] = {}
    for query, document, score in triples:
        if document not in files_of:
            reference = parse_reference(document)
            files_of[document] = source.files_of(document) or [reference.path if reference else document]
        for file in files_of[document]:
            key = (query, file)
            grades[key] = max(grades.get(key, score), score)
    return GroundTruth([(query, file, grade) for (query, file), grade in grades.items()])


def build_retrievers(
    triples: Any,
    truth: Any,
    embeddings_names: Sequence[str],
    retriever_specs: Sequence[str],
    qdrant_sources: Sequence[str],
    qdrant_embeddings: Optional[str],
    *,
    exact: bool,
    search_modes: Sequence[str],
    level: str,
    float32: bool,
) -> Tuple[Any, Dict[str, Any]]:
    """The retrievers to evaluate by name (names made unique), and the ground truth they are
    scored against (by file with ``level`` "file").

    With no names at all, the first embedding model (hashing) is evaluated. Stored sources
    are opened first, so that a source that cannot be searched fails before any model is
    built; each is searched every way of ``search_modes`` (default: hybrid).
    """
    from tavrin.evaluation.retrieval.qdrant_source import QdrantSourceRetriever

    retrievers: Dict[str, Any] = {}

    def add(name: str, retriever: Any) -> None:
        unique, n = name, 2
        while unique in retrievers:
            unique, n = f"{name} ({n})", n + 1
        retrievers[unique] = retriever

    names = list(embeddings_names) or ([] if retriever_specs or qdrant_sources else [next(iter(EMBEDDINGS))])
    retriever_cls = Float32EmbeddingRetriever if float32 else EmbeddingRetriever
    modes = list(dict.fromkeys(search_modes)) or ["hybrid"]
    stored = [
        (
            f"qdrant:{source}" + (f" ({mode})" if len(modes) > 1 else ""),
            QdrantSourceRetriever.open(
                source,
                qdrant_embeddings,
                exact=exact,
                judgements=triples,
                by_file=level == "file",
                search=mode,
            ),
        )
        for source in qdrant_sources
        for mode in modes
    ]
    files_of: Dict[str, List[str]] = {}
    if level == "file":
        truth = file_level_truth(triples, stored[0][1], files_of)

    def seen(retriever: Any) -> Any:
        return FileLevelRetriever(retriever, list(files_of), files_of) if level == "file" else retriever

    for name in names:
        add(name, seen(retriever_cls(make_embeddings(name))))
    for spec in retriever_specs:
        add(spec.rpartition(":")[2], seen(_made(spec)))
    for name, retriever in stored:
        add(name, retriever)
    return truth, retrievers


def short_list_warnings(retrievers: Mapping[str, Any], truth: Any, k: int) -> List[str]:
    """A warning for each retriever whose corpus holds fewer than ``k``: its lists are
    shorter, and are scored as they are, as trec_eval does."""
    short: List[str] = []
    for name, retriever in retrievers.items():
        corpus = getattr(retriever, "corpus", None) or Corpus("ground_truth", len(truth.docs))
        if k > corpus.size:
            short.append(
                f"--k {k} is more than the {corpus.size} {corpus.unit} {name} searches "
                f"({corpus.describe()}): its lists are shorter, and P@k still divides by k, as trec_eval does"
            )
    return short
