"""A small OpenAI-compatible HTTP server on 127.0.0.1 for tests and benchmarks.

It answers ``/chat/completions`` and ``/embeddings`` like the API does, deterministically:

- the pair judge's YES/NO question: YES when TEXT1 and TEXT2 are equal (ignoring case and
  surrounding space), NO otherwise; the reason asked for next names the server. Given
  ``judge_rule(model, text1, text2)``, that rule decides instead, per model asked, and the
  reason names the model;
- any other chat prompt: "Yes" when the last user message mentions ``add``, else "No";
- embeddings: small vectors hashed from each input (text or token ids).

It can answer slowly (``latency``; a slow answer ends when the server stops), and inject
faults on a share of the requests: 429 with ``Retry-After``, 500, 503 and dropped
connections. It is bounded: after ``max_requests`` requests or ``lifetime`` seconds it
answers 503 and stops.

Like some local servers, it can answer ``"usage": null`` (``usage=None``) or without the
messages' ``role`` (``role=False``), and refuse every chat request with a 400 (``refuse``).
With ``count_tokens`` its usage figures are counted (cl100k_base, the chat API's framing of
messages) and tallied by model in ``billed``; ``answer_tokens=(low, high)`` pads each answer
that may be longer than one token to a random length in that range, never past the
request's ``max_tokens`` (``seed`` makes the lengths repeatable).
``GET /models`` lists ``models`` when given (entries as servers send them).

A lasting fault: every request whose JSON body ``fail_when(body)`` holds is answered with
a 500, again and again, until ``fail_when`` is set back to None.
"""

from __future__ import annotations

import hashlib
import json
import random
import re
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List, Optional, Tuple

FAULTS = ("429", "500", "503", "drop")
_PAIR = re.compile(r"TEXT1: (.*?)\n---\nTEXT2: (.*?)\n---", re.S)


