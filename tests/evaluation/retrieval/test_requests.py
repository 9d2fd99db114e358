import json
import math
from pathlib import Path

import pytest

from tavrin.errors import GroundTruthFileError, OptionError, OutputPathError, RetrieverError, TavrinError
from tavrin.evaluation.retrieval.from_git import FromGitOptions
from tavrin.evaluation.retrieval.requests import FromGitRequest, RetrievalEvalRequest

EXAMPLE = str(Path(__file__).resolve().parents[3] / "examples" / "retrieval_ground_truth.jsonl")


@pytest.mark.parametrize("options, message, hint", [
    ({"threshold": math.nan}, "must be a finite number", "--threshold"),
    ({"save_prefix": "idx", "retriever_specs": ["m:C"]}, "--save saves an embedding index: it needs --embeddings", None),
    ({"exact": True}, "--exact compares Qdrant's search with the exact one: it needs --qdrant-source", None),
    ({"search_modes": ["dense"]}, "--search chooses how a stored source is searched: it needs --qdrant-source", None),
    ({"per_query": "scores.txt"}, "'scores.txt': use a .csv or .jsonl file name", "--per-query"),
    ({"plot_path": "plot.jpg"}, "'plot.jpg': use a .png file name", "--plot"),
    ({"cutoffs": [5, 0]}, "cutoffs must be positive integers, got [0, 5]", "--k"),
    ({"cutoffs": [5, "10"]}, "cutoffs must be positive integers, got [5, '10']", "--k"),
    ({"metrics": ["bleu"]}, "choose one or more of", "--metrics"),
])
def test_a_request_refuses_bad_options_before_reading_anything(tmp_path, options, message, hint) -> None:
    with pytest.raises(OptionError) as caught:
        RetrievalEvalRequest(str(tmp_path / "not-read.jsonl"), **options)
    assert caught.value.message.startswith(message) and caught.value.param_hint == hint
    assert list(tmp_path.iterdir()) == []


def test_a_request_checks_its_outputs_and_the_ground_truth_before_any_work(tmp_path) -> None:
    with pytest.raises(OutputPathError, match="is the same file as the input"):
        RetrievalEvalRequest(EXAMPLE, per_query=EXAMPLE)
    refs = tmp_path / "refs.jsonl"
    refs.write_text(json.dumps({"query": "q", "document": "pkg/a.py#L1-L2", "score": 1}) + "\n", encoding="utf-8")
    with pytest.raises(GroundTruthFileError, match=r"refs.jsonl: 1 documents name a file.*need --qdrant-source"):
        RetrievalEvalRequest(str(refs)).read_truth()
    # a ground truth that cannot be read is said before options that need a stored source
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"query": "q"}\n', encoding="utf-8")
    with pytest.raises(GroundTruthFileError, match="bad.jsonl, line 1: missing 'document', 'score'"):
        RetrievalEvalRequest(str(bad), level="file").read_truth()
    with pytest.raises(OptionError, match="--by file needs --qdrant-source"):
        RetrievalEvalRequest(EXAMPLE, level="file").read_truth()
    with pytest.raises(RetrieverError, match="is not a subclass of tavrin.evaluation.retrieval.dravik.Retriever"):
        RetrievalEvalRequest(EXAMPLE, retriever_specs=["json:JSONDecoder"]).run(progress=False)


def test_a_request_runs_and_writes_what_it_was_asked_for(tmp_path) -> None:
    per_query = tmp_path / "scores.jsonl"
    request = RetrievalEvalRequest(EXAMPLE, cutoffs=[3, 1, 3], per_query=str(per_query), save_prefix=str(tmp_path / "i"))
    assert request.cutoffs == (1, 3)
    evaluation = request.run(progress=False)
    assert evaluation.results.cutoffs == [1, 3] and list(evaluation.retrievers) == ["hashing"]
    said = []
    request.write_outputs(evaluation, said.append)
    assert said == [f"Wrote the per-query scores to {per_query}",
                    f"Saved the index: {tmp_path / 'i'}_docs.npy, {tmp_path / 'i'}_doc_embeddings.npy"]
    assert len(per_query.read_text(encoding="utf-8").splitlines()) == 16 * 2
    assert (tmp_path / "i_docs.npy").exists()


def test_a_from_git_request_checks_its_counts_and_output_before_reading_history(tmp_path) -> None:
    with pytest.raises(OptionError) as caught:
        FromGitRequest(str(tmp_path / "no-repo"), options=FromGitOptions(min_files=3, max_files=2))
    assert (caught.value.message, caught.value.param_hint) == ("2 is below --min-files 3", "--max-files")
    with pytest.raises(OutputPathError, match="nowhere' does not exist"):
        FromGitRequest(str(tmp_path / "no-repo"), output=str(tmp_path / "nowhere" / "gt.jsonl"))
    with pytest.raises(TavrinError, match="no-repo: not a folder"):
        FromGitRequest(str(tmp_path / "no-repo")).run()
