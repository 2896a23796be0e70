"""The real client and the real service: results, failures, refusals, pre-warm, TLS."""
import dataclasses
import hashlib
import importlib
import json
import os
import ssl
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import cloudpickle
import httpx
import pytest

import zuvoda.overflow
from zuvoda import protocol
from zuvoda.client import (AuthenticationError, ChangedStateError,
                           RemoteExecutionError, RequestRejectedError, ServiceError,
                           ServiceUnavailableError)
from zuvoda.client.errors import _error_from
from zuvoda.client.pickling import _load_result, _pickle_call

pytestmark = pytest.mark.timeout(120)


@dataclasses.dataclass
class Holder:
    func: object


def double(n):
    return 2 * n


class Mute(Exception):
    __str__ = __repr__ = lambda self: sys.exit("not even a message")


def mute():
    raise Mute()


# Wrappers the monitor puts in place of functions travel as the functions they stand for.
wrapped = zuvoda.overflow._OverflowMonitor(False, 85.0, 0.5, None, None)._make_wrapper(double)
# A call and what it gives: the local result, or an error's code, remote type and message, and
# whether the error says that the next call of the function would meet it again.
CALLS = {
    "large argument and result": (bytes.upper, (b"xy" * 20_000,), None),
    "wrapper in globals": (lambda n: wrapped(n) + 1, (4,), None),
    "wrappers in a container": (lambda fs, n: [f(n) for f in fs], ([wrapped, abs], -3), None),
    "wrapper as an attribute": (lambda holder, n: holder.func(n), (Holder(wrapped), 5), None),
    "wrapper in a closure": ((lambda f: lambda n: f(n) * 10)(wrapped), (6,), None),
    "wrapper itself": (wrapped, (7,), None),
    "sys.exit": (sys.exit, (4,), ("remote_exception", "SystemExit", "4", False)),
    "unpicklable result": (threading.Lock, (), ("result_not_serializable", "TypeError", "pickle",
                                                True)),
    "unprintable error": (mute, (), ("remote_exception", "Mute", "<unprintable Mute object>",
                                     False)),
    "missing module": (importlib.import_module, ("zuvoda_nowhere",), (
        "remote_exception", "ModuleNotFoundError", "zuvoda_nowhere", True)),
    "result over the limit": (bytes, (1 << 20,), ("result_too_large", None, "limit of 1048576",
                                                  True)),
    "worker killed": (lambda: os.kill(os.getpid(), 9), (), ("worker_lost", None, "SIGKILL",
                                                            False)),
    # The service's home is its own (conftest).
    "home read": (lambda: os.path.expanduser("~"), (), ("changed_state", None, "'HOME'", True)),
    "argument changed": (lambda items: items.append(1), ([],), ("changed_state", None, "changed",
                                                                True)),
}


@pytest.mark.parametrize(("func", "args", "failure"), CALLS.values(), ids=CALLS.keys())
def test_remote_calls(client, service, func, args, failure):
    replaced = service.stats()["workers_replaced"]
    if failure is None:
        assert client.run(func, *args) == func(*args)
        assert cloudpickle.list_registry_pickle_by_value() == set()
        round_trip, in_service = client.call_times()
        assert 0 < in_service < round_trip
        return
    with pytest.raises(RemoteExecutionError) as raised:
        client.run(func, *args)
    (code, type_name, message, repeats), error = failure, raised.value
    assert (error.code, error.remote_type, error.repeats) == (code, type_name, repeats)
    assert message in str(error) and client.call_times() is None
    if type_name is not None:
        assert error.remote_traceback.rstrip().endswith(f"{type_name}: {error.remote_message}")
    if code == "remote_exception":  # the worker's own frame is left out
        assert "in execute" not in error.remote_traceback
    # Only a worker that died is replaced, once; the service keeps serving on every worker.
    assert [client.run(abs, -n) for n in range(2)] == [0, 1]
    assert service.stats()["workers_replaced"] == replaced + (code == "worker_lost")
    if code == "changed_state":  # remembered: the next call is refused here, with no round trip
        started = service.stats()["calls"]["started"]
        with pytest.raises(type(error)):
            client.run(func, *args)
        assert service.stats()["calls"]["started"] == started


SHARED = {"n": 0}


