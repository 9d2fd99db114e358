"""Answering questions about a codebase with an LLM over a vector store of its documents."""

import os

DEBUG: bool = os.environ.get("TAVRIN_DEBUG", "").strip().lower() in {"1", "true", "yes", "on"}
