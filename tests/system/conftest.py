import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).parent


@pytest.fixture
def scripted_environment(child_environment):
    """The environment for a child interpreter that can import the scripted stand-ins."""
    return child_environment(HERE)


@pytest.fixture
def run_script(tmp_path, scripted_environment):
    """Writes a script to a temporary directory and runs it in a fresh interpreter, with the
    scripted stand-ins importable; returns the completed process."""

    def run(source, *, args=(), env=None, interpreter_args=(), timeout=120):
        script = tmp_path / "user_script.py"
        script.write_text(textwrap.dedent(source), encoding="utf-8")
        environment = {**scripted_environment, "PYTHONUNBUFFERED": "1", **(env or {})}
        return subprocess.run(
            [sys.executable, *interpreter_args, str(script), *args], capture_output=True,
            text=True, check=False, timeout=timeout, cwd=tmp_path, env=environment,
        )

    run.script_path = tmp_path / "user_script.py"
    return run
