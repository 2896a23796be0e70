"""The monitor's side of an offload: the cloud client, the wrapper and the pre-warm."""
import inspect
import json
import logging
import sys
import threading

import pytest

OFFLOADING = "Offloading %s() to cloud  (%s)"
COMPLETED = "%s() completed in cloud \u2014 returning result to local"
FAILED = "Cloud offload of %s() failed (%s) \u2014 falling back to local"


def add(a, b=10):
    return a + b


def test_one_client_with_the_configuration_and_the_latest_warm_session(monitor, cloud):
    monitor.fast = True
    client = monitor._get_vazovez()
    assert monitor._get_vazovez() is client and cloud.clients == [client]
    assert client.kwargs == [("api_key", "test-key"), ("fast", True),
                             ("api_url", "http://127.0.0.1:9"), ("verbose", True)]
    for warm in ({}, {"warm_session_id": ""}, {"warm_session_id": "sess-1"}, {"x": "y"},
                 {"warm_session_id": "sess-2"}):
        monitor._warm_result = warm
        assert monitor._cloud_execute(add, (1,), {"b": 2}) is cloud.result
    assert cloud.clients == [client] and client.entered == 1
    assert cloud.runs == [(add, (1,), {"b": 2}, warm) for warm in
                          ("absent", "absent", "sess-1", "sess-1", "sess-2")]


class Repeating(Exception):
    repeats = True


# Where the offload fails and how, the calls that warn, and whether the first function is sent
# again: a client that cannot be made is not tried again, a missing client module or a failed
# run is, unless the failure says the next call would meet it too; such a function runs here,
# silently, until its code changes.
@pytest.mark.parametrize(("stage", "error", "warned", "again"), [
    ("constructor", ConnectionError, ["add"], False), ("enter", ConnectionError, ["add"], False),
    ("import", ConnectionError, ["add", "add", "<lambda>"], True),
    ("run", ConnectionError, ["add", "add", "<lambda>"], True),
    ("run", Repeating, ["add", "<lambda>"], False)])
def test_failed_offload_runs_locally(monitor, cloud, records, monkeypatch, stage, error, warned,
                                     again):
    monitor._overloaded, monitor.verbose = True, False
    cloud.errors[stage] = error("no service")
    monkeypatch.setitem(sys.modules, "zuvoda.client", None if stage == "import" else cloud.module)
    first, second = monitor._make_wrapper(add), monitor._make_wrapper(lambda: "other")
    assert (first(1), first(2), second()) == (11, 12, "other")
    assert [r.args[0] for r in records() if r.msg == FAILED] == warned
    assert len(cloud.runs) == (len(warned) if stage == "run" else 0)
    monkeypatch.setitem(sys.modules, "zuvoda.client", cloud.module)
    cloud.errors.clear()
    assert (first(3) is cloud.result) == again and len(cloud.clients) == 1
    assert not monitor._vazovez_lock.locked()
    if error is Repeating:
        monkeypatch.setattr(add, "__code__", (lambda a, b=10: b - a).__code__)
        assert first(4) is cloud.result


def countdown(n):
    yield from range(n, 0, -1)


async def later(n):
    return n


async def ticks(n):
    yield n


# A wrapped function, the ZUVODA_OFFLOAD setting, the figures its policy is fed (one local run,
# one remote round trip and the service's part of it, in seconds), and whether each of its calls
# made while overloaded goes to the service. Figures come before any timing of real calls, whose
# runs here take microseconds; lazy results never travel.
DECISIONS = {
    "nothing known: sent, then one run here": (add, "", (None, None, None), [True, False]),
    "dearer remotely": (add, "auto", (1e-6, 0.05, 0.001), [False] * 3),
    "slow here": (add, None, (2.0, 0.05, 0.04), [True] * 3),
    "nothing known here, mostly work in the service": (add, "", (None, 0.25, 0.2), [True] * 3),
    "always": (add, "always", (1e-6, 0.05, 0.001), [True] * 3),
    "generator": (countdown, "always", (None, None, None), [False] * 2),
    "coroutine": (later, "always", (None, None, None), [False] * 2),
    "async generator": (ticks, None, (None, None, None), [False] * 2),
}


