"""Requests the service must refuse with a JSON error before anything runs."""

from __future__ import annotations

import hashlib
import http.client
import json
import pickle
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

from zuvoda import protocol
from zuvoda.client import (
    AuthenticationError,
    CallTooLargeError,
    NotConfiguredError,
    _load_result,
    _pickle_call,
)

pytestmark = pytest.mark.timeout(60)


def leave_marker(path: str, padding: bytes = b"") -> str:
    Path(path).write_text("ran")
    return "ran"


def call_payload(marker: Path, padding: bytes = b"") -> tuple[bytes, int, list[Any]]:
    """The client's body for leave_marker(marker, padding), where its arguments begin, and the
    objects it sent."""
    return _pickle_call(leave_marker, (str(marker), padding), {}, 1 << 30, "leave_marker")


def digest_of(body: bytes, split: int) -> str:
    return hashlib.sha256(body[:split]).hexdigest()


def outcome(answer: httpx.Response) -> tuple[bytes, bytes]:
    """The final frame of a run's streamed answer."""
    kind, payload = list(protocol.read_frames([answer.content]))[-1]
    return kind, bytes(payload)


def chunks(data: bytes, size: int = 8192) -> Iterator[bytes]:
    for start in range(0, len(data), size):
        yield data[start : start + size]


OWN_KEY = object()

# Refused run requests: the key sent, extra headers, the body (a small call or one over the size
# limit, both leaving a marker file if they ran, or a mangled one), and the status and error code.
# The function's digest header is the right one unless a row sets it.
REFUSALS = {
    "no key": (None, {}, "call", 401, "unauthorized"),
    "wrong key": ("not-the-key", {}, "call", 401, "unauthorized"),
    "key of another scheme": (None, {"Authorization": "Basic {key}"}, "call", 401, "unauthorized"),
    "declared length over limit": (OWN_KEY, {}, "large call", 413, "body_too_large"),
    # Streamed without Content-Length, so only the bytes read can tell.
    "streamed length over limit": (OWN_KEY, {}, "streamed large call", 413, "body_too_large"),
    "not a pickle": (OWN_KEY, {}, "python source", 400, "malformed_body"),
    "truncated pickle": (OWN_KEY, {}, "truncated call", 400, "malformed_body"),
    "pickle with trailing bytes": (OWN_KEY, {}, "call and a byte", 400, "malformed_body"),
    "empty body": (OWN_KEY, {}, "nothing", 400, "malformed_body"),
    "no function digest": (OWN_KEY, {"X-Zuvoda-Function": ""}, "call", 400,
                           "malformed_function_digest"),
    "digest of another function": (OWN_KEY, {"X-Zuvoda-Function": "0" * 64}, "call", 400,
                                   "malformed_body"),
    "arguments of an unknown function": (OWN_KEY, {"X-Zuvoda-Function": "0" * 64}, "arguments",
                                         409, "unknown_function"),
    "malformed warm session": (
        OWN_KEY,
        {"X-Zuvoda-Warm-Session": "bad id!"},
        "call",
        400,
        "malformed_warm_session",
    ),
    "heartbeat interval not a number": (
        OWN_KEY,
        {"X-Zuvoda-Heartbeat-Interval": "nan"},
        "call",
        400,
        "malformed_heartbeat_interval",
    ),
    "not the call content type": (
        OWN_KEY,
        {"Content-Type": "application/octet-stream"},
        "call",
        415,
        "unsupported_media_type",
    ),
}


@pytest.mark.parametrize(
    ("api_key", "headers", "body", "status", "code"), REFUSALS.values(), ids=REFUSALS.keys()
)
def test_refused_run_executes_nothing(
    service: Any,
    tmp_path: Path,
    api_key: Any,
    headers: dict[str, str],
    body: str,
    status: int,
    code: str,
) -> None:
    marker = tmp_path / "marker"
    call, split, _ = call_payload(marker)
    large, _, _ = call_payload(marker, b"p" * (service.max_body_bytes + 1))
    content = {
        "call": call,
        "arguments": call[split:],
        "large call": large,
        "streamed large call": chunks(large),
        "python source": b"print('hello')",
        "truncated call": call[:-1],
        "call and a byte": call + b"\x00",
        "nothing": b"",
    }[body]
    started = service.stats()["calls"]["started"]

    answer = service.post(
        "/v1/run",
        api_key=service.api_key if api_key is OWN_KEY else api_key,
        headers={
            "X-Zuvoda-Function": digest_of(call, split),
            **{name: value.format(key=service.api_key) for name, value in headers.items()},
        },
        content=content,
    )

    assert answer.status_code == status
    assert answer.json()["error"]["code"] == code
    assert answer.json()["error"]["message"]
    assert service.stats()["calls"]["started"] == started
    assert not marker.exists()
    assert service.wait_for_log(f"POST /v1/run {status} ")


