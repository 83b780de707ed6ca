"""Fixtures shared by the test modules."""

import gc
import sys

import pytest


def _blocks():
    gc.collect()
    return sys.getallocatedblocks()


def _call(func, args, kwargs, expect):
    if expect is None:
        func(*args, **kwargs)
        return
    try:
        func(*args, **kwargs)
    except expect:
        pass
    else:
        raise AssertionError(f"{func!r} did not raise {expect!r}")


@pytest.fixture
def leak_check():
    """Returns check(func, *args, expect=None, **kwargs).

    The check calls `func` many times, on success or with the expected
    exception, and fails when the interpreter's allocated blocks keep growing
    with the number of calls: a reference leaked per call shows up as one
    block (or more) per call in both measuring rounds.
    """
    if sys.getallocatedblocks() == 0:
        pytest.skip("the allocator does not count blocks (PYTHONMALLOC=malloc)")

    def check(func, *args, expect=None, rounds=400, **kwargs):
        for _ in range(50):
            _call(func, args, kwargs, expect)
        growth = []
        for _ in range(3):
            before = _blocks()
            for _ in range(rounds):
                _call(func, args, kwargs, expect)
            growth.append(_blocks() - before)
        # Allow noise (caches, interned strings) but not steady growth.
        assert min(growth) < rounds // 4, f"{func!r} leaks: block growth per round {growth}"

    return check


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A fresh, empty home directory for Path.home() and '~'."""
    directory = tmp_path / "home"
    directory.mkdir()
    monkeypatch.setenv("HOME", str(directory))
    monkeypatch.delenv("USERPROFILE", raising=False)
    return directory
