"""Files split into chunks that know where they came from.

``tavrin index`` needs, for every file, its text and its chunks with the place of each in
the text (for the lines a search hit shows, and to cut an over-long chunk to size). The
file loader yields chunks only; this module splits a file the way the loader's splitter
does (``get_file_splitter``: a language-aware recursive splitter for the suffixes of its
table, else a character splitter at blank lines that counts tokens) and keeps, for every
chunk, the spans of the text it was joined from.

- ``Splitting.for_path(path)`` is the splitting the loader picks for ``path``: separators,
  size, overlap and measure, all stated here rather than read back from a splitter.
- ``Splitting.split(text)`` gives the chunks (``Chunk``: its text as the splitter makes it,
  and the offsets in ``text`` of its first and last visible character).
- ``file_chunks(source, files)`` reads each file once and gives ``FileChunks``: the path,
  the text, the hash of the bytes read, and the chunks as documents with the loader's
  metadata, cut to size (``chunks.split_to_limit``) and with their lines.
"""

from __future__ import annotations

import bisect
import hashlib
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

__all__ = ["Chunk", "FileChunks", "Splitting", "file_chunks"]

#: The suffixes that get a language-aware splitter, and the language's name in langchain's
#: ``Language``; every other suffix gets the token-counting splitter.
LANGUAGES: Dict[str, str] = {
    ".py": "PYTHON",
    ".js": "JS",
    ".go": "GO",
    ".java": "JAVA",
    ".php": "PHP",
    ".rs": "RUST",
    ".rb": "RUBY",
    ".scala": "SCALA",
    ".swift": "SWIFT",
    ".md": "MARKDOWN",
}
#: The separators of each language's splitter, best first, as regular expressions: langchain's
#: own (``RecursiveCharacterTextSplitter.get_separators_for_language``), restated because
#: importing langchain takes seconds, which would be most of re-indexing a changed file.
# fmt: off
SEPARATORS: Dict[str, Tuple[str, ...]] = {
    "PYTHON": ("\nclass ", "\ndef ", "\n\tdef "),
    "JS": (
        "\nfunction ", "\nconst ", "\nlet ", "\nvar ", "\nclass ", "\nif ", "\nfor ", "\nwhile ", "\nswitch ",
        "\ncase ", "\ndefault ",
    ),
    "GO": ("\nfunc ", "\nvar ", "\nconst ", "\ntype ", "\nif ", "\nfor ", "\nswitch ", "\ncase "),
    "JAVA": (
        "\nclass ", "\npublic ", "\nprotected ", "\nprivate ", "\nstatic ", "\nif ", "\nfor ", "\nwhile ",
        "\nswitch ", "\ncase ",
    ),
    "PHP": ("\nfunction ", "\nclass ", "\nif ", "\nforeach ", "\nwhile ", "\ndo ", "\nswitch ", "\ncase "),
    "RUST": ("\nfn ", "\nconst ", "\nlet ", "\nif ", "\nwhile ", "\nfor ", "\nloop ", "\nmatch ", "\nconst "),
    "RUBY": ("\ndef ", "\nclass ", "\nif ", "\nunless ", "\nwhile ", "\nfor ", "\ndo ", "\nbegin ", "\nrescue "),
    "SCALA": (
        "\nclass ", "\nobject ", "\ndef ", "\nval ", "\nvar ", "\nif ", "\nfor ", "\nwhile ", "\nmatch ",
        "\ncase ",
    ),
    "SWIFT": (
        "\nfunc ", "\nclass ", "\nstruct ", "\nenum ", "\nif ", "\nfor ", "\nwhile ", "\ndo ", "\nswitch ",
        "\ncase ",
    ),
    "MARKDOWN": ("\n#{1,6} ", "```\n", "\n\\*\\*\\*+\n", "\n---+\n", "\n___+\n"),
}
# fmt: on
# every language's list ends with these
_LAST_SEPARATORS = ("\n\n", "\n", " ", "")
#: The encoding the token-counting splitter counts with.
TOKEN_MODEL = "text-embedding-ada-002"
DEFAULT_CHUNK_SIZE = 5000
DEFAULT_CHUNK_OVERLAP = 50

# A span of the text: [start, end).
Span = Tuple[int, int]


class Chunk(NamedTuple):
    """One chunk of a text: ``text`` as the splitter makes it; ``first`` and ``last`` the
    offsets in the split text of its first and last visible character (None for a chunk of
    whitespace only); ``places`` maps offsets in ``text`` to offsets in the split text."""

    text: str
    first: Optional[int]
    last: Optional[int]
    places: "_Places"

    def place(self, offset: int) -> int:
        """The offset in the split text of the character at ``offset`` in ``text``."""
        return self.places.place(offset)


