"""User scripts (tests/programs/e2e_script.py) under overflow(), with the real client, the real
service in its own process and its workers; only the machine's load is scripted."""
import signal
import time

import psutil
import pytest


def row(statement, printed, remote=2, fallback=None, flags=()):
    """A statement run twice while overloaded, with every call sent (by an interpreter given
    ``flags``), what it prints locally, how many calls reach the service, and what each call's
    fallback to a local run says, if it falls back. A function that changes state, or reads an
    environment that differs on the service, runs locally after one warning, once the service
    found it out, without a call."""
    return statement, printed, remote, fallback, flags


CHANGED, DEPRECATED = " changed ", "DeprecationWarning: old() is deprecated"
# 1,100,000 characters written ten at a time, of which 1 MiB is kept.
CAPPED = ["0123456789" * 104_857 + "012345", "[zuvoda: 51424 more characters of output were "
          "dropped]"]
# The service's home and working directory are its own (conftest).
OUTCOMES = {
    "helper of the same script": row("print(heavy(300))", ["45450"] * 2),
    "sibling module calling its helper": row("print(heavy_there(300))", ["9946"] * 2),
    "recursion": row("print(fib(15))", ["610"] * 2),
    "dataclass argument": row("print(norm(Point(3, 4)))", ["25"] * 2),
    "method of a user class": row("print(total(300))", ["1000"] * 2),
    "closure": row("print(scaled(300))", ["1207"] * 2),
    "imported by name, used through its module": row("print(both_ways(300))", ["19890"] * 2),
    # What it prints remotely comes first, up to the cap on a call's output however written.
    "prints past the cap": row("print(chatter(110_000))", [*CAPPED, "110000"] * 2),
    "rebuilt from its getfullargspec": row(
        "print(outcome(rebuild(compute)), rebuild(compute)([2], 3))",
        ["TypeError: compute() missing 1 required positional argument: 'values' 12"] * 2),
    "warning under the default filters": row("print(old(1))", [
        (f"{DEPRECATED} (e2e_script.py: def old(x): return warnings.warn(\"old() is deprecated\""
         ", DeprecationWarning) or x + 1)"), "2", "2"]),
    "warning the caller makes an error": row("print(outcome(old, 1))", [DEPRECATED] * 2,
                                             fallback="raised a DeprecationWarning remotely",
                                             flags=["-W", "error::DeprecationWarning"]),
    "file left unclosed": row("print(leak())", ["read"] * 2),
    "variable equal on both sides": row("print(searched() == len(os.environ['PATH']))",
                                        ["True"] * 2),
    "home expanded": row("print(home_of('~/data') == os.path.expanduser('~/data'))",
                         ["True"] * 2, 1, "'HOME'"),
    "variable set only here": row("os.environ['E2E_HERE'] = 'here'; print(setting('E2E_HERE'))",
                                  ["here"] * 2, 1, "'E2E_HERE'"),
    "working directory": row("print(where() == os.getcwd())", ["True"] * 2, 1,
                             "working directory"),
    "list append": row("print(add_item(ITEMS, 2), ITEMS)", ["2 [1, 2]", "3 [1, 2, 2]"], 1, CHANGED),
    "iterator": row("skip(NUMBERS, 3); print(next(NUMBERS))", ["3", "7"], 1, CHANGED),
    "attribute": row("tally(BOX); print(BOX.count)", ["1", "2"], 1, CHANGED),
    "module dict": row("hit(); print(SETTINGS)", ["{'hits': 1}", "{'hits': 2}"], 1, CHANGED),
    "global rebinding": row("raise_level(); print(LEVEL)", ["1", "2"], 1, CHANGED),
    "bytearray filled in place": row("fill(BUFFER); print(BUFFER.hex())", ["0100", "0101"], 1,
                                     CHANGED),
}


@pytest.mark.parametrize(("statement", "printed", "remote", "fallback", "flags"),
                         OUTCOMES.values(), ids=OUTCOMES.keys())
