"""Answering questions about a codebase with an LLM over a vector store of its documents."""

import os

from tavrin._integrations import tiktoken_data as _tiktoken_data

DEBUG: bool = os.environ.get("TAVRIN_DEBUG", "").strip().lower() in {"1", "true", "yes", "on"}

# The token splitter of the file loader, the token counts of chunking and of the map-reduce
# chain, and OpenAI's embeddings in the store load tiktoken's encoding: from the bundled
# data, also without the command line (it is written when first read).
_tiktoken_data.install()
