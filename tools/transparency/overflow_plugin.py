"""pytest plugin: runs a project's test suite with zuvoda's overflow() active.

    OVERFLOW_TRANSPARENCY=calm        overflow(threshold=100.0) on the real psutil: nothing is
                                      strictly above 100 percent, so the machine never counts as
                                      overloaded
    OVERFLOW_TRANSPARENCY=overloaded  held overloaded from the start (psutil reports 99 percent):
                                      the profile hook wraps every user function it sees entered,
                                      and every wrapped call goes through a stand-in cloud client
                                      whose run() calls the function in-process
    OVERFLOW_TRANSPARENCY=service     held overloaded the same way, with the real zuvoda.client:
                                      every wrapped call goes to the service that ZUVODA_API_URL
                                      and ZUVODA_API_KEY name

Load it with `-p overflow_plugin`, with this directory and the zuvoda package on PYTHONPATH.
overflow() is called in pytest_configure, before any test module is imported, on the thread that
runs the tests. Test files, and a project's own modules when imported from its source tree, lie
outside the interpreter's library directories: they are user code to the monitor. When
OVERFLOW_TRANSPARENCY_REPORT names a file, a JSON line saying what was wrapped, offloaded and
fallen back is appended to it at the end of the session; under "service", the offloaded calls
are the service's own count (GET /v1/stats).
"""

import collections
import itertools
import json
import logging
import os
import sys
import time
import types

MODE = os.environ.get("OVERFLOW_TRANSPARENCY", "")
MODES = ("calm", "overloaded", "service")
FALLBACK = "Cloud offload of %s() failed (%s) \u2014 falling back to local"


class OverloadedPsutil(types.ModuleType):
    """psutil on a machine that stays at 99 percent CPU."""

    def __init__(self):
        super().__init__("psutil")

    def cpu_percent(self, interval=None):
        if interval:
            time.sleep(interval)
        return 99.0

    def virtual_memory(self):
        return types.SimpleNamespace(percent=50.0)


RUNS = itertools.count(1)


class VazoVez:
    """The cloud client, standing in: runs each call in-process and counts it."""

    def __init__(self, *, api_key, fast, api_url, verbose):
        self.verbose = verbose

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None

    def run(self, func, *args, **kwargs):
        next(RUNS)
        return func(*args, **kwargs)


def cause(failure):
    """The failure's type name; a service error also names the remote exception's type."""
    name = type(failure).__name__
    remote = getattr(failure, "remote_type", None)
    return f"{name}({remote})" if remote else name


class FallbackCounter(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.causes = collections.Counter()
        self.examples = {}

    def emit(self, record):
        if record.msg == FALLBACK:
            name, failure = record.args
            found = cause(failure)
            self.causes[found] += 1
            message = getattr(failure, "remote_message", None) or str(failure)
            self.examples.setdefault(found, f"{name}(): {message.splitlines()[0][:200]}")


FALLBACKS = FallbackCounter()


def pytest_configure(config):
    if MODE not in MODES:
        return
    if MODE != "calm":
        sys.modules["psutil"] = OverloadedPsutil()
        sys.modules["pynvml"] = None
    if MODE == "overloaded":
        client = types.ModuleType("zuvoda.client")
        client.VazoVez = VazoVez
        sys.modules["zuvoda.client"] = client
    if MODE == "service" and not (
        os.environ.get("ZUVODA_API_URL") and os.environ.get("ZUVODA_API_KEY")
    ):
        raise RuntimeError("OVERFLOW_TRANSPARENCY=service needs ZUVODA_API_URL and ZUVODA_API_KEY")
    from zuvoda.overflow import overflow

    logging.getLogger("zuvoda.overflow").addHandler(FALLBACKS)
    # A caller of its own, so that overflow() wraps no function of this plugin and sends nothing
    # ahead: the project's functions are left to the profile hook.
    caller = types.SimpleNamespace(
        f_globals={}, f_code=types.SimpleNamespace(co_filename="<overflow transparency>")
    )
    threshold = 100.0 if MODE == "calm" else 85.0
    monitor = overflow(threshold=threshold, verbose=False, _caller_frame=caller)
    # This file is no user code: wrapped, the fallback counter would offload itself while it
    # counts a fallback, and fail, and count again.
    monitor._exclude_prefixes = (*monitor._exclude_prefixes, os.path.abspath(__file__))
    if MODE != "calm":
        monitor._cpu_usage = 99.0
        monitor._overloaded = True
    config.stash_overflow_monitor = monitor


def service_calls():
    """The service's count of calls: {"started", "succeeded", "failed"}."""
    import httpx

    answer = httpx.get(
        os.environ["ZUVODA_API_URL"].rstrip("/") + "/v1/stats",
        headers={"Authorization": f"Bearer {os.environ['ZUVODA_API_KEY']}"},
        timeout=10.0,
    )
    answer.raise_for_status()
    return answer.json()["calls"]


def pytest_unconfigure(config):
    monitor = getattr(config, "stash_overflow_monitor", None)
    if monitor is None:
        return
    wrapped = len(monitor._wrapped_functions)
    overloaded = monitor._overloaded
    monitor.stop()
    report = os.environ.get("OVERFLOW_TRANSPARENCY_REPORT")
    if not report:
        return
    if MODE == "service":
        calls = service_calls()
    else:
        calls = {"started": next(RUNS) - 1}
    line = {
        "mode": MODE,
        "overloaded_at_end": overloaded,
        "wrapped": wrapped,
        "offloaded": calls,
        "fallbacks": dict(FALLBACKS.causes.most_common()),
        "first_fallback_of_each_cause": FALLBACKS.examples,
    }
    with open(report, "a", encoding="utf-8") as out:
        out.write(json.dumps(line) + "\n")
