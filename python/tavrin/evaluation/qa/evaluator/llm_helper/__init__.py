"""The judge model and the prompt programs that put questions to it."""
