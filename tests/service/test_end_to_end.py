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
from zuvoda.overflow import overflow


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
    tmp_path: Path, environment: dict[str, str], body: str, during: Callable[[], None] = list
) -> Any:
    """The output lines of the script; ``during`` runs while the script does."""
    script = tmp_path / "user_script.py"
    script.write_text(textwrap.dedent(PRELUDE + body), encoding="utf-8")
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


def test_offloaded_call_returns_the_local_result(service: Any, tmp_path: Path) -> None:
    before = service.stats()["calls"]["succeeded"]
    lines = run_user_script(tmp_path, service.client_environment(), """
local = compute(range(1000), scale=3)
overloaded()
remote = compute(range(1000), scale=3)
print("same result:", local == remote, remote)
""")
    assert "INFO compute() completed in cloud — returning result to local" in lines
    assert f"same result: True {3 * sum(v * v for v in range(1000))}" in lines
    assert service.stats()["calls"]["succeeded"] == before + 1


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
        lines = run_user_script(tmp_path, environment, body, fault_once_the_call_runs)
        fell_back = time.monotonic() - faulted
    assert "ran here True" in lines
    warnings = [line for line in lines if line.startswith("WARNING Cloud offload")]
    assert len(warnings) == 1 and "falling back to local" in warnings[0], lines
    if fault == signal.SIGSTOP:
        assert "stopped answering" in warnings[0] and "may still be running" in warnings[0]
        # Silence detected, not the end of the 300 s call; the rest is the script ending.
        assert fell_back < SILENCE_TIMEOUT_S + 10


@pytest.mark.parametrize(
    "case, body",
    [
        ("wrong key", "print('result', compute([2]))"),
        ("oversized", "print('result', compute([0] * 200_000 + [2]))"),
    ],
)
def test_refused_calls_run_locally_and_nothing_runs_remotely(
    service: Any, tmp_path: Path, case: str, body: str
) -> None:
    environment = service.client_environment()
    if case == "wrong key":
        environment["ZUVODA_API_KEY"] = "not-the-key"
    before = service.stats()
    lines = run_user_script(tmp_path, environment, "overloaded()\n" + body)
    assert "result 4" in lines
    assert any(line.startswith("WARNING Cloud offload of compute() failed") for line in lines)
    after = service.stats()
    assert after["calls"]["started"] == before["calls"]["started"]
    expected_status = "401" if case == "wrong key" else "413"
    assert after["refused"].get(expected_status, 0) > before["refused"].get(expected_status, 0)


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
