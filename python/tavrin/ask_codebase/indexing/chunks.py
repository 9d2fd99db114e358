"""Chunks that keep to their splitter's size, and the lines each chunk came from.

The file loader splits a file with the splitter its suffix selects (``get_file_splitter``).
Those splitters keep to their size only where the text offers their separators: the token
splitter of files outside the language table cuts only at blank lines, so a log without
blank lines, or JSON on one line, comes out as one chunk of the whole file. This module
mends that after the split:

- ``bound_chunks`` cuts every chunk that is longer than its splitter's size (measured the
  way the splitter measures: characters, or tokens of the ``text-embedding-ada-002``
  encoding) into pieces that fit, preferring a blank line, then a line break, then a
  space, and cutting between two tokens (or characters) where the text has none of them.
  Each piece keeps the chunk's metadata. Work is linear in the chunk's length: the text
  is encoded once, and every piece is counted once more to make sure it fits.
- ``add_line_ranges`` gives every chunk of a file "start_line" and "end_line" (1-based,
  inclusive), found by locating the chunks in the file's text in order. Splitters only
  drop or re-join whitespace, so a chunk is located by its text without whitespace.

``tavrin index`` does not need to find its chunks again: ``splitting.file_chunks`` splits
each file keeping the place of every chunk, and cuts over-long ones with
``split_to_limit_at``, which tells where each piece starts.
"""

import bisect
import logging
from contextlib import contextmanager
from dataclasses import dataclass
from itertools import accumulate
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:
    from langchain.schema import Document

__all__ = [
    "ChunkDocument",
    "ChunkLimit",
    "add_line_ranges",
    "bound_chunks",
    "limit_for",
    "quiet_splitter_warnings",
    "split_to_limit",
    "split_to_limit_at",
]

# The model whose encoding the token splitter counts with.
TOKEN_MODEL = "text-embedding-ada-002"
# Where an over-long text is preferably cut, best first.
_CUT_AT = ("\n\n", "\n", " ")


@dataclass
class ChunkDocument:
    """A chunk on its way into the store: its text and metadata, under the names of
    langchain's ``Document`` (which takes seconds to import)."""

    page_content: str
    metadata: Dict[str, Any]


