"""The whole road with nothing standing in but the machine's load: the real extension module in a
user script, the real client, the real service in its own process, and its workers."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import psutil
import pytest

SCRIPTED = Path(__file__).parents[1] / "system"

PRELUDE = """
import logging, sys
import scripted
scripted.install(cloud=False)
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s", stream=sys.stdout)
logging.getLogger("httpx").setLevel(logging.WARNING)  # its lines would interleave with prints
from zuvoda.overflow import overflow
{definitions}


def compute(values, scale=1):
    return sum(v * v for v in values) * scale


def fails(text):
    return int(text)


def takes_only_factory(options):
    options.pop("factory", None)
    if options:
        raise TypeError("unexpected keyword argument %r" % options.popitem()[0])


monitor = overflow(check_interval=0.01, verbose=False)


def overloaded():
    scripted.set_load(97.0)
    scripted.wait_for(lambda: monitor._overloaded)
"""


def run_user_script(
    tmp_path: Path,
    environment: dict[str, str],
    body: str,
    definitions: str = "",
    during: Callable[[], None] = list,
) -> Any:
    """The output lines of a script whose ``definitions`` precede its overflow() call, as in
    most scripts; ``during`` runs while the script does."""
    script = tmp_path / "user_script.py"
    prelude = PRELUDE.format(definitions=textwrap.dedent(definitions))
    script.write_text(prelude + textwrap.dedent(body), encoding="utf-8")
    paths = [str(SCRIPTED), *environment.get("PYTHONPATH", "").split(os.pathsep)]
    env = {**environment, "PYTHONPATH": os.pathsep.join(p for p in paths if p)}
    with subprocess.Popen(
        [sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=env, cwd=tmp_path,
    ) as process:
        try:
            during()
            stdout, stderr = process.communicate(timeout=120)
        finally:
            process.kill()
    assert process.returncode == 0, stdout + stderr
    return stdout.splitlines()


def write_sibling(tmp_path: Path, source: str) -> None:
    (tmp_path / "sibling.py").write_text(textwrap.dedent(source), encoding="utf-8")


SIBLING = """
import math

FACTOR = 3


def rare(n):
    return sum(math.isqrt(i) for i in range(n)) * FACTOR


def heavy_there(n):
    return rare(n) + 1
"""

# Scripts shaped like real ones: what the script defines, and the heavy call made once calm and
# once overloaded. Every shape must run in the service and give the local result.
SHAPES = {
    "helper of the same script": ("""
def helper(x):
    return x * 2

def heavy(n):
    return helper(n) + sum(range(n))
""", "heavy(300)"),
    "sibling module's function calling a helper there": (
        "from sibling import heavy_there", "heavy_there(300)"),
    "helper imported by name and used through its module": ("""
import sibling
from sibling import rare

def heavy(n):
    return sibling.rare(n) + rare(n)
""", "heavy(300)"),
    "method of a user class": ("""
class Tally:
    def __init__(self, step):
        self.step = step

    def total(self, n):
        return self.step * self.count(n)

    def count(self, n):
        return len([i for i in range(n) if i % 3])

total = Tally(5).total
""", "total(300)"),
    "closure": ("""
def make_scaler(k):
    offset = 7
    def scaled(n):
        return k * n + offset
    return scaled

scaled = make_scaler(4)
""", "scaled(300)"),
    "recursive function": ("""
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)
""", "fib(15)"),
    "dataclass argument": ("""
import dataclasses

@dataclasses.dataclass
class Point:
    x: int
    y: int

def norm(p):
    return p.x ** 2 + p.y ** 2
""", "norm(Point(3, 4))"),
    "wrapped function calling another": ("""
def inner(n):
    return n * n

def outer(n):
    return inner(n) + 1
""", "outer(300)"),
}


@pytest.mark.parametrize(("definitions", "call"), SHAPES.values(), ids=SHAPES.keys())
def test_script_shapes_run_in_the_service(
    service: Any, tmp_path: Path, definitions: str, call: str
) -> None:
    write_sibling(tmp_path, SIBLING)
    before = service.stats()["calls"]["succeeded"]
    lines = run_user_script(tmp_path, service.client_environment(), f"""
