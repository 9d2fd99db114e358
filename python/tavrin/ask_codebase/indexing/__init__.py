"""Turning a repository into documents for a vector store."""
