"""Question-answering subjects that an evaluation can run."""
