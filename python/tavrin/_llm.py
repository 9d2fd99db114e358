"""Resilient calls to OpenAI-compatible model services, for every model call tavrin makes.

tavrin talks to a model service through the ``openai`` 0.x library: the judges through
guidance's OpenAI model, the ``ask`` chains through langchain's ``ChatOpenAI``, and the
OpenAI embeddings through langchain's ``OpenAIEmbeddings``. All of them end in
``openai.api_requestor.APIRequestor.request`` (blocking) or ``arequest`` (asyncio).
``configure()`` wraps those two methods once per process
(``tavrin._integrations.openai_requestor``), so that every request:

- is retried on HTTP 429, 5xx, timeouts and dropped connections, with exponential backoff
  and jitter, waiting at least what the server asks for in ``Retry-After`` (or
  ``retry-after-ms``), at most ``max_retries`` times; other 4xx answers are not retried;
- has a timeout of ``request_timeout`` seconds unless the caller set its own;
- waits for its turn under one requests-per-minute limit shared by every thread (``rpm``;
  no limit by default);
- fails, in the end, with an error whose text is one clean line: the error's class and
  message, without the response's headers or body. Once the retries are spent the error
  is a ``RetriesExhausted`` (an ``openai.error.OpenAIError``), which neither guidance nor
  langchain retry again;
- says so on standard error, one line for every retry (what failed, how long it waits,
  which retry of how many), so that nobody waits through retries in silence.

The wrapper also counts requests, retries and tokens (``usage()``): the service's own
``usage`` figures where the answer has them, else tokens counted with the bundled
``cl100k_base`` encoding. And an embeddings endpoint that refuses token ids (some local
servers accept only strings) gets the same input again as text; the endpoint is then
sent text from the start.

A cost meter made active through ``tavrin._costs`` hears of every request as well: it
reserves each request's worst case under a cost cap before the request is sent (and may
refuse it), settles it to the tokens the answer used, and in a dry run answers in place
of the service.

``KeyedCache`` is the judges' answer cache, keyed on endpoint and model as well as on the
prompt (``tavrin._llm_cache``); ``tavrin.evaluation.qa.evaluator.judge_model.configure_judge()``
gives it to the shared judge model.
"""

from __future__ import annotations

import asyncio
import contextvars
import email.utils
import os
import random
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Tuple

from tavrin import _costs
from tavrin._integrations import openai_requestor, tiktoken_data
from tavrin._llm_cache import KeyedCache, NoCache, current_endpoint, judge_cache_dir
from tavrin.errors import RetriesExhausted

__all__ = [
    "DEFAULT_JUDGE_MODEL",
    "JUDGE_MODEL_ENV",
    "KeyedCache",
    "NoCache",
    "RetriesExhausted",
    "Usage",
    "configure",
    "settings",
    "usage",
    "clean_error_text",
    "current_endpoint",
    "judge_cache_dir",
]

#: The judge model when neither ``--judge-model`` nor ``TAVRIN_JUDGE_MODEL`` names one.
DEFAULT_JUDGE_MODEL = "gpt-4"
JUDGE_MODEL_ENV = "TAVRIN_JUDGE_MODEL"
#: Base of the exponential backoff, in seconds (for tests and impatient users).
BACKOFF_ENV = "TAVRIN_LLM_BACKOFF"
#: Send embeddings input as text, never as token ids ("1").
EMBEDDINGS_AS_TEXT_ENV = "TAVRIN_OPENAI_EMBEDDINGS_AS_TEXT"

_MAX_MESSAGE = 300


@dataclass(frozen=True)
class Settings:
    """How requests are made (see ``configure``)."""

    max_retries: int = 6
    request_timeout: float = 120.0
    rpm: Optional[float] = None
    backoff_base: float = 1.0
    backoff_cap: float = 60.0


@dataclass(frozen=True)
class Usage:
    """What the model service was asked so far: attempts sent, of which retries, and tokens."""

    requests: int = 0
    retries: int = 0
    tokens: int = 0

    def __sub__(self, other: "Usage") -> "Usage":
        return Usage(self.requests - other.requests, self.retries - other.retries, self.tokens - other.tokens)

    def __add__(self, other: "Usage") -> "Usage":
        return Usage(self.requests + other.requests, self.retries + other.retries, self.tokens + other.tokens)

    def to_dict(self) -> Dict[str, int]:
        return {"requests": self.requests, "retries": self.retries, "tokens": self.tokens}


