"""tavrin: answer questions about a codebase with an LLM, and measure how well that works."""

__version__ = "0.1.0"

# Nothing is written here: tiktoken's encoding data is put in place when tiktoken first
# reads it (see tavrin._offline).
from tavrin._offline import prepare_on_first_use as _prepare_on_first_use

_prepare_on_first_use()
