"""The judges' answer caches, and where they and the model service live.

``KeyedCache`` keys guidance's answers on endpoint and model as well as on the prompt;
``NoCache`` keeps nothing. ``tavrin.evaluation.qa.evaluator.judge_model.configure_judge()``
gives one of them to the shared judge model.
"""

from __future__ import annotations

import hashlib
import json
import os
import threading
import uuid
from typing import Any, Dict

__all__ = ["KeyedCache", "NoCache", "current_endpoint", "judge_cache_dir"]


class KeyedCache:
    """guidance's answer cache, keyed on endpoint and model as well as on the prompt.

    guidance keys its disk cache on the request alone, so a run against another server or
    model would get the first one's answers. This cache adds both to every key and keeps
    its entries in a folder of its own (``$XDG_CACHE_HOME/tavrin/judge`` by default).
    """

    def __init__(self, directory: str, endpoint: str, model: str) -> None:
        self.directory = directory
        self.endpoint = endpoint
        self.model = model
        self._opened: Any = None
        self._lock = threading.Lock()

    @property
    def _store(self) -> Any:
        """The disk cache, opened (and its folder made) on first use."""
        with self._lock:
            if self._opened is None:
                import diskcache

                self._opened = diskcache.Cache(self.directory)
            return self._opened

    def create_key(self, llm: str, **kwargs: Any) -> str:
        options = json.dumps(kwargs, sort_keys=True, default=str)
        text = json.dumps([self.endpoint, self.model, llm, options])
        return hashlib.sha256(text.encode()).hexdigest()

    def __getitem__(self, key: str) -> Any:
        return self._store[key]

    def __setitem__(self, key: str, value: Any) -> None:
        self._store[key] = value

    def __contains__(self, key: str) -> bool:
        return key in self._store

    def clear(self) -> None:
        self._store.clear()


class NoCache:
    """An answer cache that keeps nothing: every prompt goes to the model.

    guidance stores each answer in its cache and reads it back at once; this cache hands
    it back once, under a key of its own for every request, and then forgets it.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._held: Dict[str, Any] = {}

    def create_key(self, llm: str, **kwargs: Any) -> str:
        return uuid.uuid4().hex

    def __getitem__(self, key: str) -> Any:
        with self._lock:
            return self._held.pop(key)

    def __setitem__(self, key: str, value: Any) -> None:
        with self._lock:
            self._held[key] = value

    def __contains__(self, key: str) -> bool:
        with self._lock:
            return key in self._held

    def clear(self) -> None:
        with self._lock:
            self._held.clear()


def judge_cache_dir() -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tavrin", "judge")


def current_endpoint() -> str:
    """The OpenAI-compatible endpoint requests go to: ``$OPENAI_API_BASE`` or OpenAI's."""
    return os.environ.get("OPENAI_API_BASE") or "https://api.openai.com/v1"