def _make_retries_exhausted() -> type:
    import openai

    class _RetriesExhausted(RetriesExhausted, openai.error.OpenAIError):
        def __init__(self, message: str) -> None:
            openai.error.OpenAIError.__init__(self, message)

    _RetriesExhausted.__name__ = _RetriesExhausted.__qualname__ = "RetriesExhausted"
    _RetriesExhausted.__module__ = __name__
    return _RetriesExhausted


class _Counters:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._usage = Usage()

    def add(self, requests: int = 0, retries: int = 0, tokens: int = 0) -> None:
        with self._lock:
            u = self._usage
            self._usage = Usage(u.requests + requests, u.retries + retries, u.tokens + tokens)

    def snapshot(self) -> Usage:
        with self._lock:
            return self._usage


class _RateLimiter:
    """Spaces requests evenly so that no more than ``rpm`` start in any minute, over all threads."""

    def __init__(self, rpm: Optional[float]) -> None:
        self.interval = 60.0 / rpm if rpm else 0.0
        self._next = 0.0
        self._lock = threading.Lock()

    def reserve(self) -> float:
        """Take the next slot; return how long to wait for it."""
        if not self.interval:
            return 0.0
        with self._lock:
            now = time.monotonic()
            start = max(now, self._next)
            self._next = start + self.interval
            return start - now


_settings = Settings()
_limiter = _RateLimiter(None)
_counters = _Counters()
_install_lock = threading.Lock()
_text_embedding_endpoints: set = set()
_RetriesExhaustedClass: Optional[type] = None


def settings() -> Settings:
    """The settings in force."""
    return _settings


def usage() -> Usage:
    """Requests, retries and tokens counted in this process so far."""
    return _counters.snapshot()


def configure(
    max_retries: int = 6,
    request_timeout: float = 120.0,
    rpm: Optional[float] = None,
    backoff_base: Optional[float] = None,
) -> Settings:
    """Make every OpenAI request of this process resilient (see the module's text).

    May be called again to change the settings; the wrapper is installed once.
    ``backoff_base`` defaults to ``$TAVRIN_LLM_BACKOFF`` or 1 second.
    """
    global _settings, _limiter, _RetriesExhaustedClass
    if isinstance(max_retries, bool) or not isinstance(max_retries, int) or max_retries < 0:
        raise ValueError(f"max_retries must be an integer >= 0, got {max_retries!r}")
    if not isinstance(request_timeout, (int, float)) or request_timeout <= 0:
        raise ValueError(f"request_timeout must be a number of seconds > 0, got {request_timeout!r}")
    if rpm is not None and (not isinstance(rpm, (int, float)) or rpm <= 0):
        raise ValueError(f"rpm must be a number > 0, got {rpm!r}")
    if backoff_base is None:
        backoff_base = float(os.environ.get(BACKOFF_ENV) or 1.0)
    _settings = Settings(
        max_retries=max_retries, request_timeout=float(request_timeout), rpm=rpm, backoff_base=float(backoff_base)
    )
    _limiter = _RateLimiter(rpm)
    with _install_lock:
        if _RetriesExhaustedClass is None:
            _RetriesExhaustedClass = _make_retries_exhausted()
        openai_requestor.install(_call_sync, _call_async)
    return _settings


# ---------------------------------------------------------------- one request


def _retry_delay(exc: BaseException, attempt: int, s: Settings) -> Optional[float]:
    """Seconds to wait before retrying after ``exc`` (attempt counts from 0), or None: no retry."""
    import openai.error as oe

    if isinstance(exc, (oe.Timeout, oe.APIConnectionError, oe.RateLimitError, oe.ServiceUnavailableError)):
        pass
    elif isinstance(exc, oe.APIError):
        status = exc.http_status
        if status is not None and status < 500:
            return None
    else:
        return None
    delay = min(s.backoff_cap, s.backoff_base * (2**attempt)) * random.uniform(0.5, 1.0)
    asked = _retry_after(getattr(exc, "headers", None) or {})
    if asked is not None:
        delay = max(delay, min(asked, 600.0))
    return delay


