"""Code that the module runs in the middle of its own lookups, such as the __eq__ of an odd key in
a monitor's __dict__, may use the module again for another monitor; each monitor must still be
judged by its own state."""

import sys
import threading
import types

from stand_ins import join_threads


def new_monitor(ov):
    return ov._OverflowMonitor(False, 85.0, 0.5, None, "http://127.0.0.1:9")


def test_hook_reentered_for_another_monitor_during_a_lookup_keeps_the_monitors_apart(ov):
    watched = new_monitor(ov)
    other = new_monitor(ov)
    other._running = True
    frame = sys._getframe()

    class Collider:
        """Shares the hash of "_call_stack", so looking that name up compares with it."""

        def __hash__(self):
            return hash("_call_stack")

        def __eq__(self, name):
            other._profile_hook(frame, "call", None)
            return False

    state = watched.__getstate__()
    watched.__dict__.clear()
    watched.__dict__[Collider()] = None
    watched.__setstate__(state)

    assert watched._profile_hook(frame, "call", None) is None
    assert watched._call_stack == []
    assert other._call_stack
    assert all(entry["name"] == frame.f_code.co_name for entry in other._call_stack)


# The module's locks are not re-entrant. Code that runs while one is held (here a __del__ run by
# dropping the last reference, as a garbage collection would) may ask for the same lock on the
# same thread; each case runs on a daemon thread so that a deadlock fails instead of hanging.


def finishes(action):
    outcome = {}

    def run():
        outcome["result"] = action()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    join_threads([thread])
    return outcome["result"]


class OnDelete:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def test_registration_reentered_from_a_finaliser_leaves_the_inner_function_unwrapped(ov):
    watched = new_monitor(ov)

    def outer():
        return "outer"

    def inner():
        return "inner"

    ns = {"outer": OnDelete(lambda: watched._register_wrap(inner, "inner", ns)), "inner": inner}

    finishes(lambda: watched._register_wrap(outer, "outer", ns))

    assert list(watched._wrapped_functions) == [id(outer)]
    assert ns["inner"] is inner
    watched._register_wrap(inner, "inner", ns)
    assert list(watched._wrapped_functions) == [id(outer), id(inner)]


def test_unwrap_reentered_from_a_finaliser_raises_there_and_restores_everything(ov, monkeypatch):
    watched = new_monitor(ov)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def first():
        return 1

    def second():
        return 2

    ns = {"first": first, "second": second}
    watched._register_wrap(first, "first", ns)
    watched._register_wrap(second, "second", ns)
    ns["first"] = OnDelete(watched._unwrap_all)

    finishes(watched._unwrap_all)

    assert ns == {"first": first, "second": second}
    assert watched._wrapped_functions == {}
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]


def test_wrapper_called_while_its_client_is_created_on_the_same_thread_runs_locally(
    ov, monkeypatch, records
):
    watched = new_monitor(ov)
    watched._overloaded = True
    calls = []

    def compute(x):
        calls.append(x)
        return x * 2

    wrapper = watched._make_wrapper(compute)
    inner_results = []

    class VazoVez:
        def __init__(self, **settings):
            dropped = OnDelete(lambda: inner_results.append(wrapper(5)))
            del dropped

        def __enter__(self):
            return self

        def run(self, func, *args, **kwargs):
            return ("cloud", func(*args, **kwargs))

    monkeypatch.setitem(sys.modules, "zuvoda.client", types.SimpleNamespace(VazoVez=VazoVez))

    assert finishes(lambda: wrapper(3)) == ("cloud", 6)
    assert inner_results == [10]
    assert calls == [5, 3]
    warnings = [r.getMessage() for r in records() if r.levelname == "WARNING"]
    assert len(warnings) == 1 and "being created on this thread" in warnings[0]
