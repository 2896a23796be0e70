"""Many threads at once, code re-entering the module under its own locks, and references kept."""

import contextlib
import gc
import random
import sys
import threading
import types

import pytest

SOURCE = """
def square(x):
    return x * x


def refuse(x):
    raise ValueError(x)


def heavy(monitor, n):
    monitor._overloaded = True
    return sum(range(n))


def driver(monitor, n):
    return heavy(monitor, n) + square(n)
"""
FALLBACK = "Cloud offload of %s() failed (%s) — falling back to local"


def finishes(action):
    """Runs `action` on a daemon thread, so that a self-deadlock fails instead of hanging."""
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(action()), daemon=True)
    thread.start()
    thread.join(10)
    assert outcome, "deadlocked or failed"
    return outcome[0]


@pytest.fixture
def cloud(monkeypatch):
    """A client running calls in-process; every `fail_every`-th run fails first."""
    state = types.SimpleNamespace(runs=0, fail_every=0)

    def run(func, *args, **kwargs):
        state.runs += 1
        if state.fail_every and state.runs % state.fail_every == 0:
            raise RuntimeError("scripted cloud failure")
        return func(*args, **kwargs)

    client = types.SimpleNamespace(__enter__=lambda: client, run=run)
    monkeypatch.setitem(sys.modules, "zuvoda.client", types.SimpleNamespace(
        VazoVez=lambda **settings: client))
    return state


def test_calls_flips_and_restarts_from_many_threads_at_once(
        ov, calm_machine, cloud, module_writer, records, monkeypatch):
    module, cloud.fail_every = module_writer(SOURCE), 3
    caller = types.SimpleNamespace(f_globals=vars(module), f_code=types.SimpleNamespace(
        co_filename="<threads>"))
    unhandled, errors, done = [], [], threading.Event()
    monkeypatch.setattr(threading, "excepthook", unhandled.append)

    def worker(seed):  # calls and flips the active monitor; worker 0 also restarts it
        rng = random.Random(seed)
        while not done.is_set():
            if seed == 0:
                ov.overflow(check_interval=0.001, verbose=rng.random() < 0.5,
                            _caller_frame=caller)
                if rng.random() < 0.5:
                    ov._active_monitor.stop()
            if (monitor := ov._active_monitor) is not None:
                monitor._overloaded = rng.random() < 0.7
            x = rng.randrange(-1000, 1000)
            if module.square(x) != x * x:
                errors.append(x)
            with pytest.raises(ValueError, match=f"^{x}$"):
                module.refuse(x)
        if seed == 0:
            ov._active_monitor.stop()

    def every_path_taken():
        return cloud.runs >= 5 and sum(r.msg == FALLBACK for r in records()) >= 5

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(5)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more interleavings
    try:
        for thread in threads:
            thread.start()
        for _ in range(6000):  # waited for without a clock: at most 60 s
            if every_path_taken():
                break
            done.wait(0.01)
    finally:
        done.set()
        sys.setswitchinterval(interval)
    for thread in threads + [t for t in threading.enumerate() if t.name == "zuvoda-overflow"]:
        thread.join(20)
        assert not thread.is_alive()
    assert (errors, unhandled) == ([], []) and every_path_taken()
    assert not hasattr(module.square, "_overflow_wrapped")


def OnDelete(action):  # noqa: N802 - an object that runs `action` when it is deleted
    return type("OnDelete", (), {"__del__": lambda self: action()})()


# The module's locks are not re-entrant: a finaliser run while one is held (as a garbage
# collection would) may ask for the same lock on the same thread.
def test_registration_reentered_from_a_finaliser_leaves_the_inner_function_unwrapped(monitor):
    def outer():
        pass

    def inner():
        pass

    ns = {"outer": OnDelete(lambda: monitor._register_wrap(inner, "inner", ns)), "inner": inner}
    finishes(lambda: monitor._register_wrap(outer, "outer", ns))
    assert list(monitor._wrapped_functions) == [id(outer)] and ns["inner"] is inner
    monitor._register_wrap(inner, "inner", ns)
    assert list(monitor._wrapped_functions) == [id(outer), id(inner)]


def test_unwrap_reentered_from_a_finaliser_raises_there_and_restores_everything(
        monitor, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    ns = {"first": lambda: 1, "second": lambda: 2}
    originals = dict(ns)
    for name, function in originals.items():
        monitor._register_wrap(function, name, ns)
    ns["first"] = OnDelete(monitor._unwrap_all)
    finishes(monitor._unwrap_all)
    assert ns == originals and monitor._wrapped_functions == {}
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]


def test_wrapper_called_while_its_client_is_created_on_the_same_thread_runs_locally(
        monitor, monkeypatch, records):
    calls, inner = [], []
    monitor._overloaded = True
    wrapper = monitor._make_wrapper(lambda x: calls.append(x) or x * 2)

    def client(**settings):
        OnDelete(lambda: inner.append(wrapper(5)))  # deleted at once, within the creation
        return types.SimpleNamespace(__enter__=lambda: None, run=lambda f, x: ("cloud", f(x)))

    monkeypatch.setitem(sys.modules, "zuvoda.client", types.SimpleNamespace(VazoVez=client))
    assert finishes(lambda: wrapper(3)) == ("cloud", 6)
    assert (inner, calls) == ([10], [5, 3])
    warnings = [r.getMessage() for r in records() if r.levelname == "WARNING"]
    assert len(warnings) == 1 and "being created on this thread" in warnings[0]


# A reference leaked per event or per call shows in a reference count, even where it leaves no
# object behind.
def test_hook_and_wrapper_paths_keep_no_reference(
        ov, monitor, module_writer, cloud, monkeypatch):
    module = module_writer(SOURCE)
    monkeypatch.setattr(ov, "logger", types.SimpleNamespace(**dict.fromkeys(
        ("debug", "info", "warning", "error"), lambda *a, **k: None)))
    monitor.__dict__.update(_running=True, _gpu_util=1.5, _gpu_mem_util=2.5, _gpu_available=True)
    calm = [(40.5, 50.5), (41.5, 51.5)]  # figures that change from one call to the next
    square, cloud.fail_every = monitor._make_wrapper(module.square), 2
    functions = [module.square, module.refuse, module.heavy, module.driver]
    codes = [function.__code__ for function in functions]
    keys = ("name", "filename", "lineno", "start_cpu", "start_mem", "start_gpu", "start_gpu_mem")
    touched = [monitor, square, *functions, *codes, module.__file__, *map(sys.intern, keys),
               *(code.co_name for code in codes), *calm[0], *calm[1], *(monitor.__dict__[name]
                   for name in ("_gpu_util", "_gpu_mem_util", "threshold", "_call_stack",
                                "_filename_cache", "_wrapped_functions"))]

    def rounds(count):
        for n in range(count):
            sys.setprofile(monitor._profile_hook)
            try:
                for monitor._cpu_usage, monitor._mem_usage in calm:  # calm: the second call
                    module.square(n)  # refills the first one's entry, with other figures
                module.driver(monitor, 10)
                with contextlib.suppress(ValueError):
                    module.refuse(1)
            finally:
                sys.setprofile(None)
            monitor._unwrap_all()
            assert [square(3) for monitor._overloaded in (True, True, False)] == [9] * 3
        gc.collect()
        return [sys.getrefcount(thing) for thing in touched], len(gc.get_objects())

    rounds(5)
    (before, objects_before), (after, objects_after) = rounds(2), rounds(40)
    assert [(repr(t)[:60], b, a) for t, b, a in zip(touched, before, after) if a != b] == []
    assert objects_after - objects_before <= 8
