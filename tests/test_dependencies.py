"""Every name tavrin takes from its dependencies resolves with the pinned
versions, so a broken pin fails here, by name, instead of deep inside a run."""
import importlib

import pytest

REQUIRED = [
    # langchain: documents, splitters, embeddings, chat model, chains
    ("langchain.schema", "Document"),
    ("langchain.text_splitter", "TextSplitter"),
    ("langchain.text_splitter", "RecursiveCharacterTextSplitter.from_language"),
    ("langchain.text_splitter", "CharacterTextSplitter.from_tiktoken_encoder"),
    *[("langchain.text_splitter", f"Language.{member}") for member in (
        "PYTHON", "JS", "GO", "JAVA", "PHP", "RUST", "RUBY", "SCALA", "SWIFT", "MARKDOWN")],
    ("langchain.embeddings.base", "Embeddings"),
    ("langchain.chat_models", "ChatOpenAI"),
    ("langchain.chains", "RetrievalQA.from_chain_type"),
    ("langchain.chains.base", "Chain"),
    ("langchain.chains.retrieval_qa.base", "BaseRetrievalQA"),
    ("langchain.base_language", "BaseLanguageModel"),
    ("langchain.vectorstores", "Qdrant"),
    # offline stand-ins the tests run on
    ("langchain.llms.fake", "FakeListLLM"),
    ("langchain.chat_models.fake", "FakeListChatModel"),
    ("langchain.embeddings.fake", "DeterministicFakeEmbedding"),
    # guidance: the judge model and its default slot, the test model
    ("guidance", "llm"),
    ("guidance.llms", "OpenAI"),
    ("guidance.llms", "Mock"),
    ("guidance.llms", "LLM.default_system_prompt"),
    # guidance 0.0.x calls the 0.x openai API
    ("openai", "ChatCompletion.acreate"),
    ("tiktoken", "get_encoding"),
    # commands and console output
    ("click", "command"),
    ("click", "argument"),
    ("click", "option"),
    ("click", "Path"),
    ("click", "secho"),
    ("click", "Command"),
    # retrieval evaluation
    *[("numpy", name) for name in (
        "ndarray", "full", "zeros", "array", "concatenate", "dot", "linalg.norm", "sort",
        "argsort", "sum", "average", "save", "load")],
    ("tqdm", "tqdm"),
    # file loader
    ("loguru", "logger"),
    # host components: vector store and action history
    ("qdrant_client", "QdrantClient"),
    ("qdrant_client.http", "models"),
    ("qdrant_client.http.exceptions", "ApiException"),
    *[("qdrant_edge", name) for name in (
        "EdgeShard.create", "EdgeShard.load", "EdgeConfig", "EdgeVectorParams", "Distance.Cosine", "Point",
        "UpdateOperation.upsert_points", "SearchRequest", "ScrollRequest", "CountRequest", "Query.Nearest")],
    ("sqlalchemy", "create_engine"),
    ("sqlalchemy.orm", "declarative_base"),
    ("sqlalchemy.orm", "sessionmaker"),
]


@pytest.mark.parametrize("module, attribute", REQUIRED,
                         ids=[f"{m}:{a}" for m, a in REQUIRED])
def test_import_path_resolves(module, attribute):
    obj = importlib.import_module(module)
    for part in attribute.split("."):
        obj = getattr(obj, part)  # AttributeError names what is gone
