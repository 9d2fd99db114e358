"""Charts of retrieval metrics against the cutoff k, through matplotlib (the optional
extra 'plot': ``pip install 'tavrin[plot]'``)."""

import os
import tempfile
from pathlib import Path
from typing import Any

from tavrin._outputs import write_target
from tavrin.errors import MissingExtraError

__all__ = ["PLOT_EXTRA_HINT", "ensure_matplotlib", "plot_results", "FIGURE_SIZE", "DPI"]

PLOT_EXTRA_HINT = (
    "--plot needs matplotlib, which is not installed: install the optional extra 'plot' "
    "(pip install 'tavrin[plot]'; in a checkout: .venv/bin/python -m pip install -c constraints.txt "
    "'matplotlib==3.11.2')"
)
#: Figure size in inches and resolution: the PNG is 1200 x 800 pixels.
FIGURE_SIZE = (12.0, 8.0)
DPI = 100


def ensure_matplotlib() -> None:
    """Raise ``MissingExtraError`` (an ``ImportError``) with how to install it when
    matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as exc:
        raise MissingExtraError(PLOT_EXTRA_HINT) from exc


def plot_results(results: Any, path: str) -> None:
    """Draw every chosen cutoff metric of ``results`` (an ``EvaluationResults``) against
    k, one line per retriever, one panel per metric, into the PNG file ``path``
    (replaced atomically)."""
    ensure_matplotlib()
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    from tavrin.evaluation.retrieval.results import METRIC_LABELS

    metrics = [m for m in results.metrics if m != "r_precision"] or ["precision"]
    columns = min(3, len(metrics))
    rows = (len(metrics) + columns - 1) // columns
    figure = Figure(figsize=FIGURE_SIZE, dpi=DPI)
    for i, metric in enumerate(metrics):
        axes = figure.add_subplot(rows, columns, i + 1)
        for run in results.runs:
            axes.plot(run.cutoffs, [run.metrics[k][metric] for k in run.cutoffs], marker="o", label=run.name)
        axes.set_title(METRIC_LABELS[metric])
        axes.set_xlabel("k")
        axes.set_xticks(results.cutoffs)
        axes.set_ylim(bottom=0)
        axes.grid(True, alpha=0.3)
        if i == 0:
            axes.legend(fontsize="small")
    figure.tight_layout()
    target = write_target(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as handle:
            figure.savefig(handle, format="png", dpi=DPI)
        os.replace(tmp, target)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise
