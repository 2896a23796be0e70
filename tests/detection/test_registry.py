"""User-code classification, library prefixes and the wrap registry."""

import json
import os
import site
import sysconfig
import types

import pytest

import zuvoda.overflow as native

SCOPE = """
from json import dumps

from zuvoda.overflow import overflow


def a():
    return "a"


def b():
    return "b"


def _c():
    return "c"


class K:
    def method(self):
        return "method"


bound = K().method
length = len
marked = lambda: None
marked._overflow_wrapped = True
_frame = sys._getframe()


def kernel(monitor):
    monitor._try_wrap_from_frame(sys._getframe())


def _hidden(monitor):
    monitor._try_wrap_from_frame(sys._getframe())


def run(monitor, name):
    return globals()[name](monitor)
"""


def is_wrapper_of(obj, original):
    return getattr(obj, "_overflow_wrapped", False) is True and obj._original is original


def argument_error(argument, expected, got):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


class Text(str):
    pass


@pytest.mark.parametrize(
    ("call", "argument", "expected", "value"),
    [
        *[(lambda m, v: m._profile_hook(None, v, None), "event", "str", v)
          for v in (None, b"call", Text("call"))],
        *[(lambda m, v: m._is_user_code(v), "filename", "str", v) for v in (None, Text("x"))],
        *[(lambda m, v: m._check_user_code(v), "filename", "str", v) for v in (b"x.py", 3)],
        *[(lambda m, v: m._register_wrap(len, v, {}), "func_name", "str", v) for v in (None, b"f")],
        *[(lambda m, v: m._register_wrap(len, "f", v), "namespace", "dict", v)
          for v in (None, types.MappingProxyType({}), type("DictSub", (dict,), {})())],
        (lambda m, v: native._WrapRecord(len, "f", v, len), "namespace", "dict", []),
        (lambda m, v: native._WrapRecord(len, v, {}, len), "name", "str", None),
    ],
)
def test_argument_types_are_exact(wmonitor, call, argument, expected, value):
    with pytest.raises(TypeError) as error:
        call(wmonitor, value)
    assert str(error.value) == argument_error(argument, expected, type(value).__name__)
    assert wmonitor._call_stack == [] and wmonitor._filename_cache == {}
    assert wmonitor.wrappers_made == [] and wmonitor._wrapped_functions == {}


def test_classification_is_cached_and_the_cache_followed(monitor, monkeypatch):
    assert monitor._is_user_code(__file__) is True
    assert monitor._is_user_code(filename=json.__file__) is False
    assert monitor._filename_cache == {__file__: True, json.__file__: False}
    monitor._filename_cache[json.__file__] = True  # the cache answers, whatever the path
    monitor._filename_cache[__file__] = None  # counts as absent
    assert monitor._is_user_code(json.__file__) is monitor._is_user_code(__file__) is True
    monkeypatch.chdir(os.path.dirname(json.__file__))
    assert monitor._is_user_code("zz_relative.py") is False  # resolved in the working directory
    monitor._exclude_prefixes = (3,)
    with pytest.raises(TypeError, match="startswith"):
        monitor._is_user_code("zz_other.py")


@pytest.mark.parametrize(
    ("filename", "verdict"),
    [*[(f, False) for f in ("", "<string>", "<stdin>", "<frozen importlib._bootstrap>")],
     ("/opt/library/mod.py", False), ("/opt/x/../lib/mod.py", False), ("/opt/li/mod.py", True)],
)
def test_prefixes_are_plain_string_prefixes_and_pseudo_files_need_no_path_work(
    monitor, ov, monkeypatch, filename, verdict
):
    monitor._exclude_prefixes = ("/opt/lib",)
    if not filename.startswith("/"):
        monkeypatch.setattr(ov, "os", None)  # any path work would fail on it
    assert monitor._check_user_code(filename) is monitor._is_user_code(filename) is verdict
    assert monitor._filename_cache == {filename: verdict}