local = {call}
overloaded()
remote = {call}
print("same result:", local == remote)
""", definitions)
    output = "\n".join(lines)
    assert "same result: True" in lines, output
    assert "falling back" not in output
    assert " completed in cloud — returning result to local" in output
    assert service.stats()["calls"]["succeeded"] == before + 1


# Calls whose local meaning lies in what they change or print: the definitions, a statement run
# twice while overloaded, the lines it prints locally, and whether the function changes state.
# Such a function runs locally once the service found it out, with no round trip.
OUTCOMES = {
    "appends to a list argument": ("""
ITEMS = [1]

def add_item(items, x):
    items.append(x)
    return len(items)
""", "print(add_item(ITEMS, 2), ITEMS)", ["2 [1, 2]", "3 [1, 2, 2]"], True),
    "advances an iterator argument": ("""
NUMBERS = iter(range(10))

def skip(iterator, n):
    for _ in range(n):
        next(iterator)
""", "skip(NUMBERS, 3); print(next(NUMBERS))", ["3", "7"], True),
    "sets an attribute of its argument": ("""
class Box:
    count = 0

BOX = Box()

def tally(box):
    box.count += 1
""", "tally(BOX); print(BOX.count)", ["1", "2"], True),
    "changes a module-level dict": ("""
SETTINGS = {"hits": 0}

def hit():
    SETTINGS["hits"] += 1
""", "hit(); print(SETTINGS)", ["{'hits': 1}", "{'hits': 2}"], True),
    "rebinds a module-level setting": ("""
LEVEL = 0

def raise_level():
    global LEVEL
    LEVEL += 1
""", "raise_level(); print(LEVEL)", ["1", "2"], True),
    "prints": ("""
def shout(x):
    print("remote says", x)
    return x * 2
""", "print(shout(3))", ["remote says 3", "6", "remote says 3", "6"], False),
    "pure": ("""
def triple(x):
    return [x] * 3
""", "print(triple(4))", ["[4, 4, 4]", "[4, 4, 4]"], False),
}


@pytest.mark.parametrize(
    ("definitions", "statement", "printed", "changes"), OUTCOMES.values(), ids=OUTCOMES.keys()
)
def test_calls_give_the_local_outcome(
    service: Any, tmp_path: Path, definitions: str, statement: str, printed: list[str],
    changes: bool,
) -> None:
    before = service.stats()["calls"]["started"]
    lines = run_user_script(tmp_path, service.client_environment(), f"""
overloaded()
print("---")
for _ in range(2):
    {statement}
print("---")
""", definitions)
    between = lines[lines.index("---") + 1 :]
    own = [line for line in between if not line.startswith(("INFO ", "WARNING "))]
    assert own[: len(printed) + 1] == [*printed, "---"]
    assert service.stats()["calls"]["started"] == before + (1 if changes else 2)
    fallbacks = [line for line in lines if "falling back to local" in line]
    assert len(fallbacks) == (2 if changes else 0)
    assert all(" changed " in line for line in fallbacks)


@pytest.mark.parametrize("url_end", ["", "/"], ids=["base URL", "base URL ending in a slash"])
def test_warm_session_reaches_the_service(service: Any, tmp_path: Path, url_end: str) -> None:
    environment = service.client_environment()
    environment["ZUVODA_API_URL"] += url_end
    runs = service.stats()["warm_sessions"]["runs"]
    lines = run_user_script(tmp_path, environment, """
scripted.wait_for(lambda: monitor._warm_result)
overloaded()
print("results", compute([1, 2]), compute([3]))
print("session", monitor._warm_result["warm_session_id"])
""")
    assert "results 5 9" in lines
    assert any(line.startswith("session ") and len(line) > 10 for line in lines)
    assert service.stats()["warm_sessions"]["runs"] == runs + 2


def test_remote_exception_falls_back_to_local(service: Any, tmp_path: Path) -> None:
    # The remote run works on copies: a function that changes its argument and then raises
    # meets the caller's argument unchanged when it runs again locally, and raises there too.
    lines = run_user_script(tmp_path, service.client_environment(), """
overloaded()
try:
    fails("not a number")
except ValueError as exc:
    print("local error:", exc)
    print("context:", type(exc.__context__).__name__, exc.__context__.remote_type)
options = {"factory": dict, "factoryy": dict}
try:
    takes_only_factory(options)
except TypeError as exc:
    print("local error:", exc, options)