class FakeOpenAI:
    def __init__(self, name: str = "server", latency: float = 0.0, fault_every: int = 0,
                 retry_after: str = "0", strings_only_embeddings: bool = False, usage: bool = True,
                 max_requests: int = 20000, lifetime: float = 300.0, answer: Optional[str] = None,
                 finish_reason: str = "stop", role: bool = True, refuse: Optional[str] = None,
                 models: Optional[List[Dict[str, Any]]] = None,
                 judge_rule: Optional[Callable[[str, str, str], bool]] = None,
                 fail_when: Optional[Callable[[Dict[str, Any]], bool]] = None, count_tokens: bool = False,
                 answer_tokens: Optional[Tuple[int, int]] = None, seed: int = 0) -> None:
        self.name = name
        self.judge_rule = judge_rule  # (model, text1, text2) -> the pair judge's verdict
        self.count_tokens = count_tokens or answer_tokens is not None
        self.answer_tokens = answer_tokens
        self.random = random.Random(seed)
        self.billed: Dict[str, List[int]] = {}  # model -> [prompt tokens, completion tokens] answered
        self.answer = answer  # every chat answer, when given ("" as some local models answer)
        self.finish_reason = finish_reason
        self.latency = latency
        self.fault_every = fault_every  # every n-th request fails (0: never)
        self.retry_after = retry_after
        self.strings_only_embeddings = strings_only_embeddings
        self.usage = usage  # the usage figures; False: none; None: "usage": null
        self.role = role  # False: answers' messages without "role", as some local servers send them
        self.refuse = refuse  # refuse every chat request with this 400 (invalid_request_error)
        self.models = models  # the entries GET /models lists (None: no such route)
        self.fail_when = fail_when  # requests that fail every time (None: none)
        self.lasting_faults = 0
        self.max_requests = max_requests
        self.lifetime = lifetime
        self.lock = threading.Lock()
        self.requests = 0
        self.faults: Dict[str, int] = {kind: 0 for kind in FAULTS}
        self.answered: List[Dict[str, Any]] = []  # bodies of the requests answered normally
        self.in_flight = 0
        self.peak_in_flight = 0
        self._server: Optional[ThreadingHTTPServer] = None
        self._thread: Optional[threading.Thread] = None
        self._timer: Optional[threading.Timer] = None
        # the connections being served, with their threads: clients keep connections
        # alive, so stopping closes them and waits for their threads to end
        self._connections: Dict[socket.socket, threading.Thread] = {}
        self._stopping = threading.Event()  # ends slow answers when the server stops

    # ------------------------------------------------------------ life

    @property
    def base(self) -> str:
        assert self._server is not None
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}/v1"

    def start(self) -> "FakeOpenAI":
        fake = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: Any) -> None:
                pass

            def setup(self) -> None:
                super().setup()
                with fake.lock:
                    fake._connections[self.connection] = threading.current_thread()

            def finish(self) -> None:
                with fake.lock:
                    fake._connections.pop(self.connection, None)
                super().finish()

            def do_POST(self) -> None:
                fake._handle(self)

            def do_GET(self) -> None:
                if fake.models is not None and self.path.rstrip("/").endswith("/models"):
                    return _send(self, 200, {"object": "list", "data": fake.models})
                return _send(self, 404, {"error": {"message": f"no route {self.path}"}})

        class Server(ThreadingHTTPServer):
            # socketserver's backlog of 5 makes the sixth concurrent connect wait for a
            # SYN retransmission (about a second); real servers queue far more
            request_queue_size = 128

        server = Server(("127.0.0.1", 0), Handler)
        server.daemon_threads = True
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        self._timer = threading.Timer(self.lifetime, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        server, self._server = self._server, None
        if self._timer is not None:
            self._timer.cancel()
        if server is not None:
            server.shutdown()
            server.server_close()
            with self.lock:
                connections = list(self._connections.items())
            for connection, thread in connections:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            for connection, thread in connections:
                if thread is not threading.current_thread():
                    thread.join(5)

    def __enter__(self) -> "FakeOpenAI":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # ------------------------------------------------------------ answers

    def judge_requests(self) -> List[Dict[str, Any]]:
        """The answered first turns of the pair judge (one per judgement)."""
        return [b for b in self.answered if "messages" in b and _PAIR.search(_user(b, first=True))
                and _user(b) == _user(b, first=True)]

    def _handle(self, h: BaseHTTPRequestHandler) -> None:
        length = int(h.headers.get("Content-Length") or 0)
        raw = h.rfile.read(length)
        with self.lock:
            self.requests += 1
            n = self.requests
            self.in_flight += 1
            self.peak_in_flight = max(self.peak_in_flight, self.in_flight)
        try:
            if n > self.max_requests:
                return _send(h, 503, {"error": {"message": "request budget spent"}})
            fail_when = self.fail_when
            if fail_when is not None and fail_when(_json_or_empty(raw)):
                with self.lock:
                    self.lasting_faults += 1
                return _send(h, 500, {"error": {"message": "The server had an error (lasting)"}})
            if self.fault_every and n % self.fault_every == 0:
                kind = FAULTS[(n // self.fault_every) % len(FAULTS)]
                with self.lock:
                    self.faults[kind] += 1
                if kind == "drop":
                    h.close_connection = True
                    h.connection.shutdown(2)
                    return None
                if kind == "429":
                    return _send(h, 429, {"error": {"message": "Rate limit reached", "type": "requests"}},
                                 {"Retry-After": self.retry_after})
                if kind == "500":
                    return _send(h, 500, {"error": {"message": "The server had an error"}},
                                 {"X-Secret-Header": "do-not-store"})
                return _send(h, 503, {"error": {"message": "overloaded"}})
            body = json.loads(raw or b"{}")
            if self.latency and self._stopping.wait(self.latency):
                return None  # stopped while answering slowly: the connection is closed
            path = h.path.rstrip("/")
            if path.endswith("/chat/completions"):
                if self.refuse is not None:
                    return _send(h, 400, {"error": {"message": self.refuse, "type": "invalid_request_error"}})
                answer = self._chat(body) if self.answer is None else self.answer
                with self.lock:
                    self.answered.append(body)
                    answer = self._padded(body, answer)
                payload: Dict[str, Any] = {
                    "id": f"chatcmpl-{n}", "object": "chat.completion", "created": int(time.time()),
                    "model": body.get("model"),
                    "choices": [{"index": 0, "message": {"role": "assistant", "content": answer},
                                 "finish_reason": self.finish_reason}],
                }
                if not self.role:
                    del payload["choices"][0]["message"]["role"]
                if self.usage and self.count_tokens:
                    payload["usage"] = self._bill(body, answer)
                elif self.usage:
                    payload["usage"] = {"prompt_tokens": 10, "completion_tokens": 1, "total_tokens": 11}
                elif self.usage is None:
                    payload["usage"] = None
                return _send(h, 200, payload)
            if path.endswith("/embeddings"):
                inputs = body.get("input")
                inputs = inputs if isinstance(inputs, list) else [inputs]
                if self.strings_only_embeddings and any(not isinstance(x, str) for x in inputs):
                    return _send(h, 400, {"error": {"message": "input must be a string or array of strings",
                                                    "type": "invalid_request_error"}})
                with self.lock:
                    self.answered.append(body)
                data = [{"object": "embedding", "index": i, "embedding": _vector(x)} for i, x in enumerate(inputs)]
                return _send(h, 200, {"object": "list", "data": data, "model": body.get("model"),
                                      "usage": {"prompt_tokens": len(inputs), "total_tokens": len(inputs)}})
            return _send(h, 404, {"error": {"message": f"no route {h.path}"}})
        finally:
            with self.lock:
                self.in_flight -= 1

    def _padded(self, body: Dict[str, Any], answer: str) -> str:
        """``answer`` padded to a random number of tokens (within the request's limit)."""
        limit = body.get("max_tokens")
        if self.answer_tokens is None or limit == 1:
            return answer
        low, high = self.answer_tokens
        length = self.random.randint(low, high)
        if isinstance(limit, int):
            length = min(length, limit)
        tokens = _encoding().encode(answer)[:length]
        return _encoding().decode(tokens) + " word" * (length - len(tokens))

    def _bill(self, body: Dict[str, Any], answer: str) -> Dict[str, int]:
        """The usage of one answer, counted as the chat API bills it, and tallied by model."""
        encoding = _encoding()
        prompt = 3 + sum(3 + len(encoding.encode(m.get("role") or "")) + len(encoding.encode(m.get("content") or ""))
                         for m in body.get("messages", []))
        completion = len(encoding.encode(answer))
        with self.lock:
            tally = self.billed.setdefault(str(body.get("model")), [0, 0])
            tally[0] += prompt
            tally[1] += completion
        return {"prompt_tokens": prompt, "completion_tokens": completion, "total_tokens": prompt + completion}

    def _chat(self, body: Dict[str, Any]) -> str:
        first, last = _user(body, first=True), _user(body)
        pair = _PAIR.search(first)
        if pair and self.judge_rule is not None:
            model = str(body.get("model"))
            verdict = self.judge_rule(model, pair.group(1), pair.group(2))
            return ("YES" if verdict else "NO") if last == first else f"{model} says {'YES' if verdict else 'NO'}."
        if pair:
            same = pair.group(1).strip().lower() == pair.group(2).strip().lower()
            if last == first:
                return "YES" if same else "NO"
            return f"{self.name}: TEXT1 {'says' if same else 'does not say'} what TEXT2 says."
        return "Yes" if "add" in last else "No"


def _json_or_empty(raw: bytes) -> Dict[str, Any]:
    try:
        body = json.loads(raw or b"{}")
    except ValueError:
        return {}
    return body if isinstance(body, dict) else {}


_encodings: List[Any] = []


def _encoding() -> Any:
    if not _encodings:
        import tiktoken

        from tavrin._integrations import tiktoken_data

        tiktoken_data.install()
        _encodings.append(tiktoken.get_encoding("cl100k_base"))
    return _encodings[0]


def _user(body: Dict[str, Any], first: bool = False) -> str:
    users = [m.get("content", "") for m in body.get("messages", []) if m.get("role") == "user"]
    if not users:
        return ""
    return users[0] if first else users[-1]


def _vector(item: Any) -> List[float]:
    digest = hashlib.sha256(json.dumps(item).encode()).digest()
    return [(b - 128) / 128 for b in digest[:8]]


def _send(h: BaseHTTPRequestHandler, status: int, payload: Dict[str, Any],
          headers: Optional[Dict[str, str]] = None) -> None:
    data = json.dumps(payload).encode()
    h.send_response(status)
    h.send_header("Content-Type", "application/json")
    h.send_header("Content-Length", str(len(data)))
    for key, value in (headers or {}).items():
        h.send_header(key, value)
    h.end_headers()
    h.wfile.write(data)
