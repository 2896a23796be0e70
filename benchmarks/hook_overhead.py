"""Cost of the monitor's profile hook, as multiples of what the interpreter itself charges.

Run with the built module on the path, e.g. ``PYTHONPATH=build/dev python3
benchmarks/hook_overhead.py``. Two workloads: (a) user code, ``fib(20)``, nothing but calls of
this file's functions, each a user-code "call" and "return" for the hook; (b) library code, a loop
of standard-library calls and built-ins, whose events the hook must let pass cheaply.

Each workload runs with no hook, with two C profile functions that do nothing, with cProfile and
with the monitor's hook (running, not overloaded). The first no-op is installed with
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
import os
import posixpath
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
    options = parser.parse_args()

    monitor = overflow._OverflowMonitor(False, 85.0, 0.5, "benchmark", None)
    monitor._running = True
    if not monitor._is_user_code(__file__):
        sys.exit(f"{__file__} must count as user code for workload (a)")

    with tempfile.TemporaryDirectory() as directory:
        noop_profile = build_noop_profile(directory)
        configurations = {
            "none": lambda: int,
            "no-op, sys.setprofile": with_profile_function(noop_profile.noop),
            "no-op, PyEval_SetProfile": with_direct(noop_profile),
            "cProfile": with_cprofile,
            "monitor's hook": with_profile_function(monitor._profile_hook),
        }
        workloads = {"user": user_workload, "library": library_workload}
        medians = {
            title: measure(workload, configurations, options.rounds)
            for title, workload in workloads.items()
        }
    if monitor._call_stack:
        sys.exit(f"call stack not balanced: {len(monitor._call_stack)} entries left")

    floors = {"sys.setprofile no-op": "no-op, sys.setprofile",
              "PyEval_SetProfile no-op": "no-op, PyEval_SetProfile"}
    print(f"Python {sys.version.split()[0]}, thread CPU time, median of {options.rounds} rounds")
    print("no hook: " + ", ".join(
        f"{title} {medians[title]['none'] * 1e3:.2f} ms" for title in workloads))
    header = ["configuration"] + [
        f"{title} / {floor}" for floor in floors for title in workloads
    ] + [f"{title}: time / no hook" for title in workloads]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name in list(configurations)[1:]:
        cells = [name]
        for floor in floors.values():
            for title in workloads:
                times = medians[title]
                added = times[name] - times["none"]
                cells.append(f"{added / (times[floor] - times['none']):.2f}")
        cells += [f"{medians[title][name] / medians[title]['none']:.2f}" for title in workloads]
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
