"""Evaluators that judge a subject's answer against the reference answer."""
