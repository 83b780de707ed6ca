"""The type stubs shipped with the extension modules agree with them."""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from tarvek.skills import packaging
from tarvek.skills.discovery import detector

MODULES = [packaging, detector]


def test_stubtest_finds_no_drift():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-missing-stub",
         *(m.__name__ for m in MODULES)],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def _stub_functions(module):
    """(qualified name, {parameter or "return": annotation text}) of every
    function in the module's stub."""
    tree = ast.parse(Path(module.__file__).with_name(
        module.__name__.rpartition(".")[2] + ".pyi").read_text(encoding="utf-8"))
    found = {}

    def collect(body, prefix):
        for node in body:
            if isinstance(node, ast.FunctionDef):
                args = node.args
                params = [*args.posonlyargs, *args.args, *args.kwonlyargs]
                found[prefix + node.name] = {
                    **{p.arg: ast.unparse(p.annotation) for p in params if p.annotation},
                    "return": ast.unparse(node.returns)}
            elif isinstance(node, ast.ClassDef):
                collect(node.body, prefix + node.name + ".")

    collect(tree.body, "")
    return found


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_annotations_are_the_modules_own(module):
    stubs = _stub_functions(module)
    runtime = {}
    for name, value in vars(module).items():
        if inspect.isclass(value) and value.__module__ == module.__name__:
            for attr, method in vars(value).items():
                if callable(method) and hasattr(method, "__annotations__"):
                    runtime[f"{name}.{attr}"] = method.__annotations__
        elif callable(value) and getattr(value, "__module__", None) == module.__name__ \
                and not inspect.isclass(value):
            runtime[name] = value.__annotations__
    assert set(stubs) == set(runtime)
    for name, annotations in runtime.items():
        assert stubs[name] == dict(annotations), name


def test_the_package_is_marked_typed():
    assert (Path(packaging.__file__).parent / "py.typed").is_file()
