"""A user script under overflow(): `python e2e_script.py STATEMENTS` defines the functions of
scripts shaped like real ones, then runs STATEMENTS at module level, where `overloaded()` holds
the machine overloaded from then on."""
import dataclasses
import inspect  # noqa: F401 (the library code below uses it)
import linecache
import logging
import os
import sys
import time
import warnings

import e2e_sibling
import scripted
from e2e_sibling import heavy_there, rare  # noqa: F401 (called from STATEMENTS)

scripted.install(cloud=False)
# Log records on stderr, printed lines on stdout, as a user sees them: the two never share a line.
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
logging.getLogger("httpx").setLevel(logging.WARNING)
from zuvoda.overflow import overflow  # noqa: E402 (after the stand-ins)

SCRIPT, MARKER = os.getpid(), os.environ.get("E2E_MARKER")


def _show(message, category, filename, lineno, file=None, line=None):
    """Shown warnings on stdout, in order with the prints, with the line they name."""
    source = linecache.getline(filename, lineno).strip()
    print(f"{category.__name__}: {message} ({os.path.basename(filename)}: {source})")


warnings.showwarning = _show
# As libraries do, in code of their own, which is never user code: a function made from another
# one's getfullargspec (decorator helpers), and a call's outcome, returned or raised.
LIBRARY = """
def rebuild(func):
    spec = inspect.getfullargspec(func)
    names = [*spec.args, *(["*" + spec.varargs] if spec.varargs else []),
             *(["**" + spec.varkw] if spec.varkw else [])]
    made = {}
    exec(f"def {func.__name__}({', '.join(names)}): return func({', '.join(names)})",
         {"func": func}, made)
    made[func.__name__].__defaults__ = spec.defaults
    return made[func.__name__]


def outcome(func, *args):
    try:
        return func(*args)
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
"""
exec(compile(LIBRARY, "<library>", "exec"))  # noqa: S102 - its own code, as a library's
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


def old(x): return warnings.warn("old() is deprecated", DeprecationWarning) or x + 1
def leak(): return open(os.devnull).read() or "read"
def home_of(path): return os.path.expanduser(path)
def setting(name): return os.getenv(name, "unset")
def where(): return os.path.abspath(".")
def searched(): return len(os.environ["PATH"])


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
