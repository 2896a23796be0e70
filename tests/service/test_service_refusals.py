"""Requests the service must refuse with a JSON error before anything runs."""

from __future__ import annotations

import pickle
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import cloudpickle
import httpx
import pytest

from zuvoda.client import AuthenticationError, RequestRejectedError

pytestmark = pytest.mark.timeout(60)


def leave_marker(path: str, padding: bytes = b"") -> str:
    Path(path).write_text("ran")
    return "ran"


def call_payload(marker: Path, padding: bytes = b"") -> bytes:
    # Built by hand, so send this module by value as the client would: the service cannot
    # import test modules.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    return cloudpickle.dumps((leave_marker, (str(marker), padding), {}))


def chunks(data: bytes, size: int = 8192) -> Iterator[bytes]:
    for start in range(0, len(data), size):
        yield data[start : start + size]


Build = Callable[[Any, bytes, bytes], dict[str, Any]]

# Each refused request, built from the service and a small and a too large call that would leave
# a marker file if it ran, with the status and error code it must get.
REFUSALS: dict[str, tuple[Build, int, str]] = {
    "no key": (lambda svc, small, big: {"api_key": None, "content": small}, 401, "unauthorized"),
    "wrong key": (
        lambda svc, small, big: {"api_key": "not-the-key", "content": small},
        401,
        "unauthorized",
    ),
    "key of another scheme": (
        lambda svc, small, big: {
            "api_key": None,
            "content": small,
            "headers": {"Authorization": f"Basic {svc.api_key}"},
        },
        401,
        "unauthorized",
    ),
    "declared length over limit": (
        lambda svc, small, big: {"content": big},
        413,
        "body_too_large",
    ),
    # Streamed without Content-Length, so only the bytes read can tell.
    "streamed length over limit": (
        lambda svc, small, big: {"content": chunks(big)},
        413,
        "body_too_large",
    ),
    "not a pickle": (
        lambda svc, small, big: {"content": b"print('hello')"},
        400,
        "malformed_body",
    ),
    "truncated pickle": (
        lambda svc, small, big: {"content": small[:-1]},
        400,
        "malformed_body",
    ),
    "pickle with trailing bytes": (
        lambda svc, small, big: {"content": small + b"\x00"},
        400,
        "malformed_body",
    ),
    "empty body": (lambda svc, small, big: {"content": b""}, 400, "malformed_body"),
    "malformed warm session": (
        lambda svc, small, big: {
            "content": small,
            "headers": {"X-Zuvoda-Warm-Session": "bad id!"},
        },
        400,
        "malformed_warm_session",
    ),
}


@pytest.mark.parametrize(("build", "status", "code"), REFUSALS.values(), ids=REFUSALS.keys())
def test_refused_run_executes_nothing(
    service: Any, tmp_path: Path, build: Build, status: int, code: str
) -> None:
    marker = tmp_path / "marker"
    small = call_payload(marker)
    big = call_payload(marker, b"p" * (service.max_body_bytes + 1))
    started = service.stats()["calls"]["started"]

    answer = service.post("/v1/run", **build(service, small, big))

    assert answer.status_code == status
    assert answer.json()["error"]["code"] == code
    assert answer.json()["error"]["message"]
    assert service.stats()["calls"]["started"] == started
    assert not marker.exists()
    assert service.wait_for_log(f"POST /v1/run {status} ")


def test_well_formed_call_leaves_the_marker(service: Any, tmp_path: Path) -> None:
    # The refusals above only prove something if the same call, accepted, does run.
    marker = tmp_path / "marker"
    answer = service.post("/v1/run", content=call_payload(marker))
    assert answer.status_code == 200
    assert pickle.loads(answer.content) == "ran"
    assert marker.read_text() == "ran"


def test_valid_pickle_that_is_not_a_call(service: Any) -> None:
    answer = service.post("/v1/run", content=pickle.dumps(["not", "a", "call"]))
    assert answer.status_code == 400
    error = answer.json()["error"]
    assert error["code"] == "bad_call"
    assert error["remote"]["type"] == "TypeError"


@pytest.mark.parametrize(
    ("options", "error", "status"),
    [
        ({"api_key": "wrong"}, AuthenticationError, 401),
        ({"api_key": ""}, AuthenticationError, 401),
        ({}, RequestRejectedError, 413),
    ],
    ids=["wrong key", "no key", "too large"],
)
def test_client_raises_for_refusals(
    service: Any, tmp_path: Path, options: dict, error: type, status: int
) -> None:
    marker = tmp_path / "marker"
    padding = b"p" * (service.max_body_bytes + 1) if status == 413 else b""
    with service.client(**options) as client, pytest.raises(error) as raised:
        client.run(leave_marker, str(marker), padding)
    assert raised.value.status == status
    assert not marker.exists()


BAD_PRE_WARM_BODIES = {
    "not JSON": b"{source_code: 1",
    "not UTF-8": b'{"source_code": "\xff", "fast": true}',
    "array": b"[]",
    "missing fast": b'{"source_code": null}',
    "missing source_code": b'{"fast": true}',
    "fast not a boolean": b'{"source_code": null, "fast": "yes"}',
    "source_code not a string": b'{"source_code": 12, "fast": false}',
}


@pytest.mark.parametrize("body", BAD_PRE_WARM_BODIES.values(), ids=BAD_PRE_WARM_BODIES.keys())
def test_malformed_pre_warm_is_refused(service: Any, body: bytes) -> None:
    sessions = service.stats()["warm_sessions"]
    answer = service.post("/v1/pre-warm", content=body)
    assert answer.status_code == 400
    assert answer.json()["error"]["code"] == "malformed_body"
    assert service.stats()["warm_sessions"] == sessions


@pytest.mark.parametrize("api_key", [None, "wrong"])
def test_pre_warm_needs_the_key(service: Any, api_key: str | None) -> None:
    answer = service.post("/v1/pre-warm", api_key=api_key, json={"source_code": "", "fast": False})
    assert answer.status_code == 401
    assert answer.headers["WWW-Authenticate"] == "Bearer"


def test_stats_need_the_key(service: Any) -> None:
    assert httpx.get(f"{service.url}/v1/stats", timeout=10).status_code == 401
