"""The judge model and the prompt programs that put questions to it."""

# The judge model (guidance's gpt-4 handle, made when ``conf`` is imported) loads tiktoken's
# encoding: from the bundled data, also without the command line.
from tavrin._integrations import tiktoken_data as _tiktoken_data

_tiktoken_data.install()
