"""Question-answering chains over a vector store of code documents."""