""")
    output = "\n".join(lines)
    warning = output[output.index("WARNING Cloud offload of fails() failed ("):]
    assert "ValueError" in warning.split("— falling back to local")[0]
    assert "local error: invalid literal for int() with base 10: 'not a number'" in lines
    assert "context: RemoteExecutionError ValueError" in lines
    assert "WARNING Cloud offload of takes_only_factory() failed (" in output
    assert "local error: unexpected keyword argument 'factoryy' {}" in lines


SILENCE_TIMEOUT_S = 2.0


@pytest.mark.parametrize("fault", [signal.SIGSTOP, signal.SIGKILL], ids=["stopped", "killed"])
def test_service_fault_during_a_call_falls_back(
    launch_service: Any, tmp_path: Path, fault: signal.Signals
) -> None:
    marker = tmp_path / "started remotely"
    body = f"""
import os, time
SCRIPT = os.getpid()

def slow():
    if os.getpid() != SCRIPT:  # remotely: say so, then outlast the test
        open({str(marker)!r}, "w").close()
        time.sleep(300)
    return os.getpid() == SCRIPT

overloaded()
slow()  # runs here, and has the calls after it offloaded
print("ran here", slow())
"""
    with launch_service("--workers", "2") as stopping:
        # Both workers, the busy one and the idle one, and any helper process.
        children = psutil.Process(stopping.process.pid).children()
        faulted = 0.0

        def fault_once_the_call_runs() -> None:
            nonlocal faulted
            deadline = time.monotonic() + 60
            while not marker.exists():
                assert time.monotonic() < deadline, "the call never started remotely"
                time.sleep(0.02)
            stopping.process.send_signal(fault)
            faulted = time.monotonic()
            if fault == signal.SIGKILL:
                _, alive = psutil.wait_procs(children, timeout=5)
                assert alive == [], "workers outlived their service"

        environment = {
            **stopping.client_environment(), "ZUVODA_SILENCE_TIMEOUT": str(SILENCE_TIMEOUT_S)
        }
        lines = run_user_script(tmp_path, environment, body, during=fault_once_the_call_runs)
        fell_back = time.monotonic() - faulted
    assert "ran here True" in lines
    warnings = [line for line in lines if line.startswith("WARNING Cloud offload")]
    assert len(warnings) == 1 and "falling back to local" in warnings[0], lines
    if fault == signal.SIGSTOP:
        assert "stopped answering" in warnings[0] and "may still be running" in warnings[0]
        # Silence detected, not the end of the 300 s call; the rest is the script ending.
        assert fell_back < SILENCE_TIMEOUT_S + 10


@pytest.mark.parametrize("setting", ["nothing configured", "wrong key", "no service"])
def test_without_a_usable_service_one_warning_and_local_results(
    service: Any, tmp_path: Path, unused_port: int, setting: str
) -> None:
    environment = service.client_environment()
    if setting == "nothing configured":
        del environment["ZUVODA_API_URL"], environment["ZUVODA_API_KEY"]
    elif setting == "wrong key":
        environment["ZUVODA_API_KEY"] = "not-the-key"
    else:
        environment["ZUVODA_API_URL"] = f"http://127.0.0.1:{unused_port}"
    started = service.stats()["calls"]["started"]
    lines = run_user_script(tmp_path, environment, """
overloaded()
print("results", compute([2]), compute([3]), compute([4], scale=2))
""")
    assert "results 4 9 32" in lines
    assert sum("falling back to local" in line for line in lines) == 1
    assert service.stats()["calls"]["started"] == started


def test_oversized_call_is_refused_before_it_is_sent(service: Any, tmp_path: Path) -> None:
    before = service.stats()
    lines = run_user_script(tmp_path, service.client_environment(), """
overloaded()
print("result", compute([0] * 200_000 + [2]))
""")
    assert "result 4" in lines
    assert any("pickles to more than" in line for line in lines if line.startswith("WARNING"))
    after = service.stats()
    assert (after["calls"], after["refused"]) == (before["calls"], before["refused"])


def test_offloaded_calls_run_on_a_dask_cluster(launch_service: Any, tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=False, protocol="tcp", host="127.0.0.1",
        dashboard_address=None,
    ) as cluster, launch_service("--dask-scheduler", cluster.scheduler_address) as dask_service:
        lines = run_user_script(tmp_path, dask_service.client_environment(), """
overloaded()
print("result", compute([1, 2, 3], scale=2))
""")
        assert "result 28" in lines
        assert "INFO compute() completed in cloud — returning result to local" in lines
        stats = dask_service.stats()
        assert stats["executor"] == "dask" and stats["calls"]["succeeded"] == 1
