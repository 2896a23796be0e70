"""Cost of the monitor's profile hook, as ratios against the same workload without a hook.

Run with the built module on the path, e.g. ``PYTHONPATH=build/dev python3
benchmarks/hook_overhead.py``. Each workload runs without a hook, with a C profile function that
does nothing (the floor of any ``sys.setprofile`` hook: the interpreter's own cost of delivering
the events), with the monitor's hook (running, not overloaded) and with cProfile. The figure of
merit is (hook - none) / (floor - none): how many floors the hook's overhead is worth.
"""

import argparse
import cProfile
import importlib.util
import os
import posixpath
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
    return module.noop


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


def run_once(workload, hook):
    """Seconds of one run of `workload` with `hook` installed (None: no hook)."""
    if hook is None:
        start = time.perf_counter()
        workload()
        return time.perf_counter() - start
    if isinstance(hook, cProfile.Profile):
        hook.enable()
        start = time.perf_counter()
        workload()
        elapsed = time.perf_counter() - start
        hook.disable()
        return elapsed
    sys.setprofile(hook)
    try:
        start = time.perf_counter()
        workload()
        return time.perf_counter() - start
    finally:
        sys.setprofile(None)


def measure(workload, hooks, rounds):
    """Best time per configuration, configurations interleaved round by round."""
    best = dict.fromkeys(hooks, float("inf"))
    for _ in range(rounds):
        for name, make_hook in hooks.items():
            best[name] = min(best[name], run_once(workload, make_hook()))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    options = parser.parse_args()

    monitor = overflow._OverflowMonitor(False, 85.0, 0.5, "benchmark", None)
    monitor._running = True
    if not monitor._is_user_code(__file__):
        sys.exit(f"{__file__} must count as user code for workload (a)")

    with tempfile.TemporaryDirectory() as directory:
        noop = build_noop_profile(directory)
        hooks = {
            "none": lambda: None,
            "floor": lambda: noop,
            "hook": lambda: monitor._profile_hook,
            "cProfile": cProfile.Profile,
        }
        workloads = {"(a) user code": user_workload, "(b) library code": library_workload}
        print(f"Python {sys.version.split()[0]}, best of {options.rounds} rounds")
        for title, workload in workloads.items():
            best = measure(workload, hooks, options.rounds)
            floor = best["floor"] - best["none"]
            print(f"{title}: none {best['none'] * 1e3:.2f} ms")
            for name in ("floor", "hook", "cProfile"):
                added = best[name] - best["none"]
                print(
                    f"  {name:9s} {best[name] / best['none']:5.2f}x none,"
                    f"  ({name} - none) / (floor - none) = {added / floor:.2f}"
                )
        if monitor._call_stack:
            sys.exit(f"call stack not balanced: {len(monitor._call_stack)} entries left")


if __name__ == "__main__":
    main()
