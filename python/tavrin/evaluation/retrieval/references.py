"""Ground-truth documents named by file: ``path`` or ``path#Lstart-Lend``.

A ground truth's "document" is either the text of a chunk or a reference to a file or to
lines of a file. The rule that tells them apart looks only at the value itself:

    A document is a file reference when it is one line without any whitespace (no
    space, tab or line break anywhere, none before or after) of one of the forms
    ``PATH#Ln``, ``PATH#Ln-Lm`` (also ``PATH#Ln-m``; 1 <= n <= m), or a bare ``PATH``
    that holds a "/" or a "." (``src/app.py``, ``setup.py``, ``./Makefile``).
    Everything else is chunk text.

Chunk texts have spaces or line breaks in all but the rarest cases; a chunk whose whole
text is one such word is judged by writing it with a line break at its end ("setup.py\\n"),
since chunk texts are matched with whitespace runs counted as one space. A file without
a dot in its name is written ``./Makefile`` or with lines (``Makefile#L1-L40``).

A reference matches a stored chunk whose file is PATH ("./" in front dropped,
backslashes read as "/"): its relative path, or its reference (a link into the hosted
repository or a local path, so a pasted link works). With lines, the chunk's own line
range must overlap them.
"""

import re
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Optional

__all__ = ["FileReference", "normalise_path", "parse_reference"]

_WITH_LINES = re.compile(r"(?P<path>\S+?)#L(?P<start>\d+)(?:-L?(?P<end>\d+))?")


def normalise_path(path: str) -> str:
    """``path`` written with "/" and without a leading "./"."""
    path = path.replace("\\", "/")
    while path.startswith("./"):
        path = path[2:]
    return path


@dataclass(frozen=True)
class FileReference:
    """A file, or lines ``start``..``end`` (1-based, inclusive) of it."""

    path: str
    start: Optional[int] = None
    end: Optional[int] = None

    @property
    def has_lines(self) -> bool:
        return self.start is not None

    def names(self, metadata: Dict[str, Any]) -> bool:
        """Whether a chunk with this metadata lies in the referenced file."""
        for key in ("filepath", "source", "reference", "url"):
            value = metadata.get(key)
            if isinstance(value, str) and value and normalise_path(value) == self.path:
                return True
        return False

    def overlaps(self, start_line: Any, end_line: Any) -> bool:
        """Whether a chunk of lines ``start_line``..``end_line`` shares a line with the
        reference (always, for a whole file; never, for a chunk without a line range)."""
        if not self.has_lines:
            return True
        if not isinstance(start_line, int) or not isinstance(end_line, int):
            return False
        assert self.start is not None and self.end is not None
        return start_line <= self.end and self.start <= end_line

    def matches(self, metadata: Dict[str, Any]) -> bool:
        """Whether the chunk with this metadata is part of what the reference names."""
        return self.names(metadata) and self.overlaps(metadata.get("start_line"), metadata.get("end_line"))


def parse_reference(document: str) -> Optional[FileReference]:
    """The file reference that ``document`` is, or None when it is chunk text.

    Raises ``ValueError`` for a reference whose lines are 0 or run backwards.
    """
    if not document or any(c.isspace() for c in document):
        return None
    lines = _WITH_LINES.fullmatch(document)
    if lines:
        start = int(lines["start"])
        end = int(lines["end"]) if lines["end"] is not None else start
        if start < 1 or end < start:
            raise ValueError(f"{document!r}: lines must run from 1 up, as in path#L10-L20")
        return FileReference(normalise_path(lines["path"]), start, end)
    if "/" in document or "." in document:
        path = normalise_path(document)
        return FileReference(path) if path.strip("/.") else None
    return None


def references_in(documents: Iterable[str]) -> Dict[str, FileReference]:
    """The documents that are file references, with what they reference."""
    out: Dict[str, FileReference] = {}
    for document in documents:
        reference = parse_reference(document)
        if reference is not None:
            out[document] = reference
    return out
