"""A user script under overflow(): `python e2e_script.py STATEMENTS` defines the functions of
scripts shaped like real ones, then runs STATEMENTS at module level, where `overloaded()` holds
the machine overloaded from then on."""
import dataclasses
import logging
import os
import sys
import time

import e2e_sibling
import scripted
from e2e_sibling import heavy_there, rare  # noqa: F401 (called from STATEMENTS)

scripted.install(cloud=False)
# Log records on stderr, printed lines on stdout, as a user sees them: the two never share a line.
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
logging.getLogger("httpx").setLevel(logging.WARNING)
from zuvoda.overflow import overflow  # noqa: E402 (after the stand-ins)

SCRIPT, MARKER = os.getpid(), os.environ.get("E2E_MARKER")
ITEMS, NUMBERS, SETTINGS, LEVEL, BUFFER = [1], iter(range(10)), {"hits": 0}, 0, bytearray(2)


@dataclasses.dataclass
class Point:
    x: int
    y: int


class Tally:
    count = 0

    def __init__(self, step): self.step = step
    def total(self, n): return self.step * len([i for i in range(n) if i % 3])


def make_scaler(k): return lambda n: k * n + 7


total, scaled, BOX = Tally(5).total, make_scaler(4), Tally(1)


def compute(values, scale=1): return sum(v * v for v in values) * scale
def helper(x): return x * 2
def heavy(n): return helper(n) + sum(range(n))
def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
def norm(p): return p.x**2 + p.y**2
def both_ways(n): return e2e_sibling.rare(n) + rare(n)
def tally(box): box.count += 1
def add_item(items, x): return items.append(x) or len(items)
def skip(iterator, n): return [next(iterator) for _ in range(n)]
def hit(): SETTINGS["hits"] += 1
def fill(buffer): buffer[buffer.find(0)] = 1
def chatter(n): return [print("0123456789", end="") for _ in range(n)] and n  # small writes


def raise_level():
    global LEVEL
    LEVEL += 1


def slow():
    if os.getpid() != SCRIPT:  # remotely: say so, then outlast the test
        open(MARKER, "w").close()
        time.sleep(300)
    return os.getpid() == SCRIPT


monitor = overflow(check_interval=0.01, verbose=False)


def overloaded():
    scripted.set_load(97.0)
    scripted.wait_for(lambda: monitor._overloaded)


exec(sys.argv[1])
