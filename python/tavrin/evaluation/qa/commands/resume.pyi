import click as click

from tavrin.evaluation.qa.evaluation import Evaluation as Evaluation

# A click command; its callback is `resume(json_path: str, output: str, verbose: bool)`.
resume: click.Command
