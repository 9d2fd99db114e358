"""What the model requests of a run cost, and a cap on it.

A ``Meter`` made active with ``activate()`` hears of every OpenAI request that
``tavrin._llm`` sends: the model asked, its prompt tokens (the service's own figures where
its answer has them, else counted with ``cl100k_base`` the way the chat API bills them)
and its answer tokens, by model and by the subject whose judgement made the request.
Prices come from a ``tavrin._prices.PriceTable``; a model without a price makes the cost
unknown, never $0.

With a cap (``Meter(cap=USD)``) every request first reserves its worst case, its prompt
tokens and the most answer tokens it allows (``max_tokens``, times ``n``) at the model's
price; a request that allows no limit is given ``DEFAULT_ANSWER_TOKENS``. Reservations
and settlements hold one lock, so concurrent requests cannot pass the cap together. A
reservation that does not fit waits while other requests are in flight (their answers
usually cost less than they reserved); the first one that cannot fit even then raises
``BudgetReached``, and so does every one after it: the run stops cleanly. An answer
settles its reservation to what it used; a request that fails gives its reservation back.

A judgement made on a worker thread of a concurrent run (``judging``) holds, with its
first request, as much as the costliest finished judgement of its subject and evaluator
reserved in all; its later requests draw on that hold, so a judgement that has started
can finish after the cap has stopped new ones. Until one such judgement has finished
there is nothing to go by, and the others of its kind wait for it: at the start of a run
at many jobs, judgements would otherwise all make their first request and find no room
for their second.

A dry meter (``Meter(dry=True)``) sends nothing: each request is counted (its answer at
its limit) and answered at once with a short made-up answer (``dry_answer``).
"""

from __future__ import annotations

import contextlib
import contextvars
import math
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Tuple

from tavrin._cost_sums import _merged, _merged_usd, _round, merged_costs  # noqa: F401  (merged_costs is also read from here)
from tavrin._prices import Price, PriceTable
from tavrin.errors import TavrinError

__all__ = [
    "DEFAULT_ANSWER_TOKENS",
    "BudgetReached",
    "Meter",
    "Ticket",
    "activate",
    "active",
    "current_judgement",
    "judging",
]

#: The answer limit given to a capped request that sets none, and assumed by a dry run.
DEFAULT_ANSWER_TOKENS = 1024
#: A reservation counts the prompt a little high: the service's tokenizer may differ.
_PROMPT_MARGIN = 1.05
_PROMPT_SLACK = 8


@dataclass
class Judgement:
    """One judgement's share of the meter: what it holds for its coming requests, and the
    worst case of the requests it made."""

    subject: Optional[str]
    kind: Any = None
    held: float = 0.0
    worst: float = 0.0
    started: bool = False
    pioneer: bool = False
    thread: int = 0


#: The judgement the current thread (or task) is making, when known.
current_judgement: "contextvars.ContextVar[Optional[Judgement]]" = contextvars.ContextVar(
    "tavrin_cost_judgement", default=None
)


class BudgetReached(TavrinError, RuntimeError):
    """The next model request would pass the run's cost cap (or has no price to check)."""


@dataclass
class Tally:
    """Requests, prompt tokens, answer tokens (and, for a dry run, the answers' limits)."""

    requests: int = 0
    prompt_tokens: int = 0
    completion_tokens: int = 0
    answer_limit: int = 0

    def add(self, other: "Tally") -> None:
        self.requests += other.requests
        self.prompt_tokens += other.prompt_tokens
        self.completion_tokens += other.completion_tokens
        self.answer_limit += other.answer_limit


@dataclass
class Ticket:
    """One request's place in the meter: its model, prompt, answer limit and reservation."""

    model: str
    prompt_tokens: int
    answer_limit: Optional[int]
    reserved: float = 0.0
    subject: Optional[str] = None
    dry: bool = False
    in_flight: int = 0  # the thread that sent it, while it waits for its answer


@dataclass
class _Usage:
    by_subject: Dict[Optional[str], Dict[str, Tally]] = field(default_factory=dict)

    def add(self, subject: Optional[str], model: str, tally: Tally) -> None:
        self.by_subject.setdefault(subject, {}).setdefault(model, Tally()).add(tally)

    def models(self) -> Dict[str, Tally]:
        out: Dict[str, Tally] = {}
        for models in self.by_subject.values():
            for model, tally in models.items():
                out.setdefault(model, Tally()).add(tally)
        return out


