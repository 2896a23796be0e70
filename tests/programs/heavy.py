import atexit

from prelude import scripted
from zuvoda.overflow import overflow

atexit.register(lambda: print("at exit compute wrapped:", hasattr(compute, "_overflow_wrapped")))
monitor = overflow(check_interval=0.01)


def compute(n, raise_load=False):
    if raise_load:
        scripted.set_load(97.0)
        scripted.wait_for(lambda: monitor._overloaded)
    return sum(i * i for i in range(n * 100))


print("result", compute(1))
print("result", compute(2, raise_load=True))
print("result", compute(3))
scripted.set_load(10.0)
scripted.wait_for(lambda: not monitor._overloaded)
print("result", compute(4))
print("cloud runs of compute", sum(name == "compute" for name, _ in scripted.RUNS))