def _retry_after(headers: Any) -> Optional[float]:
    try:
        value = headers.get("retry-after-ms") or headers.get("Retry-After-Ms")
        if value is not None:
            return max(0.0, float(value) / 1000.0)
        value = headers.get("retry-after") or headers.get("Retry-After")
    except AttributeError:
        return None
    if value is None:
        return None
    try:
        return max(0.0, float(value))
    except ValueError:
        try:
            when = email.utils.parsedate_to_datetime(value)
        except (TypeError, ValueError):
            return None
        return max(0.0, when.timestamp() - time.time())


def clean_error_text(exc: BaseException) -> str:
    """The error's class and message on one line, without response headers or bodies."""
    message = None
    body = getattr(exc, "json_body", None)
    if isinstance(body, dict) and isinstance(body.get("error"), dict):
        message = body["error"].get("message")
    if not message:
        message = getattr(exc, "user_message", None) if hasattr(exc, "http_status") else None
        status = getattr(exc, "http_status", None)
        raw = getattr(exc, "http_body", None)
        if message and raw and isinstance(raw, str) and raw in message:
            message = message.split(raw, 1)[0].rstrip(" :'\"") or None
        if not message:
            message = f"HTTP {status}" if status else (str(exc) or type(exc).__name__)
    text = " ".join(str(message).split())
    status = getattr(exc, "http_status", None)
    if status and f"HTTP {status}" not in text:
        text += f" (HTTP {status})"
    if len(text) > _MAX_MESSAGE:
        text = text[: _MAX_MESSAGE - 1] + "…"
    return f"{type(exc).__name__}: {text}"


def _cleaned(exc: BaseException) -> BaseException:
    """``exc`` itself with its text made one clean line."""
    try:
        exc._message = clean_error_text(exc)  # type: ignore[attr-defined]
        exc.request_id = None  # type: ignore[attr-defined]
        exc.args = (exc._message,)  # type: ignore[attr-defined]
    except AttributeError:
        pass
    return exc


def _exhausted(exc: BaseException, attempts: int) -> BaseException:
    assert _RetriesExhaustedClass is not None
    return _RetriesExhaustedClass(f"{clean_error_text(exc)} (gave up after {attempts} attempts)")


def _embeddings_as_text(url: str, params: Any, endpoint: str) -> Any:
    """``params`` with token-id inputs of an embeddings request turned back into text."""
    if not isinstance(params, dict) or not str(url).rstrip("/").endswith("/embeddings"):
        return None
    data = params.get("input")
    if not (isinstance(data, list) and data and all(isinstance(x, list) for x in data)):
        return None
    encoding = _encoding()
    if encoding is None:
        return None
    return dict(params, input=[encoding.decode(tokens) for tokens in data])


def _endpoint(requestor: Any) -> str:
    return str(getattr(requestor, "api_base", "") or "")


def _wants_text(requestor: Any, url: str, params: Any) -> Any:
    if os.environ.get(EMBEDDINGS_AS_TEXT_ENV) == "1" or _endpoint(requestor) in _text_embedding_endpoints:
        return _embeddings_as_text(url, params, _endpoint(requestor)) or params
    return params


def _is_token_refusal(exc: BaseException) -> bool:
    import openai.error as oe

    return isinstance(exc, oe.InvalidRequestError) or (
        isinstance(exc, oe.APIError) and getattr(exc, "http_status", None) in (400, 422)
    )


def _after_failure(
    exc: BaseException, requestor: Any, url: str, params: Any, attempt: int, s: Settings, timeout: Any = None
) -> Tuple[Any, Optional[float]]:
    """What follows the failed request ``exc`` (``attempt`` counts retries from 0), the same
    for blocking and asynchronous calls: ``(text_params, None)`` to send an embeddings
    request again at once as text, ``(params, delay)`` to retry after ``delay`` seconds;
    otherwise the error to raise is raised here."""
    as_text = _embeddings_as_text(url, params, _endpoint(requestor)) if _is_token_refusal(exc) else None
    if as_text is not None:
        _text_embedding_endpoints.add(_endpoint(requestor))
        return as_text, None
    delay = _retry_delay(exc, attempt, s)
    if delay is None:
        raise _cleaned(exc)
    if attempt >= s.max_retries:
        raise _exhausted(exc, attempt + 1) from exc
    _counters.add(retries=1)
    _announce(_retry_reason(exc, requestor, timeout), delay, attempt, s)
    return params, delay


