"""The binding layer (src/native) and the file-system core (src/fs) know
nothing of skills: no text that the modules name in their own names headers
(runtimes, profiles, manifest members, file names, messages) stands in a
string of theirs.  (That neither includes the modules' headers, nor the
binding layer the core's, the build itself enforces.)"""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
MODULE_NAMES = ["packaging/names.hpp", "detector/names.hpp", "shared/skill_layout.hpp"]
# The binding layer's own types are named after the package they live in.
PACKAGE_PREFIX = "tarvek.skills."
# A text the modules use that is the interpreter's own too: recognising a
# stdlib module compiled without its source looks at its file's ".pyc".
INTERPRETER_TEXTS = {".pyc"}

NAME = re.compile(r'inline const Name \w+\{"((?:[^"\\]|\\.)*)"\}')
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def module_texts() -> set[str]:
    texts = set()
    for header in MODULE_NAMES:
        texts.update(NAME.findall((SRC / header).read_text(encoding="utf-8")))
    return texts


def string_literals(source: Path) -> list[tuple[int, str]]:
    found = []
    for number, line in enumerate(source.read_text(encoding="utf-8").splitlines(), 1):
        code = line.split("//", 1)[0] if not line.lstrip().startswith("#include") else ""
        found += [(number, text) for text in LITERAL.findall(code)]
    return found


@pytest.mark.skipif(not (SRC / "native").is_dir(), reason="needs the source tree")
@pytest.mark.parametrize("layer", ["native", "fs"])
def test_no_module_texts_below_the_modules(layer):
    texts = module_texts() - INTERPRETER_TEXTS
    assert {"claude", "python-release", "__pycache__", "VERSION.json"} <= texts
    offending = [f"{source.relative_to(SRC)}:{number}: {literal!r}"
                 for source in sorted((SRC / layer).glob("*.[ch]pp"))
                 for number, literal in string_literals(source)
                 if literal.removeprefix(PACKAGE_PREFIX) in texts]
    assert offending == []