def test_library_prefixes_hold_the_standard_directories_longest_first(ov):
    prefixes = ov._compute_exclude_prefixes()
    expected = [sysconfig.get_paths()["stdlib"], *site.getsitepackages(), ov.__file__ + "/.."]
    assert {os.path.abspath(p) for p in expected} <= set(prefixes)
    assert [len(p) for p in prefixes] == sorted(map(len, prefixes), reverse=True)


def test_scope_wraps_public_user_functions_once_and_unwrap_puts_them_back(
    wmonitor, user_module, records
):
    mod = user_module(SCOPE)
    a, b, bound, kernel = mod.a, mod.b, mod.bound, mod.kernel
    kept = ("_c", "_hidden", "K", "dumps", "overflow", "length", "marked")
    before = [getattr(mod, k) for k in kept]
    wmonitor._wrap_scope(mod._frame)
    assert all(map(is_wrapper_of, (mod.a, mod.b, mod.bound), (a, b, bound)))
    assert (mod.a(), mod.bound()) == ("a", "method")
    assert [getattr(mod, k) for k in kept] == before
    assert [r.name for r in wmonitor._wrapped_functions.values()] == [
        "a", "b", "bound", "kernel", "run"]
    made = len(wmonitor.wrappers_made)
    wmonitor._wrap_scope(frame=mod._frame)
    wmonitor._wrap_scope(None)
    assert len(wmonitor.wrappers_made) == made == len(wmonitor._wrapped_functions)
    wmonitor._heavy_signatures.add(("a", mod.__file__, 1))
    wmonitor._scope_wrapped = True
    mod.b = "rebound by the user"
    wmonitor._wrapped_functions[id(kernel)].namespace = types.MappingProxyType(vars(mod))
    wmonitor._unwrap_all()
    assert (mod.a, mod.b) == (a, b) and is_wrapper_of(mod.kernel, kernel)
    assert wmonitor._wrapped_functions == {} and wmonitor._heavy_signatures == set()
    assert wmonitor._scope_wrapped is False
    [record] = records()
    assert (record.levelname, record.msg, record.args[0]) == (
        "ERROR", "Failed to unwrap %s: %s", "kernel")
    assert isinstance(record.args[1], TypeError)
    mod.kernel = kernel


@pytest.mark.parametrize("name", ["kernel", "_hidden"])
def test_frame_wrap_rebinds_the_name_in_the_calling_module_only(wmonitor, user_module, name):
    home, other = user_module(SCOPE), user_module(SCOPE)
    original, imported = getattr(home, name), getattr(other, name)
    importer = user_module(f"from {other.__name__} import {name}\n\n\n"
                           f"def use(monitor):\n    return {name}(monitor)\n")
    home.run(wmonitor, name)
    assert is_wrapper_of(getattr(home, name), original)  # private functions too
    importer.use(wmonitor)
    assert is_wrapper_of(getattr(importer, name), imported) and getattr(other, name) is imported


@pytest.mark.parametrize(
    "call",
    [
        lambda mod, m: mod.kernel(m),  # the test module does not bind the name
        lambda mod, m: m._try_wrap_from_frame(
            types.SimpleNamespace(f_code=mod.kernel.__code__, f_back=None)),
    ],
    ids=["unbound-caller", "no-caller"],
)
def test_frame_wrap_without_a_binding_changes_nothing(wmonitor, user_module, call):
    mod = user_module(SCOPE)
    call(mod, wmonitor)
    assert wmonitor._wrapped_functions == {} and wmonitor.wrappers_made == []


def test_register_holds_the_lock_once_per_function_and_releases_it_on_failure(
    wmonitor, user_module
):
    mod = user_module(SCOPE)
    a, other = mod.a, {"alias": mod.a}
    wmonitor._register_wrap(a, "a", vars(mod))
    wmonitor._register_wrap(func_obj=a, func_name="alias", namespace=other)
    assert other == {"alias": a} and wmonitor.lock_held_while_wrapping == [True]
    wmonitor._make_wrapper = lambda original: 1 / 0
    with pytest.raises(ZeroDivisionError):
        wmonitor._register_wrap(mod.b, "b", vars(mod))
    assert not wmonitor._lock.locked() and len(wmonitor._wrapped_functions) == 1
