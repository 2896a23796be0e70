"""Ordinary work whose output must not change under overflow() (with WITH_OVERFLOW set)."""
import os

if os.environ.get("WITH_OVERFLOW"):
    from zuvoda.overflow import overflow

    # Nothing is strictly above 100 percent: the machine never counts as overloaded.
    overflow(threshold=100.0, check_interval=60.0)


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


print(fib(20), {i % 7 for i in range(9)}, list(x * x for x in range(5)), [*map(lambda v: -v, [1])])
try:
    fib("x")
except TypeError as exc:
    print("error:", exc)
