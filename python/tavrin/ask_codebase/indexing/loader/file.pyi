import functools as functools
import os as os
from pathlib import Path as Path
from typing import Callable as Callable, Iterable as Iterable, Iterator as Iterator, NamedTuple as NamedTuple, Optional as Optional

from langchain.schema import Document as Document
from langchain.text_splitter import CharacterTextSplitter as CharacterTextSplitter, Language as Language, RecursiveCharacterTextSplitter as RecursiveCharacterTextSplitter, TextSplitter as TextSplitter
from loguru import logger as logger

from tavrin.ask_codebase.indexing.loader.base import Loader as Loader

def get_file_splitter(filepath: Path, chunk_size: int = 5000, chunk_overlap: int = 50) -> TextSplitter: ...
def _github_url_maker(relpath: str, repo_url: str, hexsha: str = 'main') -> str: ...
def _local_file_maker(relpath: str, repo_dir: str) -> str: ...
def gen_github_reference_maker(repo_url: str, hexsha: str = 'main') -> Callable[[str], str]: ...
def gen_local_reference_maker(repo_dir: str) -> Callable[[str], str]: ...

class FileSource(NamedTuple):
    path: str
    rel_root: Optional[str] = None
    ref_maker: Optional[Callable[[str], str]] = None
    file_filter: Optional[Callable[[str], bool]] = None

class FileMetadata(NamedTuple):
    filepath: str
    reference: str
    name: str
    source: str
    url: str
    label: Optional[str] = None

class FileLoader(Loader):
    """
    Load source files and split them into documents
    """
    sources: Iterable[FileSource]
    def __init__(self, sources: Iterable[FileSource]): ...
    def load(self) -> Iterator[Document]: ...
    def _iter_path_or_dir(self, path: Path) -> Iterator[Path]: ...
