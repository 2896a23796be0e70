"""What overflow() costs a script at start-up, in fresh interpreters.

Measures, in one run: the import time of zuvoda.overflow (against an interpreter that imports
nothing), and the time of a first overflow() call with no arguments (real psutil, no key so no
pre-warm request). Run with the package importable: python benchmarks/bench_startup.py
"""

import os
import statistics
import subprocess
import sys

RUNS = 15

BARE = "import time; t = time.perf_counter(); print(time.perf_counter() - t)"
IMPORT = "import time; t = time.perf_counter(); import zuvoda.overflow; print(time.perf_counter() - t)"
CALL = """
import time, logging
import zuvoda.overflow
t = time.perf_counter()
monitor = zuvoda.overflow.overflow()
elapsed = time.perf_counter() - t
monitor.stop()
print(elapsed)
"""
WHOLE = "import zuvoda.overflow; zuvoda.overflow.overflow().stop()"
EMPTY = "pass"


def inner_seconds(code):
    environment = {k: v for k, v in os.environ.items() if not k.startswith(("ZUVODA_", "VAZOVEZ_"))}
    samples = []
    for _ in range(RUNS):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True, env=environment).stdout
        samples.append(float(out.strip().splitlines()[-1]))
    return statistics.median(samples)


def wall_seconds(code):
    import time

    samples = []
    for _ in range(RUNS):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True, capture_output=True)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main():
    bare = inner_seconds(BARE)
    imported = inner_seconds(IMPORT)
    call = inner_seconds(CALL)
    empty_wall, whole_wall = wall_seconds(EMPTY), wall_seconds(WHOLE)
    print(f"import zuvoda.overflow        {1e3 * (imported - bare):8.2f} ms (median of {RUNS})")
    print(f"overflow() first call         {1e3 * call:8.2f} ms")
    print(f"interpreter, empty            {1e3 * empty_wall:8.2f} ms wall")
    print(f"interpreter, import+overflow  {1e3 * whole_wall:8.2f} ms wall"
          f"  (+{1e3 * (whole_wall - empty_wall):.2f} ms)")


if __name__ == "__main__":
    main()
