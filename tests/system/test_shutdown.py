"""Interpreter exit while the sampling thread is inside psutil's measuring window: the thread is
ended by the interpreter and must not take the process down with it."""

import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent("""
    import scripted
    scripted.install()
    from zuvoda.overflow import overflow
    monitor = overflow(check_interval=0.002, verbose=False)
    scripted.set_load(99.0)
    scripted.wait_for(lambda: monitor._overloaded)
    print("done")
""")


def test_exit_during_sampling_never_crashes(tmp_path, scripted_environment):
    script = tmp_path / "short_lived.py"
    script.write_text(SCRIPT, encoding="utf-8")
    # The window is a few milliseconds wide: many short runs make hitting it likely.
    for _ in range(8):
        runs = [
            subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=scripted_environment)
            for _ in range(5)
        ]
        for run in runs:
            out, err = run.communicate(timeout=60)
            assert (run.returncode, out) == (0, "done\n"), err