@dataclass(frozen=True)
class _Places:
    """Where the pieces of a joined (then stripped) text lie in the text they came from.

    ``starts[i]`` is where piece ``i`` starts in the joined text, ``sources[i]`` where it
    starts in the original; ``lead`` the whitespace stripped from the joined text's start.
    """

    starts: Tuple[int, ...]
    sources: Tuple[int, ...]
    lead: int

    def place(self, offset: int) -> int:
        at = offset + self.lead
        i = bisect.bisect_right(self.starts, at) - 1
        return self.sources[i] + (at - self.starts[i])


@dataclass(frozen=True)
class Splitting:
    """How the loader splits one kind of file (see the module's docstring).

    ``separators`` are tried in order (regular expressions when ``regex``); ``keep_separator``
    keeps each separator at the start of the piece after it; ``size`` and ``overlap`` are in
    the unit of ``length`` (characters, or tokens when ``tokens``).
    """

    separators: Tuple[str, ...]
    regex: bool
    keep_separator: bool
    recursive: bool
    size: Union[int, float]
    overlap: int
    tokens: bool

    @classmethod
    def for_path(
        cls, path: Union[str, Path], chunk_size: int = DEFAULT_CHUNK_SIZE, chunk_overlap: int = DEFAULT_CHUNK_OVERLAP
    ) -> "Splitting":
        """The splitting the file loader uses for ``path`` (by its suffix, case-sensitive)."""
        language = LANGUAGES.get(Path(path).suffix)
        if language is not None:
            separators = SEPARATORS[language] + _LAST_SEPARATORS
            return cls(separators, True, True, True, chunk_size, chunk_overlap, False)
        return cls(("\n\n",), False, False, False, chunk_size / 10, chunk_overlap, True)

    @property
    def length(self) -> Callable[[str], int]:
        """The splitter's measure of a text: characters, or tokens."""
        return _token_count if self.tokens else len

    def split(self, text: str) -> List[Chunk]:
        """The chunks of ``text``, as the loader's splitter makes them, with their places."""
        if self.recursive:
            return self._recursive(text, (0, len(text)), self.separators)
        pattern = self.separators[0] if self.regex else re.escape(self.separators[0])
        return self._merge(text, _split_spans(text, (0, len(text)), pattern, self.keep_separator))

    def _recursive(self, text: str, span: Span, separators: Sequence[str]) -> List[Chunk]:
        chunks: List[Chunk] = []
        separator: str = separators[-1]
        rest: Sequence[str] = ()
        piece = text[span[0] : span[1]]
        for i, candidate in enumerate(separators):
            if candidate == "":
                separator = candidate
                break
            if re.search(candidate if self.regex else re.escape(candidate), piece):
                separator, rest = candidate, separators[i + 1 :]
                break
        pattern = separator if self.regex else re.escape(separator)
        good: List[Span] = []
        for split in _split_spans(text, span, pattern, self.keep_separator):
            if self.length(text[split[0] : split[1]]) < self.size:
                good.append(split)
                continue
            if good:
                chunks.extend(self._merge(text, good))
                good = []
            if rest:
                chunks.extend(self._recursive(text, split, rest))
            else:  # taken as it is, surrounding whitespace and all
                chunks.append(_chunk(text, [split], "", strip=False))
        if good:
            chunks.extend(self._merge(text, good))
        return chunks

    def _merge(self, text: str, splits: Sequence[Span]) -> List[Chunk]:
        """The splits joined into chunks of at most ``size``, consecutive chunks sharing up
        to ``overlap`` (langchain's merge, step for step)."""
        separator = "" if self.keep_separator else self.separators[0]
        length = self.length
        separator_length = length(separator)
        chunks: List[Chunk] = []
        current: List[Span] = []
        sizes: List[int] = []
        total = 0
        for split in splits:
            size = length(text[split[0] : split[1]])
            if total + size + (separator_length if current else 0) > self.size:
                if current:
                    chunk = _chunk(text, current, separator)
                    if chunk.text:
                        chunks.append(chunk)
                    while total > self.overlap or (
                        total + size + (separator_length if current else 0) > self.size and total > 0
                    ):
                        total -= sizes[0] + (separator_length if len(current) > 1 else 0)
                        current, sizes = current[1:], sizes[1:]
            current.append(split)
            sizes.append(size)
            total += size + (separator_length if len(current) > 1 else 0)
        chunk = _chunk(text, current, separator)
        if chunk.text:
            chunks.append(chunk)
        return chunks