@dataclass(frozen=True)
class ChunkLimit:
    """How long a chunk of one kind of file may be.

    ``size`` counts characters, or tokens when ``tokens`` is true; ``length`` is the
    splitter's own measure of a text; ``overlap`` is how much consecutive pieces share.
    """

    size: int
    overlap: int
    tokens: bool
    length: Callable[[str], int]

    @classmethod
    def of_splitting(cls, splitting: Any) -> "ChunkLimit":
        """The limit a ``splitting.Splitting`` keeps to (in principle)."""
        size = max(1, int(splitting.size))
        overlap = max(0, min(int(splitting.overlap), size // 2))
        return cls(size=size, overlap=overlap, tokens=splitting.tokens, length=splitting.length)

    def fits(self, text: str) -> bool:
        """Whether ``text`` is within the limit."""
        if self.tokens:
            # every token holds at least one byte: a text of few bytes needs no count
            return len(text.encode("utf-8")) <= self.size or self.length(text) <= self.size
        return self.length(text) <= self.size


_limits: Dict[str, ChunkLimit] = {}


def limit_for(path: Union[str, Path]) -> ChunkLimit:
    """The limit of the splitter that the file loader picks for ``path`` (by its suffix)."""
    suffix = Path(path).suffix
    limit = _limits.get(suffix)
    if limit is None:
        from tavrin.ask_codebase.indexing.splitting import Splitting

        limit = _limits[suffix] = ChunkLimit.of_splitting(Splitting.for_path(f"x{suffix}"))
    return limit


def _encoding() -> Any:
    import tiktoken

    return tiktoken.encoding_for_model(TOKEN_MODEL)


def _char_start(data: bytes, pos: int) -> int:
    """``pos`` moved back to the first byte of the UTF-8 character it lies in."""
    while 0 < pos < len(data) and 0x80 <= data[pos] < 0xC0:
        pos -= 1
    return pos


def split_to_limit(text: str, limit: ChunkLimit) -> List[str]:
    """``text`` cut into pieces within ``limit``, in order, each stripped of surrounding
    whitespace (whitespace-only pieces are dropped).

    A piece ends at the last blank line, line break or space in the second half of its
    window of ``limit.size`` units, else between two units; the next piece starts
    ``limit.overlap`` units before that end. A piece that the limit's own measure finds
    too long (re-encoding can merge tokens differently) is shortened until it fits.
    """
    return [piece for piece, _ in split_to_limit_at(text, limit)]


def split_to_limit_at(text: str, limit: ChunkLimit) -> List[Tuple[str, int]]:
    """The pieces of ``split_to_limit``, each with the offset in ``text`` of its first character."""
    located: List[Tuple[str, int]] = []
    consumed = [0, 0]  # offset in data, and in text, of the last piece located

    def locate(piece: str, offset: int, raw: str) -> None:
        if limit.tokens:  # a byte offset, at a character boundary
            consumed[1] += len(data[consumed[0] : offset].decode("utf-8"))  # type: ignore[union-attr]
            consumed[0] = offset
            offset = consumed[1]
        located.append((piece, offset + len(raw) - len(raw.lstrip())))

    if limit.tokens:
        data: Union[str, bytes] = text.encode("utf-8")
        encoding = _encoding()
        token_bytes = encoding.decode_tokens_bytes(encoding.encode(text, disallowed_special=()))
        bounds: Sequence[int] = [0, *accumulate(map(len, token_bytes))]  # byte offset of each token
        seps: Sequence[Union[str, bytes]] = [s.encode() for s in _CUT_AT]
    else:
        data = text
        bounds = range(len(text) + 1)
        seps = _CUT_AT
    units = len(bounds) - 1
    size, overlap = limit.size, limit.overlap
    first = 0  # unit at which the piece starts
    start = 0  # offset in data at which the piece starts
    while start < len(data):
        span = size
        while True:
            last = min(first + span, units)
            end = bounds[last]
            if last < units:
                low = max(start + 1, bounds[min(first + max(1, span // 2), units)])
                cut = -1
                for sep in seps:
                    found = data.rfind(sep, low, end)  # type: ignore[arg-type]
                    if found >= 0:
                        cut = found + len(sep)  # separators are ASCII: a character boundary
                        break
                if cut < 0:
                    cut = _char_start(data, end) if limit.tokens else end  # type: ignore[arg-type]
                    if cut <= start:  # a character wider than the window: take it whole
                        cut = end
                        while cut < len(data) and 0x80 <= data[cut] < 0xC0:  # type: ignore[operator]
                            cut += 1
            else:
                cut = len(data)
            raw = data[start:cut]
            piece = raw.decode("utf-8") if limit.tokens else raw  # type: ignore[union-attr]
            if limit.fits(piece) or span <= 1:  # type: ignore[arg-type]
                break
            span = max(1, min(span - 1, span - (limit.length(piece) - size)))  # type: ignore[arg-type]
        stripped = piece.strip()
        if stripped:
            locate(stripped, start, piece)  # type: ignore[arg-type]
        if cut >= len(data):
            break
        # the unit in which the cut lies, then back by the overlap
        at = bisect.bisect_right(bounds, cut) - 1
        following = max(first + 1, at - overlap)
        following_start = bounds[following]
        if limit.tokens:
            following_start = _char_start(data, following_start)  # type: ignore[arg-type]
        if following_start <= start:
            following_start = cut
            following = at
        first, start = following, following_start
    return located


def bound_chunks(documents: Iterable["Document"], limit: ChunkLimit) -> List["Document"]:
    """The documents, with every one longer than ``limit`` replaced by its pieces
    (``split_to_limit``), each with a copy of its metadata."""
    from langchain.schema import Document

    out: List[Document] = []
    for document in documents:
        if limit.fits(document.page_content):
            out.append(document)
            continue
        for piece in split_to_limit(document.page_content, limit):
            out.append(Document(page_content=piece, metadata=dict(document.metadata)))
    return out


_whitespace: Optional[Any] = None


def _whitespace_codes() -> Any:
    global _whitespace
    if _whitespace is None:
        import numpy as np

        # what str.split() splits at; every such character is below U+3001
        _whitespace = np.array([c for c in range(0x3001) if chr(c).isspace()], dtype=np.uint32)
    return _whitespace


def add_line_ranges(documents: Sequence["Document"], text: str, limit: Optional[ChunkLimit] = None) -> None:
    """Set "start_line" and "end_line" (1-based, inclusive) in the metadata of the chunks
    of ``text``, given in the order the splitter made them.

    A chunk is looked for in the text without whitespace. It begins where the chunk
    before it ends, or up to ``limit.overlap`` units (characters or tokens, taken as at
    most 32 characters a token) before: the last place in that stretch where it is found
    is taken (where the text repeats itself, that keeps to the splitter's steps), else
    the first place after the chunk before it begins. A chunk that cannot be found gets
    no line range.
    """
    if not documents:
        return
    import numpy as np

    codes = np.frombuffer(text.encode("utf-32-le"), dtype=np.uint32)
    visible = np.flatnonzero(~np.isin(codes, _whitespace_codes()))
    newlines = np.flatnonzero(codes == 10)
    dense = "".join(text.split())
    if limit is None:
        slack = None
    else:
        slack = limit.overlap * (32 if limit.tokens else 1)
    previous_start, previous_end = -1, 0
    for document in documents:
        key = "".join(document.page_content.split())
        if not key:
            continue
        low = previous_start + 1
        if slack is not None:
            low = max(low, previous_end - slack)
        # a chunk begins where the one before it ends, or within their overlap before
        found = dense.rfind(key, low, previous_end + len(key))
        if found < 0:
            found = dense.find(key, previous_start + 1)
        if found < 0:
            continue
        first, last = int(visible[found]), int(visible[found + len(key) - 1])
        document.metadata["start_line"] = int(np.searchsorted(newlines, first)) + 1
        document.metadata["end_line"] = int(np.searchsorted(newlines, last)) + 1
        previous_start, previous_end = found, found + len(key)


class _DropOversizeWarnings(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
        return not str(record.msg).startswith("Created a chunk of size")


@contextmanager
def quiet_splitter_warnings() -> Iterator[None]:
    """Keep langchain's "Created a chunk of size ..." warnings off the screen (the
    chunks they warn about are cut to size afterwards)."""
    logger = logging.getLogger("langchain.text_splitter")
    dropped = _DropOversizeWarnings()
    logger.addFilter(dropped)
    try:
        yield
    finally:
        logger.removeFilter(dropped)