class Meter:
    """Counts a run's requests by subject and model, prices them, and keeps its cap."""

    def __init__(
        self,
        prices: PriceTable,
        cap: Optional[float] = None,
        base: Optional[Dict[str, Any]] = None,
        dry: bool = False,
    ) -> None:
        self.prices = prices
        self.cap = cap
        self.dry = dry
        self.base = base or {}
        self._lock = threading.Condition()
        self._learned: Dict[Any, float] = {}  # kind of judgement -> the most one reserved in all
        self._pioneers: Dict[Any, int] = {}  # kind -> judgements of it making their first requests
        self._in_flight: Dict[int, int] = {}  # thread -> its requests reserved and not yet answered
        self._judging: Dict[int, int] = {}  # thread -> its judgements started and not finished
        self._waiting = 0  # of those, waiting for room
        self._usage = _Usage()
        self._spent = 0.0
        self._reserved = 0.0
        self._stopped: Optional[str] = None
        self._base_spent = sum(
            (m.get("usd") or 0.0) for m in (self.base.get("models") or {}).values() if isinstance(m, dict)
        )

    # ------------------------------------------------------------ requests

    def reserve(self, ticket: Ticket, judgement: Optional[Judgement] = None) -> None:
        """Reserve ``ticket``'s worst case under the cap (from ``judgement``'s hold first);
        raise ``BudgetReached`` if it does not fit."""
        if self.cap is None:
            return
        with self._lock:
            price = self.prices.price(ticket.model)
            if price is None:
                self._stopped = self._stopped or (
                    f"no price for the model {ticket.model!r}, so the cost cap of {usd(self.cap)} cannot be "
                    f"kept; give its price with --prices"
                )
                self._lock.notify_all()
                raise BudgetReached(self._stopped)
            prompt = math.ceil(ticket.prompt_tokens * _PROMPT_MARGIN) + _PROMPT_SLACK
            amount = price.cost(prompt, ticket.answer_limit or 0)
            if judgement is None:
                self._take(amount)
            else:
                self._draw(judgement, amount)
            ticket.reserved, ticket.in_flight = amount, threading.get_ident()
            self._in_flight[ticket.in_flight] = self._in_flight.get(ticket.in_flight, 0) + 1

    def _take(self, amount: float, started: bool = False) -> None:
        """Add ``amount`` to what is reserved once it fits under the cap (the lock is held).

        While requests of other threads are in flight, or their judgements that have
        started go on, what they reserved may come back: until then this waits (never for
        its own thread, whose event loop it holds). ``started``: the caller is a judgement
        that has started.
        """
        assert self.cap is not None
        while True:
            if self._stopped is not None:
                raise BudgetReached(self._stopped)
            spent = self._base_spent + self._spent
            if spent + self._reserved + amount <= self.cap:
                break
            me = threading.get_ident()
            others = sum(self._in_flight.values()) - self._in_flight.get(me, 0)
            judging = sum(self._judging.values()) - self._judging.get(me, 0) - self._waiting
            if not others and judging <= 0:
                break
            self._waiting += started
            try:
                self._lock.wait(1.0)
            finally:
                self._waiting -= started
        if spent + self._reserved + amount > self.cap:
            self._stopped = (
                f"the cost cap of {usd(self.cap)} was reached: {usd(spent)} spent, and the next request "
                f"may cost up to {usd(amount)}; `tavrin resume` with a higher --max-cost continues the run"
            )
            self._lock.notify_all()  # judgements waiting to start learn that they will not
            raise BudgetReached(self._stopped)
        self._reserved += amount

    def _draw(self, judgement: Judgement, amount: float) -> None:
        """Reserve ``amount`` for a request of ``judgement``: from its hold, which its first
        request makes as large as the costliest judgement of its kind (the lock is held)."""
        if not judgement.started:
            while judgement.kind not in self._learned and self._pioneers.get(judgement.kind, 0) and not self._stopped:
                self._lock.wait()
            want = max(amount, self._learned.get(judgement.kind, 0.0))
            self._take(want)
            judgement.started, judgement.held = True, want
            judgement.thread = threading.get_ident()
            self._judging[judgement.thread] = self._judging.get(judgement.thread, 0) + 1
            if judgement.kind not in self._learned:
                judgement.pioneer = True
                self._pioneers[judgement.kind] = self._pioneers.get(judgement.kind, 0) + 1
        elif judgement.held < amount:
            self._take(amount - judgement.held, started=True)
            judgement.held = amount
        judgement.held -= amount
        judgement.worst += amount

    def finish(self, judgement: Judgement) -> None:
        """``judgement`` has ended: give back what it still holds, and learn what it took."""
        with self._lock:
            self._reserved -= judgement.held
            judgement.held = 0.0
            if judgement.started:
                self._judging[judgement.thread] -= 1
                if not self._judging[judgement.thread]:
                    del self._judging[judgement.thread]
            if judgement.pioneer:
                self._pioneers[judgement.kind] -= 1
            if judgement.started and judgement.worst > 0:
                self._learned[judgement.kind] = max(self._learned.get(judgement.kind, 0.0), judgement.worst)
            self._lock.notify_all()

    def settle(self, ticket: Ticket, prompt_tokens: int, completion_tokens: int) -> None:
        """Count ``ticket``'s request as answered with these tokens, in place of its reservation."""
        tally = Tally(1, prompt_tokens, completion_tokens, ticket.answer_limit or 0)
        price = self.prices.price(ticket.model)
        with self._lock:
            self._given_back(ticket)
            self._usage.add(ticket.subject, ticket.model, tally)
            if price is not None:
                self._spent += price.cost(prompt_tokens, completion_tokens)

    def release(self, ticket: Ticket) -> None:
        """Give back the reservation of a request that got no answer."""
        with self._lock:
            self._given_back(ticket)

    def _given_back(self, ticket: Ticket) -> None:
        self._reserved -= ticket.reserved
        ticket.reserved = 0.0
        if ticket.in_flight:
            self._in_flight[ticket.in_flight] -= 1
            if not self._in_flight[ticket.in_flight]:
                del self._in_flight[ticket.in_flight]
            ticket.in_flight = 0
            self._lock.notify_all()

    def attribute(self, subject: str) -> None:
        """Charge what was counted without a subject so far to ``subject`` (a run that makes
        one judgement at a time calls this as each judgement is recorded)."""
        with self._lock:
            pending = self._usage.by_subject.pop(None, None)
            for model, tally in (pending or {}).items():
                self._usage.add(subject, model, tally)

    # ------------------------------------------------------------ figures

    def stop_message(self) -> Optional[str]:
        """Why the cap stopped the run (the text of its ``BudgetReached``), or None."""
        with self._lock:
            return self._stopped

    def spent(self) -> float:
        """US dollars spent on models with a price, earlier runs' included."""
        with self._lock:
            return self._base_spent + self._spent

    def tallies(self) -> Dict[Optional[str], Dict[str, Tally]]:
        """A copy of the counts of this run, by subject (None: not attributed) and model."""
        with self._lock:
            return {s: {m: Tally(**vars(t)) for m, t in ms.items()} for s, ms in self._usage.by_subject.items()}

    def cost_of(self, models: Dict[str, Tally], worst: bool = False) -> Optional[float]:
        """The cost of these counts (answers at their limits when ``worst``), None if a model has no price."""
        total = 0.0
        for model, tally in models.items():
            price = self.prices.price(model)
            if price is None:
                return None
            total += price.cost(tally.prompt_tokens, tally.answer_limit if worst else tally.completion_tokens)
        return total

    def to_dict(self) -> Dict[str, Any]:
        """The report's ``cost``: this run's figures added to the earlier runs' (``base``)."""
        tallies = self.tallies()
        models: Dict[str, Any] = {}
        for model, tally in _Usage(tallies).models().items():
            price = self.prices.price(model)
            models[model] = {
                "requests": tally.requests,
                "prompt_tokens": tally.prompt_tokens,
                "completion_tokens": tally.completion_tokens,
                "usd": _price_of(price, tally),
            }
        subjects: Dict[str, Any] = {s: self.cost_of(ms) for s, ms in tallies.items() if s is not None}
        models = _merged(self.base.get("models"), models)
        subjects = _merged_usd(self.base.get("subjects"), subjects)
        unknown = sorted(m for m, entry in models.items() if entry["usd"] is None)
        out: Dict[str, Any] = {
            "usd": None if unknown else _round(sum(entry["usd"] for entry in models.values())),
            "prices_date": self.prices.date,
        }
        if self.cap is not None:
            out["max_usd"] = self.cap
        out.update(models=models, subjects=subjects, unknown_models=unknown)
        return out


