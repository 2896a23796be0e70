"""Whole programs from tests/programs/, each run in a fresh interpreter."""

import subprocess
import sys
from pathlib import Path

import pytest

PROGRAMS = Path(__file__).parent.parent / "programs"
STARTED = "INFO Overflow monitor started  threshold={}%  fast=False  (GPU monitoring: off)"
STOPPED = "INFO Overflow monitor stopped."


@pytest.fixture
def run(tmp_path, child_environment):
    def run(name, *args, env=(), interpreter_args=()):
        environment = child_environment(Path(__file__).parent) | {"PYTHONUNBUFFERED": "1"}
        done = subprocess.run(
            [sys.executable, *interpreter_args, str(PROGRAMS / name), *args], text=True,
            capture_output=True, stdin=subprocess.DEVNULL, cwd=tmp_path,
            env=environment | dict(env), timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout, done.stderr

    return run


def assert_in_order(out, expected):
    lines, position = out.splitlines(), 0
    for line in lines:
        position += position < len(expected) and line == expected[position]
    assert position == len(expected), f"missing, in order: {expected[position]!r}\n{out}"


# Printed lines on stdout and log records on stderr, each stream in its order: the sampling
# thread's records and the main thread's prints may come in either order between the two.
def test_heavy_function_goes_to_the_cloud_and_comes_back(run):
    out, err = run("heavy.py")
    path = PROGRAMS / "heavy.py"
    line = path.read_text().splitlines().index("def compute(n, raise_load=False):") + 1
    assert_in_order(out, [
        f"result {sum(i * i for i in range(100))}", f"result {sum(i * i for i in range(200))}",
        "", "  ↑ Overflow → Cloud: compute()", "    Reason: CPU=97%  Mem=20%", "",
        "  ✓ compute() completed in cloud", "", f"result {sum(i * i for i in range(300))}",
        f"result {sum(i * i for i in range(400))}", "cloud runs of compute 1", "client closed",
        "at exit compute wrapped: False",
    ])
    assert_in_order(err, [
        STARTED.format(85), "WARNING System overloaded  CPU=97.0%  Memory=20.0%  (threshold=85%)",
        f"WARNING Heavy function detected: compute() at {path}:{line} — wrapped for cloud offload",
        "INFO Offloading compute() to cloud  (CPU=97%  Mem=20%)",
        "INFO compute() completed in cloud — returning result to local",
        "INFO Resources normalised  CPU=10.0%  Memory=20.0%", STOPPED,
    ])


def test_profiler_running_before_is_restored(run):
    out, err = run("profiled.py", interpreter_args=("-m", "cProfile", "-s", "ncalls"))
    assert "done" in out and "Error" not in err
    stats = [line for line in out.splitlines() if "(after_stop)" in line]
    assert stats and stats[0].split()[0] == "3"


def test_real_program_is_unchanged_and_exits_promptly(run):
    assert run("real_work.py", env={"WITH_OVERFLOW": "1"}) == run("real_work.py")
    assert run("real_work.py")[1] == ""


@pytest.mark.parametrize("case", ["sampling-measuring", "failure-pause", "pre-warm",
                                  "wrapper-offloading", "wrapper-falling-back", "wrapper-local"])
def test_daemon_thread_woken_during_finalisation_leaves_quietly(run, case):
    assert run("daemon_exit.py", case)[0] == "done\n"