def test_calls_keep_the_identity_of_the_callers_objects(client, monkeypatch):
    # What comes back of the caller's objects is the caller's object, wrappers included, and
    # what the function and its arguments share is one object during the call, as locally.
    items = [1, [2]]
    assert client.run(lambda value: value, items) is items
    assert client.run(dict, func=items, self=1) == {"func": items, "self": 1}
    assert client.run(lambda fs: fs[::-1], [abs, wrapped])[0] is wrapped
    reader = client.run(lambda source: lambda: source["n"], SHARED)
    monkeypatch.setitem(SHARED, "n", 5)
    assert reader() == 5
    assert client.run(lambda holder: holder.func is SHARED, Holder(SHARED)) is True
    methods = dict(vars(Holder))
    assert type(client.run(Holder, 1)) is Holder and dict(vars(Holder)) == methods


SCALE = 3


def scaled(n):
    return SCALE * n


def test_function_bytes_travel_once_and_again_when_changed(client, service, monkeypatch):
    def received():
        return service.stats()["functions"]["received"]

    before = received()
    assert [client.run(scaled, n) for n in range(3)] == [0, 3, 6]
    assert received() == before + 1
    monkeypatch.setitem(globals(), "SCALE", 5)  # a different function now, never served stale
    assert client.run(scaled, 2) == 10 and received() == before + 2
    # The service never saw a function the client believes it holds: it is sent again.
    monkeypatch.setitem(globals(), "SCALE", 6)
    body, split, _ = _pickle_call(scaled, (), {}, 1 << 20, "scaled")
    client._known_functions[hashlib.sha256(body[:split]).hexdigest()] = None
    assert client.run(scaled, 2) == 12 and received() == before + 3


def test_concurrent_and_long_calls_get_their_own_results(client, service):
    with ThreadPoolExecutor(6) as pool:
        squares = list(pool.map(lambda n: client.run(pow, n, 2), range(24)))
    assert squares == [n * n for n in range(24)]
    with service.client(silence_timeout=0.5) as patient:  # heartbeats keep a long call alive
        assert patient.run(lambda: (time.sleep(2), "done")[1]) == "done"


def leave_marker(path, padding=b""):
    Path(path).write_text("ran")
    return "ran"


def call_of_size(marker, size=None):
    """The client's call of leave_marker(marker, padding), ``size`` bytes under that limit."""
    padding = b""
    for _ in range(4):
        body = _pickle_call(leave_marker, (str(marker), padding), {}, 1 << 30, "m")[0]
        if size is None or len(body) == size:
            return _pickle_call(leave_marker, (str(marker), padding), {}, size or 1 << 30, "m")
        padding = b"p" * (len(padding) + size - len(body))
    raise AssertionError("no padding gives that size")


DIGEST = "X-Zuvoda-Function"
# Run requests: the headers changed, the body (a call that leaves a marker file if it runs: of
# the limit's size or one byte over, streamed or not, or mangled), the status and the error
# code. The function digest is the call's own unless a row sets it.
RUNS = {
    "lowercase bearer scheme": ({"Authorization": "bearer {key}"}, "call", 200, None),
    "body of exactly the limit": ({}, "limit", 200, None),
    "streamed body of exactly the limit": ({}, "streamed limit", 200, None),
    "wrong key": ({"Authorization": "Bearer not-the-key"}, "call", 401, "unauthorized"),
    "one byte over the limit": ({}, "over", 413, "body_too_large"),
    "streamed one byte over the limit": ({}, "streamed over", 413, "body_too_large"),
    "trailing bytes": ({}, "and a byte", 400, "malformed_body"),
    "digest of another function": ({DIGEST: "0" * 64}, "call", 400, "malformed_body"),
    "arguments of an unknown function": ({DIGEST: "0" * 64}, "arguments", 409, "unknown_function"),
    "not the call content type": ({"Content-Type": "text/plain"}, "call", 415,
                                  "unsupported_media_type"),
}


@pytest.mark.parametrize(("headers", "body", "status", "code"), RUNS.values(), ids=RUNS.keys())
def test_run_requests(service, tmp_path, headers, body, status, code):
    marker = tmp_path / "marker"
    limit = service.max_body_bytes
    size = {"limit": limit, "over": limit + 1}.get(body.removeprefix("streamed "))
    call, split, sent = call_of_size(marker, size)
    content = {"arguments": call[split:], "and a byte": call + b"\0"}.get(body, call)
    if body.startswith("streamed"):  # no Content-Length: only the bytes read can tell
        content = (call[i:i + 8192] for i in range(0, len(call), 8192))
    started = service.stats()["calls"]["started"]
    headers = {DIGEST: hashlib.sha256(call[:split]).hexdigest(), **headers}
    answer = service.post("/v1/run", {k: v.format(key=service.api_key) for k, v in headers.items()},
                          content=content)
    assert answer.status_code == status
    if code is None:
        kind, payload = list(protocol.read_frames([answer.content]))[-1]
        assert kind == protocol.RESULT and _load_result(bytes(payload), sent) == "ran"
        assert marker.read_text() == "ran"
        return
    assert answer.json()["error"]["code"] == code and answer.json()["error"]["message"]
    assert service.stats()["calls"]["started"] == started
    assert not marker.exists()
    if status == 401:
        assert answer.headers["WWW-Authenticate"] == "Bearer"