def _retry_reason(exc: BaseException, requestor: Any, timeout: Any) -> str:
    """What went wrong with a request about to be retried, in words for the console."""
    import openai.error as oe

    endpoint = _endpoint(requestor) or "the model service"
    if _refused(exc):
        # the usual sign of a server that is not running (yet), or a wrong OPENAI_API_BASE
        return f"Connection refused by {endpoint}"
    if isinstance(exc, oe.Timeout):
        seconds = _timeout_seconds(timeout)
        return f"Request to {endpoint} timed out" + (f" after {seconds:g} s" if seconds is not None else "")
    return f"Request to {endpoint} failed: {clean_error_text(exc)}"


def _timeout_seconds(timeout: Any) -> Optional[float]:
    """The total seconds of a request timeout (a number, or a (connect, read) pair)."""
    if isinstance(timeout, (tuple, list)) and timeout:
        timeout = timeout[-1]
    return float(timeout) if isinstance(timeout, (int, float)) and not isinstance(timeout, bool) else None


# Called before a retry is announced: a status line that is being redrawn on the terminal
# (`tavrin ask` waiting) clears itself, so that the announcement has the line to itself.
before_announcement: Optional[Callable[[], None]] = None


def _announce(reason: str, delay: float, attempt: int, s: Settings) -> None:
    """One line on standard error for every retry: nobody waits through retries in silence."""
    hook = before_announcement
    if hook is not None:
        hook()
    sys.stderr.write(f"{reason}; retrying in {delay:.1f} s ({attempt + 1}/{s.max_retries})\n")
    sys.stderr.flush()


def _refused(exc: BaseException) -> bool:
    """Whether ``exc`` (or what caused it) is a refused connection."""
    seen: BaseException = exc
    for _ in range(8):
        if isinstance(seen, ConnectionRefusedError) or "connection refused" in str(seen).lower():
            return True
        nxt = seen.__cause__ or seen.__context__
        if nxt is None:
            return False
        seen = nxt
    return False


# Requests of this (asyncio) context in flight at once: a semaphore set by ``bounded``.
_slots: "contextvars.ContextVar[Optional[asyncio.Semaphore]]" = contextvars.ContextVar("tavrin_llm_slots", default=None)


async def bounded(coroutine: Any, jobs: int) -> Any:
    """Await ``coroutine`` with at most ``jobs`` of its asynchronous requests in flight.

    The bound holds for every OpenAI request the coroutine (and the tasks it starts) makes
    through the asynchronous API, retries included.
    """
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be an integer >= 1, got {jobs!r}")
    token = _slots.set(asyncio.Semaphore(jobs))
    try:
        return await coroutine
    finally:
        _slots.reset(token)


def _call_sync(
    original: Any,
    requestor: Any,
    method: str,
    url: str,
    params: Any,
    headers: Any,
    files: Any,
    stream: bool,
    request_id: Any,
    request_timeout: Any,
) -> Any:
    import openai.error as oe

    s = _settings
    timeout = request_timeout if request_timeout is not None else s.request_timeout
    params = _wants_text(requestor, url, params)
    params, ticket = _costs.before_request(url, params)
    if ticket is not None and ticket.dry:
        return _costs.dry_result(requestor, url, params, stream, ticket)
    attempt = 0
    try:
        while True:
            wait = _limiter.reserve()
            if wait:
                time.sleep(wait)
            _counters.add(requests=1)
            try:
                result = original(requestor, method, url, params, headers, files, stream, request_id, timeout)
            except oe.OpenAIError as exc:
                params, delay = _after_failure(exc, requestor, url, params, attempt, s, timeout)
                if delay is not None:
                    attempt += 1
                    time.sleep(delay)
                continue
            _took_answer(params, result, ticket)
            return result
    except BaseException:
        _costs.after_failure(ticket)
        raise


