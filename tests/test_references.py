"""The plain references the kernels are checked against stay independent of the
package: a fault in the package's own helpers must not reach both sides."""

import ast
import os

import pytest

REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reference")


@pytest.mark.parametrize("name", sorted(f for f in os.listdir(REFERENCE) if f.endswith(".py")))
def test_reference_imports_nothing_from_the_package(name):
    with open(os.path.join(REFERENCE, name), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    modules = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            modules.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            modules.add("." * node.level + (node.module or ""))
    assert modules <= {"__future__", "numpy", "pandas"}, modules
