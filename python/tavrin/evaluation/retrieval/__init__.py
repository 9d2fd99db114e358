"""Retrieval evaluation: embedding retriever, ground truth and metrics."""