LAZY = {countdown: inspect.isgenerator, later: inspect.iscoroutine, ticks: inspect.isasyncgen}


@pytest.mark.parametrize(("function", "setting", "figures", "sent"), DECISIONS.values(),
                         ids=DECISIONS.keys())
def test_offload_pays(ov, monitor, cloud, records, monkeypatch, function, setting, figures,
                      sent):
    monitor._overloaded, monitor.verbose = True, False
    if setting is not None:
        monkeypatch.setenv("ZUVODA_OFFLOAD", setting)
    wrapper = monitor._make_wrapper(function)
    local, remote, service = figures
    ov._offload_policy(wrapper, local=local, remote=remote, service=service)
    decided = []
    for n in range(len(sent)):
        runs = len(cloud.runs)
        result = wrapper(n)
        decided.append(len(cloud.runs) > runs)
        if function in LAZY:
            assert LAZY[function](result)
            getattr(result, "close", list)()
    assert decided == sent and [r.msg for r in records() if r.msg == FAILED] == []
    state = ov._offload_policy(wrapper)
    assert (state["mode"], state["sent"], state["kept_local"]) == (
        "always" if setting == "always" else "auto", sum(sent), len(sent) - sum(sent))
    if service is not None:
        assert state["service"] < state["transfer"] + state["service"] <= remote


@pytest.mark.parametrize("verbose", [True, False])
def test_stop_summarises_what_offload_did(ov, monitor, cloud, capsys, verbose):
    def boom():
        return "here"

    def spare():
        return "here"

    monitor._overloaded, monitor.verbose, monitor._running = True, verbose, True
    monitor._original_profile, namespace = sys.getprofile(), {}
    for function in (add, countdown, boom, spare):
        monitor._register_wrap(function, function.__name__, namespace)
    ov._offload_policy(namespace["add"], remote=0.2, service=0.1)
    # Mostly work in the service: sent again, with no run here to weigh the two against.
    ov._offload_policy(namespace["spare"], remote=0.3, service=0.25)
    assert namespace["spare"]() is cloud.result
    list(namespace["countdown"](2))
    cloud.errors["run"] = Repeating("cannot pickle")
    results = [namespace["add"](1), namespace["boom"](), namespace["add"](2), namespace["boom"]()]
    capsys.readouterr()
    monitor.stop()
    assert results == [11, "here", 12, "here"] and namespace["add"] is add
    assert capsys.readouterr().out == ("" if not verbose else (
        "Offload while overloaded: 2 sent to the service, 4 run here; by its own estimate "
        "sending cost 0.20 s (2 sent with no run here to weigh them against).\n"
        "  add(): 0 sent, 2 run here\n  boom(): 1 sent, 1 run here\n"
        "  countdown(): 0 sent, 1 run here\n  spare(): 1 sent, 0 run here\n"
        "  failures: Repeating 1\n"))


def test_offload_setting_refused(ov, monitor, calm_machine, monkeypatch):
    monkeypatch.setenv("ZUVODA_OFFLOAD", "sometimes")
    with pytest.raises(ValueError, match="ZUVODA_OFFLOAD must be 'auto'.*got 'sometimes'"):
        ov.overflow(_caller_frame=None)
    with pytest.raises(ValueError, match="ZUVODA_OFFLOAD"):
        monitor._make_wrapper(add)
    assert ov._active_monitor is None


def test_two_threads_offloading_at_once_share_one_client(monitor, cloud):
    monitor._overloaded, monitor.verbose, results = True, False, {}
    cloud.gate.clear()
    wrapper = monitor._make_wrapper(add)
    threads = [threading.Thread(target=lambda n=n: results.setdefault(n, wrapper(n)))
               for n in (1, 2)]
    threads[0].start()
    assert cloud.constructing.wait(5)
    threads[1].start()
    threads[1].join(0.2)  # it waits for the client the first one is making
    cloud.gate.set()
    for thread in threads:
        thread.join(5)
    assert results == {1: cloud.result, 2: cloud.result}
    assert len(cloud.clients) == 1 and sorted(r[1] for r in cloud.runs) == [(1,), (2,)]


def original(*args, **kwargs):
    original.calls.append((args, kwargs))
    return "local"


