"""Repeated work leaves nothing behind: after warm-up rounds, further rounds of each activity keep
the interpreter's allocated blocks and its GC-tracked objects where they were, and the objects the
hot paths touch keep their reference counts."""

import contextlib
import copy
import gc
import io
import json
import logging
import pickle
import sys
import threading
import types
from http.server import BaseHTTPRequestHandler, HTTPServer

import pytest
from stand_ins import CloudFailure, join_threads

WARM_UP = 5
ROUNDS = 40
# Caches of the interpreter and of the module settle during the warm-up. A leak of a single
# object or block per round ends up ROUNDS above the start, far beyond these margins.
OBJECT_TOLERANCE = 8
BLOCK_TOLERANCE = 16

USER_SOURCE = """
import sys


def add(a, b=1, *, scale=1):
    return (a + b) * scale


def fail(value):
    raise ValueError(value)


def numbers(n):
    yield from range(n)


def here():
    return sys._getframe()


def heavy(monitor, n):
    monitor._overloaded = True
    return sum(range(n))


def driver(monitor, n):
    return heavy(monitor, n) + add(n)
"""


class PreWarmService(BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        body = json.dumps({"warm_session_id": "warm-1"}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def pre_warm_service():
    server = HTTPServer(("127.0.0.1", 0), PreWarmService)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    join_threads([thread])


@pytest.fixture
def private_logger(ov, formatted_logs, monkeypatch):
    """The module logs through a logger of its own, out of the logging manager's reach: pytest's
    capture handlers, which newer versions attach to every logger, keep every record."""
    logger = logging.Logger(ov.logger.name, logging.DEBUG)  # noqa: LOG001 - deliberately unregistered
    logger.propagate = False
    logger.addHandler(formatted_logs)
    monkeypatch.setattr(ov, "logger", logger)


@pytest.fixture
def env(ov, calm_machine, in_process_cloud, private_logger, user_module, pre_warm_service):
    module = user_module(USER_SOURCE)
    return types.SimpleNamespace(
        ov=ov,
        module=module,
        frame=module.here(),
        cloud=in_process_cloud(),
        exit_handlers=calm_machine,
        service_url=pre_warm_service,
    )


def new_monitor(env, **overrides):
    arguments = {"fast": False, "threshold": 85.0, "check_interval": 0.001, "api_key": None,
                 "api_url": "http://127.0.0.1:9", "verbose": False}
    return env.ov._OverflowMonitor(**(arguments | overrides))


@contextlib.contextmanager
def new_threads_joined():
    """Joins, on the way out, every thread started inside the block."""
    before = set(threading.enumerate())
    yield
    join_threads([t for t in threading.enumerate() if t not in before])


def construction_and_pickling(env):
    ov = env.ov
    monitor = ov._OverflowMonitor(1, 85, 0.5, "key", None, 90, 0, True, None)
    for duplicate in (pickle.loads(pickle.dumps(monitor)), copy.copy(monitor),
                      copy.deepcopy(monitor)):
        assert duplicate.gpu_threshold == 90.0
    monitor.__setstate__(monitor.__getstate__())
    for arguments in [(False, "x", 0.5, None, None), (False, 85, 0.5, 1, None), ()]:
        with pytest.raises(TypeError):
            ov._OverflowMonitor(*arguments)
    record = ov._WrapRecord(original=len, name="len", namespace={}, wrapper=len)
    assert record.original is len
    with pytest.raises(TypeError):
        ov._WrapRecord(len, None, {}, len)
    assert monitor._is_user_code(env.module.__file__)
    assert not monitor._is_user_code("<string>")
    assert monitor._check_user_code("relative.py")
    assert ov._compute_exclude_prefixes()


def start_and_stop(env):
    monitor = new_monitor(env)
    monitor.start()
    thread = monitor._monitor_thread
    monitor.start()
    assert env.module.add(1) == 2
    monitor.stop()
    monitor.stop()
    join_threads([thread])
    assert len(env.exit_handlers) == 1
    env.exit_handlers.clear()


def entry_function(env):
    with new_threads_joined():
        env.ov.overflow(check_interval=0.001, verbose=False, _caller_frame=env.frame)
        assert env.module.add(1, 2) == 3
        env.ov.overflow(check_interval=0.001, verbose=False, _caller_frame=env.frame)
        env.ov._active_monitor.stop()
    assert not hasattr(env.module.add, "_overflow_wrapped")
    env.exit_handlers.clear()


def scope_wrap_and_unwrap(env):
    monitor = new_monitor(env)
    original = env.module.add
    monitor._wrap_scope(env.frame)
    monitor._wrap_scope(env.frame)
    assert env.module.add is not original
    assert env.module.add(2, scale=2) == 6
    monitor._try_wrap_from_frame(env.frame)
    monitor._unwrap_all()
    assert env.module.add is original


def local_calls(env):
    monitor = new_monitor(env)
    add = monitor._make_wrapper(env.module.add)
    assert add(1) == 2
    assert add(1, b=2, scale=3) == 9
    assert list(monitor._make_wrapper(env.module.numbers)(3)) == [0, 1, 2]
    with pytest.raises(ValueError):
        monitor._make_wrapper(env.module.fail)("local")
    monitor._overloaded = True
    monitor._vazovez_failed = True
    assert add(4) == 5


def offloaded_calls(env):
    monitor = new_monitor(env, verbose=True)
    monitor._overloaded = True
    add = monitor._make_wrapper(env.module.add)
    with contextlib.redirect_stdout(io.StringIO()):
        assert add(1, b=2, scale=3) == 9
        assert add(5) == 6
        assert list(monitor._make_wrapper(env.module.numbers)(2)) == [0, 1]
    assert monitor._vazovez is not None
    monitor._running = True
    monitor.stop()


def failing_offloads(env):
    env.cloud.fail_every = 1
    monitor = new_monitor(env, verbose=True)
    monitor._overloaded = True
    with contextlib.redirect_stdout(io.StringIO()):
        assert monitor._make_wrapper(env.module.add)(1) == 2
        with pytest.raises(ValueError) as raised:
            monitor._make_wrapper(env.module.fail)("both")
        assert isinstance(raised.value.__context__, CloudFailure)
    env.cloud.refuse = True
    refused = new_monitor(env)
    refused._overloaded = True
    add = refused._make_wrapper(env.module.add)
    assert add(1) == 2
    assert refused._vazovez_failed
    assert add(2) == 3
    env.cloud.refuse = False
    env.cloud.fail_every = 0


def profile_hook(env):
    monitor = new_monitor(env)
    monitor._running = True
    original = env.module.heavy
    sys.setprofile(monitor._profile_hook)
    try:
        assert env.module.driver(monitor, 10) == 45 + 11
        assert env.module.add(1) == 2
        assert list(env.module.numbers(2)) == [0, 1]
    finally:
        sys.setprofile(None)
    assert ("heavy", env.module.__file__, original.__code__.co_firstlineno) in (
        monitor._heavy_signatures)
    assert env.module.heavy is not original
    monitor._running = False
    monitor._unwrap_all()
    assert env.module.heavy is original


def pre_warm(env):
    monitor = new_monitor(env, api_key="key", api_url=env.service_url)
    with new_threads_joined():
        monitor._start_pre_warm(env.module.__file__)
    assert monitor._warm_result == {"warm_session_id": "warm-1"}
    with new_threads_joined():
        new_monitor(env, api_key="key")._start_pre_warm(None)


def measure():
    # The interpreter's method cache keeps the attribute names it saw last, up to a few thousand.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


@pytest.mark.parametrize("activity", [
    construction_and_pickling,
    start_and_stop,
    entry_function,
    scope_wrap_and_unwrap,
    local_calls,
    offloaded_calls,
    failing_offloads,
    profile_hook,
    pre_warm,
], ids=lambda activity: activity.__name__)
def test_repeated_activity_leaves_nothing_behind(env, activity):
    for _ in range(WARM_UP):
        activity(env)
    blocks_before, objects_before = measure()
    for _ in range(ROUNDS):
        activity(env)
    blocks_after, objects_after = measure()
    assert objects_after - objects_before <= OBJECT_TOLERANCE, (objects_before, objects_after)
    assert blocks_after - blocks_before <= BLOCK_TOLERANCE, (blocks_before, blocks_after)


ENTRY_KEYS = ("name", "filename", "lineno", "start_cpu", "start_mem", "start_gpu", "start_gpu_mem")


def hot_paths(env, monitor, wrapper, fake_frame):
    """Events of every kind, directly delivered and through the method, and wrapper calls."""
    sys.setprofile(monitor._profile_hook)
    try:
        env.module.driver(monitor, 10)  # heavy, twice
        env.module.add(1)
        list(env.module.numbers(3))
        with contextlib.suppress(ValueError):
            env.module.fail(1)
    finally:
        sys.setprofile(None)
    assert monitor._heavy_signatures
    monitor._overloaded = False
    monitor._unwrap_all()
    for event in ("call", "c_call", "return"):
        monitor._profile_hook(fake_frame, event, None)
    assert wrapper(1) == 2 and wrapper(1, b=2, scale=3) == 9


def test_hot_paths_keep_no_reference(env):
    """A reference leaked per event on an object that stays alive leaves no block or object behind;
    its reference count shows it."""
    monitor = new_monitor(env)
    monitor._running = True
    monitor.__dict__.update(_cpu_usage=40.5, _mem_usage=50.5, _gpu_util=1.5, _gpu_mem_util=2.5)
    wrapper = monitor._make_wrapper(env.module.add)
    names = ("add", "fail", "numbers", "heavy", "driver")
    functions = [getattr(env.module, name) for name in names]
    codes = [function.__code__ for function in functions]
    fake_code = types.SimpleNamespace(co_name="fake", co_filename=env.module.__file__,
                                      co_firstlineno=3)
    fake_frame = types.SimpleNamespace(f_code=fake_code, f_back=None)
    touched = [monitor, wrapper, *functions, *codes, fake_code, fake_frame,
               *{code.co_filename for code in codes}, *(code.co_name for code in codes),
               *(monitor.__dict__[name] for name in (
                   "_cpu_usage", "_mem_usage", "_gpu_util", "_gpu_mem_util", "threshold",
                   "_call_stack", "_filename_cache", "_wrapped_functions")),
               *map(sys.intern, ENTRY_KEYS)]

    def counts():
        gc.collect()
        return [sys.getrefcount(thing) for thing in touched]

    for _ in range(WARM_UP):
        hot_paths(env, monitor, wrapper, fake_frame)
    before = counts()
    for _ in range(ROUNDS):
        hot_paths(env, monitor, wrapper, fake_frame)
    after = counts()
    assert [(repr(t)[:60], b, a) for t, b, a in zip(touched, before, after) if a != b] == []
