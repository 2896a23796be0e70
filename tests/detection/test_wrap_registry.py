import types

import pytest

SCOPE_MODULE = """
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


_frame = sys._getframe()
"""

# Functions that wrap themselves from their own running frame.
KERNEL_MODULE = """
def kernel(monitor):
    monitor._try_wrap_from_frame(sys._getframe())
    return "kernel"


def _hidden(monitor):
    monitor._try_wrap_from_frame(sys._getframe())
    return "hidden"


def run(monitor):
    return kernel(monitor)


def run_hidden(monitor):
    return _hidden(monitor)


class Holder:
    def method(self, monitor):
        monitor._try_wrap_from_frame(sys._getframe())

    def run(self, monitor):
        return self.method(monitor)


def outer(monitor):
    def nested():
        monitor._try_wrap_from_frame(sys._getframe())

    nested()


anonymous = lambda monitor: monitor._try_wrap_from_frame(sys._getframe())


def run_anonymous(monitor):
    return anonymous(monitor)
"""


def is_wrapper_of(obj, original):
    return getattr(obj, "_overflow_wrapped", False) is True and obj._original is original


def test_scope_wraps_public_user_functions_only(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    a, b, c, k, dumps, overflow = mod.a, mod.b, mod._c, mod.K, mod.dumps, mod.overflow
    wmonitor._wrap_scope(mod._frame)
    assert is_wrapper_of(mod.a, a) and is_wrapper_of(mod.b, b)
    # The module's own functions carry a __code__ whose file is the module's.
    assert (mod._c, mod.K, mod.dumps, mod.overflow) == (c, k, dumps, overflow)
    assert mod.a() == "a"
    assert list(wmonitor._wrapped_functions) == [id(a), id(b)]
    record = wmonitor._wrapped_functions[id(a)]
    assert record.original is a and record.name == "a" and record.wrapper is mod.a
    assert record.namespace is mod.__dict__


def test_scope_wrap_twice_changes_nothing(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    wmonitor._wrap_scope(mod._frame)
    wrappers = (mod.a, mod.b)
    wmonitor._wrap_scope(frame=mod._frame)
    assert (mod.a, mod.b) == wrappers
    assert len(wmonitor.wrappers_made) == 2 and len(wmonitor._wrapped_functions) == 2


def test_scope_wraps_lambdas_and_bound_methods_of_user_code(wmonitor, user_module):
    mod = user_module(
        SCOPE_MODULE + "\nsquare = lambda x: x * x\nbound = K().method\nlength = len\n"
    )
    square, bound = mod.square, mod.bound
    wmonitor._wrap_scope(mod._frame)
    assert is_wrapper_of(mod.square, square) and mod.square(3) == 9
    assert is_wrapper_of(mod.bound, bound) and mod.bound() == "method"
    assert mod.length is len


class Callable:
    """A callable carrying user code, whose marker attribute misbehaves as asked."""

    def __init__(self, code, marker_error=None, marker=None):
        self.__code__ = code
        self.marker_error = marker_error
        self.marker = marker

    def __call__(self):
        return "called"

    @property
    def _overflow_wrapped(self):
        if self.marker_error is not None:
            raise self.marker_error
        return self.marker


@pytest.mark.parametrize(
    ("marker_error", "marker", "wrapped"),
    [(None, False, True), (None, 0, True), (None, "yes", False), (AttributeError("x"), None, True)],
)
def test_scope_wraps_unless_the_marker_is_true(
    wmonitor, user_module, marker_error, marker, wrapped
):
    mod = user_module(SCOPE_MODULE)
    candidate = Callable(mod.a.__code__, marker_error, marker)
    mod.candidate = candidate
    wmonitor._wrap_scope(mod._frame)
    assert is_wrapper_of(mod.candidate, candidate) is wrapped


def test_scope_wrap_lets_other_errors_of_the_marker_through(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    mod.candidate = Callable(mod.a.__code__, RuntimeError("marker"))
    with pytest.raises(RuntimeError, match="marker"):
        wmonitor._wrap_scope(mod._frame)


def test_scope_wrap_of_none_does_nothing(wmonitor):
    wmonitor._wrap_scope(None)
    assert wmonitor._wrapped_functions == {}


def test_same_function_in_two_modules_is_wrapped_in_the_first_only(wmonitor, user_module):
    home = user_module(SCOPE_MODULE)
    other = user_module(f"from {home.__name__} import a\n_frame = sys._getframe()\n")
    original = home.a
    wmonitor._wrap_scope(other._frame)
    wmonitor._wrap_scope(home._frame)
    assert is_wrapper_of(other.a, original)
    assert home.a is original
    assert wmonitor._wrapped_functions[id(original)].namespace is other.__dict__
    assert len(wmonitor._wrapped_functions) == 2  # home's b


@pytest.mark.parametrize(("runner", "name"), [("run", "kernel"), ("run_hidden", "_hidden")])
def test_frame_wrap_rebinds_the_name_in_the_calling_module(wmonitor, user_module, runner, name):
    mod = user_module(KERNEL_MODULE)
    original = getattr(mod, name)
    getattr(mod, runner)(wmonitor)
    assert is_wrapper_of(getattr(mod, name), original)  # private functions too
    assert wmonitor._wrapped_functions[id(original)].namespace is mod.__dict__


def test_frame_wrap_rebinds_an_import_under_the_same_name_only_there(wmonitor, user_module):
    home = user_module(KERNEL_MODULE)
    kernel = home.kernel
    importer = user_module(
        f"from {home.__name__} import kernel\n\n\ndef use(monitor):\n    return kernel(monitor)\n"
    )
    importer.use(wmonitor)
    assert is_wrapper_of(importer.kernel, kernel)
    assert home.kernel is kernel


@pytest.mark.parametrize(
    "call",
    [
        lambda mod, m: mod.kernel(m),  # the test module does not bind the name
        lambda mod, m: mod.Holder().run(m),
        lambda mod, m: mod.outer(m),
        lambda mod, m: mod.run_anonymous(m),
        lambda mod, m: m._try_wrap_from_frame(
            types.SimpleNamespace(f_code=mod.kernel.__code__, f_back=None)
        ),
    ],
    ids=["unbound-caller", "method", "nested", "lambda", "no-caller"],
)
def test_frame_wrap_without_a_binding_changes_nothing(wmonitor, user_module, call):
    mod = user_module(KERNEL_MODULE)
    before = dict(mod.__dict__)
    call(mod, wmonitor)
    assert mod.__dict__ == before and wmonitor._wrapped_functions == {}


def test_frame_wrap_finds_no_function_under_another_name(wmonitor, user_module):
    home = user_module(KERNEL_MODULE)
    importer = user_module(
        f"from {home.__name__} import kernel as renamed\n\n\n"
        "def use(monitor):\n    return renamed(monitor)\n"
    )
    importer.use(wmonitor)
    assert wmonitor._wrapped_functions == {} and importer.renamed is home.kernel


def test_frame_wrap_passes_over_marked_objects_and_other_objects(wmonitor, user_module):
    home = user_module(KERNEL_MODULE)
    kernel = home.kernel
    middle = user_module(
        f"import {home.__name__} as home\n\n\ndef relay(monitor):\n    return home.run(monitor)\n"
    )
    outer = user_module(
        f"from {home.__name__} import kernel\nimport {middle.__name__} as middle\n\n\n"
        "def use(monitor):\n    return middle.relay(monitor)\n"
    )
    # Equal to the kernel's code object, but not the same one.
    middle.kernel = types.FunctionType(kernel.__code__.replace(co_filename="copy.py"), {})
    home.kernel = lambda monitor: kernel(monitor)
    home.kernel._overflow_wrapped = True
    outer.use(wmonitor)
    assert is_wrapper_of(outer.kernel, kernel)
    assert wmonitor._wrapped_functions[id(kernel)].namespace is outer.__dict__


def test_register_holds_the_lock_and_keeps_one_record_per_function(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    a = mod.a
    other = {"alias": a}
    wmonitor._register_wrap(a, "a", mod.__dict__)
    wmonitor._register_wrap(func_obj=a, func_name="alias", namespace=other)
    assert other == {"alias": a}
    assert wmonitor.lock_held_while_wrapping == [True]
    assert not wmonitor._lock.locked()


@pytest.mark.parametrize(
    ("name", "namespace", "argument", "got"),
    [
        (None, {}, "func_name", "NoneType"),
        (b"f", {}, "func_name", "bytes"),
        ("f", None, "namespace", "NoneType"),
        ("f", types.MappingProxyType({}), "namespace", "mappingproxy"),
        ("f", type("DictSubclass", (dict,), {})(), "namespace", "DictSubclass"),
    ],
)
def test_register_checks_argument_types(wmonitor, name, namespace, argument, got):
    with pytest.raises(TypeError) as error:
        wmonitor._register_wrap(len, name, namespace)
    expected = "dict" if argument == "namespace" else "str"
    assert str(error.value) == (
        f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"
    )
    assert wmonitor.wrappers_made == [] and wmonitor._wrapped_functions == {}


def test_register_releases_the_lock_when_the_wrapper_factory_fails(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    a = mod.a

    def failing(original):
        raise RuntimeError("no wrapper")

    wmonitor._make_wrapper = failing
    with pytest.raises(RuntimeError, match="no wrapper"):
        wmonitor._register_wrap(a, "a", mod.__dict__)
    assert not wmonitor._lock.locked()
    assert mod.a is a and wmonitor._wrapped_functions == {}


def test_failed_record_leaves_the_wrapper_bound_without_record(
    wmonitor, user_module, ov, monkeypatch
):
    mod = user_module(SCOPE_MODULE)
    a = mod.a

    def no_record(**fields):
        raise ValueError(sorted(fields))

    monkeypatch.setattr(ov, "_WrapRecord", no_record)
    with pytest.raises(ValueError) as error:
        wmonitor._register_wrap(a, "a", mod.__dict__)
    assert error.value.args[0] == ["name", "namespace", "original", "wrapper"]
    assert is_wrapper_of(mod.a, a) and wmonitor._wrapped_functions == {}
    assert not wmonitor._lock.locked()
    mod.a = a


def test_unwrap_restores_every_binding_and_resets_state(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    a, b = mod.a, mod.b
    wmonitor._wrap_scope(mod._frame)
    wmonitor._heavy_signatures.add(("a", mod.__file__, 1))
    wmonitor._scope_wrapped = True
    mod.b = "rebound by the user"
    wmonitor._unwrap_all()
    assert (mod.a, mod.b) == (a, b)
    assert wmonitor._wrapped_functions == {} and wmonitor._heavy_signatures == set()
    assert wmonitor._scope_wrapped is False
    wmonitor._wrap_scope(mod._frame)  # wrapped anew, with new wrappers
    assert len(wmonitor.wrappers_made) == 4 and is_wrapper_of(mod.a, a)


def test_unwrap_logs_a_failed_restore_and_goes_on(wmonitor, user_module, records):
    mod = user_module(SCOPE_MODULE)
    a, b = mod.a, mod.b
    wmonitor._wrap_scope(mod._frame)
    wmonitor._scope_wrapped = True
    failing = wmonitor._wrapped_functions[id(a)]
    failing.namespace = types.MappingProxyType(mod.__dict__)
    wmonitor._unwrap_all()
    assert mod.b is b and is_wrapper_of(mod.a, a)
    assert wmonitor._wrapped_functions == {} and wmonitor._scope_wrapped is False
    [record] = records()
    assert record.levelname == "ERROR" and record.msg == "Failed to unwrap %s: %s"
    assert record.args[0] == "a" and isinstance(record.args[1], TypeError)
    mod.a = a


def test_unwrap_holds_the_lock_and_lets_non_exceptions_through(wmonitor, user_module):
    mod = user_module(SCOPE_MODULE)
    wmonitor._wrap_scope(mod._frame)
    lock_states = []

    class Interrupting(dict):
        def __setitem__(self, key, value):
            lock_states.append(wmonitor._lock.locked())
            raise KeyboardInterrupt

    wmonitor._wrapped_functions[id(mod.a._original)].namespace = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        wmonitor._unwrap_all()
    assert lock_states == [True] and not wmonitor._lock.locked()
    assert len(wmonitor._wrapped_functions) == 2  # not cleared: the interruption left early
    del wmonitor._wrapped_functions[id(mod.a._original)]
