"""The type stubs and the docstrings describe what the package exports."""

import ast
import inspect
import os

import pytest

import ofulk

STUB = os.path.join(os.path.dirname(ofulk.__file__), "__init__.pyi")


def stub_names():
    tree = ast.parse(open(STUB).read())
    return {
        node.name
        for node in tree.body
        if isinstance(node, (ast.FunctionDef, ast.ClassDef))
    }


def test_stub_declares_exactly_the_exported_names():
    assert stub_names() == set(ofulk.__all__)


FUNCTIONS = sorted(n for n in ofulk.__all__ if not inspect.isclass(getattr(ofulk, n)))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_function_has_a_signature_and_numpy_style_sections(name):
    function = getattr(ofulk, name)
    doc = inspect.getdoc(function) or ""
    # Compiled functions carry their signature as the first docstring line.
    if not inspect.isfunction(function):
        assert doc.startswith(name + "("), doc[:60]
    sections = ["Parameters", "Raises"]
    if name == "video_flows":
        sections.append("Yields")
    elif "-> None" not in doc.splitlines()[0]:
        sections.append("Returns")
    for section in sections:
        assert f"{section}\n{'-' * len(section)}" in doc, f"{name}: no {section}"