# The client's error for an answer: the HTTP status (None: an error frame), the status and
# code in its JSON (no code: not JSON), the class, and whether the next call meets it again.
ERRORS = [
    (401, 401, "unauthorized", AuthenticationError, False),
    (None, 409, protocol.CHANGED_STATE_CODE, ChangedStateError, True),
    (400, 400, "bad_call", RequestRejectedError, True),
    (413, 413, "body_too_large", RequestRejectedError, False),
    (500, 500, "internal", ServiceError, False),
    (503, 503, None, ServiceError, False),
]


@pytest.mark.parametrize(("answered", "status", "code", "error", "repeats"), ERRORS)
def test_client_error_mapping(answered, status, code, error, repeats):
    body = json.dumps({"status": status, "error": {"code": code, "message": "m"}}).encode()
    mapped = _error_from(answered, body if code else b"<html>", "f")
    assert (type(mapped), mapped.code, mapped.status, mapped.repeats) == (
        error, code or "unexpected_answer", status, repeats)


JSON = {"Content-Type": "application/json"}
DEEP = 100_000
# Pre-warm requests: the headers changed, the body, the status and the error code or, when
# accepted, the modules found. Pathological sources are warmed with no modules.
PRE_WARMS = {
    "background warming": ({}, {"source_code": "import json\n", "fast": False}, 200, ["json"]),
    "source that does not parse": ({}, {"source_code": "def f(:\n", "fast": False}, 200, []),
    "source nested 100,000 deep": ({}, {"source_code": "(" * DEEP, "fast": True}, 200, []),
    "not JSON": ({}, b"{source_code: 1", 400, "malformed_body"),
    "JSON nested 100,000 deep": ({}, b"[" * DEEP + b"]" * DEEP, 400, "malformed_body"),
    "not JSON content type": ({"Content-Type": "text/plain"}, b"{}", 415, "unsupported_media_type"),
    "over the limit": ({}, {"source_code": "#" * (2 << 20), "fast": False}, 413, "body_too_large"),
}


@pytest.mark.parametrize(("headers", "body", "status", "expected"), PRE_WARMS.values(),
                         ids=PRE_WARMS.keys())
def test_pre_warm_requests(service, headers, body, status, expected):
    body = body if isinstance(body, bytes) else json.dumps(body).encode()
    stats = service.stats()
    answer = service.post("/v1/pre-warm", {**JSON, **headers}, content=body).json()
    if status != 200:
        assert answer["error"]["code"] == expected
        assert service.stats()["warm_sessions"] == stats["warm_sessions"]
        return
    assert answer["modules"] == expected and answer["warm_session_id"]
    assert answer["warm_session_id"] not in json.dumps(service.stats())  # not others' to see


def test_health_answers_during_a_large_pre_warm(service):
    source = "import colorsys\n" + "values = [(1, 2), {'a': [3]}]  # comment\n" * 24_000
    answered = 0
    with ThreadPoolExecutor(1) as pool, httpx.Client(base_url=service.url, timeout=10) as probe:
        warming = pool.submit(service.post, "/v1/pre-warm", JSON,
                              json={"source_code": source, "fast": False})
        while not warming.done():
            assert probe.get("/v1/health").status_code == 200
            answered += 1
        assert warming.result(30).json()["modules"] == ["colorsys"]
    assert answered >= 3  # a scan holding the event loop would let one through at most


def test_https_service_with_a_self_signed_certificate(launch_service, tmp_path, monkeypatch):
    cert, key = tmp_path / "service.pem", tmp_path / "service.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=zuvoda",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=30)
    with launch_service("--workers", "1", "--tls-cert", str(cert), "--tls-key", str(key),
                        verify=ssl.create_default_context(cafile=str(cert))) as service:
        assert service.url.startswith("https://")
        with pytest.raises(ServiceUnavailableError, match="CERTIFICATE_VERIFY_FAILED"):
            service.client().open()
        monkeypatch.setenv("ZUVODA_CA_BUNDLE", str(cert))
        with service.client() as client:
            assert client.run(pow, 3, 3) == 27
