"""Calls made with the real client against the real service return what they return locally."""

from __future__ import annotations

import dataclasses
import functools
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest

pytestmark = pytest.mark.timeout(120)


@dataclasses.dataclass(frozen=True)
class Reading:
    sensor: str
    values: tuple[float, ...]


def summarise(readings: list[Reading], *, scale: float = 1.0) -> dict[str, float]:
    return {r.sensor: sum(r.values) * scale for r in readings}


def describe(func: str, /, *args: Any, **kwargs: Any) -> tuple[str, tuple[Any, ...], dict]:
    return func, args, kwargs


def make_counter(start: int) -> Any:
    step = 3

    def advance(times: int) -> list[int]:
        return [start + step * i for i in range(times)]

    return advance


READINGS = [Reading("a", (1.0, 2.5)), Reading("b", (-4.0,))]

CASES = {
    "module function, kwargs, user dataclass": (summarise, (READINGS,), {"scale": 2.0}),
    # Keywords named like run's own parameters must reach the function untouched.
    "keywords named func and self": (describe, ("x", 1), {"func": "f", "self": "s"}),
    "user class instance as result": (Reading, ("c", (0.5,)), {}),
    "closure": (make_counter(10), (4,), {}),
    "lambda": (lambda text, n=2: text * n, ("ab",), {"n": 3}),
    "builtin": (divmod, (17, 5), {}),
    "partial": (functools.partial(sorted, reverse=True), ([3, 1, 2],), {}),
    "large argument and result": (bytes.upper, (b"xy" * 20_000,), {}),
}


@pytest.mark.parametrize(("func", "args", "kwargs"), CASES.values(), ids=CASES.keys())
def test_remote_result_equals_local(client: Any, func: Any, args: tuple, kwargs: dict) -> None:
    assert client.run(func, *args, **kwargs) == func(*args, **kwargs)


def test_script_functions_travel_by_value(service: Any, tmp_path: Path) -> None:
    # A script run as __main__, with a helper module beside it that the service cannot import,
    # configured only through the environment, as an overflowing script would be.
    (tmp_path / "local_helpers.py").write_text("def scale(x):\n    return x * 10\n")
    script = tmp_path / "job.py"
    script.write_text(
        textwrap.dedent("""
        import os
        from local_helpers import scale
        from zuvoda.client import VazoVez

        def work(n):
            return scale(sum(range(n + 1))), os.getpid()

        if __name__ == "__main__":
            with VazoVez() as client:
                value, pid = client.run(work, 100)
                tripled = client.run(scale, 3)
            print(value, tripled, pid != os.getpid())
    """)
    )
    done = subprocess.run(
        [sys.executable, str(script)],
        env=service.client_environment(),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["50500", "30", "True"]


def test_fast_client_and_verbose_report(service: Any, capsys: pytest.CaptureFixture[str]) -> None:
    with service.client(fast=True, verbose=True) as fast_client:
        assert fast_client.run(pow, 2, 10) == 1024
    err = capsys.readouterr().err
    assert f"zuvoda: sending calls to {service.url}" in err
    assert "zuvoda: pow ran remotely in" in err


def test_concurrent_calls_get_their_own_results(client: Any) -> None:
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(lambda n: client.run(pow, n, 2), range(24)))
    assert results == [n * n for n in range(24)]