def test_calls_give_the_local_outcome(service, statement, printed, remote, fallback, flags):
    before = service.stats()["calls"]["started"]
    out, log = service.script(f"overloaded()\nfor _ in range(2):\n    {statement}",
                              flags=flags, ZUVODA_OFFLOAD="always")
    assert out == printed
    assert service.stats()["calls"]["started"] == before + remote
    assert sum(line.endswith("() completed in cloud — returning result to local")
               for line in log) == (0 if fallback else 2)
    fallbacks = [line for line in log if "falling back to local" in line]
    assert len(fallbacks) == (remote if fallback else 0) and all(fallback in f for f in fallbacks)


@pytest.mark.parametrize("fault", [signal.SIGSTOP, signal.SIGKILL], ids=["stopped", "killed"])
def test_service_fault_during_a_call_falls_back(launch_service, tmp_path, fault):
    marker, faulted = tmp_path / "started remotely", []
    with launch_service("--workers", "2") as faulty:
        workers = psutil.Process(faulty.process.pid).children()

        def fault_once_the_call_runs():
            deadline = time.monotonic() + 60
            while not marker.exists():
                assert time.monotonic() < deadline, "the call never started remotely"
                time.sleep(0.02)
            faulty.process.send_signal(fault)
            faulted.append(time.monotonic())
            if fault == signal.SIGKILL:
                assert psutil.wait_procs(workers, timeout=5)[1] == [], "workers outlived it"

        out, log = faulty.script("overloaded()\nprint('ran here', slow())",
                                 fault_once_the_call_runs, ZUVODA_SILENCE_TIMEOUT="2",
                                 E2E_MARKER=str(marker))
        fell_back = time.monotonic() - faulted[0]
    assert out == ["ran here True"]
    (warning,) = [line for line in log if line.startswith("WARNING Cloud offload")]
    assert "falling back to local" in warning
    if fault == signal.SIGSTOP:
        assert "stopped answering" in warning and "may still be running" in warning
        # 2 s of silence detected, not the end of the 300 s call; the rest is the script ending.
        assert fell_back < 2 + 10


# Settings, a statement run while overloaded, what it prints and the one warning: the service
# sees no call, and no body over its limit; a call over it is not tried again.
TWO_CALLS = ("print('result', compute([2]), compute([4], scale=2))", "result 4 32",
             "falling back to local")
FALLBACKS = {
    "nothing configured": ({"ZUVODA_API_URL": None, "ZUVODA_API_KEY": None}, *TWO_CALLS),
    "wrong key": ({"ZUVODA_API_KEY": "not-the-key"}, *TWO_CALLS),
    "no service": ({"ZUVODA_API_URL": "http://127.0.0.1:9"}, *TWO_CALLS),
    "oversized call": ({}, "print('result', compute([0] * 200_000 + [2]), compute([0] * "
                           "200_000 + [3]))", "result 4 9", "pickles to more than"),
}


@pytest.mark.parametrize(("settings", "statement", "printed", "warning"), FALLBACKS.values(),
                         ids=FALLBACKS.keys())
def test_local_results_after_one_warning(service, settings, statement, printed, warning):
    before = service.stats()
    out, log = service.script(f"overloaded()\n{statement}", **settings)
    assert out == [printed] and sum(warning in line for line in log) == 1
    after = service.stats()
    assert (after["calls"], after["refused"].get("413")) == (before["calls"],
                                                            before["refused"].get("413"))


def test_offloaded_calls_run_on_a_dask_cluster(launch_service):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, processes=False, protocol="tcp", host="127.0.0.1",
                                  dashboard_address=None) as cluster, launch_service(
            "--dask-scheduler", cluster.scheduler_address) as dask_service:
        out, log = dask_service.script("overloaded()\nprint('result', compute([1, 2, 3], scale=2))")
        assert out == ["result 28"]
        assert "INFO compute() completed in cloud — returning result to local" in log
        stats = dask_service.stats()
        assert (stats["executor"], stats["calls"]["succeeded"]) == ("dask", 1)