def _price_of(price: Optional[Price], tally: Tally) -> Optional[float]:
    return None if price is None else _round(price.cost(tally.prompt_tokens, tally.completion_tokens))


def usd(value: Optional[float]) -> str:
    """A sum of US dollars for people: "$0.0123", small sums to the millionth, None as "unknown"."""
    if value is None:
        return "unknown"
    if value == 0 or abs(value) >= 0.001:
        return f"${value:.4f}"
    return f"${value:.6f}"


# ---------------------------------------------------------------- the active meter

_active: Optional[Meter] = None


def activate(meter: Optional[Meter]) -> Optional[Meter]:
    """Make ``meter`` hear every request of this process (None: none); return the one before."""
    global _active
    before, _active = _active, meter
    return before


def active() -> Optional[Meter]:
    return _active


def before_request(url: str, params: Any) -> Tuple[Any, Optional[Ticket]]:
    """The request's parameters (a capped chat request without a limit gets one) and its
    ticket, reserved under the cap (None when no meter is active)."""
    meter = _active
    if meter is None or not isinstance(params, dict):
        return params, None
    answering = not str(url).rstrip("/").endswith("/embeddings")
    if answering and meter.cap is not None and not isinstance(params.get("max_tokens"), int):
        params = dict(params, max_tokens=DEFAULT_ANSWER_TOKENS)
    limit = answer_limit(params) if answering else 0
    judgement = current_judgement.get()
    subject = judgement.subject if judgement is not None else None
    ticket = Ticket(model_of(params), prompt_tokens(params), limit, subject=subject, dry=meter.dry)
    meter.reserve(ticket, judgement)
    return params, ticket


