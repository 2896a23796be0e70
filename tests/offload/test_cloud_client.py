import sys
import threading
import types

import pytest

FAILED = "Cloud offload of %s() failed (%s) \u2014 falling back to local"


def add(a, b=10):
    return a + b


class Abort(BaseException):
    pass


def test_client_is_made_once_with_the_monitor_configuration(monitor, cloud):
    monitor.fast = True
    client = monitor._get_vazovez()
    assert cloud.clients == [client]
    assert client.kwargs == [
        ("api_key", "test-key"),
        ("fast", True),
        ("api_url", "http://127.0.0.1:9"),
        ("verbose", True),
    ]
    assert client.entered == 1
    assert monitor._vazovez is client
    assert monitor._get_vazovez() is client
    assert monitor._cloud_execute(add, (1,), {"b": 2}) is cloud.result
    assert cloud.clients == [client] and client.entered == 1
    assert client.runs == [(add, (1,), {"b": 2}, "absent")]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ([1], {}, "Argument 'args' has incorrect type (expected tuple, got list)"),
        (
            (1,),
            type("Kw", (dict,), {})(),
            "Argument 'kwargs' has incorrect type (expected dict, got Kw)",
        ),
        (
            type("Args", (tuple,), {})(),
            [],
            "Argument 'args' has incorrect type (expected tuple, got Args)",
        ),
    ],
)
def test_cloud_execute_refuses_other_argument_types_before_anything(
    monitor, cloud, args, kwargs, message
):
    with pytest.raises(TypeError) as raised:
        monitor._cloud_execute(add, args, kwargs)
    assert str(raised.value) == message
    assert cloud.clients == []


@pytest.mark.parametrize(
    "warm_result",
    [{}, {"warm_session_id": None}, {"warm_session_id": ""}, {"warm_session_id": 0}, {"x": "y"}],
)
def test_no_warm_identifier_is_set_without_a_truthy_one(monitor, cloud, warm_result):
    monitor._warm_result = warm_result
    monitor._cloud_execute(add, (1,), {})
    assert [run[3] for run in cloud.runs] == ["absent"]


def test_warm_identifier_is_handed_over_before_every_run(monitor, cloud):
    monitor._cloud_execute(add, (1,), {})
    monitor._warm_result = {"warm_session_id": "sess-1"}
    monitor._cloud_execute(add, (2,), {})
    del monitor._vazovez._warm_session_id
    monitor._cloud_execute(add, (3,), {})
    monitor._warm_result = {"warm_session_id": "sess-2"}
    monitor._cloud_execute(add, (4,), {})
    assert [run[3] for run in cloud.runs] == ["absent", "sess-1", "sess-1", "sess-2"]


def test_failed_run_keeps_the_client_for_later_offloads(overloaded, cloud, records):
    wrapper = overloaded._make_wrapper(add)
    cloud.run_error = RuntimeError("remote failure")
    assert wrapper(1) == 11
    cloud.run_error = None
    assert wrapper(1) is cloud.result
    assert len(cloud.clients) == 1 and len(cloud.runs) == 2
    assert overloaded._vazovez_failed is False
    assert [r.msg for r in records()].count(FAILED) == 1


@pytest.mark.parametrize("stage", ["constructor_error", "enter_error"])
def test_client_that_cannot_be_made_stops_offloading_for_good(overloaded, cloud, records, stage):
    setattr(cloud, stage, ConnectionError("no service"))
    first, second = overloaded._make_wrapper(add), overloaded._make_wrapper(lambda: "other")
    assert first(1) == 11
    assert [(r.msg, r.args[0], str(r.args[1])) for r in records() if r.msg == FAILED] == [
        (FAILED, "add", "no service")
    ]
    assert overloaded._vazovez_failed is True
    assert overloaded._vazovez is None
    assert not overloaded._vazovez_lock.locked()
    count = len(records())
    assert (first(2), second()) == (12, "other")
    assert len(records()) == count
    assert len(cloud.clients) == 1 and cloud.clients[0].exited == 0
    assert overloaded._get_vazovez() is None


def test_exception_outside_exception_during_creation_leaves_the_slot_empty(monitor, cloud):
    cloud.constructor_error = Abort()
    with pytest.raises(Abort):
        monitor._get_vazovez()
    assert monitor._vazovez_failed is False
    assert not monitor._vazovez_lock.locked()
    cloud.constructor_error = None
    assert monitor._get_vazovez() is cloud.clients[1]


def test_missing_client_module_is_retried_at_every_offload(overloaded, cloud, records, monkeypatch):
    monkeypatch.setitem(sys.modules, "zuvoda.client", None)
    wrapper = overloaded._make_wrapper(add)
    assert (wrapper(1), wrapper(2)) == (11, 12)
    failures = [r for r in records() if r.msg == FAILED]
    assert [type(r.args[1]) for r in failures] == [ModuleNotFoundError, ModuleNotFoundError]
    assert overloaded._vazovez_failed is False
    assert not overloaded._vazovez_lock.locked()
    monkeypatch.setitem(sys.modules, "zuvoda.client", cloud.module)
    assert wrapper(3) is cloud.result


def test_client_module_without_the_class_raises_the_import_error(monitor, monkeypatch):
    monkeypatch.setitem(sys.modules, "zuvoda.client", types.ModuleType("zuvoda.client"))
    with pytest.raises(ImportError) as raised:
        monitor._get_vazovez()
    assert (
        str(raised.value) == "cannot import name 'VazoVez' from 'zuvoda.client' (unknown location)"
    )
    assert raised.value.name == "zuvoda.client"
    assert monitor._vazovez_failed is False


def test_two_threads_offloading_at_once_share_one_client(overloaded, cloud):
    cloud.constructor_gate = threading.Event()
    waiting = threading.Event()
    lock = overloaded._vazovez_lock

    class WatchedLock:
        """The monitor's lock, telling when the second caller tries to take it."""

        def __enter__(self):
            if threading.current_thread() is second:
                waiting.set()
            return lock.__enter__()

        def __exit__(self, *exc_info):
            return lock.__exit__(*exc_info)

    overloaded._vazovez_lock = WatchedLock()
    wrapper = overloaded._make_wrapper(add)
    results = {}
    first = threading.Thread(target=lambda: results.setdefault("first", wrapper(1)))
    second = threading.Thread(target=lambda: results.setdefault("second", wrapper(2)))
    try:
        first.start()
        assert cloud.constructing.wait(5)
        second.start()
        assert waiting.wait(5)
        assert len(cloud.clients) == 1
    finally:
        cloud.constructor_gate.set()
        first.join(5)
        second.join(5)
    assert not first.is_alive() and not second.is_alive()
    assert results == {"first": cloud.result, "second": cloud.result}
    assert len(cloud.clients) == 1
    assert sorted(run[1] for run in cloud.clients[0].runs) == [(1,), (2,)]
