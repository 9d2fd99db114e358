"""Vector stores of code documents: where indexed sources live and how they are reopened."""

from tavrin.ask_codebase.store.qdrant import (
    EmptySourceError,
    InvalidSourceNameError,
    QdrantWrapper,
    StoreConfig,
    StoredChunk,
    StoreError,
    StoreUnavailableError,
    UnknownSourceError,
)

__all__ = [
    "EmptySourceError",
    "InvalidSourceNameError",
    "QdrantWrapper",
    "StoreConfig",
    "StoredChunk",
    "StoreError",
    "StoreUnavailableError",
    "UnknownSourceError",
]
