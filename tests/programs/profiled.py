"""Run under cProfile: stop() gives the profiler back its profile function."""
import scripted
from zuvoda.overflow import overflow

scripted.install()


def after_stop():
    return 1


overflow(verbose=False).stop()
for _ in range(3):
    after_stop()
print("done")
