import click as click

from tavrin.evaluation.qa.report import Report as Report

# A click command; its callback is `markdown(json_path: str, output: str)`.
markdown: click.Command
