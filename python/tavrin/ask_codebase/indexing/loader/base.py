"""The base class of document loaders."""

import abc
from typing import Iterator

from langchain.schema import Document


class Loader(abc.ABC):
    """A source of documents: ``load()`` yields them one at a time."""

    @abc.abstractmethod
    def load(self) -> Iterator[Document]:
        """Yield the documents of this source."""
        raise NotImplementedError
