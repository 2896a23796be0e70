"""Cost of watching: a calm monitor against no watching at all, and against what the interpreter
itself charges any profile function.

Run with the built module on the path, e.g. ``PYTHONPATH=build/dev python3
benchmarks/hook_overhead.py``, once per interpreter. Workloads: user code, ``fib(20)`` and a loop of
small functions of this file, each call a user-code "call" and "return" for the hook; library
code, a loop of standard-library calls and built-ins and a loop of ``math.sin`` calls, whose events
the hook must let pass cheaply; and a real project's test suite (toolz's, copied out of the
installed package so that it counts as user code), run in a child process plain, under cProfile
and under ``overflow()``, its child CPU time compared.

Each workload runs with no hook, with two C profile functions that do nothing, with cProfile,
with the monitor's hook installed with ``sys.setprofile`` (the 3.11 way, and the fallback on later
interpreters) and with a monitor started by ``start()`` (from 3.12 on through sys.monitoring); the
monitors run calm, never overloaded. The first no-op is installed with
``sys.setprofile`` and so goes through the interpreter's trampoline, as any Python-level hook does;
the second is installed with ``PyEval_SetProfile`` and costs only what the interpreter spends on
any profiler at all. A configuration's figure is its added cost, (time with it - time with no
hook), divided by the added cost of one of the no-ops; the last columns give plain slowdowns.

Time is the thread's CPU time; configurations are interleaved round by round, in a rotating
order, and each time is the median over the rounds.
"""

import argparse
import cProfile
import functools
import importlib.util
import logging
import math
import os
import posixpath
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

from zuvoda import overflow

HERE = os.path.dirname(os.path.abspath(__file__))


