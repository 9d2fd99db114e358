"""What a retrieval evaluation reports: the printed table (one column per retriever, the
corpora searched and the warnings, the paired tests) and each query's scores as CSV or
JSON Lines."""

import csv
import io
import json
import math
from typing import Any, List, Optional

from tavrin.evaluation.retrieval.results import METRIC_LABELS

__all__ = ["PER_QUERY_SUFFIXES", "corpus_lines", "format_table", "per_query_text"]


def _fmt(value: Optional[float]) -> str:
    return "-" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{value:.4f}"


def _p(value: float) -> str:
    return "<0.0001" if value < 1e-4 else f"{value:.4f}"


def format_table(results: Any) -> str:
    """The printed report: one column per retriever, one line per metric and cutoff, the
    timings in milliseconds, and the paired tests against the first retriever."""
    runs = results.runs
    marks = {(c.run, c.metric, c.k): c for c in results.comparisons}
    rows: List[List[str]] = [["metric"] + [run.name for run in runs]]
    for metric in results.metrics:
        ks = [None] if metric == "r_precision" else results.cutoffs
        for k in ks:
            label = METRIC_LABELS[metric].replace("@k", f"@{k}") if k else METRIC_LABELS[metric]
            cells = [label]
            for run in runs:
                cell = _fmt(run.mean(metric, k))
                c = marks.get((run.name, metric, k))
                cells.append(cell + (" *" if c is not None and c.significant else ""))
            rows.append(cells)
    # a stored source indexes nothing here
    indexed = [run.corpus is None or run.corpus.kind != "qdrant_source" for run in runs]
    if any(indexed):
        rows.append(
            ["Indexing time per doc (ms)"]
            + [f"{run.indexing_ms_per_doc:.3f}" if i else "-" for run, i in zip(runs, indexed)]
        )
    rows.append(["Retrieval time per query (ms)"] + [f"{run.retrieval_ms_per_query:.3f}" for run in runs])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    unit = "files" if results.level == "file" else "documents"
    lines = [
        f"Retrieval evaluation{' by file' if results.level == 'file' else ''}: {len(runs[0].queries)} queries, "
        f"{runs[0].documents} judged {unit}, k = {', '.join(map(str, results.cutoffs))}, "
        f"relevant: grade > {results.threshold:g}, {results.gain} gain"
    ]
    lines.extend(corpus_lines(results))
    for i, row in enumerate(rows):
        lines.append("  ".join([row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]))
        if i == 0:
            lines.append("-" * len(lines[-1]))
    for run in runs:
        for key, value in run.extra.items():
            lines.append(f"{run.name}: {key.replace('_', ' ')}: {value}")
    if results.comparisons:
        lines.append("")
        if results.corpora_differ:
            lines.append("(The retrievers searched different corpora: see the warning at the top.)")
        lines.append(
            f"Paired tests against {runs[0].name} over {len(runs[0].queries)} queries "
            f"(randomization test with {results.permutations} permutations, seed {results.seed}, and t-test; "
            f"p-values Holm-corrected over {len(results.comparisons)} comparisons; "
            f"* marks corrected randomization p < {results.alpha:g}):"
        )
        head = ["retriever", "metric", "difference", "p (randomization)", "p (t-test)"]
        body = []
        for c in results.comparisons:
            label = METRIC_LABELS[c.metric].replace("@k", f"@{c.k}") if c.k else METRIC_LABELS[c.metric]
            body.append(
                [
                    c.run,
                    label,
                    f"{c.difference:+.4f}",
                    _p(c.p_randomization_holm) + (" *" if c.significant else ""),
                    _p(c.p_t_holm),
                ]
            )
        widths = [max(len(r[i]) for r in [head] + body) for i in range(len(head))]
        for r in [head] + body:
            lines.append("  ".join(x.ljust(w) if i < 2 else x.rjust(w) for i, (x, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


def corpus_lines(results: Any) -> List[str]:
    """What each retriever searched, and the warnings: the lines under the report's title."""
    corpora = [run.corpus for run in results.runs]
    if len(set(corpora)) == 1 and corpora[0] is not None:
        line = f"Corpus: {corpora[0].describe()}"
        if results.only_relevant and corpora[0].kind == "ground_truth":
            line += (
                " (the ground truth lists only relevant documents: every document searched is relevant to some query)"
            )
        out = [line]
    else:
        out = [
            "Corpus: "
            + "; ".join(f"{run.name}: {run.corpus.describe()}" for run in results.runs if run.corpus is not None)
        ]
    return out + [f"Warning: {warning}" for warning in results.warnings]


def per_query_text(results: Any, path: str) -> str:
    """Each query's scores, as CSV (".csv") or JSON Lines (".jsonl", ".ndjson", ".json")."""
    rows = [row for run in results.runs for row in run.query_rows()]
    if path.lower().endswith(".csv"):
        out = io.StringIO()
        writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()), lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: "" if v is None else v for k, v in row.items()})
        return out.getvalue()
    return "".join(json.dumps(row, ensure_ascii=False) + "\n" for row in rows)


PER_QUERY_SUFFIXES = (".csv", ".jsonl", ".ndjson", ".json")
