"""The ``retrieval-eval`` command (``tavrin.commands.retrieval_eval``) and what it has
been imported from here: reading ground truths (``ground_truth``), the retriever classes
(``retrievers``) and the printed report (``report``)."""

from tavrin.commands.retrieval_eval import retrieval_eval
from tavrin.errors import GroundTruthFileError
from tavrin.evaluation.retrieval.ground_truth import read_ground_truth, read_ground_truth_file
from tavrin.evaluation.retrieval.report import PER_QUERY_SUFFIXES, corpus_lines, format_table, per_query_text
from tavrin.evaluation.retrieval.retrievers import load_retriever_class

__all__ = [
    "PER_QUERY_SUFFIXES",
    "GroundTruthFileError",
    "corpus_lines",
    "format_table",
    "load_retriever_class",
    "per_query_text",
    "read_ground_truth",
    "read_ground_truth_file",
    "retrieval_eval",
]
