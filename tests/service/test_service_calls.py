"""Calls made with the real client against the real service return what they return locally."""

from __future__ import annotations

import dataclasses
import datetime
import functools
import hashlib
import ipaddress
import ssl
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import cloudpickle
import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from zuvoda.client import ServiceUnavailableError

import zuvoda.overflow
from zuvoda.client import _pickle_call

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


def double(n: int) -> int:
    return 2 * n


# Wrappers the monitor puts in place of functions: they travel as the functions they stand for,
# wherever they sit.
_monitor = zuvoda.overflow._OverflowMonitor(False, 85.0, 0.5, None, None)
wrapped_double = _monitor._make_wrapper(double)


def through_global(n: int) -> int:
    return wrapped_double(n) + 1


def apply_all(funcs: list[Any], n: int) -> list[int]:
    return [f(n) for f in funcs]


@dataclasses.dataclass
class Holder:
    func: Any


def through_attribute(holder: Holder, n: int) -> int:
    return holder.func(n)


def closing_over(func: Any) -> Any:
    return lambda n: func(n) * 10


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
    "wrapper in the function's globals": (through_global, (4,), {}),
    "wrappers in a container argument": (apply_all, ([wrapped_double, abs],), {"n": -3}),
    "wrapper as an attribute": (through_attribute, (Holder(wrapped_double), 5), {}),
    "wrapper in a closure": (closing_over(wrapped_double), (6,), {}),
    "wrapper called itself": (wrapped_double, (7,), {}),
}


@pytest.mark.parametrize(("func", "args", "kwargs"), CASES.values(), ids=CASES.keys())
def test_remote_result_equals_local(client: Any, func: Any, args: tuple, kwargs: dict) -> None:
    assert client.run(func, *args, **kwargs) == func(*args, **kwargs)
    # This test module went by value without changing cloudpickle for the rest of the process.
    assert cloudpickle.list_registry_pickle_by_value() == set()


def test_result_classes_are_the_live_ones_left_untouched(client: Any) -> None:
    # The service sends by value the classes it got by value; the caller's own must not be
    # rebuilt from them.
    methods = dict(vars(Reading))
    result = client.run(summarise_as_readings, READINGS)
    assert type(result[0]) is Reading and result == READINGS
    assert dict(vars(Reading)) == methods


SHARED = {"n": 0}


def same_object(value: Any) -> Any:
    return value


def reader_of(source: dict[str, int]) -> Any:
    return lambda: source["n"]


def is_shared(holder: Holder) -> bool:
    return holder.func is SHARED


def test_calls_keep_the_identity_of_the_callers_objects(
    client: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    # As locally: what comes back of the caller's objects is the caller's object, and what the
    # function and its arguments share is one object during the call.
    items = [1, [2]]
    assert client.run(same_object, items) is items
    reader = client.run(reader_of, SHARED)
    monkeypatch.setitem(SHARED, "n", 5)
    assert reader() == 5
    assert client.run(is_shared, Holder(SHARED)) is True


def summarise_as_readings(readings: list[Reading]) -> list[Reading]:
    return [Reading(r.sensor, r.values) for r in readings]


SCALE = 3


def scaled(n: int) -> int:
    return SCALE * n


def test_function_bytes_travel_once_and_again_when_changed(
    client: Any, service: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    def received() -> int:
        return service.stats()["functions"]["received"]

    before = received()
    assert [client.run(scaled, n) for n in range(3)] == [0, 3, 6]
    assert received() == before + 1
    # A global it depends on changed: it is a different function now, never served stale.
    monkeypatch.setitem(globals(), "SCALE", 5)
    assert client.run(scaled, 2) == 10
    assert received() == before + 2
    # The service never saw a function the client believes it holds: it is sent again.
    monkeypatch.setitem(globals(), "SCALE", 6)
    body, split, _ = _pickle_call(scaled, (), {}, 1 << 20, "scaled")
    client._known_functions[hashlib.sha256(body[:split]).hexdigest()] = None
    assert client.run(scaled, 2) == 12
    assert received() == before + 3


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


def self_signed_certificate(directory: Path) -> tuple[Path, Path]:
    """A certificate for 127.0.0.1 that is its own authority, and its key."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "zuvoda test service")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(
            x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
            critical=False,
        )
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256())
    )
    cert_path, key_path = directory / "service.pem", directory / "service.key"
    cert_path.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    key_path.write_bytes(
        key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        )
    )
    return cert_path, key_path


@pytest.fixture(scope="module")
def tls_service(
    launch_service: Any, tmp_path_factory: pytest.TempPathFactory
) -> Iterator[tuple[Any, Path]]:
    cert, key = self_signed_certificate(tmp_path_factory.mktemp("tls"))
    trusting = ssl.create_default_context(cafile=str(cert))
    with launch_service(
        "--workers", "1", "--tls-cert", str(cert), "--tls-key", str(key), verify=trusting
    ) as service:
        yield service, cert


@pytest.mark.parametrize("trusted", [True, False], ids=["CA bundle given", "no CA bundle"])
def test_https_service_is_verified(
    tls_service: tuple[Any, Path], monkeypatch: pytest.MonkeyPatch, trusted: bool
) -> None:
    service, cert = tls_service
    assert service.url.startswith("https://")
    if trusted:
        monkeypatch.setenv("ZUVODA_CA_BUNDLE", str(cert))
    if trusted:
        with service.client() as client:
            assert client.run(pow, 3, 3) == 27
    else:
        with pytest.raises(ServiceUnavailableError, match="CERTIFICATE_VERIFY_FAILED"):
            service.client().open()
