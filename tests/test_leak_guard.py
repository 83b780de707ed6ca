"""The reference-leak guard itself must be able to fail."""

import pytest

_kept = []


def leaks_one_object_per_call():
    _kept.append(object())


def test_leak_guard_reports_growth(leak_check):
    with pytest.raises(AssertionError, match="leaks"):
        leak_check(leaks_one_object_per_call)
    _kept.clear()


def test_leak_guard_checks_the_expected_exception(leak_check):
    with pytest.raises(AssertionError, match="did not raise"):
        leak_check(len, "abc", expect=TypeError)