REPORTED = "\n  \u2191 Overflow \u2192 Cloud: original()\n    Reason: {}\n\n"
QUIET = (0.0, 0.0, 0.0, 0.0)
# Whether overloaded, whether the client failed before, the GPU, the monitor's figures, the
# reason given (None: the call runs locally, silently) and what the cloud does; then whether
# the call ran locally after a warning, or came back from the cloud.
OFFLOADS = [
    (False, False, False, QUIET, None, None),
    (True, True, False, QUIET, None, None),
    (True, False, False, (99.5, 0.5, 55.0, 66.0), "CPU=100%  Mem=0%", None),
    (True, False, True, (2.5, 3.5, 97.49, 100), "CPU=2%  Mem=4%  GPU=97%  GPU-Mem=100%", None),
    (True, False, False, QUIET, "CPU=0%  Mem=0%", ValueError("service down")),
]


@pytest.mark.parametrize(("overloaded", "failed", "gpu", "figures", "reason", "error"), OFFLOADS)
def test_offload_reports_and_falls_back_with_a_warning(monitor, cloud, records, capsys,
                                                       overloaded, failed, gpu, figures, reason,
                                                       error):
    monitor._overloaded, monitor._vazovez_failed, monitor._gpu_available = overloaded, failed, gpu
    monitor._cpu_usage, monitor._mem_usage, monitor._gpu_util, monitor._gpu_mem_util = figures
    cloud.errors["run"], original.calls = error, []
    result = monitor._make_wrapper(original)(2, args=3)
    assert result == ("local" if reason is None or error else cloud.result)
    assert original.calls == ([((2,), {"args": 3})] if result == "local" else [])
    logged = [(r.levelno, r.msg, r.args) for r in records()]
    if reason is None:
        assert (logged, capsys.readouterr().out, cloud.clients) == ([], "", [])
        return
    assert [run[:3] for run in cloud.runs] == [(original, (2,), {"args": 3})]
    assert logged == [(logging.INFO, OFFLOADING, ("original", reason)), (
        logging.INFO, COMPLETED, ("original",)) if error is None else (
        logging.WARNING, FAILED, ("original", error))]
    ending = ("  \u2713 original() completed in cloud\n\n" if error is None else
              "  \u26a0 Cloud failed \u2014 running original() locally\n")
    assert capsys.readouterr().out == REPORTED.format(reason) + ending
    assert sys.exc_info() == (None, None, None)


WARMED = {"warm_session_id": "sess-42", "region": "local"}


# The key, the answer, and the warm result it leaves: with no key nothing is sent, and a
# pre-warm that fails says nothing and leaves the earlier result.
@pytest.mark.parametrize(("key", "status", "body", "result"), [
    ("k", 200, json.dumps(WARMED).encode(), WARMED), (None, 200, b"", None), ("", 200, b"", None),
    ("k", 201, b'{"warm_session_id": "x"}', None), ("k", 204, b"", None),
    ("k", 500, b"{}", None), ("k", 200, b"<html>", None)])
def test_pre_warm(monitor, pre_warm_server, tmp_path, monkeypatch, records, capsys, key, status,
                  body, result):
    (tmp_path / "script.py").write_text("print('h\u00e9llo')\n", encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monitor.api_key, monitor.fast, monitor.api_url = key, True, pre_warm_server.url
    pre_warm_server.status, pre_warm_server.body = status, body
    previous = monitor._warm_result = {"warm_session_id": "earlier"}
    threads = set(threading.enumerate())
    assert monitor._start_pre_warm("script.py") is None
    for thread in set(threading.enumerate()) - threads:
        thread.join(5)
    assert len(pre_warm_server.requests) == (1 if key else 0)
    for method, path, headers, sent in pre_warm_server.requests:
        assert (method, path, headers["Authorization"], headers["Content-Type"]) == (
            "POST", "/v1/pre-warm", f"Bearer {key}", "application/json")
        assert json.loads(sent, object_pairs_hook=list) == [
            ("source_code", "print('h\u00e9llo')\n"), ("fast", True)]
    assert monitor._warm_result == (result or previous)
    assert (records(), capsys.readouterr()) == ([], ("", ""))
