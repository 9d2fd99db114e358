"""tavrin's patches of its libraries (tavrin._integrations): every patched callable still has
the signature its patch was written against, so an upgrade that changes one fails here, by
name; and importing tavrin patches nothing until the command line (or the code that
needs a patch) installs it."""

import importlib
import inspect
import os
import subprocess
import sys

import pytest
from click.testing import CliRunner


def plain(obj):
    """The signature of ``obj`` (the library's own, under any wrapper) without annotations."""
    obj = getattr(obj, "func", obj)  # tqdm's __init__ is a partialmethod over its environment defaults
    sig = inspect.signature(obj)  # follows __wrapped__ past tavrin's wrappers
    return str(sig.replace(parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()],
                           return_annotation=sig.empty))


REQUEST = "(self, method, url, params=None, headers=None, files=None, stream=False, request_id=None, request_timeout=None)"
PATCHED = {
    # openai_requestor: the wrappers pass these on by position
    ("openai.api_requestor", "APIRequestor.request"): REQUEST,
    ("openai.api_requestor", "APIRequestor.arequest"): REQUEST,
    # pyparsing_lock
    ("pyparsing", "ParserElement.parse_string"): "(self, instring, parse_all=False, **kwargs)",
    ("pyparsing", "ParserElement.parseString"): "(self, instring, parse_all=False, **kwargs)",
    # tqdm_bars: ``disable`` is the 11th positional parameter after self
    ("tqdm.std", "tqdm.__init__"):
        "(self, iterable=None, desc=None, total=None, leave=True, file=None, ncols=None, mininterval=0.1, "
        "maxinterval=10.0, miniters=None, ascii=None, disable=False, unit='it', unit_scale=False, "
        "dynamic_ncols=False, smoothing=0.3, bar_format=None, initial=0, position=None, postfix=None, "
        "unit_divisor=1000, write_bytes=False, lock_args=None, nrows=None, colour=None, delay=0.0, gui=False, "
        "**kwargs)",
    # tiktoken_data
    ("tiktoken.load", "read_file_cached"): "(blobpath, expected_hash=None)",
    # guidance_openai
    ("guidance.llms._openai", "add_text_to_chat_mode"): "(chat_mode)",
}


def resolve(module, dotted):
    *path, name = dotted.split(".")
    owner = importlib.import_module(module)
    for part in path:
        owner = getattr(owner, part)
    return inspect.getattr_static(owner, name)  # what the patch replaces, unbound


@pytest.mark.parametrize("module, name", list(PATCHED), ids=[f"{m}:{n}" for m, n in PATCHED])
def test_a_patched_callable_has_the_signature_its_patch_was_written_against(module, name):
    assert plain(resolve(module, name)) == PATCHED[(module, name)]


def test_what_the_guidance_mends_rest_on():
    import guidance.llms._openai as guidance_openai
    from guidance._grammar import grammar  # the template grammar whose trees pyparsing_lock keeps

    import pyparsing

    assert isinstance(grammar, pyparsing.ParserElement)
    # the throttle is guidance's attribute, read on every call
    assert inspect.signature(guidance_openai.OpenAI.__init__).parameters["max_calls_per_min"].default == 60
    assert "self.max_calls_per_min" in inspect.getsource(guidance_openai.OpenAI)
    # the program executor prints its failures with the builtin print, looked up in its module
    import guidance._program_executor as executor

    source = inspect.getsource(executor)
    assert "print(" in source and "Error in program" in source and "def print" not in source


IMPORT_ONLY = """
import os, sys
import tavrin, tavrin.cli
home = os.path.dirname(tavrin.__file__)
assert not [f for f in sys.meta_path if type(f).__module__.startswith("tavrin")], sys.meta_path
import guidance.llms._openai, openai.api_requestor, pyparsing, tiktoken.load, tqdm.std
targets = [openai.api_requestor.APIRequestor.request, openai.api_requestor.APIRequestor.arequest,
           pyparsing.ParserElement.parse_string, pyparsing.ParserElement.parseString,
           tqdm.std.tqdm.__dict__["__init__"].func, tiktoken.load.read_file_cached,
           guidance.llms._openai.add_text_to_chat_mode]
print([f.__qualname__ for f in targets if f.__code__.co_filename.startswith(home)])
# the one patch with an undo puts back exactly what it replaced
from tavrin._integrations.tqdm_bars import bars_disabled
before = tqdm.std.tqdm.__dict__["__init__"]
with bars_disabled():
    assert tqdm.std.tqdm(range(1), disable=False).disable
assert tqdm.std.tqdm.__dict__["__init__"] is before
"""


def test_importing_tavrin_patches_nothing():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", IMPORT_ONLY], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[]\n"


def test_the_command_line_installs_when_it_runs_a_command(monkeypatch, tmp_path):
    from tavrin import _integrations
    from tavrin.cli import cli

    calls = []
    monkeypatch.setattr(_integrations, "install", lambda: calls.append("install"))
    CliRunner().invoke(cli, ["markdown", str(tmp_path / "missing.json")])
    assert calls == ["install"]
