"""tavrin: answer questions about a codebase with an LLM, and measure how well that works."""

__version__ = "0.1.0"

from tavrin._offline import use_bundled_tiktoken_data as _use_bundled_tiktoken_data
_use_bundled_tiktoken_data()
