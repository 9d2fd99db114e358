"""tavrin: answer questions about a codebase with an LLM, and measure how well that works."""

__version__ = "0.1.0"

# Importing tavrin patches no library: the command line installs what it needs
# (tavrin._integrations).
