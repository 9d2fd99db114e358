"""Loaders that turn repository files and analysed functions into documents."""
