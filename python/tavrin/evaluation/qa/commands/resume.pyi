import click as click

from tavrin.evaluation.qa.evaluation import Evaluation as Evaluation

@click.command()
def resume(json_path: str, output: str, verbose: bool): ...
