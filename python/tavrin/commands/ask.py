"""``tavrin ask``: answer a question about an indexed source with a retrieval chain over it,
and list the chunks the answer rests on."""

import os
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin.ask_codebase.asking import ASK_MODEL_ENV
from tavrin.ask_codebase.store.qdrant import QdrantWrapper
from tavrin.commands.base import Command
from tavrin.commands.common import build_embeddings, embeddings_option
from tavrin.errors import ModelRequestError, OptionError, SettingError, StoreError

KEY_HELP = (
    "OPENAI_API_KEY is not set: `tavrin ask` needs an OpenAI API key for its chat model. "
    "Set it in your shell, for example `export OPENAI_API_KEY=sk-...` "
    "(create a key at https://platform.openai.com/api-keys), then run the command again."
)


def _map_reduce(q: QdrantWrapper) -> Any:
    from tavrin.ask_codebase.chains.sorvel import Sorvel

    return Sorvel(q)


def _stuff(q: QdrantWrapper) -> Any:
    from tavrin.ask_codebase.chains.stuff_doc import StuffDocumentCodeQa

    return StuffDocumentCodeQa(q)


# The question-answering chains by name; each takes the source's wrapper and has
# ``run(question) -> (answer, documents)``.
CHAINS: Dict[str, Callable[[QdrantWrapper], Any]] = {
    "map-reduce": _map_reduce,
    "stuff": _stuff,
}


def reference_of(metadata: Dict[str, Any]) -> str:
    """Where a document came from: its reference, else its URL, source or file path."""
    for key in ("reference", "url", "source", "filepath"):
        value = metadata.get(key)
        if value:
            return str(value)
    return "(no reference)"


def answer_question(chain: Any, question: str, jobs: int = 20) -> Tuple[str, List[Any]]:
    """Answer ``question`` with ``chain``; return (answer, source documents).

    A chain that exposes its langchain chain (``chain.chain``, as the map-reduce chain
    does) is run through langchain's asynchronous API, so the model calls of its map
    step are in flight together, at most ``jobs`` at a time; the answer and the sources
    are the same as those of ``chain.run``. Other chains, and ``jobs`` 1, use ``run``.
    """
    inner = getattr(chain, "chain", None) if jobs > 1 else None
    if inner is None or not hasattr(inner, "acall"):
        return chain.run(question)
    import asyncio

    from tavrin import _llm

    result = asyncio.run(_llm.bounded(inner.acall(question), jobs))
    return result["result"], result["source_documents"]


class _Choice(click.Choice):
    """click's choice that also says which choice a mistyped value was meant to be."""

    def convert(self, value: Any, param: Optional[click.Parameter], ctx: Optional[click.Context]) -> Any:
        try:
            return super().convert(value, param, ctx)
        except click.BadParameter as exc:
            from tavrin._errors import did_you_mean

            hint = did_you_mean(str(value), [str(c) for c in self.choices])
            if not hint:
                raise
            raise click.BadParameter(exc.message.rstrip(".") + hint + ".", ctx=ctx, param=param) from None


