"""Several threads call wrapped functions while another flips the overload state and another stops
and restarts the monitor through overflow(): nothing crashes, nothing hangs, and every call returns
what the function computes, whether it ran locally, in the cloud or in the cloud's fallback."""

import random
import sys
import threading
import time
import types

from stand_ins import join_threads, sampling_threads

WORKERS = 4
# The threads go on until each path was taken a few times and this long has passed, at most
# HARD_LIMIT seconds (reached only on a very slow machine, under valgrind for instance).
MINIMUM_DURATION = 1.0
HARD_LIMIT = 60.0
MINIMUM_EACH = 5

SOURCE = """
def square(x):
    return x * x


def scaled(a, b=1, *, scale=1):
    return (a + b) * scale


def refuse(x):
    raise ValueError(x)
"""

FALLBACK = "Cloud offload of %s() failed (%s) \u2014 falling back to local"


def test_calls_flips_and_restarts_from_many_threads_at_once(
    ov, calm_machine, in_process_cloud, formatted_logs, user_module, capsys, monkeypatch
):
    module = user_module(SOURCE)
    cloud = in_process_cloud(fail_every=3)
    caller = types.SimpleNamespace(
        f_globals=vars(module), f_code=types.SimpleNamespace(co_filename="<threads>")
    )
    unhandled = []
    monkeypatch.setattr(threading, "excepthook", unhandled.append)
    errors = []
    calls = []
    started = time.monotonic()

    def finished():
        elapsed = time.monotonic() - started
        covered = cloud.runs >= MINIMUM_EACH and formatted_logs.counts[FALLBACK] >= MINIMUM_EACH
        return elapsed > HARD_LIMIT or (elapsed > MINIMUM_DURATION and covered)

    # An exception that ends a thread reaches `unhandled` through threading.excepthook.
    def worker(seed):
        rng = random.Random(seed)
        count = 0
        while count == 0 or not finished():
            x = rng.randrange(-1000, 1000)
            results = (module.square(x), module.scaled(x, b=2, scale=3), module.scaled(x))
            if results != (x * x, (x + 2) * 3, x + 1):
                errors.append(f"results {results} for {x}")
            try:
                module.refuse(x)
                errors.append("refuse() returned")
            except ValueError as exc:
                if exc.args != (x,):
                    errors.append(f"refuse({x}) raised {exc!r}")
            count += 1
        calls.append(count)

    def flipper():
        rng = random.Random(1)
        while not finished():
            monitor = ov._active_monitor
            if monitor is not None:
                monitor._cpu_usage = rng.uniform(0.0, 100.0)
                monitor._mem_usage = rng.uniform(0.0, 100.0)
                monitor._overloaded = rng.random() < 0.7

    def restarter():
        rng = random.Random(2)
        try:
            while not finished():
                ov.overflow(check_interval=0.001, verbose=rng.random() < 0.5, _caller_frame=caller)
                if rng.random() < 0.5:
                    ov._active_monitor.stop()
        finally:
            if ov._active_monitor is not None:
                ov._active_monitor.stop()

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(WORKERS)]
    threads += [threading.Thread(target=flipper), threading.Thread(target=restarter)]
    # Thread switches every few bytecodes rather than every 5 ms: many more interleavings.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        join_threads(threads, timeout=HARD_LIMIT + 20.0)
    finally:
        sys.setswitchinterval(interval)
    join_threads(sampling_threads())
    capsys.readouterr()

    assert errors == []
    assert unhandled == []
    assert len(calls) == WORKERS and min(calls) > 0
    assert cloud.runs >= MINIMUM_EACH
    assert formatted_logs.counts[FALLBACK] >= MINIMUM_EACH
    assert not hasattr(module.square, "_overflow_wrapped")
