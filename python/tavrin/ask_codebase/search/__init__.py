"""Search of an indexed source: dense (the source's vectors), lexical (BM25 over
code-aware terms) or hybrid (both, fused, then a ranking step).

The lexical channel is an index of the source's chunks (``LexicalIndex``, over the
native ``lexical`` module) that the store builds while it writes the source and keeps
beside its vectors; its statistics are the source's own, and a chunk's file path counts
among its terms. The hybrid search takes each channel's best 50 chunks (at least 5 times
k) and fuses the two ranked lists by weighted reciprocal rank fusion: a chunk scores
w / (20 + rank) in each list it is in, w 1.5 for the lexical list and 1 for the dense
one (0.5 for the built-in hashing and MiniLM embeddings, see ``DENSE_WEIGHT``). The
ranking step then multiplies that score by what code has and prose has not: query identifiers
(snake_case, camelCase, or the words of a one- or two-word query) that name a symbol the
chunk defines lift it (by the share of the query's weight they carry; a quarter as much
for queries in prose); documentation yields to code (a factor 0.5 for queries that read
like code, 0.8 otherwise), and tests to other code (0.7) unless the query speaks of
tests. The settings were chosen on benchmarks of their own (bench/bench_search.py).

This module imports nothing heavy, so that commands that only search start fast.
"""

from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tavrin.ask_codebase.search import lexical

__all__ = ["CANDIDATES", "SEARCH_MODES", "LexicalIndex", "SearchHit", "chunk_path", "fuse_ranked"]

#: The channels a search can use; "hybrid" is the default.
SEARCH_MODES = ("hybrid", "dense", "lexical")

#: How many hits each channel hands to the fusion, at least (and at least 5 times k).
CANDIDATES = 50

#: The weight of the dense list in the fusion for embeddings that do not say
#: (``fusion_weight``, a class attribute of the embeddings: the built-in hashing and MiniLM
#: vectors rank code less well than the lexical channel does, and weigh 0.5).
DENSE_WEIGHT = 1.0

#: The ranking step's settings (see ``lexical.fuse``), read when a search runs.
RANKING: Dict[str, Any] = {}


def chunk_path(metadata: Dict[str, Any]) -> str:
    """The file a chunk came from, as its metadata records it ("" when it does not)."""
    return str(metadata.get("filepath") or metadata.get("source") or "")


class LexicalIndex:
    """The lexical index of one source's chunks: BM25 over code-aware terms (see
    ``lexical.terms``), the chunk's path components counted as terms of it, and the
    names each chunk defines for the ranking step.

    ``LexicalIndex()`` is empty; ``LexicalIndex(data)`` reads the bytes ``to_bytes``
    wrote (``ValueError`` when they are damaged).
    """

    #: The file that holds the index beside a local source's vectors.
    FILE_NAME = "lexical.bin"

    def __init__(self, data: Optional[bytes] = None) -> None:
        self._handle = lexical.open_index(data)

    def __len__(self) -> int:
        return lexical.size(self._handle)

    def add(self, ids: Sequence[int], texts: Sequence[str], paths: Sequence[str]) -> None:
        """Add chunks by point id (new to the index), text and file path."""
        lexical.add_chunks(self._handle, list(ids), list(texts), list(paths))

    def drop(self, ids: Sequence[int]) -> None:
        """Remove the chunks with these point ids."""
        lexical.drop_chunks(self._handle, list(ids))

    def ids(self) -> List[int]:
        """The point ids of the chunks held, in the order they were added."""
        return lexical.chunk_ids(self._handle)

    def to_bytes(self) -> bytes:
        return lexical.index_bytes(self._handle)

    def search(self, query: str, k: int) -> List[Tuple[int, float]]:
        """The ``k`` best chunks for ``query`` by BM25: (point id, score), best first."""
        return lexical.search(self._handle, query, k)

    def fuse(
        self,
        query: str,
        dense: Sequence[int],
        lexical_ids: Sequence[int],
        k: int,
        *,
        rerank: bool = True,
        dense_weight: Optional[float] = None,
    ) -> List[Tuple[int, float, int, int]]:
        """Fuse two ranked lists of point ids; see ``fuse_ranked``. ``dense_weight`` is
        the dense list's weight in the fusion (default 1; ``RANKING`` may set it)."""
        settings = dict(RANKING)
        if dense_weight is not None and "dense_weight" not in settings:
            settings["dense_weight"] = dense_weight
        return lexical.fuse(self._handle, query, list(dense), list(lexical_ids), k, rerank=rerank, **settings)


def fuse_ranked(
    index: LexicalIndex, query: str, dense: Sequence[int], lexical_ids: Sequence[int], k: int, *, rerank: bool = True
) -> List[Tuple[int, float, int, int]]:
    """The best ``k`` of two ranked lists of point ids (best first): (id, score, dense rank,
    lexical rank), a rank 0 where that list lacks the chunk. Reciprocal rank fusion, then
    (with ``rerank``) the ranking step."""
    return index.fuse(query, dense, lexical_ids, k, rerank=rerank)


@dataclass(frozen=True)
class SearchHit:
    """One hit of a search: the stored chunk (a ``StoredChunk``), its score, and its rank
    in the dense and the lexical channel (1-based; None where that channel did not find it
    or was not used)."""

    chunk: Any
    score: float
    dense_rank: Optional[int] = None
    lexical_rank: Optional[int] = None

    @property
    def path(self) -> str:
        return chunk_path(self.chunk.metadata)
