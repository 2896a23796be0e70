"""User scripts (tests/programs/e2e_script.py) under overflow(), with the real client, the real
service in its own process and its workers; only the machine's load is scripted."""
import signal
import time

import psutil
import pytest

# The heavy call of scripts shaped like real ones: made once calm, once overloaded, through the
# service, with the local result.
SHAPES = {
    "helper of the same script": "heavy(300)",
    "sibling module's function calling a helper there": "heavy_there(300)",
    "helper imported by name and used through its module": "through_module(300)",
    "method": "total(300)",
    "closure": "scaled(300)",
    "recursion": "fib(15)",
    "dataclass argument": "norm(Point(3, 4))",
    "wrapper calling wrapper": "outer(300)",
}


@pytest.mark.parametrize("call", SHAPES.values(), ids=SHAPES.keys())
def test_script_shapes_run_in_the_service(service, call):
    before = service.stats()["calls"]["succeeded"]
    lines = service.script(f"local = {call}\noverloaded()\nprint('same:', local == {call})")
    assert "same: True" in lines
    assert any(line.endswith("() completed in cloud — returning result to local")
               for line in lines), lines
    assert not any("falling back" in line for line in lines)
    assert service.stats()["calls"]["succeeded"] == before + 1


# A statement run twice while overloaded, what it prints locally, and whether its function
# changes state: such a function runs locally once the service found it out, without a call.
OUTCOMES = {
    "list append": ("print(add_item(ITEMS, 2), ITEMS)", ["2 [1, 2]", "3 [1, 2, 2]"], True),
    "iterator": ("skip(NUMBERS, 3); print(next(NUMBERS))", ["3", "7"], True),
    "attribute": ("tally(BOX); print(BOX.count)", ["1", "2"], True),
    "module dict": ("hit(); print(SETTINGS)", ["{'hits': 1}", "{'hits': 2}"], True),
    "global rebinding": ("raise_level(); print(LEVEL)", ["1", "2"], True),
    "prints": ("print(shout(3))", ["remote says 3", "6"] * 2, False),
    "pure": ("print(triple(4))", ["[4, 4, 4]"] * 2, False),
}


@pytest.mark.parametrize(("statement", "printed", "changes"), OUTCOMES.values(),
                         ids=OUTCOMES.keys())
def test_calls_give_the_local_outcome(service, statement, printed, changes):
    before = service.stats()["calls"]["started"]
    lines = service.script(f"overloaded()\nprint('---')\nfor _ in range(2):\n    {statement}")
    own = [line for line in lines[lines.index("---") + 1:]
           if not line.startswith(("INFO ", "WARNING "))]
    assert own == printed
    assert service.stats()["calls"]["started"] == before + (1 if changes else 2)
    fallbacks = [line for line in lines if "falling back to local" in line]
    assert len(fallbacks) == (2 if changes else 0) and all(" changed " in f for f in fallbacks)


SILENCE_S = 2.0


@pytest.mark.parametrize("fault", [signal.SIGSTOP, signal.SIGKILL], ids=["stopped", "killed"])
def test_service_fault_during_a_call_falls_back(launch_service, tmp_path, fault):
    marker = tmp_path / "started remotely"
    with launch_service("--workers", "2") as faulty:
        children = psutil.Process(faulty.process.pid).children()
        faulted = []

        def fault_once_the_call_runs():
            deadline = time.monotonic() + 60
            while not marker.exists():
                assert time.monotonic() < deadline, "the call never started remotely"
                time.sleep(0.02)
            faulty.process.send_signal(fault)
            faulted.append(time.monotonic())
            if fault == signal.SIGKILL:
                assert psutil.wait_procs(children, timeout=5)[1] == [], "workers outlived it"

        lines = faulty.script("overloaded()\nprint('ran here', slow())",
                              fault_once_the_call_runs, ZUVODA_SILENCE_TIMEOUT=str(SILENCE_S),
                              E2E_MARKER=str(marker))
        fell_back = time.monotonic() - faulted[0]
    assert "ran here True" in lines
    (warning,) = [line for line in lines if line.startswith("WARNING Cloud offload")]
    assert "falling back to local" in warning
    if fault == signal.SIGSTOP:
        assert "stopped answering" in warning and "may still be running" in warning
        # Silence detected, not the end of the 300 s call; the rest is the script ending.
        assert fell_back < SILENCE_S + 10


@pytest.mark.parametrize("setting", [{"ZUVODA_API_URL": None, "ZUVODA_API_KEY": None},
                                     {"ZUVODA_API_KEY": "not-the-key"},
                                     {"ZUVODA_API_URL": "http://127.0.0.1:9"}],
                         ids=["nothing configured", "wrong key", "no service"])
def test_without_a_usable_service_one_warning_and_local_results(service, setting):
    started = service.stats()["calls"]["started"]
    lines = service.script("overloaded()\nprint('results', compute([2]), compute([4], scale=2))",
                           **setting)
    assert "results 4 32" in lines
    assert sum("falling back to local" in line for line in lines) == 1
    assert service.stats()["calls"]["started"] == started


def test_oversized_call_is_refused_before_it_is_sent(service):
    before = service.stats()
    lines = service.script("overloaded()\nprint('result', compute([0] * 200_000 + [2]))")
    assert "result 4" in lines
    assert any(line.startswith("WARNING") and "pickles to more than" in line for line in lines)
    after = service.stats()
    assert (after["calls"], after["refused"]) == (before["calls"], before["refused"])


def test_offloaded_calls_run_on_a_dask_cluster(launch_service):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  protocol="tcp", host="127.0.0.1", dashboard_address=None
                                  ) as cluster, launch_service(
            "--dask-scheduler", cluster.scheduler_address) as dask_service:
        lines = dask_service.script("overloaded()\nprint('result', compute([1, 2, 3], scale=2))")
        assert "result 28" in lines
        assert "INFO compute() completed in cloud — returning result to local" in lines
        stats = dask_service.stats()
        assert stats["executor"] == "dask" and stats["calls"]["succeeded"] == 1
