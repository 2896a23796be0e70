"""Calls that fail remotely, workers that die, and a service that is slow or not there."""

from __future__ import annotations

import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import pytest

from zuvoda.client import (
    RemoteExecutionError,
    ServiceUnavailableError,
    VazoVez,
)

pytestmark = pytest.mark.timeout(60)


class QuotaExceeded(Exception):
    pass


def check_quota(used: int, limit: int) -> int:
    if used > limit:
        raise QuotaExceeded(f"used {used} of {limit}")
    return limit - used


def nested_failure() -> None:
    try:
        {}["missing"]
    except KeyError as exc:
        raise RuntimeError("lookup failed") from exc


def leave_with(code: int) -> None:
    sys.exit(code)


class Unprintable(Exception):
    def __str__(self) -> str:
        raise SystemExit("not even a message")

    __repr__ = __str__


def raise_unprintable() -> None:
    raise Unprintable()


FAILURES = {
    "user exception": (check_quota, (5, 3), "remote_exception", "QuotaExceeded", "used 5 of 3"),
    "builtin exception": (int, ("x1",), "remote_exception", "ValueError", "invalid literal"),
    "chained exception": (nested_failure, (), "remote_exception", "RuntimeError", "lookup failed"),
    "sys.exit": (leave_with, (4,), "remote_exception", "SystemExit", "4"),
    "unpicklable result": (
        threading.Lock,
        (),
        "result_not_serializable",
        "TypeError",
        "cannot pickle",
    ),
    "unprintable exception": (
        raise_unprintable,
        (),
        "remote_exception",
        "Unprintable",
        "<unprintable Unprintable object>",
    ),
    # The service's limit is 1 MiB.
    "result over the limit": (bytes, (1024 * 1024,), "result_too_large", None, "limit of 1048576"),
}


@pytest.mark.parametrize(
    ("func", "args", "code", "type_name", "message"), FAILURES.values(), ids=FAILURES.keys()
)
def test_remote_failure_is_described(
    client: VazoVez, service: Any, func: Any, args: tuple, code: str, type_name: str | None,
    message: str,
) -> None:
    replaced = service.stats()["workers_replaced"]
    with pytest.raises(RemoteExecutionError) as raised:
        client.run(func, *args)
    error = raised.value
    assert (error.code, error.remote_type) == (code, type_name)
    assert message in str(error)
    if type_name is not None:
        assert message in (error.remote_message or "")
        assert error.remote_traceback is not None
        assert error.remote_traceback.rstrip().endswith(f"{type_name}: {error.remote_message}")
        assert type_name in str(error) and "Remote traceback" in str(error)
    # A failing call never costs its worker.
    assert service.stats()["workers_replaced"] == replaced


def test_traceback_shows_the_user_code(client: VazoVez) -> None:
    with pytest.raises(RemoteExecutionError) as raised:
        client.run(nested_failure)
    text = raised.value.remote_traceback or ""
    assert text.startswith("Traceback (most recent call last):")
    assert "in nested_failure" in text
    assert "KeyError: 'missing'" in text  # the cause travels too
    assert "in execute" not in text  # the worker's own frame is left out


def test_worker_death_fails_only_its_call(client: VazoVez, service: Any) -> None:
    replaced = service.stats()["workers_replaced"]
    with ThreadPoolExecutor(1) as pool:
        # Occupies one of the two workers while the other one dies.
        slow = pool.submit(client.run, lambda: (time.sleep(1.0), "survived")[1])
        time.sleep(0.3)
        with pytest.raises(RemoteExecutionError) as raised:
            client.run(os._exit, 7)
        assert slow.result(timeout=30) == "survived"
    assert raised.value.code == "worker_lost"
    assert raised.value.status == 502
    assert "exited with code 7" in str(raised.value)
    assert service.stats()["workers_replaced"] == replaced + 1


def kill_self() -> None:
    os.kill(os.getpid(), 9)


def test_service_keeps_serving_after_every_worker_died(client: VazoVez, service: Any) -> None:
    for _ in range(3):  # more deaths than the service has workers
        with pytest.raises(RemoteExecutionError, match="killed by SIGKILL"):
            client.run(kill_self)
    assert [client.run(abs, -n) for n in range(4)] == [0, 1, 2, 3]


def test_call_longer_than_the_silence_timeout_succeeds(service: Any) -> None:
    with service.client(silence_timeout=0.5) as client:
        assert client.run(lambda: (time.sleep(2), "done")[1]) == "done"


@pytest.mark.parametrize(
    "where", ["unused port", "reserved name", "not a zuvoda service"]
)
def test_opening_needs_a_service_that_answers(
    service: Any, unused_port: int, where: str
) -> None:
    url = {
        "unused port": f"http://127.0.0.1:{unused_port}",
        "reserved name": "https://api.zuvoda.invalid",
        "not a zuvoda service": f"{service.url}/elsewhere",
    }[where]
    client = VazoVez(api_key=service.api_key, api_url=url, connect_timeout=2)
    with pytest.raises(ServiceUnavailableError, match="set ZUVODA_API_URL") as raised, client:
        pass
    assert isinstance(raised.value, ConnectionError)
    assert url in str(raised.value)
    assert client._http is None
