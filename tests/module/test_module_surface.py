"""What importing zuvoda.overflow creates and refuses: the module, its logger, _WrapRecord."""

import subprocess
import sys
import textwrap

import pytest


def run_python(code, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, check=False, timeout=60, **kwargs,
    )


def test_module_identity(ov):
    assert ov._active_monitor is None
    assert ov.logger.name == "zuvoda.overflow"
    assert ov.logger.handlers == [] and ov.logger.level == 0
    url = ov._DEFAULT_API_URL
    # A name reserved never to resolve, so nothing is sent anywhere unless configured.
    assert url == "https://api.zuvoda.invalid"
    for name in ("_compute_exclude_prefixes", "_OverflowMonitor", "_WrapRecord", "overflow"):
        assert getattr(ov, name).__module__ == "zuvoda.overflow"


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
    def test_keeps_the_four_objects_and_nothing_else(self, ov):
        namespace = {}
        for record in (ov._WrapRecord(len, "f", namespace, print),
                       ov._WrapRecord(wrapper=print, namespace=namespace, name="f", original=len)):
            assert record.original is len and record.name == "f"
            assert record.namespace is namespace and record.wrapper is print
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