def build_noop_profile(directory):
    """Compiles benchmarks/noop_profile into `directory` and imports it."""
    source = os.path.join(HERE, "noop_profile", "noop_profile.c")
    target = os.path.join(directory, "noop_profile" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    include = sysconfig.get_paths()["include"]
    subprocess.run(
        [*compiler, "-shared", "-fPIC", "-O2", f"-I{include}", source, "-o", target], check=True
    )
    spec = importlib.util.spec_from_file_location("noop_profile", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# (a) User code: every call and return is an event of this file, which is user code.
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def user_workload():
    fib(20)


def small(x):
    return x + 1


def small_calls_workload():
    for i in range(20000):
        small(i)


# (b) Library code and built-ins: the events come from the standard library's files and from the
# C calls this loop makes.
def library_workload():
    join = posixpath.join
    splitext = posixpath.splitext
    basename = posixpath.basename
    for i in range(4000):
        path = join("usr", "lib", "file.tar.gz")
        splitext(path)
        basename(path)
        len(path)
        max(i, 3)
        isinstance(path, str)


def sin_workload():
    sin = math.sin
    for i in range(50000):
        sin(i)


# Each configuration is installed by a function that returns its uninstaller, a C callable: a
# Python one would be an event of user code with no return event.
REMOVE_PROFILE = functools.partial(sys.setprofile, None)


def with_profile_function(function):
    def install():
        sys.setprofile(function)
        return REMOVE_PROFILE

    return install


def with_direct(noop_profile):
    def install():
        noop_profile.install_direct()
        return REMOVE_PROFILE

    return install


def with_started(monitor):
    def install():
        monitor.start()
        return monitor.stop

    return install


def with_cprofile():
    profiler = cProfile.Profile()
    profiler.enable()
    return profiler.disable


def run_once(workload, install):
    """Thread CPU seconds of one run of `workload` under the configuration `install` sets up."""
    uninstall = install()
    try:
        start = time.thread_time()
        workload()
        return time.thread_time() - start
    finally:
        uninstall()


def measure(workload, configurations, rounds):
    """Median time per configuration, configurations interleaved in a rotating order."""
    names = list(configurations)
    times = {name: [] for name in names}
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(run_once(workload, configurations[name]))
    return {name: statistics.median(values) for name, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=61)
    parser.add_argument("--suite-rounds", type=int, default=5,
                        help="rounds of the test suite workload (0: leave it out)")
    options = parser.parse_args()

    logging.getLogger("zuvoda.overflow").setLevel(logging.WARNING)
    monitor = overflow._OverflowMonitor(False, 85.0, 0.5, "benchmark", None)
    monitor._running = True
    started = overflow._OverflowMonitor(False, 100.0, 0.5, "benchmark", None)
    if not monitor._is_user_code(__file__):
        sys.exit(f"{__file__} must count as user code for workload (a)")

    with tempfile.TemporaryDirectory() as directory:
        noop_profile = build_noop_profile(directory)
        configurations = {
            "none": lambda: int,
            "no-op, sys.setprofile": with_profile_function(noop_profile.noop),
            "no-op, PyEval_SetProfile": with_direct(noop_profile),
            "cProfile": with_cprofile,
            "monitor's hook, sys.setprofile": with_profile_function(monitor._profile_hook),
            "monitor, start()": with_started(started),
        }
        workloads = {"fib": user_workload, "small calls": small_calls_workload,
                     "library": library_workload, "math.sin": sin_workload}
        medians = {
            title: measure(workload, configurations, options.rounds)
            for title, workload in workloads.items()
        }
    for watched in (monitor, started):
        if watched._call_stack:
            sys.exit(f"call stack not balanced: {len(watched._call_stack)} entries left")

    floors = {"sys.setprofile no-op": "no-op, sys.setprofile",
              "PyEval_SetProfile no-op": "no-op, PyEval_SetProfile"}
    print(f"Python {sys.version.split()[0]}, thread CPU time, median of {options.rounds} rounds")
    print("| configuration | " + " | ".join(f"{title}: time / no hook" for title in workloads)
          + " |")
    print("|" + "---|" * (len(workloads) + 1))
    for name in ("cProfile", "monitor's hook, sys.setprofile", "monitor, start()"):
        print(f"| {name} | " + " | ".join(
            f"{medians[title][name] / medians[title]['none']:.2f}" for title in workloads) + " |")
    print()
    print("no hook: " + ", ".join(
        f"{title} {medians[title]['none'] * 1e3:.2f} ms" for title in workloads))
    header = ["configuration"] + [
        f"{title} / {floor}" for floor in floors for title in workloads
    ]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name in list(configurations)[1:]:
        cells = [name]
        for floor in floors.values():
            for title in workloads:
                times = medians[title]
                added = times[name] - times["none"]
                cells.append(f"{added / (times[floor] - times['none']):.2f}")
        print("| " + " | ".join(cells) + " |")
    if options.suite_rounds:
        print()
        suite_overhead(options.suite_rounds)


SUITE_RUNNER = """
import sys
mode = sys.argv[1]
if mode == "overflow()":
    from zuvoda.overflow import overflow
    overflow(threshold=100.0, verbose=False)
elif mode == "cProfile":
    import cProfile
    cProfile.Profile().enable()
import pytest
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "toolz/tests"]))
"""


def suite_overhead(rounds):
    """toolz's test suite, as user code, in a child process: child CPU time, median of rounds."""
    spec = importlib.util.find_spec("toolz")
    if spec is None:
        print("test suite: toolz is not installed, skipped")
        return
    modes = ["plain", "cProfile", "overflow()"]
    times = {mode: [] for mode in modes}
    with tempfile.TemporaryDirectory() as directory:
        shutil.copytree(os.path.dirname(spec.origin), os.path.join(directory, "toolz"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        path = os.pathsep.join([directory, *sys.path])
        for round_number in range(rounds):
            for mode in modes[round_number % 3:] + modes[:round_number % 3]:
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                subprocess.run([sys.executable, "-c", SUITE_RUNNER, mode], cwd=directory,
                               env=dict(os.environ, PYTHONPATH=path), check=True,
                               stdout=subprocess.DEVNULL)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                times[mode].append(after.ru_utime + after.ru_stime
                                   - before.ru_utime - before.ru_stime)
    plain = statistics.median(times["plain"])
    print(f"toolz's test suite, child CPU time, median of {rounds} rounds: plain {plain:.2f} s")
    print("| configuration | time / plain |")
    print("|---|---|")
    for mode in modes[1:]:
        print(f"| {mode} | {statistics.median(times[mode]) / plain:.2f} |")


if __name__ == "__main__":
    main()