async def _call_async(
    original: Any,
    requestor: Any,
    method: str,
    url: str,
    params: Any,
    headers: Any,
    files: Any,
    stream: bool,
    request_id: Any,
    request_timeout: Any,
) -> Any:
    import openai.error as oe

    s = _settings
    timeout = request_timeout if request_timeout is not None else s.request_timeout
    params = _wants_text(requestor, url, params)
    params, ticket = _costs.before_request(url, params)
    if ticket is not None and ticket.dry:
        return _costs.dry_result(requestor, url, params, stream, ticket, asynchronous=True)
    attempt = 0
    try:
        while True:
            wait = _limiter.reserve()
            if wait:
                await asyncio.sleep(wait)
            _counters.add(requests=1)
            slots = _slots.get()
            try:
                if slots is None:
                    result = await original(requestor, method, url, params, headers, files, stream, request_id, timeout)
                else:
                    async with slots:
                        result = await original(
                            requestor, method, url, params, headers, files, stream, request_id, timeout
                        )
            except oe.OpenAIError as exc:
                params, delay = _after_failure(exc, requestor, url, params, attempt, s, timeout)
                if delay is not None:
                    attempt += 1
                    await asyncio.sleep(delay)
                continue
            _took_answer(params, result, ticket)
            return result
    except BaseException:
        _costs.after_failure(ticket)
        raise


def _took_answer(params: Any, result: Any, ticket: Optional[_costs.Ticket] = None) -> None:
    """Mend and count what a request answered; a streamed answer is neither (the cost meter
    counts it at its answer limit)."""
    try:
        response, got_stream = result[0], result[1]
    except (TypeError, IndexError):
        _costs.after_answer(ticket, params, None, streamed=True)
        return
    if got_stream:
        _costs.after_answer(ticket, params, None, streamed=True)
        return
    data = getattr(response, "data", None)
    _mend_answer(data)
    _count_tokens(params, data)
    _costs.after_answer(ticket, params, data)


def _mend_answer(data: Any) -> None:
    """Make a local server's answer look like the API's where the clients would trip on it.

    Some OpenAI-compatible servers answer ``"usage": null``: langchain's chat models take
    the figures as a dictionary and fail adding them up, so a null ``usage`` is dropped,
    as if the server had sent none. Some send the messages of their choices without a
    ``role``: langchain reads it to choose the message's class, so such a message gets
    the role of every message a completion returns, ``assistant``.
    """
    if not isinstance(data, dict):
        return
    if "usage" in data and data["usage"] is None:
        del data["usage"]
    for choice in data.get("choices") or []:
        message = choice.get("message") if isinstance(choice, dict) else None
        if isinstance(message, dict) and not message.get("role"):
            message["role"] = "assistant"


# ---------------------------------------------------------------- tokens

_encoding_cache: Dict[str, Any] = {}


def _encoding() -> Any:
    if "cl100k_base" not in _encoding_cache:
        try:
            tiktoken_data.install()
            import tiktoken

            _encoding_cache["cl100k_base"] = tiktoken.get_encoding("cl100k_base")
        except Exception:  # no encoding data: tokens are then not counted
            _encoding_cache["cl100k_base"] = None
    return _encoding_cache["cl100k_base"]


def _count_tokens(params: Any, data: Any) -> None:
    used = data.get("usage") if isinstance(data, dict) else None
    if isinstance(used, dict) and isinstance(used.get("total_tokens"), int):
        _counters.add(tokens=used["total_tokens"])
        return
    _counters.add(tokens=_counted(params, data))


def _counted(params: Any, data: Any) -> int:
    encoding = _encoding()
    if encoding is None:
        return 0
    texts = []
    if isinstance(params, dict):
        for message in params.get("messages") or []:
            if isinstance(message, dict) and isinstance(message.get("content"), str):
                texts.append(message["content"])
        prompt = params.get("prompt")
        if isinstance(prompt, str):
            texts.append(prompt)
        inputs = params.get("input")
        if isinstance(inputs, str):
            texts.append(inputs)
        elif isinstance(inputs, list):
            for item in inputs:
                if isinstance(item, str):
                    texts.append(item)
    tokens = sum(len(encoding.encode(t, disallowed_special=())) for t in texts)
    if isinstance(params, dict) and isinstance(params.get("input"), list):
        tokens += sum(len(item) for item in params["input"] if isinstance(item, list))
    if isinstance(data, dict):
        for choice in data.get("choices") or []:
            if isinstance(choice, dict):
                message = choice.get("message")
                content = message.get("content") if isinstance(message, dict) else choice.get("text")
                if isinstance(content, str):
                    tokens += len(encoding.encode(content, disallowed_special=()))
    return tokens
