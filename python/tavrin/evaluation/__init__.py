"""Evaluation of question answering and of retrieval."""
