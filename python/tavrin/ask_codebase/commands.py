"""The commands of the code-base wing, by their earlier home: ``index``, ``sources``,
``chunks`` and ``ask`` live in ``tavrin.commands`` (one module each), the tree-walk policy in
``tavrin.ask_codebase.indexing.selection``; their names stay importable from here."""

from tavrin.ask_codebase.indexing.selection import *  # noqa: F401,F403
from tavrin.ask_codebase.indexing.selection import TreeSelection, generated_reason  # noqa: F401
from tavrin.commands.ask import CHAINS, KEY_HELP, answer_question, ask, reference_of  # noqa: F401
from tavrin.commands.common import (  # noqa: F401
    DEFAULT_EMBEDDINGS_ENV,
    EMBEDDINGS,
    build_embeddings,
    embeddings_option,
    resolve_embeddings,
)
from tavrin.commands.index import index  # noqa: F401
from tavrin.commands.sources import chunk_label, chunk_record, chunks, sources  # noqa: F401
