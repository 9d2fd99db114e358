"""Command-line commands over saved evaluation reports."""