def _split_spans(text: str, span: Span, pattern: str, keep_separator: bool) -> List[Span]:
    """The spans ``text[span]`` falls into at the matches of ``pattern`` (every character
    its own span for an empty pattern); with ``keep_separator`` a match starts the span
    after it, else it belongs to none. Empty spans are dropped."""
    start, end = span
    if not pattern:
        return [(i, i + 1) for i in range(start, end)]
    spans: List[Span] = []
    at = start
    piece = text[start:end]
    for match in re.finditer(pattern, piece):
        spans.append((at, start + match.start()))
        at = start + (match.start() if keep_separator else match.end())
    spans.append((at, end))
    return [s for s in spans if s[1] > s[0]]


def _chunk(text: str, spans: Sequence[Span], separator: str, strip: bool = True) -> Chunk:
    """The chunk of ``spans`` joined by ``separator`` (stripped, as the splitter does)."""
    pieces = [text[a:b] for a, b in spans]
    joined = separator.join(pieces)
    starts, sources, at = [], [], 0
    for (a, _), piece in zip(spans, pieces):
        starts.append(at)
        sources.append(a)
        at += len(piece) + len(separator)
    body = joined.strip() if strip else joined
    lead = len(joined) - len(joined.lstrip()) if strip else 0
    places = _Places(tuple(starts), tuple(sources), lead)
    end = len(body.rstrip())
    if not end:
        return Chunk(body, None, None, places)
    return Chunk(body, places.place(len(body) - len(body.lstrip())), places.place(end - 1), places)


_encoder: Any = None


def _token_count(text: str) -> int:
    global _encoder
    if _encoder is None:
        import tiktoken

        _encoder = tiktoken.encoding_for_model(TOKEN_MODEL)
    return len(_encoder.encode(text, allowed_special=set(), disallowed_special=()))


class FileChunks(NamedTuple):
    """One file read for indexing: its path as given, its text, the SHA-256 of the bytes
    read, and its chunks (``ChunkDocument``: the loader's metadata and their lines)."""

    path: str
    text: str
    sha256: str
    chunks: List[Any]


def file_chunks(source: Any, files: Iterable[Union[str, Path]]) -> Iterator[FileChunks]:
    """Each of ``files`` (under ``source``: a ``FileSource``, or anything with its
    ``rel_root`` and ``ref_maker``) read once and split as the file loader splits it,
    every chunk within its splitter's size and with "start_line" and "end_line"
    (1-based, inclusive) in its metadata. Files that give no chunk appear with an empty
    list."""
    from tavrin.ask_codebase.indexing.chunks import ChunkDocument, ChunkLimit, split_to_limit_at

    for f in files:
        path = Path(f)
        data = path.read_bytes()
        # as the loader reads it: Path.read_text, with universal newlines
        text = data.decode("utf-8", errors="ignore").replace("\r\n", "\n").replace("\r", "\n")
        rel_path = str(path.relative_to(source.rel_root)) if source.rel_root else str(path)
        reference = source.ref_maker(rel_path) if source.ref_maker else None
        # the loader's FileMetadata(...)._asdict(), without importing its module (and langchain)
        metadata = {
            "filepath": rel_path,
            "reference": reference,
            "name": os.path.basename(rel_path),
            "source": rel_path,
            "url": reference,
            "label": None,
        }
        splitting = Splitting.for_path(path)
        limit = ChunkLimit.of_splitting(splitting)
        lines = _LineIndex(text)
        documents: List[Any] = []
        for chunk in splitting.split(text):
            if limit.fits(chunk.text):
                pieces = [(chunk.text, chunk.first, chunk.last)]
            else:
                pieces = [
                    (piece, chunk.place(start), chunk.place(start + len(piece) - 1))
                    for piece, start in split_to_limit_at(chunk.text, limit)
                ]
            for piece, first, last in pieces:
                meta = dict(metadata)
                if first is not None and last is not None:
                    meta["start_line"], meta["end_line"] = lines.line(first), lines.line(last)
                documents.append(ChunkDocument(page_content=piece, metadata=meta))
        yield FileChunks(str(f), text, hashlib.sha256(data).hexdigest(), documents)


class _LineIndex:
    """The 1-based line of an offset in a text."""

    def __init__(self, text: str) -> None:
        self._breaks = [m.start() for m in re.finditer("\n", text)]

    def line(self, offset: int) -> int:
        return bisect.bisect_left(self._breaks, offset) + 1
