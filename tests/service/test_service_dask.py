"""The service running calls on an existing Dask cluster instead of local processes."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import Any

import pytest

from zuvoda.client import RemoteExecutionError

distributed = pytest.importorskip("distributed")

pytestmark = pytest.mark.timeout(120)


@pytest.fixture(scope="module")
def cluster() -> Iterator[Any]:
    # Threads in this process keep it quick; the service reaches the scheduler over TCP.
    with distributed.LocalCluster(
        n_workers=1,
        threads_per_worker=2,
        processes=False,
        protocol="tcp",
        host="127.0.0.1",
        dashboard_address=None,
    ) as local_cluster:
        yield local_cluster


@pytest.fixture(scope="module")
def dask_service(cluster: Any, launch_service: Any) -> Iterator[Any]:
    with launch_service("--dask-scheduler", cluster.scheduler_address) as svc:
        yield svc


def where_and_what(values: list[int]) -> tuple[str, int]:
    return distributed.get_worker().address, sum(v * v for v in values)


def test_calls_run_on_the_cluster(dask_service: Any, cluster: Any) -> None:
    (worker_address,) = cluster.scheduler_info["workers"]
    with dask_service.client() as client:
        assert client.run(where_and_what, [1, 2, 3]) == (worker_address, 14)
        assert client.run(lambda a, b: a + b, "da", b="sk") == "dask"
    stats = dask_service.stats()
    assert stats["executor"] == "dask"
    assert stats["calls"]["succeeded"] == 2


def test_remote_exception_through_dask(dask_service: Any) -> None:
    with dask_service.client() as client, pytest.raises(RemoteExecutionError) as raised:
        client.run(int, "not a number")
    assert raised.value.remote_type == "ValueError"
    assert "not a number" in (raised.value.remote_message or "")


def test_pre_warm_on_the_cluster(dask_service: Any) -> None:
    # The cluster's worker runs in this process, so this process must get the import.
    assert "tabnanny" not in sys.modules
    answer = dask_service.post(
        "/v1/pre-warm", json={"source_code": "import tabnanny\n", "fast": True}, timeout=10
    )
    assert answer.status_code == 200, answer.text
    warm = answer.json()
    assert warm["warmed"] is True
    runs = dask_service.stats()["warm_sessions"]["runs"]
    with dask_service.client() as client:
        client._warm_session_id = warm["warm_session_id"]
        assert client.run(lambda: "tabnanny" in sys.modules) is True
    assert dask_service.stats()["warm_sessions"]["runs"] == runs + 1
