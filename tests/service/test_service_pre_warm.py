"""Pre-warming as zuvoda.overflow does it, and the warm session reaching later runs."""

from __future__ import annotations

import json
import os
import sys
import threading
import time
from typing import Any

import httpx
import pytest

pytestmark = pytest.mark.timeout(60)

# Modules that neither the worker nor the service import on their own.
SCRIPT = """
import colorsys
from xml.dom import minidom
from . import sibling
from zuvoda.overflow import overflow

def later():
    import wave
"""


def imported_here(*names: str) -> tuple[int, list[bool]]:
    return os.getpid(), [name in sys.modules for name in names]


def pre_warm(service: Any, source_code: str | None, fast: bool) -> dict[str, Any]:
    answer = service.post(
        "/v1/pre-warm", json={"source_code": source_code, "fast": fast}, timeout=10
    )
    assert answer.status_code == 200, answer.text
    return answer.json()


def test_fast_pre_warm_imports_the_script_modules_in_workers(service: Any) -> None:
    warm = pre_warm(service, SCRIPT, fast=True)
    # Relative imports and zuvoda itself are left alone.
    assert warm["modules"] == ["colorsys", "xml.dom", "wave"]
    assert warm["warmed"] is True
    with service.client() as client:
        client._warm_session_id = warm["warm_session_id"]
        # Idle workers take calls in turn, but one may still be busy with an earlier test's
        # call: go on until both of the two have answered.
        seen: dict[int, list[bool]] = {}
        deadline = time.monotonic() + 30
        while len(seen) < 2 and time.monotonic() < deadline:
            pid, flags = client.run(imported_here, "colorsys", "xml.dom", "wave")
            seen[pid] = flags
            time.sleep(0.01)
    assert len(seen) == 2
    assert list(seen.values()) == [[True, True, True]] * 2


@pytest.mark.parametrize(
    ("source_code", "fast"),
    [
        ("import json\n", False),
        (None, True),
        ("def broken(:\n", False),
        ("(" * 100_000 + "\n", True),
        ("x = '''" + "import a\n" * 10, True),
    ],
    ids=[
        "background warming",
        "no source",
        "source that does not parse",
        "source nested 100,000 deep",
        "unterminated string",
    ],
)
def test_warm_session_id_reaches_the_service(
    service: Any, source_code: str | None, fast: bool
) -> None:
    runs = service.stats()["warm_sessions"]["runs"]
    warm = pre_warm(service, source_code, fast)
    session_id = warm["warm_session_id"]
    assert isinstance(session_id, str) and session_id
    assert warm["modules"] == (["json"] if source_code == "import json\n" else [])
    with service.client() as client:
        client._warm_session_id = session_id
        assert [client.run(abs, -n) for n in range(3)] == [0, 1, 2]
    stats = service.stats()
    assert stats["warm_sessions"]["runs"] == runs + 3
    assert session_id not in json.dumps(stats)  # one caller's sessions are not another's to see


def test_health_answers_during_a_large_pre_warm(service: Any) -> None:
    # Just under the pre-warm limit: scanning it takes a good fraction of a second.
    source = "import colorsys\n" + "values = [(1, 2), {'a': [3]}]  # comment\n" * 24_000
    warming = threading.Thread(target=pre_warm, args=(service, source, False))
    latencies = []
    warming.start()
    with httpx.Client(base_url=service.url, timeout=10) as probe:
        while warming.is_alive():
            started = time.perf_counter()
            assert probe.get("/v1/health").status_code == 200
            latencies.append(time.perf_counter() - started)
    warming.join(timeout=30)
    assert len(latencies) >= 3
    # Generous for a loaded test machine: a parse holding the GIL stalls it for seconds.
    assert max(latencies) < 0.5, latencies


def test_unknown_warm_session_still_runs(client: Any, service: Any) -> None:
    # A restarted service forgets its sessions; scripts holding an old one must keep working.
    before = service.stats()["unknown_warm_session_runs"]
    client._warm_session_id = "issued-by-a-previous-service"
    assert client.run(max, 3, 9) == 9
    assert service.stats()["unknown_warm_session_runs"] == before + 1
