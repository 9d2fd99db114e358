import csv as csv
from pathlib import Path as Path
from typing import Callable as Callable, Iterator as Iterator, NamedTuple as NamedTuple

from langchain.schema import Document as Document

from tavrin.ask_codebase.indexing.loader.base import Loader as Loader

class FunctionSource(NamedTuple):
    repo_path: str
    cag_path: str
    hexsha: str
    url_from_filepath: Callable[[str, str, int, int], str]

class FunctionLoader(Loader):
    """
    Load CAG functions(produced by Vantor) and split them into documents
    """
    _source: FunctionSource
    def __init__(self, source: FunctionSource): ...
    @classmethod
    def get_function_with_comment(cls, file_path, start_line, end_line): ...
    def load(self) -> Iterator[Document]: ...