def test_well_formed_call_leaves_the_marker(service: Any, tmp_path: Path) -> None:
    # The refusals above only prove something if the same call, accepted, does run; once the
    # service holds the function, its arguments alone suffice.
    for marker in (tmp_path / "first", tmp_path / "second"):
        call, split, sent = call_payload(marker)
        content = call if marker.name == "first" else call[split:]
        answer = service.post(
            "/v1/run", content=content, headers={"X-Zuvoda-Function": digest_of(call, split)}
        )
        assert answer.status_code == 200
        kind, payload = outcome(answer)
        assert kind == protocol.RESULT and _load_result(payload, sent) == "ran"
        assert marker.read_text() == "ran"


def test_valid_pickle_that_is_not_a_call(service: Any) -> None:
    function = pickle.dumps(["not", "a", "function"])
    answer = service.post(
        "/v1/run",
        content=function + pickle.dumps(((), {})),
        headers={"X-Zuvoda-Function": hashlib.sha256(function).hexdigest()},
    )
    kind, payload = outcome(answer)
    assert kind == protocol.ERROR
    assert json.loads(payload)["status"] == 400
    error = json.loads(payload)["error"]
    assert error["code"] == "bad_call"
    assert error["remote"]["type"] == "TypeError"


@pytest.mark.parametrize(
    ("options", "oversized", "error", "message"),
    [
        ({"api_key": "wrong"}, False, AuthenticationError, "refused the API key; set ZUVODA_API"),
        ({"api_key": ""}, False, NotConfiguredError, "no API key: set ZUVODA_API_KEY"),
        ({}, True, CallTooLargeError, "pickles to more than 65536 bytes, the service's limit"),
    ],
    ids=["wrong key", "no key", "too large"],
)
def test_client_raises_for_refusals(
    service: Any, tmp_path: Path, options: dict, oversized: bool, error: type, message: str
) -> None:
    marker = tmp_path / "marker"
    refused_before = service.stats()["refused"]
    padding = b"p" * service.max_body_bytes if oversized else b""
    with pytest.raises(error, match=message), service.client(**options) as client:
        client.run(leave_marker, str(marker), padding)
    assert not marker.exists()
    if error is CallTooLargeError:  # refused before anything was sent
        assert service.stats()["refused"] == refused_before


JSON = "application/json"
DEEP = 100_000
MALFORMED = (400, "malformed_body")
# Refused pre-warm requests: content type, body, status and error code.
BAD_PRE_WARMS = {
    "not JSON": (JSON, b"{source_code: 1", *MALFORMED),
    "not UTF-8": (JSON, b'{"source_code": "\xff", "fast": true}', *MALFORMED),
    "array": (JSON, b"[]", *MALFORMED),
    "nested 100,000 deep": (JSON, b"[" * DEEP + b"]" * DEEP, *MALFORMED),
    "missing fast": (JSON, b'{"source_code": null}', *MALFORMED),
    "missing source_code": (JSON, b'{"fast": true}', *MALFORMED),
    "fast not a boolean": (JSON, b'{"source_code": null, "fast": "yes"}', *MALFORMED),
    "source_code not a string": (JSON, b'{"source_code": 12, "fast": false}', *MALFORMED),
    "not JSON content type": (
        "text/plain", b'{"source_code": null, "fast": true}', 415, "unsupported_media_type"
    ),
    # The service's pre-warm limit is the default, a mebibyte.
    "source over the limit": (
        JSON, json.dumps({"source_code": "x = 1\n" * 200_000, "fast": False}).encode(), 413,
        "body_too_large",
    ),
}


@pytest.mark.parametrize(("content_type", "body", "status", "code"), BAD_PRE_WARMS.values(),
                         ids=BAD_PRE_WARMS.keys())
def test_bad_pre_warm_is_refused_and_the_connection_stays_usable(
    service: Any, content_type: str, body: bytes, status: int, code: str
) -> None:
    held = service.stats()["warm_sessions"]["held"]
    connection = http.client.HTTPConnection(service.url.removeprefix("http://"), timeout=30)
    try:
        headers = {"Authorization": f"Bearer {service.api_key}", "Content-Type": content_type}
        connection.request("POST", "/v1/pre-warm", body=body, headers=headers)
        answer = connection.getresponse()
        assert (answer.status, json.loads(answer.read())["error"]["code"]) == (status, code)
        sock = connection.sock
        connection.request("GET", "/v1/health")
        assert connection.getresponse().status == 200
        assert sock is not None and connection.sock is sock  # the same connection
    finally:
        connection.close()
    assert service.stats()["warm_sessions"]["held"] == held


@pytest.mark.parametrize(
    ("method", "path", "api_key"),
    [("POST", "/v1/pre-warm", None), ("POST", "/v1/pre-warm", "wrong"), ("GET", "/v1/stats", None)],
)
def test_pre_warm_and_stats_need_the_key(
    service: Any, method: str, path: str, api_key: str | None
) -> None:
    headers = {} if api_key is None else {"Authorization": f"Bearer {api_key}"}
    answer = httpx.request(
        method, service.url + path, headers=headers, json={"source_code": "", "fast": False},
        timeout=10,
    )
    assert answer.status_code == 401
    assert answer.headers["WWW-Authenticate"] == "Bearer"
