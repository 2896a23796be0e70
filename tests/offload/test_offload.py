"""The monitor's side of an offload: the cloud client, the wrapper and the pre-warm."""
import json
import logging
import re
import sys
import threading

import pytest

OFFLOADING = "Offloading %s() to cloud  (%s)"
COMPLETED = "%s() completed in cloud \u2014 returning result to local"
FAILED = "Cloud offload of %s() failed (%s) \u2014 falling back to local"


def add(a, b=10):
    return a + b


def test_client_is_made_once_with_the_monitor_configuration(monitor, cloud):
    monitor.fast = True
    client = monitor._get_vazovez()
    assert monitor._get_vazovez() is client and cloud.clients == [client]
    assert client.kwargs == [("api_key", "test-key"), ("fast", True),
                             ("api_url", "http://127.0.0.1:9"), ("verbose", True)]
    assert monitor._cloud_execute(add, (1,), {"b": 2}) is cloud.result
    assert cloud.clients == [client] and client.entered == 1
    assert client.runs == [(add, (1,), {"b": 2}, "absent")]


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    ([1], {}, "'args' has incorrect type (expected tuple, got list)"),
    ((1,), type("Kw", (dict,), {})(), "'kwargs' has incorrect type (expected dict, got Kw)"),
    (type("Args", (tuple,), {})(), {}, "'args' has incorrect type (expected tuple, got Args)"),
])
def test_cloud_execute_type_checks(monitor, cloud, args, kwargs, message):
    with pytest.raises(TypeError, match="^" + re.escape(f"Argument {message}") + "$"):
        monitor._cloud_execute(add, args, kwargs)
    assert cloud.clients == []


def test_warm_session_id_is_handed_over_before_every_run(monitor, cloud):
    for warm in ({}, {"warm_session_id": ""}, {"warm_session_id": "sess-1"}, {"x": "y"},
                 {"warm_session_id": "sess-2"}):
        monitor._warm_result = warm
        monitor._cloud_execute(add, (1,), {})
    assert [run[3] for run in cloud.runs] == ["absent", "absent", "sess-1", "sess-1", "sess-2"]


@pytest.mark.parametrize("stage", ["constructor", "enter"])
def test_client_that_cannot_be_made_stops_offloading_for_good(overloaded, cloud, records, stage):
    cloud.errors[stage] = ConnectionError("no service")
    first, second = overloaded._make_wrapper(add), overloaded._make_wrapper(lambda: "other")
    assert (first(1), first(2), second()) == (11, 12, "other")
    failures = [(r.args[0], str(r.args[1])) for r in records() if r.msg == FAILED]
    assert failures == [("add", "no service")]
    assert len(cloud.clients) == 1 and cloud.clients[0].exited == 0
    assert overloaded._get_vazovez() is None and not overloaded._vazovez_lock.locked()


def test_failed_run_and_missing_client_module_are_tried_again(overloaded, cloud, records,
                                                              monkeypatch):
    wrapper = overloaded._make_wrapper(add)
    monkeypatch.setitem(sys.modules, "zuvoda.client", None)
    assert (wrapper(1), wrapper(2)) == (11, 12)
    monkeypatch.setitem(sys.modules, "zuvoda.client", cloud.module)
    cloud.errors["run"] = RuntimeError("remote failure")
    assert wrapper(3) == 13
    cloud.errors["run"] = None
    assert wrapper(4) is cloud.result
    failures = [type(r.args[1]) for r in records() if r.msg == FAILED]
    assert failures == [ModuleNotFoundError, ModuleNotFoundError, RuntimeError]
    assert len(cloud.clients) == 1 and len(cloud.runs) == 2


def test_two_threads_offloading_at_once_share_one_client(overloaded, cloud):
    cloud.gate.clear()
    wrapper = overloaded._make_wrapper(add)
    results = {}
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


@pytest.fixture
def recorder():
    def original(*args, **kwargs):
        original.calls.append((args, kwargs))
        return "local"

    original.calls = []
    return original


@pytest.mark.parametrize(("overloaded", "failed"), [(False, False), (True, True)])
def test_local_calls_pass_through_silently(monitor, cloud, recorder, records, capsys,
                                           overloaded, failed):
    monitor._overloaded, monitor._vazovez_failed = overloaded, failed
    assert monitor._make_wrapper(recorder)(1, key=[2], args=3) == "local"
    assert recorder.calls == [((1,), {"key": [2], "args": 3})]
    assert (records(), capsys.readouterr().out, cloud.clients) == ([], "", [])


