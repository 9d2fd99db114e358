"""The resilience layer of every OpenAI request (tavrin._llm)."""

import openai
import openai.error as oe
import pytest

from tavrin import _llm


def error(cls, message="boom", status=None, headers=None, body=None):
    if cls is oe.InvalidRequestError:
        return cls(message, None, http_status=status, headers=headers, json_body=body)
    return cls(message, http_status=status, headers=headers, json_body=body)


@pytest.mark.parametrize(
    "exc, retried",
    [
        (error(oe.RateLimitError, status=429), True),
        (error(oe.ServiceUnavailableError, status=503), True),
        (error(oe.APIError, status=500), True),
        (error(oe.APIError, status=502), True),
        (error(oe.Timeout), True),
        (error(oe.APIConnectionError), True),
        (error(oe.InvalidRequestError, status=400), False),
        (error(oe.AuthenticationError, status=401), False),
        (error(oe.PermissionError, status=403), False),
        (error(oe.TryAgain, status=409), False),
        (ValueError("not a request error"), False),
    ],
)
def test_which_failures_are_retried(exc, retried):
    assert (_llm._retry_delay(exc, 0, _llm.Settings()) is not None) is retried


def test_backoff_grows_with_jitter_up_to_the_cap_and_honours_retry_after():
    s = _llm.Settings(backoff_base=1.0, backoff_cap=8.0)
    busy = error(oe.ServiceUnavailableError, status=503)
    for attempt, (low, high) in enumerate([(0.5, 1), (1, 2), (2, 4), (4, 8), (4, 8), (4, 8)]):
        assert low <= _llm._retry_delay(busy, attempt, s) <= high
    assert _llm._retry_delay(error(oe.RateLimitError, status=429, headers={"Retry-After": "7"}), 0, s) >= 7
    assert _llm._retry_delay(error(oe.RateLimitError, status=429, headers={"retry-after-ms": "2500"}), 0, s) >= 2.5
    assert _llm._retry_delay(error(oe.RateLimitError, status=429, headers={"Retry-After": "soon"}), 0, s) <= 1


def test_the_kept_error_text_is_one_line_without_headers_or_body():
    raw = '{"error": {"message": "The server\\nhad an error"}}'
    exc = oe.APIError(f"The server had an error {raw} 500 {{'error': ...}} {{'X-Secret': 'token'}}", raw, 500,
                      {"error": {"message": "The server\nhad an error"}}, {"X-Secret": "token", "request-id": "r1"})
    assert _llm.clean_error_text(exc) == "APIError: The server had an error (HTTP 500)"
    bare = oe.APIError("Invalid response object from API: '<html>oops</html>' (HTTP response code was 502)",
                       "<html>oops</html>", 502)
    assert _llm.clean_error_text(bare) == "APIError: Invalid response object from API (HTTP 502)"
    assert _llm.clean_error_text(oe.APIConnectionError("Error communicating with OpenAI")) == (
        "APIConnectionError: Error communicating with OpenAI")


def test_one_rate_limit_spaces_the_requests_of_all_threads():
    limiter = _llm._RateLimiter(120)
    waits = [limiter.reserve() for _ in range(4)]
    assert waits[0] == 0 and [round(w, 1) for w in waits[1:]] == [0.5, 1.0, 1.5]
    assert _llm._RateLimiter(None).reserve() == 0


def test_bad_settings_are_refused():
    for kwargs in ({"max_retries": -1}, {"max_retries": True}, {"request_timeout": 0}, {"rpm": 0}):
        with pytest.raises(ValueError):
            _llm.configure(**kwargs)


def test_requests_are_retried_counted_and_given_up_cleanly(llm_env, servers, monkeypatch):
    server = servers(fault_every=2)
    llm_env(server)
    monkeypatch.setattr(openai, "api_base", server.base)
    monkeypatch.setattr(openai, "api_key", "sk-test")
    _llm.configure(max_retries=3, backoff_base=0.001)
    before = _llm.usage()
    for _ in range(2):  # the second request's first attempt fails with a 500
        reply = openai.ChatCompletion.create(model="m", messages=[{"role": "user", "content": "add"}])
        assert reply["choices"][0]["message"]["content"] == "Yes"
    used = _llm.usage() - before
    assert (used.requests, used.retries, used.tokens) == (3, 1, 22)  # tokens: the server's usage figures

    _llm.configure(max_retries=0, backoff_base=0.001)
    with pytest.raises(_llm.RetriesExhausted) as caught:
        openai.ChatCompletion.create(model="m", messages=[{"role": "user", "content": "add"}])
    assert isinstance(caught.value, oe.OpenAIError) and not isinstance(caught.value, oe.APIError)
    assert "gave up after 1 attempts" in str(caught.value) and "\n" not in str(caught.value)


