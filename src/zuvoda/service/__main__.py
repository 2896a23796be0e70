"""Command line of the execution service: ``python -m zuvoda.service`` or ``zuvoda-service``.

Kept light at import time: local worker processes import this module again when they start.
"""

from __future__ import annotations

import argparse
import ipaddress
import logging
import os
import secrets

from zuvoda import protocol

log = logging.getLogger("zuvoda.service")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    env = os.environ.get
    parser = argparse.ArgumentParser(
        prog="zuvoda-service",
        description="Run Python calls sent by zuvoda clients, in local worker processes or on a "
        "Dask cluster. Every option can also be set by the environment variable it names.",
    )
    parser.add_argument(
        "--host",
        default=env("ZUVODA_SERVICE_HOST", "127.0.0.1"),
        help="address to listen on (ZUVODA_SERVICE_HOST, default %(default)s)",
    )
    parser.add_argument(
        "--port",
        type=int,
        default=env("ZUVODA_SERVICE_PORT", str(protocol.DEFAULT_PORT)),
        help="port to listen on (ZUVODA_SERVICE_PORT, default %(default)s)",
    )
    parser.add_argument(
        "--api-key",
        default=env("ZUVODA_API_KEY"),
        help="key clients must send as 'Authorization: Bearer <key>' (ZUVODA_API_KEY; "
        "a random one is generated and logged when unset)",
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=env("ZUVODA_SERVICE_WORKERS", str(os.cpu_count() or 1)),
        help="local worker processes (ZUVODA_SERVICE_WORKERS, default %(default)s)",
    )
    parser.add_argument(
        "--dask-scheduler",
        default=env("ZUVODA_DASK_SCHEDULER"),
        help="address of a Dask distributed scheduler, e.g. tcp://10.0.0.5:8786, to run calls on "
        "its cluster instead of local processes (ZUVODA_DASK_SCHEDULER)",
    )
    parser.add_argument(
        "--max-body-bytes",
        type=int,
        default=env("ZUVODA_MAX_BODY_BYTES", str(protocol.DEFAULT_MAX_BODY_BYTES)),
        help="largest request body accepted (ZUVODA_MAX_BODY_BYTES, default %(default)s)",
    )
    parser.add_argument(
        "--max-pre-warm-bytes",
        type=int,
        default=env("ZUVODA_MAX_PRE_WARM_BYTES", str(1024 * 1024)),
        help="largest pre-warm body accepted; its script is scanned for imports, and longer "
        "scripts run without pre-warming (ZUVODA_MAX_PRE_WARM_BYTES, default %(default)s)",
    )
    parser.add_argument(
        "--max-result-bytes",
        type=int,
        default=env("ZUVODA_MAX_RESULT_BYTES", str(256 * 1024 * 1024)),
        help="largest pickled result sent back; a larger one fails the call "
        "(ZUVODA_MAX_RESULT_BYTES, default %(default)s)",
    )
    parser.add_argument(
        "--tls-cert",
        default=env("ZUVODA_TLS_CERT"),
        help="PEM certificate (chain) file: serve https instead of http (ZUVODA_TLS_CERT)",
    )
    parser.add_argument(
        "--tls-key",
        default=env("ZUVODA_TLS_KEY"),
        help="PEM private key file of --tls-cert (ZUVODA_TLS_KEY)",
    )
    parser.add_argument(
        "--log-level",
        default=env("ZUVODA_LOG_LEVEL", "info"),
        choices=["debug", "info", "warning", "error"],
        help="(ZUVODA_LOG_LEVEL, default %(default)s)",
    )
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error(f"--workers must be at least 1, got {args.workers}")
    for option in ("max_body_bytes", "max_pre_warm_bytes", "max_result_bytes"):
        if getattr(args, option) < 1:
            flag = "--" + option.replace("_", "-")
            parser.error(f"{flag} must be positive, got {getattr(args, option)}")
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    logging.basicConfig(
        level=args.log_level.upper(), format="%(asctime)s %(levelname)s %(name)s: %(message)s"
    )
    import uvicorn

    from zuvoda.service.app import ServiceConfig, create_app
    from zuvoda.service.executors import DaskExecutor, Executor, ProcessExecutor

    api_key = args.api_key
    if not api_key:
        api_key = secrets.token_urlsafe(24)
        log.warning("no API key set (--api-key or ZUVODA_API_KEY); this run's key is %s", api_key)
    if not _is_loopback(args.host):
        log.warning("listening on %s: anyone holding the API key can run code here", args.host)
    if not _is_loopback(args.host) and not args.tls_cert:
        log.warning("serving plain http on %s: the API key and calls travel unencrypted", args.host)
    executor: Executor = (
        DaskExecutor(args.dask_scheduler, args.max_result_bytes)
        if args.dask_scheduler
        else ProcessExecutor(args.workers, args.max_result_bytes)
    )
    config = ServiceConfig(
        api_key=api_key,
        max_body_bytes=args.max_body_bytes,
        max_pre_warm_bytes=args.max_pre_warm_bytes,
    )
    app = create_app(config, executor)
    uvicorn.run(
        app,
        host=args.host,
        port=args.port,
        log_config=None,  # our basicConfig above
        access_log=False,  # RequestLog writes one line per request instead
        timeout_keep_alive=60,  # keep clients' connections between sporadic calls
        timeout_graceful_shutdown=5,
        ssl_certfile=args.tls_cert,
        ssl_keyfile=args.tls_key,
    )


def _is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


if __name__ == "__main__":
    main()