REPORTED = "\n  \u2191 Overflow \u2192 Cloud: original()\n    Reason: {}\n\n"


# The monitor's figures, the reason given, and what the cloud does; then whether the call ran
# locally after a warning, or came back from the cloud.
OFFLOADS = [
    (False, (91.6, 40.2, 55.0, 66.0), "CPU=92%  Mem=40%", None),
    (False, (99.5, 0.5, 55.0, 66.0), "CPU=100%  Mem=0%", None),
    (True, (2.5, 3.5, 97.49, 100), "CPU=2%  Mem=4%  GPU=97%  GPU-Mem=100%", None),
    (False, (0.0, 0.0, 0.0, 0.0), "CPU=0%  Mem=0%", ValueError("service down")),
]


@pytest.mark.parametrize(("gpu", "figures", "reason", "error"), OFFLOADS)
def test_offload_reports_and_falls_back_with_a_warning(monitor, cloud, recorder, records,
                                                       capsys, gpu, figures, reason, error):
    monitor._overloaded, monitor._gpu_available = True, gpu
    monitor._cpu_usage, monitor._mem_usage, monitor._gpu_util, monitor._gpu_mem_util = figures
    cloud.errors["run"] = error
    result = monitor._make_wrapper(recorder)(2, b=3)
    assert [run[:3] for run in cloud.runs] == [(recorder, (2,), {"b": 3})]
    logged = [(r.levelno, r.msg, r.args[0]) for r in records()]
    assert logged[0] == (logging.INFO, OFFLOADING, "original") and records()[0].args[1] == reason
    if error is None:
        assert result is cloud.result and recorder.calls == []
        assert logged[1:] == [(logging.INFO, COMPLETED, "original")]
        ending = "  \u2713 original() completed in cloud\n\n"
    else:
        assert result == "local" and recorder.calls == [((2,), {"b": 3})]
        assert logged[1:] == [(logging.WARNING, FAILED, "original")]
        assert records()[1].args[1] is error
        ending = "  \u26a0 Cloud failed \u2014 running original() locally\n"
    assert capsys.readouterr().out == REPORTED.format(reason) + ending
    assert sys.exc_info() == (None, None, None)


@pytest.fixture
def started(monitor, pre_warm_server):
    """Starts the pre-warm against the loopback service and waits for its thread."""
    def start(source=None):
        threads = set(threading.enumerate())
        monitor.api_url = pre_warm_server.url
        assert monitor._start_pre_warm(source) is None
        for thread in set(threading.enumerate()) - threads:
            thread.join(5)
        return pre_warm_server.requests
    return start


def test_pre_warm_request(monitor, started, tmp_path, monkeypatch, records, capsys):
    (tmp_path / "script.py").write_text("print('h\u00e9llo')\n", encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monitor.fast = True
    [(method, path, headers, body)] = started("script.py")
    assert (method, path, headers["Authorization"]) == ("POST", "/v1/pre-warm", "Bearer test-key")
    assert headers["Content-Type"] == "application/json"
    assert json.loads(body, object_pairs_hook=list) == [
        ("source_code", "print('h\u00e9llo')\n"), ("fast", True)]
    assert monitor._warm_result == {"warm_session_id": "sess-42", "region": "local"}
    assert (records(), capsys.readouterr()) == ([], ("", ""))


@pytest.mark.parametrize("key", [None, ""])
def test_pre_warm_without_a_key_sends_nothing(monitor, started, key):
    monitor.api_key = key
    assert started() == [] and monitor._warm_result == {}


@pytest.mark.parametrize(("status", "body"), [(201, b'{"warm_session_id": "x"}'), (204, b""),
                                              (500, b"{}"), (200, b"<html>")])
def test_pre_warm_failures_are_silent_and_leave_the_result(monitor, started, pre_warm_server,
                                                           records, capsys, status, body):
    pre_warm_server.status, pre_warm_server.body = status, body
    previous = monitor._warm_result = {"warm_session_id": "earlier"}
    assert len(started("missing.py")) == 1
    assert monitor._warm_result is previous
    assert (records(), capsys.readouterr()) == ([], ("", ""))
