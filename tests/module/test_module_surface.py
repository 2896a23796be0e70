"""What importing zuvoda.overflow creates: the namespace, the logger, _WrapRecord."""

import subprocess
import sys
import textwrap

import pytest

NAMESPACE_ORDER = [
    "atexit", "functools", "logging", "os", "sys", "threading", "time",
    "Any", "Callable", "Dict", "List", "Optional", "Set", "Tuple",
    "logger", "_DEFAULT_API_URL", "_WrapRecord", "_compute_exclude_prefixes",
    "_OverflowMonitor", "_active_monitor", "overflow",
]


def run_python(code, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, check=False, timeout=60, **kwargs,
    )


def test_namespace_in_import_order(ov):
    names = [n for n in vars(ov) if not n.startswith("__")]
    assert names[: len(NAMESPACE_ORDER)] == NAMESPACE_ORDER
    import typing

    assert ov.Optional is typing.Optional and ov.os is sys.modules["os"]


def test_module_identity(ov):
    assert ov.__doc__ is None
    assert ov._active_monitor is None
    assert ov.logger.name == "zuvoda.overflow"
    assert ov.logger.handlers == [] and ov.logger.level == 0
    url = ov._DEFAULT_API_URL
    assert url.startswith("https://") and not url.endswith("/")
    for name in ("_compute_exclude_prefixes", "_OverflowMonitor", "_WrapRecord", "overflow"):
        obj = getattr(ov, name)
        assert obj.__module__ == "zuvoda.overflow" and obj.__doc__ is None


def test_import_needs_no_optional_library():
    result = run_python(
        """
        import sys
        for name in ("psutil", "pynvml", "httpx", "zuvoda.client"):
            sys.modules[name] = None
        import threading
        before = threading.active_count()
        import zuvoda.overflow as ov
        assert threading.active_count() == before
        assert sys.getprofile() is None
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_second_initialisation_is_refused():
    result = run_python(
        """
        import sys
        import zuvoda.overflow
        del sys.modules["zuvoda.overflow"]
        try:
            import zuvoda.overflow
        except RuntimeError as exc:
            print(exc)
        """
    )
    assert result.stdout.strip() == (
        "Module 'overflow' has already been imported. Re-initialisation is not supported."
    ), result.stderr


def test_second_interpreter_is_refused():
    result = run_python(
        """
        import zuvoda.overflow
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import zuvoda.overflow")
        except interpreters.RunFailedError as exc:
            print(exc)
        """
    )
    assert result.stdout.strip() == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded"
        " into one interpreter per process."
    ), result.stderr


class Namespace(dict):
    pass


class TestWrapRecord:
    def test_keeps_the_four_objects(self, ov):
        namespace = {}
        record = ov._WrapRecord(len, "f", namespace, print)
        assert record.original is len and record.name == "f"
        assert record.namespace is namespace and record.wrapper is print
        assert ov._WrapRecord.__slots__ == ("original", "name", "namespace", "wrapper")

    def test_by_keyword(self, ov):
        record = ov._WrapRecord(wrapper=1, namespace={}, name="n", original=2)
        assert (record.original, record.wrapper) == (2, 1)

    def test_no_other_attribute(self, ov):
        record = ov._WrapRecord(len, "f", {}, len)
        with pytest.raises(AttributeError):
            record.other = 1
        assert not hasattr(record, "__dict__")

    @pytest.mark.parametrize(
        "name, namespace, message",
        [
            (None, {}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
            (None, [], "Argument 'name' has incorrect type (expected str, got NoneType)"),
            ("f", None, "Argument 'namespace' has incorrect type (expected dict, got NoneType)"),
            ("f", Namespace(), "Argument 'namespace' has incorrect type (expected dict, got Namespace)"),
        ],
    )
    def test_checked_types(self, ov, name, namespace, message):
        with pytest.raises(TypeError) as info:
            ov._WrapRecord(len, name, namespace, len)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "args, kwargs",
        [((len, "f", {}), {}), ((len, "f", {}, len, 1), {}), ((len, "f", {}, len), {"x": 1})],
    )
    def test_binding_errors(self, ov, args, kwargs):
        with pytest.raises(TypeError, match=r"_WrapRecord\.__init__\(\)"):
            ov._WrapRecord(*args, **kwargs)

    def test_signature(self, ov):
        import inspect

        assert str(inspect.signature(ov._WrapRecord)) == (
            "(original: 'Callable[..., Any]', name: 'str', namespace: 'dict[str, Any]', "
            "wrapper: 'Callable[..., Any]') -> 'None'"
        )
