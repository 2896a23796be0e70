"""pytest plugin: runs a project's test suite with zuvoda's overflow() active.

    OVERFLOW_TRANSPARENCY=calm        overflow(threshold=100.0) on the real psutil: nothing is
                                      strictly above 100 percent, so the machine never counts as
                                      overloaded
    OVERFLOW_TRANSPARENCY=overloaded  held overloaded from the start (psutil reports 99 percent):
                                      the profile hook wraps every user function it sees entered,
                                      and every wrapped call goes through a stand-in cloud client
                                      whose run() calls the function in-process

Load it with `-p overflow_plugin`, with this directory and the zuvoda package on PYTHONPATH.
overflow() is called in pytest_configure, before any test module is imported, on the thread that
runs the tests. Test files, and a project's own modules when imported from its source tree, lie
outside the interpreter's library directories: they are user code to the monitor. When
OVERFLOW_TRANSPARENCY_REPORT names a file, a line saying what was wrapped and offloaded is
appended to it at the end of the session.
"""

import itertools
import logging
import os
import sys
import time
import types

MODE = os.environ.get("OVERFLOW_TRANSPARENCY", "")
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


class FallbackCounter(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.count = 0

    def emit(self, record):
        if record.msg == FALLBACK:
            self.count += 1


FALLBACKS = FallbackCounter()
WRAPPED = []


def pytest_configure(config):
    if MODE not in ("calm", "overloaded"):
        return
    if MODE == "overloaded":
        sys.modules["psutil"] = OverloadedPsutil()
        sys.modules["pynvml"] = None
        client = types.ModuleType("zuvoda.client")
        client.VazoVez = VazoVez
        sys.modules["zuvoda.client"] = client
    from zuvoda.overflow import overflow

    logging.getLogger("zuvoda.overflow").addHandler(FALLBACKS)
    # A caller of its own, so that overflow() wraps no function of this plugin and sends nothing
    # ahead: the project's functions are left to the profile hook.
    caller = types.SimpleNamespace(
        f_globals={}, f_code=types.SimpleNamespace(co_filename="<overflow transparency>")
    )
    threshold = 100.0 if MODE == "calm" else 85.0
    monitor = overflow(threshold=threshold, verbose=False, _caller_frame=caller)
    if MODE == "overloaded":
        monitor._cpu_usage = 99.0
        monitor._overloaded = True
    config.stash_overflow_monitor = monitor


def pytest_unconfigure(config):
    monitor = getattr(config, "stash_overflow_monitor", None)
    if monitor is None:
        return
    WRAPPED.extend(record.name for record in monitor._wrapped_functions.values())
    overloaded = monitor._overloaded
    monitor.stop()
    report = os.environ.get("OVERFLOW_TRANSPARENCY_REPORT")
    if report:
        with open(report, "a", encoding="utf-8") as out:
            out.write(
                f"mode={MODE} overloaded-at-end={overloaded} wrapped={len(WRAPPED)} "
                f"offloaded={next(RUNS) - 1} fallbacks={FALLBACKS.count}\n"
            )