@contextlib.contextmanager
def judging(subject: Optional[str], kind: Any) -> Iterator[None]:
    """Charge the model requests made inside to one judgement of ``subject`` (of ``kind``:
    judgements of one kind ask alike, e.g. one subject and evaluator)."""
    judgement = Judgement(subject, kind)
    token = current_judgement.set(judgement)
    try:
        yield
    finally:
        current_judgement.reset(token)
        meter = _active
        if meter is not None:
            meter.finish(judgement)


def after_answer(ticket: Optional[Ticket], params: Any, data: Any, streamed: bool = False) -> None:
    """Settle ``ticket`` with what the answer ``data`` used (a streamed answer: its limit)."""
    meter = _active
    if ticket is None or meter is None:
        return
    if streamed:
        meter.settle(ticket, ticket.prompt_tokens, ticket.answer_limit or 0)
        return
    used = data.get("usage") if isinstance(data, dict) else None
    if isinstance(used, dict) and isinstance(used.get("prompt_tokens"), int):
        completion = used.get("completion_tokens")
        meter.settle(ticket, used["prompt_tokens"], completion if isinstance(completion, int) else 0)
        return
    meter.settle(ticket, ticket.prompt_tokens, answer_tokens(data))


def after_failure(ticket: Optional[Ticket]) -> None:
    meter = _active
    if ticket is not None and meter is not None:
        meter.release(ticket)


# ---------------------------------------------------------------- tokens


def model_of(params: Dict[str, Any]) -> str:
    for key in ("model", "engine", "deployment_id"):
        if isinstance(params.get(key), str) and params[key]:
            return str(params[key])
    return "unknown"


def answer_limit(params: Dict[str, Any]) -> Optional[int]:
    """The most answer tokens a request allows (``max_tokens`` times ``n``), None: no limit."""
    limit = params.get("max_tokens")
    if isinstance(limit, bool) or not isinstance(limit, int):
        return None
    n = params.get("n")
    return limit * (n if isinstance(n, int) and not isinstance(n, bool) and n > 0 else 1)


