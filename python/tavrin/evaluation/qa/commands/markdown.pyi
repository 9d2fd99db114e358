import click as click

from tavrin.evaluation.qa.report import Report as Report

@click.command()
def markdown(json_path: str, output: str): ...
