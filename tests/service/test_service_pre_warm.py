"""Pre-warming as zuvoda.overflow does it, and the warm session reaching later runs."""

from __future__ import annotations

import os
import sys
import time
from typing import Any

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
    [("import json\n", False), (None, True), ("def broken(:\n", False)],
    ids=["background warming", "no source", "source that does not parse"],
)
def test_warm_session_id_reaches_the_service(
    service: Any, source_code: str | None, fast: bool
) -> None:
    warm = pre_warm(service, source_code, fast)
    session_id = warm["warm_session_id"]
    assert isinstance(session_id, str) and session_id
    with service.client() as client:
        client._warm_session_id = session_id
        assert [client.run(abs, -n) for n in range(3)] == [0, 1, 2]
    session = service.stats()["warm_sessions"][session_id]
    assert session["runs"] == 3
    assert session["fast"] is fast


def test_unknown_warm_session_still_runs(client: Any, service: Any) -> None:
    # A restarted service forgets its sessions; scripts holding an old one must keep working.
    before = service.stats()["unknown_warm_session_runs"]
    client._warm_session_id = "issued-by-a-previous-service"
    assert client.run(max, 3, 9) == 9
    assert service.stats()["unknown_warm_session_runs"] == before + 1
