"""openai 0.28: every request goes through tavrin's resilient call.

Why: the judges (guidance), the ``ask`` chains and the OpenAI embeddings (langchain) all
call the ``openai`` 0.x library, which has no hook for retries, timeouts, a rate limit or
counting usage. Every one of their requests ends in
``openai.api_requestor.APIRequestor.request`` (blocking) or ``arequest`` (asyncio), so
those two methods are replaced, once per process, by wrappers that hand the original
method and the request's arguments to the callables given to ``install``
(``tavrin._llm`` gives its retrying calls). Each wrapper keeps the original as its
``__wrapped__``. There is no undo: the wrappers stay for the life of the process.
"""

from __future__ import annotations

import threading
from typing import Any, Callable, Optional

__all__ = ["install"]

_lock = threading.Lock()
_installed = False


def install(call_sync: Callable[..., Any], call_async: Callable[..., Any]) -> bool:
    """Make ``APIRequestor.request`` call ``call_sync(original, self, method, url, params,
    headers, files, stream, request_id, request_timeout)`` and ``arequest`` await
    ``call_async`` with the same arguments. Only the first call installs; True if it did."""
    global _installed
    with _lock:
        if _installed:
            return False
        import openai.api_requestor as requestor

        cls = requestor.APIRequestor
        original_request, original_arequest = cls.request, cls.arequest

        def request(
            self: Any,
            method: str,
            url: str,
            params: Any = None,
            headers: Any = None,
            files: Any = None,
            stream: bool = False,
            request_id: Optional[str] = None,
            request_timeout: Any = None,
        ) -> Any:
            return call_sync(
                original_request, self, method, url, params, headers, files, stream, request_id, request_timeout
            )

        async def arequest(
            self: Any,
            method: str,
            url: str,
            params: Any = None,
            headers: Any = None,
            files: Any = None,
            stream: bool = False,
            request_id: Optional[str] = None,
            request_timeout: Any = None,
        ) -> Any:
            return await call_async(
                original_arequest, self, method, url, params, headers, files, stream, request_id, request_timeout
            )

        request.__wrapped__ = original_request  # type: ignore[attr-defined]
        arequest.__wrapped__ = original_arequest  # type: ignore[attr-defined]
        cls.request = request  # type: ignore[method-assign]
        cls.arequest = arequest  # type: ignore[method-assign]
        _installed = True
        return True
