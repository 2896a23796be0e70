import json
import os

import pytest

TYPE_MESSAGE = "Argument 'filename' has incorrect type (expected str, got {})"


class StrSubclass(str):
    pass


@pytest.fixture
def counting(ov):
    """A monitor that counts the calls of the uncached rule."""

    class CountingMonitor(ov._OverflowMonitor):
        def _check_user_code(self, filename):
            self.checked.append(filename)
            return super()._check_user_code(filename)

    created = CountingMonitor(False, 85.0, 0.05, "test-key", None)
    created.checked = []
    return created


def test_user_file_and_library_file(monitor):
    assert monitor._is_user_code(__file__) is True
    assert monitor._is_user_code(json.__file__) is False
    assert monitor._filename_cache == {__file__: True, json.__file__: False}


@pytest.mark.parametrize("filename", ["", "<string>", "<stdin>", "<frozen importlib._bootstrap>"])
def test_pseudo_filenames_are_never_user_code_and_need_no_path_work(
    monitor, ov, monkeypatch, filename
):
    monkeypatch.setattr(ov, "os", None)  # any path work would fail on it
    assert monitor._check_user_code(filename) is False
    assert monitor._is_user_code(filename) is False
    assert monitor._filename_cache == {filename: False}


def test_relative_filename_is_judged_once_against_the_working_directory(
    monitor, monkeypatch, tmp_path
):
    library_dir = os.path.dirname(json.__file__)
    monkeypatch.chdir(library_dir)
    assert monitor._is_user_code("zz_relative.py") is False
    monkeypatch.chdir(tmp_path)
    assert monitor._is_user_code("zz_relative.py") is False  # the first answer stays
    assert monitor._is_user_code("other_relative.py") is True
    assert monitor._check_user_code("zz_relative.py") is True


def test_empty_prefixes_make_every_real_filename_user_code(monitor):
    monitor._exclude_prefixes = ()
    assert monitor._is_user_code(json.__file__) is True
    assert monitor._is_user_code("relative.py") is True
    assert monitor._is_user_code("<string>") is False


def test_prefix_test_has_no_separator_boundary(monitor):
    monitor._exclude_prefixes = ("/opt/lib",)
    assert monitor._check_user_code("/opt/library/mod.py") is False
    assert monitor._check_user_code("/opt/lib/mod.py") is False
    assert monitor._check_user_code("/opt/li/mod.py") is True
    assert monitor._check_user_code("/opt/x/../lib/mod.py") is False  # normalised first


@pytest.mark.parametrize("answer_file", [__file__, json.__file__])
def test_cached_answer_is_used_without_checking_again(counting, answer_file):
    first = counting._is_user_code(answer_file)
    assert counting._is_user_code(answer_file) is first
    assert counting._is_user_code(filename=answer_file) is first
    assert counting.checked == [answer_file]


def test_cached_none_counts_as_absent(counting):
    counting._filename_cache[__file__] = None
    assert counting._is_user_code(__file__) is True
    assert counting.checked == [__file__]


@pytest.mark.parametrize("method", ["_is_user_code", "_check_user_code"])
@pytest.mark.parametrize("value", [None, b"x.py", StrSubclass("x.py"), 3])
def test_filename_must_be_exactly_str(monitor, method, value):
    with pytest.raises(TypeError) as error:
        getattr(monitor, method)(value)
    assert str(error.value) == TYPE_MESSAGE.format(type(value).__name__)
    assert monitor._filename_cache == {}


def test_failing_prefix_test_propagates_and_caches_nothing(monitor):
    monitor._exclude_prefixes = (3,)
    with pytest.raises(TypeError, match="startswith"):
        monitor._is_user_code(__file__)
    assert monitor._filename_cache == {}
