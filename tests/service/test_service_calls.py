"""Calls made with the real client against the real service return what they return locally."""

from __future__ import annotations

import dataclasses
import datetime
import functools
import ipaddress
import ssl
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from zuvoda.client import ServiceUnavailableError

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
    with service.client(fast=True) as client:
        if trusted:
            assert client.run(pow, 3, 3) == 27
        else:
            with pytest.raises(ServiceUnavailableError, match="CERTIFICATE_VERIFY_FAILED"):
                client.run(pow, 3, 3)
