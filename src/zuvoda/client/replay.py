"""What a remote call did with its process, met in this one: the warnings it raised are issued
again here, where this process's filters and registries decide on them, and what it read of
the environment and the working directory is compared with this process's values."""

from __future__ import annotations

import importlib
import os
import sys
import warnings
from types import FrameType
from typing import Any

from zuvoda import protocol

# Frames of files under this directory are the client's, never the caller's.
_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def differences(read: dict[str, Any]) -> str | None:
    """What the call read whose value here differs from the service's, in words; None when
    everything it read has the same value here."""
    salt = str(read.get("salt", ""))
    found = []
    for name, value in read.get("variables", {}).items():
        if value is None:
            found.append(f"set the environment variable {name!r}")
        elif value != protocol.read_digest(salt, name, os.environ.get(name)):
            found.append(f"read the environment variable {name!r}")
    if "environment" in read and read["environment"] != protocol.environment_digest(
        salt, os.environ
    ):
        found.append("read the whole environment")
    if "cwd" in read and read["cwd"] != protocol.read_digest(salt, "", os.getcwd()):
        found.append("asked for the working directory")
    if not found:
        return None
    return f"{', '.join(found)}, which differs on the service"


def issue_warnings(records: list[dict[str, Any]]) -> None:
    """Issues each warning the call raised, as often as it was raised, with its category, text,
    file, line and module, and the registry of that module here: this process's filters decide
    whether it is shown once, always or never, or raised. A warning raised ends the issuing."""
    for record in records:
        category = _category(record.get("category"))
        namespace: dict[str, Any] | None
        if "above" in record:
            where = _caller_frame(int(record["above"]))
            if where is None:  # past the outermost frame, as warnings.warn takes it
                filename, lineno, namespace = "sys", 1, vars(sys)
            else:
                filename, lineno = where.f_code.co_filename, where.f_lineno
                namespace = where.f_globals
            name = namespace.get("__name__")
        else:
            filename, lineno, name = record["filename"], int(record["lineno"]), record["module"]
            module = sys.modules.get(name) if isinstance(name, str) else None
            namespace = vars(module) if module is not None else None
        # As warnings.warn does, without the module's globals for finding the source line: with
        # those, 3.12 warns about a script's module, whose __spec__ is None.
        registry = namespace.setdefault("__warningregistry__", {}) if namespace else None
        for _ in range(max(1, int(record.get("count", 1)))):
            warnings.warn_explicit(
                str(record["message"]),
                category,
                filename,
                lineno,
                module=name,
                registry=registry,
            )


def _category(named: Any) -> type[Warning]:
    """The warning class the service named, when this process has it; UserWarning else."""
    try:
        module_name, qualname = named
        found: Any = sys.modules.get(module_name) or importlib.import_module(module_name)
        for part in qualname.split("."):
            found = getattr(found, part)
    except Exception:  # noqa: BLE001 - a class this process lacks
        return UserWarning
    return found if isinstance(found, type) and issubclass(found, Warning) else UserWarning


def _caller_frame(above: int) -> FrameType | None:
    """The frame ``above`` frames up from the one that called into the client."""
    frame: FrameType | None = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
    for _ in range(above):
        if frame is None:
            break
        frame = frame.f_back
    return frame