@click.command(cls=Command)
@click.argument("question")
@click.option("-s", "--source", "source_name", metavar="NAME", required=True, help="Name the code was indexed under.")
@embeddings_option
@click.option(
    "--chain",
    "chain_name",
    type=_Choice(sorted(CHAINS)),
    default="map-reduce",
    show_default=True,
    help="map-reduce: answer over each of 20 chunks, then combine; stuff: one prompt with the top 6 chunks.",
)
@click.option(
    "--model",
    "model_name",
    metavar="NAME",
    envvar=ASK_MODEL_ENV,
    default=None,
    help=f"Chat model to ask, as the server names it (default: ${ASK_MODEL_ENV}, else gpt-4).",
)
@click.option(
    "--k",
    "k",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="Chunks retrieved for the question (default: the chain's, 20 or 6).",
)
@click.option(
    "--context-tokens",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="The model's context, in tokens: the lowest-ranked chunks are left out until the prompt and the "
    "answer fit (answers then get at most --max-tokens, else 512, tokens). Default: what the server at "
    "OPENAI_API_BASE reports on /models, if it reports it; else no fitting.",
)
@click.option(
    "-j",
    "--jobs",
    default=20,
    show_default=True,
    type=click.IntRange(min=1),
    help="Model requests of the map step in flight at once (1: one after another).",
)
@click.option(
    "--rpm",
    type=click.FloatRange(min=0, min_open=True),
    default=None,
    metavar="N",
    help="At most N model requests a minute.",
)
@click.option(
    "--max-tokens",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="Longest answer, in tokens, of each model call (default: the model's own limit).",
)
@click.option(
    "--request-timeout",
    type=click.FloatRange(min=0, min_open=True),
    default=120.0,
    show_default=True,
    metavar="SECONDS",
    help="Seconds a model request may take before it is given up (and retried).",
)
@click.option(
    "--max-retries",
    type=click.IntRange(min=0),
    default=6,
    show_default=True,
    help="Retries of a model request that fails with 429, 5xx, a timeout or a dropped connection.",
)
@click.option(
    "--search",
    "search_mode",
    type=click.Choice(["hybrid", "dense", "lexical"]),
    default="hybrid",
    show_default=True,
    help="How the chunks are found: hybrid (dense and lexical fused, then ranked), dense (the vectors) "
    "or lexical (BM25 over code-aware terms).",
)
def ask(
    question: str,
    source_name: str,
    embeddings_name: str,
    chain_name: str,
    model_name: Optional[str],
    k: Optional[int],
    context_tokens: Optional[int],
    jobs: int,
    rpm: Optional[float],
    max_tokens: Optional[int],
    request_timeout: float,
    max_retries: int,
    search_mode: str = "hybrid",
) -> None:
    """Answer QUESTION about the code indexed as the source NAME, and list its sources.

    Sources are listed best first, each as its file (or --github link) with the lines
    of the chunk used, path#Lstart-Lend. While the model is asked, a line on standard
    error says so, and every retried request is announced there.
    """
    from tavrin import _llm
    from tavrin.ask_codebase import asking

    if not os.environ.get("OPENAI_API_KEY", "").strip():
        raise SettingError(KEY_HELP)
    if not question.strip():
        raise OptionError("the question is empty", "QUESTION")
    model_name = (model_name or "").strip() or None
    _llm.configure(max_retries=max_retries, request_timeout=request_timeout, rpm=rpm)
    _, embedding = build_embeddings(embeddings_name, "ask")

    import openai

    try:
        wrapper = QdrantWrapper.reuse(source_name=source_name, embedding_cls=lambda: embedding)
        stored, given = wrapper.vector_size, len(wrapper.embedding.embed_query(question))
        if stored != given:
            raise StoreError(
                f"source {source_name!r} holds vectors of length {stored}, but embeddings {embeddings_name!r} "
                f"make vectors of length {given}: use the --embeddings it was indexed with, or index it again."
            )
        if search_mode != "dense":
            if wrapper.has_lexical:
                from tavrin.ask_codebase.store.adapter import SearchingVectorStore

                wrapper.qdrant = SearchingVectorStore(wrapper, search_mode)
            else:
                click.echo(
                    f"Note: source {source_name!r} was indexed by an earlier version and has no lexical index: "
                    f"searching its vectors alone (index it again for --search {search_mode}).",
                    err=True,
                )
        chain = CHAINS[chain_name](wrapper)
        if context_tokens is None and os.environ.get("OPENAI_API_BASE", "").strip():
            context_tokens = asking.served_context(os.environ["OPENAI_API_BASE"].strip(), model_name)
        answer_tokens = max_tokens
        if context_tokens is not None and answer_tokens is None:
            answer_tokens = min(asking.DEFAULT_ANSWER_TOKENS, max(1, context_tokens // 4))
        asking.configure_models(chain, model=model_name, max_tokens=answer_tokens)
        if k is not None:
            asking.set_chunk_count(chain, k)
        if context_tokens is not None:
            asking.ContextFit(context_tokens, answer_tokens or 0).install(chain)
        endpoint = os.environ.get("OPENAI_API_BASE", "").strip() or "OpenAI"
        quiet = bool(click.get_current_context().find_root().params.get("quiet"))  # `tavrin -q`: no ticking
        what = f"Asking {asking.model_name_of(chain)} at {endpoint} ({chain_name} over {source_name!r})"
        with asking.waiting(what, ticking=not quiet):
            answer, documents = answer_question(chain, question, jobs)
    except openai.error.OpenAIError as exc:
        raise ModelRequestError(f"the OpenAI request failed: {exc}") from exc
    click.echo(answer)
    references = asking.source_lines(list(documents), reference_of)
    if references:
        click.secho("\nSources:", fg="blue")
        for reference in references:
            click.echo(f"- {reference}")