def test_tokens_are_counted_when_the_server_reports_no_usage(llm_env, servers, monkeypatch):
    server = servers(usage=False)
    llm_env(server)
    monkeypatch.setattr(openai, "api_base", server.base)
    monkeypatch.setattr(openai, "api_key", "sk-test")
    _llm.configure()
    before = _llm.usage()
    openai.ChatCompletion.create(model="m", messages=[{"role": "user", "content": "one two three"}])
    assert (_llm.usage() - before).tokens == 4  # "one two three" and the answer "No"


def test_embeddings_fall_back_to_text_for_servers_that_refuse_token_ids(llm_env, servers, monkeypatch):
    from langchain.embeddings import OpenAIEmbeddings

    server = servers(strings_only_embeddings=True)
    llm_env(server)
    monkeypatch.setattr(_llm, "_text_embedding_endpoints", set())
    _llm.configure()
    embeddings = OpenAIEmbeddings(model="text-embedding-ada-002", openai_api_base=server.base,
                                  openai_api_key="sk-test")
    vectors = embeddings.embed_documents(["def add(a, b):", "return a + b"])
    assert len(vectors) == 2 and all(len(v) == 8 for v in vectors)
    assert [body["input"] for body in server.answered] == [["def add(a, b):", "return a + b"]]
    server.answered.clear()
    embeddings.embed_query("add")
    assert server.answered[0]["input"] == ["add"]  # this endpoint now gets text from the start


@pytest.mark.parametrize("answer, finish", [("", "stop"), ("", "length"), ("YES", "length")])
def test_local_servers_empty_or_cut_answers_give_verdicts(tmp_path, llm_env, servers, answer, finish):
    """Small local models answer with empty content, often without usage figures, or stop
    at the length limit: each judgement still ends in a verdict ("" is not YES)."""
    import json

    from click.testing import CliRunner

    from tavrin.cli import cli
    from tavrin.evaluation.qa.report import Report

    qset = tmp_path / "set.json"
    qset.write_text(json.dumps({"name": "s", "cases": [{"id": "c1", "question": "q?", "reference_answer": "r"}]}))
    llm_env(servers(answer=answer, finish_reason=finish, usage=False))
    out = tmp_path / "r.json"
    result = CliRunner().invoke(cli, ["evaluate", str(qset), "-s", "YesWoman", "-e", "Correctness", "-o", str(out),
                                      "--no-cache"], catch_exceptions=False)
    assert result.exit_code == 0, result.output
    (record,) = Report.load_json(out).records
    assert (record.value, record.reason) == ((True, "YES") if answer else (False, ""))


@pytest.mark.parametrize("quirk", [{"usage": None}, {"role": False}], ids=["usage-null", "no-role"])
def test_ask_takes_answers_with_null_usage_or_without_a_role(tmp_path, llm_env, servers, monkeypatch, quirk):
    """Some local servers answer ``"usage": null``, or messages without a ``role``:
    langchain's chat model fails on either unless the answer is mended on arrival."""
    from click.testing import CliRunner

    from tavrin.ask_codebase.store.qdrant import close_clients
    from tavrin.cli import cli

    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    (tmp_path / "calc").mkdir()
    (tmp_path / "calc" / "add.py").write_text("def add(a, b):\n    return a + b\n")
    llm_env(servers(answer="add returns a + b", **quirk))
    runner = CliRunner()
    try:
        assert runner.invoke(cli, ["index", str(tmp_path / "calc"), "-s", "calc", "--embeddings", "hashing"]).exit_code == 0
        result = runner.invoke(cli, ["ask", "What does add return?", "-s", "calc", "--embeddings", "hashing",
                                     "--chain", "stuff"])
    finally:
        close_clients()
    assert result.exit_code == 0, result.output
    assert result.stdout.startswith("add returns a + b\n\nSources:\n")


def test_a_refused_judgement_prints_guidance_s_traceback_on_stderr_only(tmp_path, llm_env, servers):
    """guidance prints a failed program's traceback itself: not among the run's output."""
    import json

    from click.testing import CliRunner

    from tavrin.cli import cli

    qset = tmp_path / "set.json"
    qset.write_text(json.dumps({"name": "s", "cases": [{"id": "c1", "question": "q?", "reference_answer": "r"}]}))
    llm_env(servers(refuse="Requested tokens (3000) exceed context window of 2048"))
    result = CliRunner().invoke(cli, ["evaluate", str(qset), "-s", "YesWoman", "-e", "Correctness",
                                      "-o", str(tmp_path / "r.json"), "--no-cache"])
    assert result.exit_code == 1, result.output
    assert "Traceback" not in result.stdout and "Error in program" not in result.stdout
    assert "Traceback (most recent call last)" in result.stderr
    assert "Error in program:  InvalidRequestError: Requested tokens (3000) exceed context window" in result.stderr
    assert "Error when evaluating. Raise by Correctness on YesWoman with c1" in result.stdout
