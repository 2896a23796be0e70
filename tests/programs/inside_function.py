import prelude  # noqa: F401
from zuvoda.overflow import overflow


def compute(n):
    return n * 2


def main():
    monitor = overflow()
    print("wrapped:", getattr(compute, "_overflow_wrapped", False))
    print("main wrapped:", getattr(main, "_overflow_wrapped", False))
    print("result", compute(21))
    monitor.stop()
    print("after stop:", getattr(compute, "_overflow_wrapped", False))


main()