def _tokens(text: str) -> int:
    from tavrin import _llm

    encoding = _llm._encoding()
    if encoding is None:  # no encoding data: about four characters a token
        return (len(text) + 3) // 4
    return len(encoding.encode(text, disallowed_special=()))


def prompt_tokens(params: Dict[str, Any]) -> int:
    """The prompt tokens of a request, as the API bills them: a chat prompt's messages with
    their roles, three tokens of framing each and three that prime the answer."""
    total = 0
    messages = params.get("messages")
    if isinstance(messages, list):
        total += 3
        for message in messages:
            if not isinstance(message, dict):
                continue
            total += 3
            for key in ("role", "content", "name"):
                if isinstance(message.get(key), str):
                    total += _tokens(message[key]) + (1 if key == "name" else 0)
    for key in ("prompt", "input"):
        value = params.get(key)
        items: List[Any] = value if isinstance(value, list) else [value]
        if items and all(isinstance(x, int) for x in items):  # one prompt as token ids
            total += len(items) if value is not None else 0
            continue
        for item in items:
            if isinstance(item, str):
                total += _tokens(item)
            elif isinstance(item, list):
                total += len(item)
    return total


def answer_tokens(data: Any) -> int:
    """The tokens of an answer's choices, counted."""
    total = 0
    if isinstance(data, dict):
        for choice in data.get("choices") or []:
            if isinstance(choice, dict):
                message = choice.get("message")
                content = message.get("content") if isinstance(message, dict) else choice.get("text")
                if isinstance(content, str):
                    total += _tokens(content)
    return total


# ---------------------------------------------------------------- dry answers


def dry_answer(url: str, params: Any, ticket: Ticket) -> Dict[str, Any]:
    """A made-up answer to a request, in the API's shape, counted at its answer limit.

    Judges that ask for a single number get "5", those that ask for YES or NO get "YES",
    everything else a short sentence; embeddings are small fixed vectors.
    """
    meter = _active
    if meter is not None:
        limit = ticket.answer_limit if ticket.answer_limit is not None else DEFAULT_ANSWER_TOKENS
        meter.settle(Ticket(ticket.model, ticket.prompt_tokens, limit, subject=ticket.subject), ticket.prompt_tokens, 0)
    params = params if isinstance(params, dict) else {}
    model = model_of(params)
    if str(url).rstrip("/").endswith("/embeddings"):
        inputs = params.get("input")
        count = len(inputs) if isinstance(inputs, list) and not all(isinstance(x, int) for x in inputs) else 1
        data = [{"object": "embedding", "index": i, "embedding": [0.1] * 1536} for i in range(count)]
        return {"object": "list", "data": data, "model": model}
    text = _made_up(params)
    if "messages" in params:
        choice: Dict[str, Any] = {"index": 0, "message": {"role": "assistant", "content": text}}
    else:
        choice = {"index": 0, "text": text}
    choice["finish_reason"] = "stop"
    return {"id": "dry-run", "object": "chat.completion", "created": 0, "model": model, "choices": [choice]}


def dry_result(requestor: Any, url: str, params: Any, stream: bool, ticket: Ticket, asynchronous: bool = False) -> Any:
    """What the requestor returns for a dry run's made-up answer: (response, streamed, key)."""
    from openai.openai_response import OpenAIResponse

    data = dry_answer(url, params, ticket)
    if not stream:
        return OpenAIResponse(data, {}), False, getattr(requestor, "api_key", None)
    for choice in data.get("choices", []):
        if "message" in choice:
            choice["delta"] = choice.pop("message")
    chunks = [OpenAIResponse(data, {})]
    if asynchronous:

        async def chunks_async() -> Any:
            for chunk in chunks:
                yield chunk

        return chunks_async(), True, getattr(requestor, "api_key", None)
    return iter(chunks), True, getattr(requestor, "api_key", None)


def _made_up(params: Dict[str, Any]) -> str:
    asked = ""
    for message in params.get("messages") or []:
        if isinstance(message, dict) and message.get("role") == "user" and isinstance(message.get("content"), str):
            asked = message["content"]
    if isinstance(params.get("prompt"), str):
        asked = params["prompt"]
    if "single number" in asked:
        return "5"
    if "YES or NO" in asked or "YES, NO" in asked:
        return "YES"
    return "An answer of a few words."
